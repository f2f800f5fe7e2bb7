#!/usr/bin/env bash
# The shipped mtail program (packaging/mtail) over a file of lines as the
# shipped rsyslog template writes them, every kind the monitor logs and
# some it does not: the metrics mtail exports, exactly. Each alert, failure
# and drop line comes twice, as syslog and the journal hand it on, and
# counts once; lines of other programs or levels count nowhere.
. "$(dirname "$0")/lib.sh"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
command -v mtail >/dev/null || fail "mtail is needed (scripts/test installs it)"

# Two sensors, as on a collector that gathers several.
cat >"$TEST_DIR/lines.log" <<'LINES'
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch[812]: Opening interface eth1... done
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch[812]: Detecting IP layer offset in bytes... 14 done
2026-12-10T11:31:07.250000+00:00 sensor-a local6.alert surgewatch: FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:07.250100+00:00 sensor-a daemon.info surgewatch[812]: FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:08.000000+00:00 sensor-a daemon.info surgewatch[812]: Flow cleanup took 0.00012 seconds (5210 -> 12)
2026-12-10T11:31:09.000000+00:00 sensor-a local6.alert surgewatch: FLOOD: 198.51.100.6 - 100.17 flows/s
2026-12-10T11:31:09.000000+00:00 sensor-a daemon.info surgewatch[812]: FLOOD: 198.51.100.6 - 100.17 flows/s
2026-12-10T11:31:13.000000+00:00 sensor-a local6.alert surgewatch: FLOOD: 198.51.100.5 - 2212.50 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:13.000000+00:00 sensor-a daemon.info surgewatch[812]: FLOOD: 198.51.100.5 - 2212.50 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:14.000000+00:00 sensor-a local6.alert surgewatch: FLOOD: 198.51.100.5 - 2100.00 47 packets/s from 192.0.2.8 [DSCP 00]
2026-12-10T11:31:14.000000+00:00 sensor-a local6.alert surgewatch: FLOOD: 198.51.100.5 - 5012.33 packets/s
2026-12-10T11:31:14.000000+00:00 sensor-a daemon.info surgewatch[812]: FLOOD: 198.51.100.5 - 5012.33 packets/s
2026-12-10T11:31:18.000000+00:00 sensor-a daemon.info surgewatch[812]: Flow cleanup took 0.00020 seconds (12 -> 9)
2026-12-10T11:31:18.000000+00:00 sensor-a local6.warning surgewatch: Capture dropped 317349 packets since the last report (12000000 received)
2026-12-10T11:31:18.000000+00:00 sensor-a daemon.info surgewatch[812]: Capture dropped 317349 packets since the last report (12000000 received)
2026-12-10T11:31:20.000000+00:00 sensor-a daemon.info surgewatch[812]: Host cleanup took 0.00004 seconds (3 -> 1)
2026-12-10T11:31:28.000000+00:00 sensor-a local6.warning surgewatch: Capture dropped 51 packets since the last report (9000 received)
2026-12-10T11:31:30.000000+00:00 sensor-a local6.alert surgewatch: alert.cpp 231 pcap_dispatch failed with error: The interface went down
2026-12-10T11:31:30.000000+00:00 sensor-a daemon.info surgewatch[812]: alert.cpp 232 pcap_dispatch failed with error: The interface went down
2026-12-10T11:31:31.000000+00:00 sensor-a local6.info surgewatch: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert other: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a daemon.info other: Flow cleanup took 0.00001 seconds (1 -> 0)
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert surgewatch: Flow cleanup took 0.00001 seconds (1 -> 0)
2026-12-10T12:00:00Z sensor-b local6.alert surgewatch: alert.cpp 141 Cannot open pcap device: eth9: No such device exists
2026-12-10T12:00:00Z sensor-b daemon.info surgewatch: alert.cpp 141 Cannot open pcap device: eth9: No such device exists
LINES

mtail --one_shot --one_shot_format prometheus --progs "$source_dir/packaging/mtail" \
    --logs "$TEST_DIR/lines.log" --logtostderr >"$TEST_DIR/metrics.txt" 2>"$TEST_DIR/mtail.err" ||
    fail "mtail: $(tail -n 5 "$TEST_DIR/mtail.err")"
! grep -qiE '^[EW][0-9]{4} ' "$TEST_DIR/mtail.err" || fail "mtail complained: $(grep -iE '^[EW][0-9]{4} ' "$TEST_DIR/mtail.err")"

# 2026-12-10T11:31:07Z is 1796902267 s after 1970; timestamps are whole
# seconds. The value of the flow rule belongs to the latest alert of the
# flow (in its own protocol: any name, or a number).
a='prog="surgewatch.mtail",sensor="sensor-a"'
b='prog="surgewatch.mtail",sensor="sensor-b"'
dst5='destination="198.51.100.5"'
dst6='destination="198.51.100.6"'
expected="surgewatch_alert_rate{$dst5,prog=\"surgewatch.mtail\",rule=\"flow\",sensor=\"sensor-a\"} 2100
surgewatch_alert_rate{$dst5,prog=\"surgewatch.mtail\",rule=\"packets\",sensor=\"sensor-a\"} 5012.33
surgewatch_alert_rate{$dst6,prog=\"surgewatch.mtail\",rule=\"flows\",sensor=\"sensor-a\"} 100.17
surgewatch_alerts_total{$dst5,prog=\"surgewatch.mtail\",rule=\"flow\",sensor=\"sensor-a\"} 3
surgewatch_alerts_total{$dst5,prog=\"surgewatch.mtail\",rule=\"packets\",sensor=\"sensor-a\"} 1
surgewatch_alerts_total{$dst6,prog=\"surgewatch.mtail\",rule=\"flows\",sensor=\"sensor-a\"} 1
surgewatch_capture_dropped_packets_total{$a} 317400
surgewatch_capture_dropped_packets_total{$b} 0
surgewatch_failures_total{$a} 1
surgewatch_failures_total{$b} 1
surgewatch_last_alert_timestamp_seconds{$dst5,prog=\"surgewatch.mtail\",rule=\"flow\",sensor=\"sensor-a\"} 1.796902274e+09
surgewatch_last_alert_timestamp_seconds{$dst5,prog=\"surgewatch.mtail\",rule=\"packets\",sensor=\"sensor-a\"} 1.796902274e+09
surgewatch_last_alert_timestamp_seconds{$dst6,prog=\"surgewatch.mtail\",rule=\"flows\",sensor=\"sensor-a\"} 1.796902269e+09
surgewatch_last_sweep_timestamp_seconds{$a,table=\"flow\"} 1.796902278e+09
surgewatch_last_sweep_timestamp_seconds{$a,table=\"host\"} 1.79690228e+09
surgewatch_sweep_seconds{$a,table=\"flow\"} 0.0002
surgewatch_sweep_seconds{$a,table=\"host\"} 4e-05
surgewatch_sweeps_total{$a,table=\"flow\"} 2
surgewatch_sweeps_total{$a,table=\"host\"} 1
surgewatch_table_entries_after{$a,table=\"flow\"} 9
surgewatch_table_entries_after{$a,table=\"host\"} 1
surgewatch_table_entries_before{$a,table=\"flow\"} 12
surgewatch_table_entries_before{$a,table=\"host\"} 3"
got=$(grep '^surgewatch_' "$TEST_DIR/metrics.txt" | LC_ALL=C sort)
diff <(echo "$expected") <(echo "$got") || fail "metrics differ (< expected, > mtail)"
echo "every kind of line, two sensors: ok"
