#!/usr/bin/env bash
# Live floods on loopback, sent by hping3 to two addresses of this test's own
# and captured by the real monitor:
#  - SYN packets from one fixed source port as fast as they go: one flow
#    above 2000 packets/s gives the flow alert;
#  - SYN packets from a new source port each, some 500 to 1000 per second:
#    above 100 new flows/s towards one address gives the flows alert.
# A rate window closes at the first packet 6 seconds after it opened, so each
# flood runs until its alert is logged, at most 9 s. Standard output goes to a
# file: the alerts must be there after the monitor is killed.
. "$(dirname "$0")/lib.sh"
own_network
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
start_syslog

# Loopback replies (RSTs) go to 127.0.0.1, which the filter leaves out.
flow_dst=127.0.0.147
flows_dst=127.0.0.148
out="$TEST_DIR/monitor.out"
spawn_with_syslog "$SURGEWATCH" lo "dst host $flow_dst or dst host $flows_dst" \
    >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

# flood NAME LOG_REGEX HPING3_ARGS...: runs hping3 for 9 s at most, stopped
# as soon as the system log holds a line matching LOG_REGEX.
flood() {
    local name=$1 pattern=$2 found=0
    shift 2
    nice -n 5 timeout 9 hping3 -q "$@" >"$TEST_DIR/$name.hping" 2>&1 &
    local sender=$!
    on_exit "kill $sender 2>/dev/null"
    wait_for_line "$SYSLOG_FILE" "$pattern" 10 || found=1
    kill -TERM "$sender" 2>/dev/null || true
    wait "$sender" 2>/dev/null || true
    [ "$found" -eq 0 ] ||
        fail "$name: no alert in the system log; hping3: $(tail -n 3 "$TEST_DIR/$name.hping")" \
            "; system log: $(tail -n 3 "$SYSLOG_FILE"); standard output: $(tail -n 3 "$out")"
}

rate='[0-9]+\.[0-9]{2}'
flow_alert_re="FLOOD: ${flow_dst//./\\.} - $rate tcp packets/s from 127\\.0\\.0\\.1 \\[DSCP 00\\]"
flows_alert_re="FLOOD: ${flows_dst//./\\.} - $rate flows/s"

# One flow, as fast as the machine sends. In flood mode hping3 takes no
# count: the run is bounded by its time and stopped at the alert.
flood fixed_port "^177 surgewatch: $flow_alert_re\$" --flood -S -p 7 -s 5555 -k "$flow_dst"
# A new flow with every packet. (hping3 counts the replies too; their
# number ends the run just the same.)
flood new_ports "^177 surgewatch: $flows_alert_re\$" -S -p 7 -i u1000 -c 9000 "$flows_dst"

stop_process "$monitor"
[ "$STOPPED_STATUS" -eq 143 ] || fail "exit status $STOPPED_STATUS: it did not run until SIGTERM"
[ ! -s "$TEST_DIR/monitor.err" ] || fail "standard error: $(head -c 500 "$TEST_DIR/monitor.err")"

# Every alert has its two copies: the same texts, in the same order, in the
# system log (priority 177) and, one per line, on standard output.
logged=$(grep '^[0-9]* surgewatch: ' "$SYSLOG_FILE") || true
logged_alerts=$(grep '^177 surgewatch: FLOOD: ' <<<"$logged" | sed 's/^177 surgewatch: //') || true
printed_alerts=$(grep '^FLOOD: ' "$out") || true
[ "$logged_alerts" = "$printed_alerts" ] ||
    fail "the copies differ; system log:"$'\n'"$logged"$'\n'"standard output:"$'\n'"$(cat "$out")"
[ "$(grep -vc '^177 surgewatch: FLOOD: ' <<<"$logged")" -eq 0 ] ||
    fail "the system log holds more than alerts: $logged"
# Besides alerts, standard output holds the progress lines and the sweeps'
# reports, nothing else.
others=$(grep -vE '^(FLOOD: |(Flow|Host) cleanup took [0-9.]+ seconds \([0-9]+ -> [0-9]+\)$)' "$out") || true
[ "$others" = "Opening interface lo... done
Compiling filter \`dst host $flow_dst or dst host $flows_dst\`... done
Setting filter... done
Detecting IP layer offset in bytes... 14 done" ] || fail "unexpected standard output: $others"

grep -qxE "$flow_alert_re" <<<"$printed_alerts" || fail "no flow alert on standard output"
grep -qxE "$flows_alert_re" <<<"$printed_alerts" || fail "no flows alert on standard output"
# A flood from one port is one flow; a flood from ever new ports is no flow
# flood at all.
! grep -q "^FLOOD: $flow_dst - .* flows/s" <<<"$printed_alerts" ||
    fail "a flows alert for the single flow to $flow_dst"
! grep -q "^FLOOD: $flows_dst - .* tcp packets/s" <<<"$printed_alerts" ||
    fail "a flow alert for the one-packet flows to $flows_dst"
# An alerted rate is above its limit.
awk -v limit=2000 '$0 ~ / tcp packets\/s / && $4 <= limit { exit 1 }' <<<"$printed_alerts" ||
    fail "a flow alert at or below 2000 packets/s: $printed_alerts"
awk -v limit=100 '/ flows\/s$/ && $4 <= limit { exit 1 }' <<<"$printed_alerts" ||
    fail "a flows alert at or below 100 flows/s: $printed_alerts"
echo "PASS:"
echo "$printed_alerts"
