#!/usr/bin/env bash
# A capture made with `tcpdump -i any` (link type LINUX_SLL2, 20 bytes of
# cooked header) replays: one UDP datagram from hping3, recorded, sent again
# 15,000 times by tcpreplay on loopback as fast as it goes and once more
# 6 seconds later, all recorded on "any". The flow's first rate window then
# closes at the last packet with 15,002 packets over 6 or 7 seconds (the
# burst may straddle a second): above the flow rule's 2000 packets/s, and
# below the destination's 5000.
. "$(dirname "$0")/lib.sh"
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
command -v tcpdump >/dev/null || fail "tcpdump is needed (scripts/test installs it)"
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
REPLAY="$BUILD_DIR/src/surgewatch-replay"

dst=127.0.0.207
port=46207
filter="udp and dst host $dst and dst port $port"

# record IFACE FILE COUNT: tcpdump on IFACE until COUNT packets or 20 s.
record() {
    timeout 20 tcpdump -i "$1" -n -s 68 -c "$3" -B 16384 -U --immediate-mode -Z root \
        -w "$2" "$filter" 2>"$2.err" &
    recorder=$!
    on_exit "kill $recorder 2>/dev/null"
    wait_for_line "$2.err" "listening on $1" 5 || fail "tcpdump did not start: $(cat "$2.err")"
}

one="$TEST_DIR/one.pcap"
record lo "$one" 1
timeout 5 hping3 -q -2 -p "$port" -s 4607 -k -c 1 "$dst" >"$TEST_DIR/hping.out" 2>&1 || true
wait "$recorder" || fail "no datagram caught: $(cat "$one.err" "$TEST_DIR/hping.out")"

any="$TEST_DIR/any.pcap"
record any "$any" 15002
tcpreplay -q -i lo --topspeed --loop=15001 -K "$one" >"$TEST_DIR/tcpreplay.out" 2>&1 ||
    fail "tcpreplay: $(tail -n 3 "$TEST_DIR/tcpreplay.out")"
sleep 6
tcpreplay -q -i lo -K "$one" >>"$TEST_DIR/tcpreplay.out" 2>&1
wait "$recorder" || fail "tcpdump -i any: $(cat "$any.err")"
grep -q 'LINUX_SLL2' "$any.err" || fail "not a LINUX_SLL2 capture: $(cat "$any.err")"

status=0
"$REPLAY" "$any" "$filter" >"$TEST_DIR/replay.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "exit status $status: $(cat "$TEST_DIR/replay.out")"
progress="Opening file $any... done
Compiling filter \`$filter\`... done
Setting filter... done
Detecting IP layer offset in bytes... 20 done"
[ "$(head -n 4 "$TEST_DIR/replay.out")" = "$progress" ] ||
    fail "progress lines: $(cat "$TEST_DIR/replay.out")"
alert_re="^FLOOD: ${dst//./\\.} - (2500\\.33|2143\\.14) udp packets/s from 127\\.0\\.0\\.1 \\[DSCP 00\\]\$"
[[ $(sed -n 5p "$TEST_DIR/replay.out") =~ $alert_re ]] &&
    [ "$(tail -n +6 "$TEST_DIR/replay.out")" = "Replayed 15002 packets" ] ||
    fail "replay of the capture from 'any':"$'\n'"$(cat "$TEST_DIR/replay.out")"
echo "PASS: $(sed -n 5p "$TEST_DIR/replay.out")"
