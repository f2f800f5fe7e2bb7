#!/usr/bin/env bash
# The shipped mtail program (packaging/mtail) over a file of lines as the
# shipped rsyslog template writes them, every kind the monitor logs and
# some it does not: the metrics mtail exports, exactly. Each alert,
# failure, warning and heartbeat comes twice, as syslog and the journal
# hand it on, and counts once; lines of other programs or levels count
# nowhere; the identity surgewatch@INTERFACE gives the interface label.
. "$(dirname "$0")/lib.sh"
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
command -v mtail >/dev/null || fail "mtail is needed (scripts/test installs it)"

# Two sensors, as on a collector that gathers several: sensor-a runs the
# service on eth1 and on any (identity surgewatch@INTERFACE; the journal's
# copies carry a process id), sensor-b a monitor started by hand (plain
# surgewatch, no interface).
cat >"$TEST_DIR/lines.log" <<'LINES'
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Opening interface eth1... done
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Detecting IP layer offset in bytes... 14 done
2026-12-10T11:31:07.250000+00:00 sensor-a local6.alert surgewatch@eth1: FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:07.250100+00:00 sensor-a daemon.info surgewatch@eth1[812]: FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:08.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Flow cleanup took 0.00012 seconds (5210 -> 12)
2026-12-10T11:31:09.000000+00:00 sensor-a local6.alert surgewatch@eth1: FLOOD: 198.51.100.6 - 100.17 flows/s
2026-12-10T11:31:09.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: FLOOD: 198.51.100.6 - 100.17 flows/s
2026-12-10T11:31:13.000000+00:00 sensor-a local6.alert surgewatch@eth1: FLOOD: 198.51.100.5 - 2212.50 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:13.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: FLOOD: 198.51.100.5 - 2212.50 tcp packets/s from 192.0.2.7 [DSCP 2E]
2026-12-10T11:31:14.000000+00:00 sensor-a local6.alert surgewatch@eth1: FLOOD: 198.51.100.5 - 2100.00 47 packets/s from 192.0.2.8 [DSCP 00]
2026-12-10T11:31:14.000000+00:00 sensor-a local6.alert surgewatch@eth1: FLOOD: 198.51.100.5 - 5012.33 packets/s
2026-12-10T11:31:14.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: FLOOD: 198.51.100.5 - 5012.33 packets/s
2026-12-10T11:31:18.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Flow cleanup took 0.00020 seconds (12 -> 9)
2026-12-10T11:31:18.000000+00:00 sensor-a local6.warning surgewatch@eth1: Capture dropped 317349 packets since the last report (12000000 received)
2026-12-10T11:31:18.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Capture dropped 317349 packets since the last report (12000000 received)
2026-12-10T11:31:18.000000+00:00 sensor-a local6.warning surgewatch@eth1: Flow table full: 1000 new flows not stored since the last report (capacity 1048576)
2026-12-10T11:31:18.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Flow table full: 1000 new flows not stored since the last report (capacity 1048576)
2026-12-10T11:31:20.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Host cleanup took 0.00004 seconds (3 -> 1)
2026-12-10T11:31:28.000000+00:00 sensor-a local6.warning surgewatch@eth1: Capture dropped 51 packets since the last report (9000 received)
2026-12-10T11:31:28.000000+00:00 sensor-a local6.warning surgewatch@eth1: Flow table full: 234 new flows not stored since the last report (capacity 1048576)
2026-12-10T11:31:30.000000+00:00 sensor-a local6.alert surgewatch@eth1: alert.cpp 84 pcap_dispatch failed with error: The interface went down
2026-12-10T11:31:30.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: alert.cpp 84 pcap_dispatch failed with error: The interface went down
2026-12-10T11:31:31.000000+00:00 sensor-a local6.info surgewatch@eth1: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert other: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert other@eth1: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert surgewatchd: FLOOD: 198.51.100.9 - 999.99 flows/s
2026-12-10T11:31:31.000000+00:00 sensor-a daemon.info other: Flow cleanup took 0.00001 seconds (1 -> 0)
2026-12-10T11:31:31.000000+00:00 sensor-a local6.alert surgewatch@eth1: Flow cleanup took 0.00001 seconds (1 -> 0)
2026-12-10T11:31:31.000000+00:00 sensor-a local6.warning surgewatch@eth1: Heartbeat: 5 packets received, 5 dropped since the last heartbeat
2026-12-10T11:31:31.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Heartbeat: 5 packets received, 5 dropped since the last heartbeat
2026-12-10T11:31:35.000000+00:00 sensor-a local6.warning surgewatch@eth1: Capture reopened on eth1
2026-12-10T11:31:35.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Capture reopened on eth1
2026-12-10T11:32:00.000000+00:00 sensor-a local6.info surgewatch@eth1: Heartbeat: 12009000 packets received, 317400 dropped since the last heartbeat
2026-12-10T11:32:00.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Heartbeat: 12009000 packets received, 317400 dropped since the last heartbeat
2026-12-10T11:33:00.000000+00:00 sensor-a local6.info surgewatch@eth1: Heartbeat: 700 packets received, 0 dropped since the last heartbeat
2026-12-10T11:33:00.000000+00:00 sensor-a daemon.info surgewatch@eth1[812]: Heartbeat: 700 packets received, 0 dropped since the last heartbeat
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch@any[813]: Detecting IP layer offset in bytes... 16 done
2026-12-10T11:31:00.000000+00:00 sensor-a local6.warning surgewatch@any: Warning: the any device sees a forwarded packet twice (on its way in and out); rates of forwarded traffic read double
2026-12-10T11:31:00.000000+00:00 sensor-a daemon.info surgewatch@any[813]: Warning: the any device sees a forwarded packet twice (on its way in and out); rates of forwarded traffic read double
2026-12-10T11:31:09.000000+00:00 sensor-a local6.alert surgewatch@any: FLOOD: 198.51.100.6 - 201.00 flows/s
2026-12-10T11:31:09.000000+00:00 sensor-a daemon.info surgewatch@any[813]: FLOOD: 198.51.100.6 - 201.00 flows/s
2026-12-10T11:31:20.000000+00:00 sensor-a local6.warning surgewatch@any: Host table full: 70 new destinations not stored since the last report (capacity 4096)
2026-12-10T11:31:20.000000+00:00 sensor-a daemon.info surgewatch@any[813]: Host table full: 70 new destinations not stored since the last report (capacity 4096)
2026-12-10T11:31:50.000000+00:00 sensor-a local6.info surgewatch@any: Heartbeat: 9000 packets received, 0 dropped since the last heartbeat
2026-12-10T12:00:00Z sensor-b local6.alert surgewatch: alert.cpp 84 Cannot open pcap device: eth9: No such device exists
2026-12-10T12:00:00Z sensor-b daemon.info surgewatch: alert.cpp 84 Cannot open pcap device: eth9: No such device exists
2026-12-10T12:01:00Z sensor-b local6.warning surgewatch: Warning: the filter matches no IPv4 packet; nothing will be counted
2026-12-10T12:01:00Z sensor-b daemon.info surgewatch: Warning: the filter matches no IPv4 packet; nothing will be counted
2026-12-10T12:02:00Z sensor-b local6.info surgewatch[77]: Heartbeat: 0 packets received, 0 dropped since the last heartbeat
2026-12-10T12:02:00Z sensor-b daemon.info surgewatch: Heartbeat: 0 packets received, 0 dropped since the last heartbeat
LINES

mtail --one_shot --one_shot_format prometheus --progs "$source_dir/packaging/mtail" \
    --logs "$TEST_DIR/lines.log" --logtostderr >"$TEST_DIR/metrics.txt" 2>"$TEST_DIR/mtail.err" ||
    fail "mtail: $(tail -n 5 "$TEST_DIR/mtail.err")"
! grep -qiE '^[EW][0-9]{4} ' "$TEST_DIR/mtail.err" || fail "mtail complained: $(grep -iE '^[EW][0-9]{4} ' "$TEST_DIR/mtail.err")"

# 2026-12-10T11:31:07Z is 1796902267 s after 1970; timestamps are whole
# seconds. A flow alert's series is that of its destination and source;
# its value belongs to the latest alert (in its own protocol: any name, or
# a number). The counters of each instance start at 0 with its first line.
# A heartbeat counts from its local6.info copy only.
cat >"$TEST_DIR/expected.txt" <<'EXPECTED'
surgewatch_alert_rate{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.7"} 2212.5
surgewatch_alert_rate{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.8"} 2100
surgewatch_alert_rate{destination="198.51.100.5",interface="eth1",rule="packets",sensor="sensor-a",source=""} 5012.33
surgewatch_alert_rate{destination="198.51.100.6",interface="any",rule="flows",sensor="sensor-a",source=""} 201
surgewatch_alert_rate{destination="198.51.100.6",interface="eth1",rule="flows",sensor="sensor-a",source=""} 100.17
surgewatch_alerts_total{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.7"} 2
surgewatch_alerts_total{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.8"} 1
surgewatch_alerts_total{destination="198.51.100.5",interface="eth1",rule="packets",sensor="sensor-a",source=""} 1
surgewatch_alerts_total{destination="198.51.100.6",interface="any",rule="flows",sensor="sensor-a",source=""} 1
surgewatch_alerts_total{destination="198.51.100.6",interface="eth1",rule="flows",sensor="sensor-a",source=""} 1
surgewatch_capture_dropped_packets_total{interface="",sensor="sensor-b"} 0
surgewatch_capture_dropped_packets_total{interface="any",sensor="sensor-a"} 0
surgewatch_capture_dropped_packets_total{interface="eth1",sensor="sensor-a"} 317400
surgewatch_capture_reopened_total{interface="",sensor="sensor-b"} 0
surgewatch_capture_reopened_total{interface="any",sensor="sensor-a"} 0
surgewatch_capture_reopened_total{interface="eth1",sensor="sensor-a"} 1
surgewatch_failures_total{interface="",sensor="sensor-b"} 1
surgewatch_failures_total{interface="any",sensor="sensor-a"} 0
surgewatch_failures_total{interface="eth1",sensor="sensor-a"} 1
surgewatch_heartbeat_dropped_packets_total{interface="",sensor="sensor-b"} 0
surgewatch_heartbeat_dropped_packets_total{interface="any",sensor="sensor-a"} 0
surgewatch_heartbeat_dropped_packets_total{interface="eth1",sensor="sensor-a"} 317400
surgewatch_heartbeat_received_packets_total{interface="",sensor="sensor-b"} 0
surgewatch_heartbeat_received_packets_total{interface="any",sensor="sensor-a"} 9000
surgewatch_heartbeat_received_packets_total{interface="eth1",sensor="sensor-a"} 1.20097e+07
surgewatch_last_alert_timestamp_seconds{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.7"} 1.796902273e+09
surgewatch_last_alert_timestamp_seconds{destination="198.51.100.5",interface="eth1",rule="flow",sensor="sensor-a",source="192.0.2.8"} 1.796902274e+09
surgewatch_last_alert_timestamp_seconds{destination="198.51.100.5",interface="eth1",rule="packets",sensor="sensor-a",source=""} 1.796902274e+09
surgewatch_last_alert_timestamp_seconds{destination="198.51.100.6",interface="any",rule="flows",sensor="sensor-a",source=""} 1.796902269e+09
surgewatch_last_alert_timestamp_seconds{destination="198.51.100.6",interface="eth1",rule="flows",sensor="sensor-a",source=""} 1.796902269e+09
surgewatch_last_heartbeat_timestamp_seconds{interface="",sensor="sensor-b"} 1.79690412e+09
surgewatch_last_heartbeat_timestamp_seconds{interface="any",sensor="sensor-a"} 1.79690231e+09
surgewatch_last_heartbeat_timestamp_seconds{interface="eth1",sensor="sensor-a"} 1.79690238e+09
surgewatch_last_sweep_timestamp_seconds{interface="eth1",sensor="sensor-a",table="flow"} 1.796902278e+09
surgewatch_last_sweep_timestamp_seconds{interface="eth1",sensor="sensor-a",table="host"} 1.79690228e+09
surgewatch_startup_warnings_total{interface="",sensor="sensor-b",warning="filter_matches_no_ipv4"} 1
surgewatch_startup_warnings_total{interface="any",sensor="sensor-a",warning="any_forwarded_twice"} 1
surgewatch_sweep_seconds{interface="eth1",sensor="sensor-a",table="flow"} 0.0002
surgewatch_sweep_seconds{interface="eth1",sensor="sensor-a",table="host"} 4e-05
surgewatch_sweeps_total{interface="eth1",sensor="sensor-a",table="flow"} 2
surgewatch_sweeps_total{interface="eth1",sensor="sensor-a",table="host"} 1
surgewatch_table_capacity{interface="any",sensor="sensor-a",table="host"} 4096
surgewatch_table_capacity{interface="eth1",sensor="sensor-a",table="flow"} 1.048576e+06
surgewatch_table_entries_after{interface="eth1",sensor="sensor-a",table="flow"} 9
surgewatch_table_entries_after{interface="eth1",sensor="sensor-a",table="host"} 1
surgewatch_table_entries_before{interface="eth1",sensor="sensor-a",table="flow"} 12
surgewatch_table_entries_before{interface="eth1",sensor="sensor-a",table="host"} 3
surgewatch_table_refused_total{interface="",sensor="sensor-b",table="flow"} 0
surgewatch_table_refused_total{interface="",sensor="sensor-b",table="host"} 0
surgewatch_table_refused_total{interface="any",sensor="sensor-a",table="flow"} 0
surgewatch_table_refused_total{interface="any",sensor="sensor-a",table="host"} 70
surgewatch_table_refused_total{interface="eth1",sensor="sensor-a",table="flow"} 1234
surgewatch_table_refused_total{interface="eth1",sensor="sensor-a",table="host"} 0
EXPECTED
got=$(grep '^surgewatch_' "$TEST_DIR/metrics.txt" | sed 's/prog="surgewatch\.mtail",//' | LC_ALL=C sort)
diff "$TEST_DIR/expected.txt" <(echo "$got") || fail "metrics differ (< expected, > mtail)"
echo "every kind of line, two sensors, three instances: ok"
