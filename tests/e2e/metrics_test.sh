#!/usr/bin/env bash
# Alerts as Prometheus metrics, with the shipped pieces and real daemons:
# the monitor captures a live hping3 flood on loopback under this test's
# rsyslogd, which writes its lines to a file with the shipped template
# (packaging/rsyslog/25-surgewatch-metrics.conf); the standard output goes
# through logger at daemon.info, as the systemd unit's journal hands it on.
# A real mtail, as Debian's mtail user, runs the shipped program
# (packaging/mtail) on that file, and the metrics read over HTTP must agree
# with what the monitor printed: each alert counted once although it
# reaches the file twice, the last rate and when it was logged, the latest
# flow sweep, the dropped packets of a burst sent while the monitor was
# stopped. A real Prometheus scrapes mtail and evaluates the shipped rules:
# the flood and the drops fire, nothing else does. promtool checks the
# exposition and the shipped rules.
. "$(dirname "$0")/lib.sh"
own_network
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
command -v mtail >/dev/null || fail "mtail is needed (scripts/test installs it)"
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
id mtail >/dev/null 2>&1 || fail "no user mtail (Debian's mtail package makes it)"
tool() { command -v "$1" || echo "$source_dir/build-tools/$1"; }
promtool=$(tool promtool)
prometheus=$(tool prometheus)
[ -x "$promtool" ] && [ -x "$prometheus" ] ||
    fail "promtool and prometheus are needed (scripts/test unpacks them into build-tools/)"
started=$(date +%s)

address="127.9.$((($$ / 250) % 250 + 1)).$(($$ % 250 + 1))"
# The burst goes to a neighbour: hping3 counts the replies to another
# hping3's probes of its own destination as its own, and stops early.
burst_address="${address%.*}.$((${address##*.} + 1))"
target_port=$((20000 + $$ % 10000))

log="$TEST_DIR/metrics.log"
sed "s|/var/log/surgewatch-metrics.log|$log|" "$source_dir/packaging/rsyslog/25-surgewatch-metrics.conf" \
    >"$TEST_DIR/metrics.conf"
grep -q "file=\"$log\"" "$TEST_DIR/metrics.conf" || fail "metrics example not rewritten"
start_syslog "$TEST_DIR/metrics.conf"

# rsyslog makes the file with the first line of the monitor's identifier,
# readable by the group adm and no one else; mtail, whose user is in adm,
# then follows it from there on.
logger -u "$SYSLOG_SOCKET" -t surgewatch -p daemon.info "metrics test $$ starts"
wait_for_line "$log" " daemon\.info surgewatch: metrics test $$ starts\$" 5 ||
    fail "rsyslogd did not write the metrics file: $(cat "$log" 2>/dev/null)"
[ "$(stat -c '%a %U %G' "$log")" = "640 root adm" ] || fail "metrics file: $(stat -c '%a %U %G' "$log")"
mkdir "$TEST_DIR/progs"
cp "$source_dir/packaging/mtail/surgewatch.mtail" "$TEST_DIR/progs/"
chmod 755 "$TEST_DIR" "$TEST_DIR/progs"
mtail_port=$(free_port)
setpriv --reuid=mtail --regid=mtail --init-groups -- \
    mtail --progs "$TEST_DIR/progs" --logs "$log" --address 127.0.0.1 --port "$mtail_port" \
    --logtostderr >"$TEST_DIR/mtail.err" 2>&1 &
mtail_pid=$!
on_exit "kill $mtail_pid; wait $mtail_pid 2>/dev/null"
metrics_url="http://127.0.0.1:$mtail_port/metrics"
for ((i = 0; i < 100; i++)); do
    curl -sf "$metrics_url" >/dev/null && break
    sleep 0.1
done
curl -sf "$metrics_url" >/dev/null || fail "mtail does not answer: $(cat "$TEST_DIR/mtail.err")"
grep -q 'Loaded program surgewatch.mtail' "$TEST_DIR/mtail.err" ||
    fail "mtail did not load the program: $(cat "$TEST_DIR/mtail.err")"

# Prometheus scrapes mtail every second in the job the rules name, and
# evaluates them every second. Its first scrape comes some 5 s after its
# start.
mkdir "$TEST_DIR/prometheus"
cp "$source_dir/packaging/prometheus/surgewatch-rules.yml" "$TEST_DIR/prometheus/"
cat >"$TEST_DIR/prometheus/prometheus.yml" <<CONF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: [surgewatch-rules.yml]
scrape_configs:
  - job_name: surgewatch
    static_configs:
      - targets: ['127.0.0.1:$mtail_port']
CONF
prometheus_port=$(free_port)
"$prometheus" --config.file="$TEST_DIR/prometheus/prometheus.yml" \
    --storage.tsdb.path="$TEST_DIR/prometheus/data" --web.listen-address="127.0.0.1:$prometheus_port" \
    >"$TEST_DIR/prometheus.log" 2>&1 &
prometheus_pid=$!
on_exit "kill $prometheus_pid; wait $prometheus_pid 2>/dev/null"
api="http://127.0.0.1:$prometheus_port/api/v1"

out="$TEST_DIR/monitor.out"
# The smallest kernel buffer, so that the burst while the monitor is
# stopped overflows it and real drops are reported.
SURGEWATCH_BUFFER_MB=2 spawn_with_syslog "$SURGEWATCH" lo "ip and (dst host $address or dst host $burst_address)" \
    > >(tee "$out" | logger -u "$SYSLOG_SOCKET" -t surgewatch -p daemon.info)
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$out")"

# New flows from hping3's rising source ports, about a thousand a second:
# a flows alert within seconds and the first flow sweep about 10 s in.
timeout 40 hping3 -q -S -p "$target_port" -i u1000 -c 40000 "$address" >/dev/null 2>&1 &
traffic=$!
on_exit "kill $traffic 2>/dev/null; wait $traffic 2>/dev/null"
wait_for_line "$out" "^FLOOD: ${address//./\\.} - [0-9]+\.[0-9]{2} flows/s$" 15 ||
    fail "no flows alert: $(tail -n 5 "$out")"
wait_for_line "$out" '^Flow cleanup took' 15 || fail "no flow sweep: $(tail -n 5 "$out")"

# Stopped, the monitor leaves a flood of as fast as hping3 goes to the
# capture ring, which cannot hold it; the next flow sweep reports the drops.
kill -STOP "$monitor"
timeout 2 hping3 -q -S -p "$target_port" --flood "$burst_address" >/dev/null 2>&1 || true
kill -CONT "$monitor"
wait_for_line "$out" '^Capture dropped [0-9]+ packets' 20 || fail "no drop line: $(tail -n 5 "$out")"
kill "$traffic" 2>/dev/null || true
stop_process "$monitor"
syslog_sync
finished=$(date +%s)

# What the metrics must say, from the monitor's own standard output.
alerts=$(grep -cE "^FLOOD: ${address//./\\.} - [0-9.]+ flows/s$" "$out")
rate=$(grep -E "^FLOOD: ${address//./\\.} - [0-9.]+ flows/s$" "$out" | tail -n 1 | sed -E 's/.* - ([0-9.]+) .*/\1/')
sweep=$(grep '^Flow cleanup took' "$out" | tail -n 1)
before=$(sed -E 's/.*\(([0-9]+) -> ([0-9]+)\)$/\1/' <<<"$sweep")
after=$(sed -E 's/.*\(([0-9]+) -> ([0-9]+)\)$/\2/' <<<"$sweep")
dropped=$(awk '/^Capture dropped [0-9]+ packets/ { sum += $3 } END { print sum }' "$out")
# Both copies of each alert reached the file.
[ "$(grep -cE " local6\.alert surgewatch: FLOOD: ${address//./\\.} .*flows/s$" "$log")" -eq "$alerts" ] ||
    fail "syslog copies in the file: $(grep FLOOD "$log")"
[ "$(grep -cE " daemon\.info surgewatch: FLOOD: ${address//./\\.} .*flows/s$" "$log")" -eq "$alerts" ] ||
    fail "standard output copies in the file: $(grep FLOOD "$log")"

# Started by hand without an identity: the interface label is empty.
labels="destination=\"$address\",interface=\"\",prog=\"surgewatch.mtail\",rule=\"flows\",sensor=\"[^\"]+\",source=\"\""
instance="interface=\"\",prog=\"surgewatch.mtail\",sensor=\"[^\"]+\""
expected=(
    "^surgewatch_alerts_total\{$labels\} $alerts\$"
    "^surgewatch_alert_rate\{$labels\} $(sed -E 's/\.?0+$//; s/\./\\./' <<<"$rate")\$"
    "^surgewatch_last_alert_timestamp_seconds\{$labels\} "
    "^surgewatch_table_entries_before\{$instance,table=\"flow\"\} $before\$"
    "^surgewatch_table_entries_after\{$instance,table=\"flow\"\} $after\$"
    "^surgewatch_capture_dropped_packets_total\{$instance\} $dropped\$"
    "^surgewatch_failures_total\{$instance\} 0\$"
    "^surgewatch_last_sweep_timestamp_seconds\{$instance,table=\"flow\"\} "
)
# mtail reads the file as it grows: give it a few seconds to catch up.
for ((i = 0; i < 50; i++)); do
    curl -sf "$metrics_url" >"$TEST_DIR/metrics.txt" || fail "mtail stopped answering"
    missing=()
    for pattern in "${expected[@]}"; do
        grep -qE -- "$pattern" "$TEST_DIR/metrics.txt" || missing+=("$pattern")
    done
    [ ${#missing[@]} -eq 0 ] && break
    sleep 0.2
done
[ ${#missing[@]} -eq 0 ] ||
    fail "metrics missing: ${missing[*]}; got: $(grep '^surgewatch_' "$TEST_DIR/metrics.txt")"
# The times are those of the lines, in whole seconds, during this test.
awk -v from="$started" -v to="$finished" '/^surgewatch_last_(alert|sweep)_timestamp_seconds\{/ {
        if ($2 < from || $2 > to) { print; bad = 1 }
    } END { exit bad }' "$TEST_DIR/metrics.txt" ||
    fail "timestamps outside $started..$finished"

"$promtool" check metrics <"$TEST_DIR/metrics.txt" || fail "promtool check metrics"
(cd "$source_dir/packaging/prometheus" &&
    "$promtool" check rules surgewatch-rules.yml && "$promtool" test rules surgewatch-rules-test.yml) ||
    fail "promtool on the shipped rules"

# Prometheus has scraped all of it and its rules fire for the flood, with
# the latest rate, and for the drops; neither of the rules about a silent
# sensor fires.
flood_description="surgewatch on [^ ]+ alerted on ${address//./\\.} by its flows rule in the last 5 minutes, latest at ${rate//./\\.} per second\\."
for ((i = 0; i < 100; i++)); do
    curl -sf "$api/alerts" >"$TEST_DIR/alerts.json" || fail "Prometheus does not answer: $(tail -n 5 "$TEST_DIR/prometheus.log")"
    grep -qE "\"description\":\"$flood_description\"" "$TEST_DIR/alerts.json" &&
        grep -q '"alertname":"SurgewatchCaptureDrops"' "$TEST_DIR/alerts.json" &&
        ! grep -q '"state":"pending"' "$TEST_DIR/alerts.json" && break
    sleep 0.2
done
grep -qE "\"description\":\"$flood_description\"" "$TEST_DIR/alerts.json" ||
    fail "no flood alert with rate $rate in Prometheus: $(cat "$TEST_DIR/alerts.json")"
curl -sf "$api/query" --data-urlencode \
    "query=ALERTS{alertname=\"SurgewatchFlood\",alertstate=\"firing\",job=\"surgewatch\",rule=\"flows\",destination=\"$address\"}" \
    >"$TEST_DIR/flood.json" || fail "Prometheus does not answer queries"
grep -q '"result":\[{"metric":' "$TEST_DIR/flood.json" || fail "the flood alert is not firing: $(cat "$TEST_DIR/flood.json")"
grep -q '"alertname":"SurgewatchCaptureDrops"' "$TEST_DIR/alerts.json" ||
    fail "no capture drops alert in Prometheus: $(cat "$TEST_DIR/alerts.json")"
! grep -qE '"alertname":"Surgewatch(NotReporting|MetricsDown)"' "$TEST_DIR/alerts.json" ||
    fail "a silent sensor alert: $(cat "$TEST_DIR/alerts.json")"
echo "$alerts flows alerts (rate $rate), sweep $before -> $after, $dropped dropped: in mtail's metrics;" \
    "fired in Prometheus; exposition and rules checked: ok"
