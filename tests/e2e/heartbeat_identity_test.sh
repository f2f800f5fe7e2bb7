#!/usr/bin/env bash
# The heartbeat and the system-log identity. The monitor watches one end of
# a veth pair in a network namespace of this test's own, with a heartbeat
# every second and an identity of its own:
#  - quiet link: heartbeats come, traffic or not, each counting nothing;
#  - busy link: tcpreplay sends a known number of frames; the heartbeats
#    from then on count exactly those (nothing is dropped at this rate);
#  - every line of the heartbeat has two copies, local6.info (182) under the
#    identity, and standard output.
# A start-up failure carries the identity when it is set, and the program's
# own name when it is not.
. "$(dirname "$0")/lib.sh"
need_root
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"
watched="swhbA$$"
peer="swhbB$$"
ip -n "$ns" link add "$watched" type veth peer name "$peer" || fail "cannot create $watched"
ip -n "$ns" link set "$watched" up
ip -n "$ns" link set "$peer" up

frames=5000
"$BUILD_DIR/bench/surgewatch-gencap" -n "$frames" -f 50 -H 5 -s 1 -r 5 \
    -o "$TEST_DIR/frames.pcap" >/dev/null 2>&1 || fail "cannot write the capture"

identity="surgewatch@$watched"
out="$TEST_DIR/monitor.out"
SURGEWATCH_HEARTBEAT_SECONDS=1 SURGEWATCH_SYSLOG_IDENT=$identity \
    spawn_with_syslog ip netns exec "$ns" "$SURGEWATCH" "$watched" ip >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

beat_re='^Heartbeat: ([0-9]+) packets received, ([0-9]+) dropped since the last heartbeat$'
beats() { grep -cE "$beat_re" "$out" || true; }
# wait_beats N: until standard output holds N heartbeats, 10 s at most.
wait_beats() {
    local deadline=$((SECONDS + 10))
    until (($(beats) >= $1)); do
        ((SECONDS < deadline)) || fail "no heartbeat $1: $(tail -n 3 "$out")"
        sleep 0.1
    done
}

wait_beats 2
quiet=$(beats)
ip netns exec "$ns" tcpreplay -q --pps=20000 -i "$peer" "$TEST_DIR/frames.pcap" >"$TEST_DIR/tcpreplay.log" 2>&1 ||
    fail "tcpreplay: $(tail -n 3 "$TEST_DIR/tcpreplay.log")"
# Every frame is in libpcap's counters once tcpreplay has sent it: the
# first heartbeat begun after that counts the last of them.
sent_at=$(beats)
wait_beats $((sent_at + 2))
stop_process "$monitor"
[ "$STOPPED_STATUS" -eq 143 ] || fail "exit status $STOPPED_STATUS: it did not run until SIGTERM"
[ ! -s "$TEST_DIR/monitor.err" ] || fail "standard error: $(head -c 500 "$TEST_DIR/monitor.err")"
syslog_sync

mapfile -t printed < <(grep -E "$beat_re" "$out")
received=0
for ((i = 0; i < ${#printed[@]}; i++)); do
    [[ ${printed[i]} =~ $beat_re ]]
    [ "${BASH_REMATCH[2]}" -eq 0 ] || fail "drops at this rate: ${printed[i]}"
    if ((i < quiet)); then
        [ "${BASH_REMATCH[1]}" -eq 0 ] || fail "quiet heartbeat $((i + 1)): ${printed[i]}"
    else
        received=$((received + BASH_REMATCH[1]))
    fi
done
[ "$received" -eq "$frames" ] ||
    fail "the heartbeats count $received packets of $frames sent: $(printf '%s | ' "${printed[@]}")"
# Standard output holds the progress lines, the heartbeats and the sweeps'
# reports, nothing else.
others=$(grep -vE "$beat_re" "$out" | grep -vE '^(Flow|Host) cleanup took ') || true
[ "$(wc -l <<<"$others")" -eq 4 ] || fail "standard output: $others"
# The system log: the same heartbeats, in order, at local6.info, under the
# identity, and nothing else.
logged=$(syslog_messages)
expected=$(printf "182 $identity: %s\n" "${printed[@]}")
[ "$logged" = "$expected" ] || fail "system log:"$'\n'"$logged"$'\n'"expected:"$'\n'"$expected"

# The identity on a start-up failure, and the program's name without it.
before=$(syslog_messages | wc -l)
SURGEWATCH_SYSLOG_IDENT=$identity with_syslog ip netns exec "$ns" "$SURGEWATCH" "swnone$$" ip \
    >/dev/null 2>&1 || true
with_syslog ip netns exec "$ns" "$SURGEWATCH" "swnone$$" ip >/dev/null 2>&1 || true
syslog_sync
mapfile -t failures < <(syslog_messages | tail -n +$((before + 1)))
[ "${#failures[@]}" -eq 2 ] || fail "start-up failures logged: $(printf '%s | ' "${failures[@]}")"
[[ ${failures[0]} == "177 $identity: alert.cpp "*" Cannot open pcap device: swnone$$: "* ]] ||
    fail "with the identity: ${failures[0]}"
[[ ${failures[1]} == "177 surgewatch: alert.cpp "*" Cannot open pcap device: swnone$$: "* ]] ||
    fail "without it: ${failures[1]}"
echo "PASS: ${#printed[@]} heartbeats, $received packets counted of $frames sent"
