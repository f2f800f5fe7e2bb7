#!/usr/bin/env bash
# Packets the kernel drops before the monitor reads them. The monitor watches
# one end of a veth pair of this test's own; tcpreplay sends on the other.
#  - Quiet: a few packets 10 s after the start bring the first flow sweep;
#    nothing was dropped, so nothing but the sweep report is written.
#  - Stopped: the monitor is stopped (SIGSTOP) while a burst of 100,000
#    frames, far more than the capture ring holds (2 MiB here, libpcap's
#    own default, instead of the monitor's), crosses the link; once
#    resumed, the next flow sweep is followed by one line, also in the
#    system log at local6.warning (180), counting what the ring could not
#    hold.
. "$(dirname "$0")/lib.sh"
own_network
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
start_syslog

watched="swdrA$$"
peer="swdrB$$"
veth_pair "$SURGEWATCH_TEST_NETNS" "$watched" "$peer"

burst=100000
"$BUILD_DIR/bench/surgewatch-gencap" -n "$burst" -f 5000 -H 50 -s 1 -r 7 \
    -o "$TEST_DIR/burst.pcap" >/dev/null || fail "cannot write the burst capture"
"$BUILD_DIR/bench/surgewatch-gencap" -n 20 -f 5 -H 2 -s 1 -r 8 \
    -o "$TEST_DIR/few.pcap" >/dev/null || fail "cannot write the small capture"
send() { tcpreplay -q --topspeed -i "$peer" "$1" >>"$TEST_DIR/tcpreplay.log" 2>&1; }

out="$TEST_DIR/monitor.out"
start=$(date +%s)
SURGEWATCH_BUFFER_MB=2 spawn_with_syslog "$SURGEWATCH" "$watched" ip >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

# sweep_at SECONDS: sends a few packets once SECONDS have passed since the
# start, until a new flow sweep report shows (packet time moves only with
# packets), 5 s at most.
sweeps=0
sweep_at() {
    local when=$(($start + $1)) deadline
    while (($(date +%s) <= when)); do sleep 0.2; done
    sweeps=$((sweeps + 1))
    deadline=$((SECONDS + 5))
    until (($(grep -c '^Flow cleanup took' "$out") >= sweeps)); do
        ((SECONDS < deadline)) || fail "no flow sweep $sweeps: $(tail -n 3 "$out")"
        send "$TEST_DIR/few.pcap"
        sleep 0.2
    done
}

sweep_at 10
syslog_sync
grep -q 'Capture dropped' "$out" && fail "a drop line while the monitor keeps up: $(cat "$out")"
[ -z "$(syslog_messages)" ] || fail "system log while the monitor keeps up: $(syslog_messages)"

kill -STOP "$monitor"
send "$TEST_DIR/burst.pcap" || fail "tcpreplay: $(tail -n 3 "$TEST_DIR/tcpreplay.log")"
kill -CONT "$monitor"
sweep_at 20
wait_for_line "$out" '^Capture dropped' 2 || fail "no drop line after the burst: $(tail -n 5 "$out")"

line=$(grep '^Capture dropped' "$out")
[[ $line =~ ^Capture\ dropped\ ([0-9]+)\ packets\ since\ the\ last\ report\ \(([0-9]+)\ received\)$ ]] ||
    fail "malformed drop line '$line'"
dropped=${BASH_REMATCH[1]}
received=${BASH_REMATCH[2]}
# The ring holds some thousands of 68-byte frames; most of the burst is lost.
((dropped >= burst / 2 && dropped <= received && received <= burst + 200)) ||
    fail "implausible: $dropped dropped, $received received, of a burst of $burst"
# It follows the flow sweep report of the sweep that saw it.
previous=$(grep -B1 '^Capture dropped' "$out" | head -n 1)
[[ $previous == "Flow cleanup took "* || $previous == "Host cleanup took "* ]] ||
    fail "the drop line follows '$previous'"
syslog_sync
[ "$(syslog_messages)" = "180 surgewatch: $line" ] ||
    fail "system log: $(syslog_messages | head -n 3)"
echo "PASS: $line"
