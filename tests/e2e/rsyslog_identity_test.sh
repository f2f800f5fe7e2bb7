#!/usr/bin/env bash
# The shipped rsyslog snippets with both of the monitor's identities, in a
# real rsyslogd: "surgewatch" (started by hand) and "surgewatch@INTERFACE"
# (the service), as the syslog copies and as the journal's copies of
# standard output (with a process id). The metrics file gets every line of
# both and nothing of other programs; the alert file gets the alerts and
# the warnings, made for the group adm; the heartbeats stay out of the
# general log; and the shipped mtail program reads the interface from what
# rsyslog wrote.
. "$(dirname "$0")/lib.sh"
need_root
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
examples="$source_dir/packaging/rsyslog"
command -v mtail >/dev/null || fail "mtail is needed (scripts/test installs it)"
getent group adm >/dev/null || fail "no group adm"

metrics="$TEST_DIR/metrics.log"
alerts="$TEST_DIR/surgewatch.log"
sed "s|/var/log/surgewatch-metrics.log|$metrics|" "$examples/25-surgewatch-metrics.conf" >"$TEST_DIR/metrics.conf"
sed "s|/var/log/surgewatch.log|$alerts|" "$examples/30-surgewatch-local.conf" >"$TEST_DIR/local.conf"
grep -q "file=\"$metrics\"" "$TEST_DIR/metrics.conf" && grep -q "file=\"$alerts\"" "$TEST_DIR/local.conf" ||
    fail "examples not rewritten"
start_syslog "$TEST_DIR/metrics.conf" "$TEST_DIR/local.conf"

# send TAG PRIORITY TEXT [PID]
send() {
    logger -u "$SYSLOG_SOCKET" -t "$1" -p "$2" ${4:+--id="$4"} -- "$3" || fail "logger $*"
}
for tag in surgewatch surgewatch@eth0 surgewatch@eth0.100; do
    send "$tag" local6.alert "FLOOD: 198.51.100.6 - 100.17 flows/s"
    send "$tag" daemon.info "FLOOD: 198.51.100.6 - 100.17 flows/s" 812
    send "$tag" local6.warning "Capture reopened on ${tag#*@}"
    send "$tag" local6.info "Heartbeat: 9 packets received, 0 dropped since the last heartbeat"
    send "$tag" daemon.info "Flow cleanup took 0.00001 seconds (1 -> 0)" 812
done
send other local6.info "other program at local6.info"
send other local6.warning "other program at local6.warning"
send surgewatchd local6.info "not the monitor"
send other@eth0 daemon.info "not the monitor either"
syslog_sync

# The metrics file: all 15 lines of the three identities, each with its
# whole identity, and nothing else.
[ "$(stat -c '%a %U %G' "$metrics")" = "640 root adm" ] || fail "metrics file: $(stat -c '%a %U %G' "$metrics")"
[ "$(wc -l <"$metrics")" -eq 15 ] || fail "metrics file: $(cat "$metrics")"
for tag in surgewatch surgewatch@eth0 surgewatch@eth0.100; do
    for line in "local6\.alert $tag: FLOOD: " "daemon\.info $tag: FLOOD: " "local6\.warning $tag: Capture reopened " \
        "local6\.info $tag: Heartbeat: " "daemon\.info $tag: Flow cleanup "; do
        grep -qE "^[0-9T:.+-]+ \S+ $line" "$metrics" || fail "no [$line] in the metrics file: $(cat "$metrics")"
    done
done

# The alert file: alerts and warnings of every program at local6, made
# for the group adm; no heartbeat, no standard output copy.
[ "$(stat -c '%a %U %G' "$alerts")" = "640 root adm" ] || fail "alert file: $(stat -c '%a %U %G' "$alerts")"
expected="surgewatch: FLOOD: 198.51.100.6 - 100.17 flows/s
surgewatch: Capture reopened on surgewatch
surgewatch@eth0: FLOOD: 198.51.100.6 - 100.17 flows/s
surgewatch@eth0: Capture reopened on eth0
surgewatch@eth0.100: FLOOD: 198.51.100.6 - 100.17 flows/s
surgewatch@eth0.100: Capture reopened on eth0.100
other: other program at local6.warning"
diff <(echo "$expected") <(grep -oE ' (surgewatch[^ ]*|other): .*$' "$alerts" | cut -c2-) ||
    fail "alert file (< expected, > written)"

# The general log: the journal's copies and other programs' local6.info,
# but neither the monitor's local6 lines nor its heartbeats.
general=$(syslog_messages)
! grep -qE '^(177|180|182) surgewatch(@[^ ]*)?:' <<<"$general" || fail "monitor's local6 lines in the general log: $general"
[ "$(grep -c '^30 surgewatch.*Flow cleanup' <<<"$general")" -eq 3 ] || fail "journal copies missing: $general"
grep -qx '182 other: other program at local6.info' <<<"$general" || fail "other's local6.info lost: $general"
grep -qx '182 surgewatchd: not the monitor' <<<"$general" || fail "surgewatchd's line lost: $general"

# mtail over what rsyslog wrote: each instance's interface, the hand-run
# monitor's empty; one alert and one heartbeat each, counted once.
mtail --one_shot --one_shot_format prometheus --progs "$source_dir/packaging/mtail" \
    --logs "$metrics" --logtostderr >"$TEST_DIR/metrics.txt" 2>"$TEST_DIR/mtail.err" ||
    fail "mtail: $(tail -n 5 "$TEST_DIR/mtail.err")"
got=$(grep -E '^surgewatch_(alerts_total|heartbeat_received_packets_total|capture_reopened_total|sweeps_total)\{' \
    "$TEST_DIR/metrics.txt" | sed -E 's/,?(prog|sensor)="[^"]*"//g; s/\{,/{/' | LC_ALL=C sort)
expected='surgewatch_alerts_total{destination="198.51.100.6",interface="",rule="flows",source=""} 1
surgewatch_alerts_total{destination="198.51.100.6",interface="eth0",rule="flows",source=""} 1
surgewatch_alerts_total{destination="198.51.100.6",interface="eth0.100",rule="flows",source=""} 1
surgewatch_capture_reopened_total{interface=""} 1
surgewatch_capture_reopened_total{interface="eth0"} 1
surgewatch_capture_reopened_total{interface="eth0.100"} 1
surgewatch_heartbeat_received_packets_total{interface=""} 9
surgewatch_heartbeat_received_packets_total{interface="eth0"} 9
surgewatch_heartbeat_received_packets_total{interface="eth0.100"} 9
surgewatch_sweeps_total{interface="",table="flow"} 1
surgewatch_sweeps_total{interface="eth0",table="flow"} 1
surgewatch_sweeps_total{interface="eth0.100",table="flow"} 1'
diff <(echo "$expected") <(echo "$got") || fail "metrics from rsyslog's file (< expected, > mtail)"
echo "both identities routed to the metrics and alert files (adm), heartbeats kept from the general log, interfaces in the metrics: ok"
