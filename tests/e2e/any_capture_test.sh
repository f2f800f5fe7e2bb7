#!/usr/bin/env bash
# The "any" device, live and recorded: one UDP datagram from hping3,
# recorded, is sent again by tcpreplay 3000 times a second on this test's
# loopback while the live monitor captures on "any" and `tcpdump -i any`
# records the same packets (link type LINUX_SLL2, 20 bytes of cooked
# header). The flood stops at the monitor's alert (at most 15 s). The replay
# of the recording must then see every packet tcpdump recorded, at the
# offset of that link type, and raise the same alerts as the live monitor:
# the flow alert alone, as 3000 packets/s is above the flow rule's 2000 and
# below the destination's 5000. (tcpreplay keeps its rate against the clock
# however loaded the machine is; see replay_test.sh.)
. "$(dirname "$0")/lib.sh"
own_network
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
command -v tcpdump >/dev/null || fail "tcpdump is needed (scripts/test installs it)"
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
REPLAY="$BUILD_DIR/src/surgewatch-replay"
start_syslog

dst=127.0.0.207
port=46207
filter="udp and dst host $dst and dst port $port"

# record IFACE FILE [COUNT]: tcpdump on IFACE in the background, until
# COUNT packets if given, 40 s at most; $recorder is its process id.
record() {
    timeout 40 tcpdump -i "$1" -n -s 68 ${3:+-c "$3"} -B 16384 -U --immediate-mode -Z root \
        -w "$2" "$filter" 2>"$2.err" &
    recorder=$!
    on_exit "kill $recorder 2>/dev/null; wait $recorder 2>/dev/null"
    wait_for_line "$2.err" "listening on $1" 5 || fail "tcpdump did not start: $(cat "$2.err")"
}

one="$TEST_DIR/one.pcap"
record lo "$one" 1
timeout 5 hping3 -q -2 -p "$port" -s 4607 -k -c 1 "$dst" >"$TEST_DIR/hping.out" 2>&1 || true
wait "$recorder" || fail "no datagram caught: $(cat "$one.err" "$TEST_DIR/hping.out")"

live="$TEST_DIR/live.out"
spawn_with_syslog "$SURGEWATCH" any "$filter" >"$live" 2>"$TEST_DIR/live.err"
monitor=$SPAWNED_PID
wait_for_line "$live" '^Detecting IP layer offset in bytes\.\.\. [0-9]+ done$' 30 ||
    fail "the monitor did not start: $(cat "$live" "$TEST_DIR/live.err")"
any="$TEST_DIR/any.pcap"
record any "$any"
grep -q 'LINUX_SLL2' "$any.err" || fail "not a LINUX_SLL2 capture: $(cat "$any.err")"

rate='[0-9]+\.[0-9]{2}'
flow_alert_re="^FLOOD: ${dst//./\\.} - $rate udp packets/s from 127\\.0\\.0\\.1 \\[DSCP 00\\]\$"
flood_lo_until "$one" "$live" "$flow_alert_re" "the monitor on any"

# Once the recording stops growing, tcpdump is stopped and says how many
# packets it recorded.
wait_until_still "$any"
stop_process "$recorder" 5
stop_process "$monitor"
[ "$STOPPED_STATUS" -eq 143 ] || fail "the monitor's exit status $STOPPED_STATUS: it did not run until SIGTERM"
[ ! -s "$TEST_DIR/live.err" ] || fail "the monitor's standard error: $(head -c 500 "$TEST_DIR/live.err")"
recorded=$(sed -n 's/^\([0-9]*\) packets\{0,1\} captured$/\1/p' "$any.err")
[ -n "$recorded" ] || fail "tcpdump did not say what it recorded: $(cat "$any.err")"

status=0
"$REPLAY" "$any" "$filter" >"$TEST_DIR/replay.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "exit status $status: $(cat "$TEST_DIR/replay.out")"
progress="Opening file $any... done
Compiling filter \`$filter\`... done
Setting filter... done
Detecting IP layer offset in bytes... 20 done"
[ "$(head -n 4 "$TEST_DIR/replay.out")" = "$progress" ] ||
    fail "progress lines: $(cat "$TEST_DIR/replay.out")"
[ "$(tail -n 1 "$TEST_DIR/replay.out")" = "Replayed $recorded packets" ] ||
    fail "tcpdump recorded $recorded packets; the replay: $(tail -n 1 "$TEST_DIR/replay.out")"

# The kinds of alert, each with its rate taken out: the same live and in the
# replay, the flow alert alone.
kinds() { grep '^FLOOD: ' "$1" | sed -E "s/ - $rate / - RATE /" | sort -u; }
live_kinds=$(kinds "$live")
[ "$live_kinds" = "FLOOD: $dst - RATE udp packets/s from 127.0.0.1 [DSCP 00]" ] ||
    fail "not the flow alert alone from the monitor on any:"$'\n'"$live_kinds"
[ "$(kinds "$TEST_DIR/replay.out")" = "$live_kinds" ] ||
    fail "the replay's alerts differ from the live ones:"$'\n'"$(grep FLOOD "$TEST_DIR/replay.out")"$'\n'"live:"$'\n'"$(grep FLOOD "$live")"
echo "PASS: $recorded packets recorded on any; $(grep -m1 '^FLOOD: ' "$TEST_DIR/replay.out")"
