#!/usr/bin/env bash
# A real flood on loopback, seen three ways: by the live monitor, by
# surgewatch-replay reading tcpdump's output through a pipe while it is
# written, and by surgewatch-replay reading the same capture from its file
# afterwards. hping3 sends SYNs from one fixed source port, every 120
# microseconds at most (some 3000 to 5000 packets/s, above the 2000 of the
# flow rule even on a loaded machine), until the monitor alerts, at most 10 s.
#
# The replays must raise the same kinds of alert as the live monitor, agree
# with each other line for line, and leave the system log alone.
. "$(dirname "$0")/lib.sh"
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
command -v tcpdump >/dev/null || fail "tcpdump is needed (scripts/test installs it)"
REPLAY="$BUILD_DIR/src/surgewatch-replay"
start_syslog

dst=127.0.0.206
port=46206
filter="dst host $dst and dst port $port"
capture="$TEST_DIR/flood.pcap"

spawn_with_syslog "$SURGEWATCH" lo "$filter" >"$TEST_DIR/live.out" 2>"$TEST_DIR/live.err"
monitor=$SPAWNED_PID
wait_for_line "$TEST_DIR/live.out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 5 ||
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
nice -n 5 timeout 10 hping3 -q -S -p "$port" -s 4606 -k -i u120 -c 50000 "$dst" >"$TEST_DIR/hping.out" 2>&1 &
sender=$!
on_exit "kill $sender 2>/dev/null"
alerted=0
wait_for_line "$TEST_DIR/live.out" "$flow_alert_re" 11 || alerted=1
kill -TERM "$sender" 2>/dev/null || true
wait "$sender" 2>/dev/null || true
[ "$alerted" -eq 0 ] ||
    fail "no flow alert from the live monitor; hping3: $(tail -n 3 "$TEST_DIR/hping.out"); monitor: $(tail -n 3 "$TEST_DIR/live.out")"

# Once the capture stops growing, tcpdump is stopped; the piped replay then
# meets the end of its input.
size=-1
for ((i = 0; i < 40; i++)); do
    sleep 0.1
    now=$(stat -c %s "$capture")
    [ "$now" -eq "$size" ] && break
    size=$now
done
stop_process "$recorder" 5
for ((i = 0; i < 100; i++)); do
    [ -s "$TEST_DIR/piped.status" ] && break
    sleep 0.05
done
[ -s "$TEST_DIR/piped.status" ] || fail "the piped replay did not end at the end of its input"
stop_process "$monitor"

status=0
with_syslog "$REPLAY" "$capture" "$filter" >"$TEST_DIR/file.out" 2>"$TEST_DIR/file.err" || status=$?
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
grep -qxF "FLOOD: $dst - RATE tcp packets/s from 127.0.0.1 [DSCP 00]" <<<"$live_kinds" ||
    fail "no flow alert among:"$'\n'"$live_kinds"
# One flow is one new flow: never a flows alert. (A packets alert would need
# more than 5000 packets/s, which a loaded machine may or may not send.)
! grep -q ' flows/s$' <<<"$live_kinds" || fail "a flows alert for a single flow:"$'\n'"$live_kinds"

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
((BASH_REMATCH[1] > 12000)) || fail "too few packets recorded for a flood: $summary"

# The live monitor's alerts reached the system log; nothing of the replays.
logged=$(syslog_messages)
grep -qE "^177 surgewatch: ${flow_alert_re#^}" <<<"$logged" ||
    fail "the live monitor's alert is not in the system log: $logged"
others=$(grep -v '^177 surgewatch: ' <<<"$logged") || true
[ -z "$others" ] || fail "the system log holds messages besides the live monitor's: $others"

echo "PASS: $summary"
grep '^FLOOD: ' "$TEST_DIR/file.out"
