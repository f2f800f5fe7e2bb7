#!/usr/bin/env bash
# A real flood on loopback, seen three ways: by the live monitor, by
# surgewatch-replay reading tcpdump's output through a pipe while it is
# written, and by surgewatch-replay reading the same capture from its file
# afterwards.
#
# The flood is one SYN from hping3, recorded, and sent again by tcpreplay
# 3000 times a second until the monitor alerts (at most 15 s). tcpreplay
# keeps its rate against the clock and catches up after a stall, so the rate
# stays halfway between the flow rule's 2000 packets/s and the destination's
# 5000 however loaded the machine is: a sender that only sleeps between
# packets falls below 2000 on a busy machine and rises above 5000 on a quiet
# one.
#
# The replays must raise the same alert as the live monitor, agree with each
# other line for line, and leave the system log alone; a replay with -t
# stamps its alerts and sweep reports with the times of the flood.
. "$(dirname "$0")/lib.sh"
own_network
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
command -v tcpdump >/dev/null || fail "tcpdump is needed (scripts/test installs it)"
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
REPLAY="$BUILD_DIR/src/surgewatch-replay"
start_syslog

dst=127.0.0.206
port=46206
filter="dst host $dst and dst port $port"
capture="$TEST_DIR/flood.pcap"

# The SYN, as hping3 builds it, caught before anything else listens.
syn="$TEST_DIR/syn.pcap"
timeout 10 tcpdump -i lo -n -s 68 -c 1 -U --immediate-mode -Z root -w "$syn" "$filter" 2>"$TEST_DIR/syn.err" &
catcher=$!
on_exit "kill $catcher 2>/dev/null"
wait_for_line "$TEST_DIR/syn.err" 'listening on lo' 5 ||
    fail "tcpdump did not start: $(cat "$TEST_DIR/syn.err")"
timeout 5 hping3 -q -S -p "$port" -s 4606 -k -c 1 "$dst" >"$TEST_DIR/hping.out" 2>&1 || true
wait "$catcher" || fail "no SYN caught: $(cat "$TEST_DIR/syn.err" "$TEST_DIR/hping.out")"

spawn_with_syslog "$SURGEWATCH" lo "$filter" >"$TEST_DIR/live.out" 2>"$TEST_DIR/live.err"
monitor=$SPAWNED_PID
wait_for_line "$TEST_DIR/live.out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$TEST_DIR/live.out" "$TEST_DIR/live.err")"

# tcpdump -> fifo -> tee (the file) -> replay of standard input. tcpdump keeps
# root (-Z root): the test directory is root's alone. In immediate mode it
# hands on every packet at once: packets still waiting in the kernel's ring
# when it is stopped would be lost.
mkfifo "$TEST_DIR/stream"
(
    tee "$capture" <"$TEST_DIR/stream" |
        with_syslog "$REPLAY" - "$filter" >"$TEST_DIR/piped.out" 2>"$TEST_DIR/piped.err"
    echo "${PIPESTATUS[1]}" >"$TEST_DIR/piped.status"
) &
reader=$!
on_exit "kill $reader 2>/dev/null"
tcpdump -i lo -n -s 68 -U --immediate-mode -Z root -w "$TEST_DIR/stream" "$filter" 2>"$TEST_DIR/tcpdump.err" &
recorder=$!
on_exit "kill $recorder 2>/dev/null; wait $recorder 2>/dev/null"
wait_for_line "$TEST_DIR/tcpdump.err" 'listening on lo' 5 ||
    fail "tcpdump did not start: $(cat "$TEST_DIR/tcpdump.err")"

rate='[0-9]+\.[0-9]{2}'
flow_alert_re="^FLOOD: ${dst//./\\.} - $rate tcp packets/s from 127\\.0\\.0\\.1 \\[DSCP 00\\]\$"

flood_start=$(date -u +%s)
flood_lo_until "$syn" "$TEST_DIR/live.out" "$flow_alert_re" "the live monitor"

# Once the capture stops growing, tcpdump is stopped; the piped replay then
# meets the end of its input.
wait_until_still "$capture"
stop_process "$recorder" 5
for ((i = 0; i < 100; i++)); do
    [ -s "$TEST_DIR/piped.status" ] && break
    sleep 0.05
done
[ -s "$TEST_DIR/piped.status" ] || fail "the piped replay did not end at the end of its input"
stop_process "$monitor"

status=0
with_syslog "$REPLAY" "$capture" "$filter" >"$TEST_DIR/file.out" 2>"$TEST_DIR/file.err" || status=$?
timed_status=0
with_syslog "$REPLAY" -t "$capture" "$filter" >"$TEST_DIR/timed.out" 2>"$TEST_DIR/timed.err" || timed_status=$?
flood_end=$(date -u +%s)
syslog_sync

[ "$(cat "$TEST_DIR/piped.status")" -eq 0 ] || fail "piped replay: exit status $(cat "$TEST_DIR/piped.status")"
[ "$status" -eq 0 ] || fail "replay of $capture: exit status $status: $(cat "$TEST_DIR/file.out")"
[ ! -s "$TEST_DIR/piped.err" ] || fail "piped replay, standard error: $(head -c 500 "$TEST_DIR/piped.err")"
[ ! -s "$TEST_DIR/file.err" ] || fail "file replay, standard error: $(head -c 500 "$TEST_DIR/file.err")"

# The kinds of alert: each alert with its rate taken out.
kinds() { grep '^FLOOD: ' "$1" | sed -E "s/ - $rate / - RATE /" | sort -u; }
live_kinds=$(kinds "$TEST_DIR/live.out")
[ "$(kinds "$TEST_DIR/piped.out")" = "$live_kinds" ] ||
    fail "piped replay alerts differ from the live ones:"$'\n'"$(grep FLOOD "$TEST_DIR/piped.out")"$'\n'"live:"$'\n'"$(grep FLOOD "$TEST_DIR/live.out")"
[ "$(kinds "$TEST_DIR/file.out")" = "$live_kinds" ] ||
    fail "file replay alerts differ from the live ones:"$'\n'"$(grep FLOOD "$TEST_DIR/file.out")"$'\n'"live:"$'\n'"$(grep FLOOD "$TEST_DIR/live.out")"
# At 3000 packets/s one flow gives the flow alert and nothing else: one new
# flow is no flows alert, and the destination stays below 5000 packets/s.
[ "$live_kinds" = "FLOOD: $dst - RATE tcp packets/s from 127.0.0.1 [DSCP 00]" ] ||
    fail "not the flow alert alone:"$'\n'"$live_kinds"

# Both replays read the same bytes: the same output but for the file's name
# in the first line and the processor time of the sweeps.
same() { sed -E '1d; s/took [0-9.]+ seconds/took D seconds/' "$1"; }
[ "$(same "$TEST_DIR/piped.out")" = "$(same "$TEST_DIR/file.out")" ] ||
    fail "the replays differ:"$'\n'"$(diff <(same "$TEST_DIR/piped.out") <(same "$TEST_DIR/file.out"))"
[ "$(head -n 1 "$TEST_DIR/piped.out")" = "Opening file -... done" ] ||
    fail "piped replay: first line $(head -n 1 "$TEST_DIR/piped.out")"
[ "$(head -n 1 "$TEST_DIR/file.out")" = "Opening file $capture... done" ] ||
    fail "file replay: first line $(head -n 1 "$TEST_DIR/file.out")"
summary=$(tail -n 1 "$TEST_DIR/file.out")
[[ "$summary" =~ ^Replayed\ ([0-9]+)\ packets$ ]] || fail "no summary line: $summary"
((BASH_REMATCH[1] > 12000)) || fail "too few packets recorded for 5 s of flood: $summary"

# The live monitor's alerts reached the system log; nothing of the replays.
logged=$(syslog_messages)
grep -qE "^177 surgewatch: ${flow_alert_re#^}" <<<"$logged" ||
    fail "the live monitor's alert is not in the system log: $logged"
others=$(grep -v '^177 surgewatch: ' <<<"$logged") || true
[ -z "$others" ] || fail "the system log holds messages besides the live monitor's: $others"

# With -t the same lines, each alert and sweep report stamped with the
# capture time of its packet: this run's clock, in UTC. The timeline draws
# them with gnuplot, which says nothing.
[ "$timed_status" -eq 0 ] && [ ! -s "$TEST_DIR/timed.err" ] ||
    fail "timed replay: exit status $timed_status: $(head -c 500 "$TEST_DIR/timed.err")"
stamp_re='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z '
[ "$(sed -E "s/$stamp_re//" "$TEST_DIR/timed.out" | same /dev/stdin)" = "$(same "$TEST_DIR/file.out")" ] ||
    fail "the timed replay differs beyond its stamps:"$'\n'"$(diff "$TEST_DIR/file.out" "$TEST_DIR/timed.out")"
lines='(FLOOD: |Flow cleanup |Host cleanup )'
plain=$(grep -cE "^$lines" "$TEST_DIR/file.out") || true
[ "$plain" -gt 0 ] && [ "$(grep -cE "$stamp_re$lines" "$TEST_DIR/timed.out")" -eq "$plain" ] ||
    fail "not every alert and sweep report is stamped:"$'\n'"$(cat "$TEST_DIR/timed.out")"
grep -oE "$stamp_re" "$TEST_DIR/timed.out" >"$TEST_DIR/stamps"
while read -r stamp; do
    seconds=$(date -u -d "$stamp" +%s)
    ((seconds >= flood_start && seconds <= flood_end)) ||
        fail "stamp $stamp outside the flood, $(date -u -d "@$flood_start" +%FT%TZ) to $(date -u -d "@$flood_end" +%FT%TZ)"
done <"$TEST_DIR/stamps"
"$(dirname "$0")/../../helpers/surgewatch-timeline" "$TEST_DIR/timeline.png" "$TEST_DIR/timed.out" \
    >"$TEST_DIR/timeline.out" 2>&1 || fail "surgewatch-timeline: $(cat "$TEST_DIR/timeline.out")"
[ ! -s "$TEST_DIR/timeline.out" ] || fail "surgewatch-timeline said: $(cat "$TEST_DIR/timeline.out")"
[ "$(head -c 4 "$TEST_DIR/timeline.png" | od -An -c | tr -d ' ')" = "211PNG" ] || fail "no PNG drawn"

echo "PASS: $summary"
grep '^FLOOD: ' "$TEST_DIR/file.out"
