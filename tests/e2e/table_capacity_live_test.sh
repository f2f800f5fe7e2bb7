#!/usr/bin/env bash
# Full tables, live: in a network namespace of this test's own, the monitor
# captures one end of a veth pair with SURGEWATCH_MAX_FLOWS=1000 and
# SURGEWATCH_MAX_HOSTS=50, and hping3 floods the other end:
#  - SYNs from random sources to 198.51.100.9, some 20,000 a second: the
#    destination's new-flows alert still comes, the flow table refuses, and
#    after each flow sweep "Flow table full: ..." goes to local6.warning and
#    standard output; the monitor's resident memory stays where it was
#    between two such lines, while the flood makes 100,000 flows and more;
#  - then SYNs to random destinations in 198.51.101.0/24 as well: after the
#    next host sweep, "Host table full: ...".
# Each step waits for its lines at most 25 s (the sweeps come every 10 and
# 20 s of packet time).
. "$(dirname "$0")/lib.sh"
need_root
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"
in_ns() { in_netns "$ns" "$@"; }
veth_pair "$ns" sender monitored
# Everything sent goes out of "sender" to one gateway that needs no ARP.
ip -n "$ns" addr add 192.0.2.1/24 dev sender
ip -n "$ns" neigh add 192.0.2.254 lladdr 02:00:00:00:00:fe dev sender nud permanent
ip -n "$ns" route add 198.51.0.0/16 via 192.0.2.254 dev sender

out="$TEST_DIR/monitor.out"
spawn_with_syslog env SURGEWATCH_MAX_FLOWS=1000 SURGEWATCH_MAX_HOSTS=50 \
    ip netns exec "$ns" "$SURGEWATCH" monitored "tcp[tcpflags] == tcp-syn" \
    >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 5 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

# send NAME HPING3_ARGS...: hping3 in the namespace for 60 s at most,
# stopped when the test ends.
send() {
    local name=$1
    shift
    in_ns nice -n 5 timeout 60 hping3 -q "$@" >"$TEST_DIR/$name.hping" 2>&1 &
    on_exit "kill $! 2>/dev/null; wait $! 2>/dev/null"
}
resident_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$monitor/status"; }
flow_full='Flow table full: [0-9]+ new flows not stored since the last report \(capacity 1000\)'
host_full='Host table full: [0-9]+ new destinations not stored since the last report \(capacity 50\)'

send sources -S -p 80 -i u50 --rand-source 198.51.100.9
wait_for_line "$SYSLOG_FILE" '^177 surgewatch: FLOOD: 198\.51\.100\.9 - [0-9.]+ flows/s$' 15 ||
    fail "no destination alert; system log: $(tail -n 3 "$SYSLOG_FILE")"
wait_for_line "$out" "^$flow_full\$" 25 || fail "no flow table line: $(tail -n 5 "$out")"
first_kib=$(resident_kib)
first_lines=$(grep -cE "^$flow_full\$" "$out")
deadline=$((SECONDS + 25))
until [ "$(grep -cE "^$flow_full\$" "$out")" -gt "$first_lines" ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no second flow table line: $(tail -n 5 "$out")"
    sleep 0.1
done
second_kib=$(resident_kib)
refused=$(grep -E "^$flow_full\$" "$out" | tail -n 1 | awk '{ print $4 }')
[ "$refused" -ge 10000 ] || fail "only $refused flows refused in 10 s: the flood was too slow to tell"
# 10,000 flows would take some 1 MiB unbounded; the flood made $refused.
# The sanitizer build keeps freed records in quarantine (up to 256 MiB), so
# there its resident memory grows whatever the tables hold. (grep reads all
# of ldd's lines: with -q it may quit at the first, ldd then die of SIGPIPE,
# and pipefail turn the match into a mismatch.)
if ldd "$SURGEWATCH" | grep libasan >/dev/null; then
    echo "sanitizer build: resident memory not compared ($first_kib -> $second_kib KiB)"
else
    [ $((second_kib - first_kib)) -le 1024 ] ||
        fail "resident memory grew from $first_kib to $second_kib KiB while $refused flows were refused"
fi

send destinations -S -p 80 -i u1000 -I sender --rand-dest 198.51.101.x
wait_for_line "$out" "^$host_full\$" 25 || fail "no host table line: $(tail -n 5 "$out")"

stop_process "$monitor"
[ "$STOPPED_STATUS" -eq 143 ] || fail "exit status $STOPPED_STATUS: it did not run until SIGTERM"
syslog_sync
# Each line has its copy at local6.warning, in the same order.
logged=$(grep -E "^180 surgewatch: ($flow_full|$host_full)\$" "$SYSLOG_FILE" | sed 's/^180 surgewatch: //')
printed=$(grep -E "^($flow_full|$host_full)\$" "$out")
[ "$logged" = "$printed" ] ||
    fail "the copies differ; system log:"$'\n'"$logged"$'\n'"standard output:"$'\n'"$printed"
echo "PASS: resident $first_kib -> $second_kib KiB while $refused flows were refused"
echo "$printed"
