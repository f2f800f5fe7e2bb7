#!/usr/bin/env bash
# The operator's path end to end: the monitor, confined as its systemd unit
# confines it (an unprivileged user with the unit's ambient capabilities and
# no new privileges), raises a live alert; the rsyslog examples as shipped
# route it to its own file and out of the general log, and forward it over
# RELP to a collector that was down when the alert was raised.
. "$(dirname "$0")/lib.sh"
own_network

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
examples="$source_dir/packaging/rsyslog"
unit="$source_dir/packaging/systemd/surgewatch@.service.in"

# Our own loopback address and ports, so that concurrent tests never meet.
address="127.8.$((($$ / 250) % 250 + 1)).$(($$ % 250 + 1))"
target_port=$((20000 + $$ % 10000))
collector_port=$(free_port)

# The examples with their paths moved into this test's directory and the
# collector made local; everything else stays as shipped.
routed="$TEST_DIR/surgewatch.log"
sed "s|/var/log/surgewatch.log|$routed|" "$examples/30-surgewatch-local.conf" >"$TEST_DIR/local.conf"
sed -e 's|target="collector.example.net"|target="127.0.0.1"|' -e "s|port=\"2514\"|port=\"$collector_port\"|" \
    "$examples/20-surgewatch-forward.conf" >"$TEST_DIR/forward.conf"
grep -q "port=\"$collector_port\"" "$TEST_DIR/forward.conf" || fail "forwarding example not rewritten"
start_syslog "$TEST_DIR/forward.conf" "$TEST_DIR/local.conf"
chmod 755 "$TEST_DIR"  # the unprivileged monitor reaches the log socket and its binary here

# The unit's capabilities, as setpriv wants them: +net_raw,+net_admin.
caps=$(sed -n 's/^AmbientCapabilities=//p' "$unit" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
[ -n "$caps" ] || fail "no AmbientCapabilities in the unit"
grep -qx 'NoNewPrivileges=yes' "$unit" || fail "the unit does not set NoNewPrivileges"
filter="ip and dst host $address and tcp dst port $target_port"
cp "$SURGEWATCH" "$TEST_DIR/surgewatch"
# confined CAPS: the monitor as the unit runs it, with capabilities CAPS
# (none when empty). It leaves its process id, which the monitor keeps
# through the execs, in monitor.pid.
cat >"$TEST_DIR/confined" <<SCRIPT
#!/bin/sh
echo \$\$ >"$TEST_DIR/monitor.pid"
exec setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs \\
    --bounding-set="-all,$caps" --inh-caps="-all\${1:+,\$1}" --ambient-caps="-all\${1:+,\$1}" \\
    -- "$TEST_DIR/surgewatch" lo "$filter"
SCRIPT
chmod 755 "$TEST_DIR/confined"

# Without the capabilities the start fails, and the failure is routed too.
status=0
with_syslog "$TEST_DIR/confined" "" >"$TEST_DIR/denied.out" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "without capabilities the monitor exited with $status: $(cat "$TEST_DIR/denied.out")"
grep -q 'Cannot open pcap device: lo: .*permission' "$TEST_DIR/denied.out" ||
    fail "unexpected failure: $(cat "$TEST_DIR/denied.out")"
wait_for_line "$routed" 'surgewatch: alert\.cpp [0-9]+ Cannot open pcap device: lo: ' 5 ||
    fail "start-up failure not routed: $(cat "$routed")"
rm "$TEST_DIR/monitor.pid"

# With them it captures. New flows from hping3's rising source ports reach
# our address at several hundred per second: a flows alert within seconds.
with_syslog "$TEST_DIR/confined" "$caps" >"$TEST_DIR/monitor.out" 2>&1 &
on_exit "[ ! -f '$TEST_DIR/monitor.pid' ] || kill \$(cat '$TEST_DIR/monitor.pid'); wait $!"
wait_for_line "$TEST_DIR/monitor.out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "confined monitor did not start: $(cat "$TEST_DIR/monitor.out")"
timeout 20 hping3 -q -S -p "$target_port" -i u1000 -c 20000 "$address" >/dev/null 2>&1 &
traffic=$!
on_exit "kill $traffic 2>/dev/null; wait $traffic 2>/dev/null"
alert="surgewatch: FLOOD: ${address//./\\.} - [0-9]+\.[0-9]{2} flows/s$"
wait_for_line "$routed" "$alert" 15 ||
    fail "no flows alert in the routed file: $(cat "$routed"); monitor: $(cat "$TEST_DIR/monitor.out")"
kill "$traffic" 2>/dev/null || true
grep -qE "^FLOOD: ${address//./\\.} - [0-9]+\.[0-9]{2} flows/s$" "$TEST_DIR/monitor.out" ||
    fail "alert missing on standard output: $(cat "$TEST_DIR/monitor.out")"

# Routing is by facility and level: another program's local6 at a level
# below warning goes on to the general log, and nothing of the monitor's
# went there.
logger -u "$SYSLOG_SOCKET" -p local6.info -t other "not an alert"
wait_for_line "$SYSLOG_FILE" '^182 other: not an alert$' 5 || fail "local6.info did not reach the general log"
! grep -q 'not an alert' "$routed" || fail "local6.info was routed as an alert"
! grep -qE 'FLOOD|Cannot open' "$SYSLOG_FILE" || fail "alerts leaked into the general log: $(cat "$SYSLOG_FILE")"

# The collector comes up only now; the queued alert reaches it on the next
# retry (10 s apart).
mkdir "$TEST_DIR/collector"
sed -e "s|/var/log/surgewatch/|$TEST_DIR/collector/|" \
    -e "s|input(type=\"imrelp\" port=\"2514\"|input(type=\"imrelp\" address=\"127.0.0.1\" port=\"$collector_port\"|" \
    "$examples/surgewatch-collector.conf" >"$TEST_DIR/collector.conf"
grep -q "port=\"$collector_port\"" "$TEST_DIR/collector.conf" || fail "collector example not rewritten"
printf 'global(workDirectory="%s")\n' "$TEST_DIR/collector" | cat - "$TEST_DIR/collector.conf" >"$TEST_DIR/collector-main.conf"
rsyslogd -n -f "$TEST_DIR/collector-main.conf" -i "$TEST_DIR/collector.pid" &
collector=$!
on_exit "kill $collector; wait $collector 2>/dev/null"
# One file per sensor, named after its host name as rsyslog sends it.
forwarded=""
for ((i = 0; i < 25 * 20; i++)); do
    forwarded=$(grep -lE "surgewatch: FLOOD: ${address//./\\.} - [0-9]+\.[0-9]{2} flows/s$" \
        "$TEST_DIR"/collector/*.log 2>/dev/null) && break
    sleep 0.05
done
[ -n "$forwarded" ] || fail "alert not forwarded to the collector: $(cat "$TEST_DIR"/collector/*.log 2>/dev/null)"
grep -q 'Cannot open pcap device' "$forwarded" || fail "start-up failure not forwarded"
echo "confined monitor alerted; routed, kept out of the general log, forwarded after the collector came up: ok"
