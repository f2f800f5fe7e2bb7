#!/usr/bin/env bash
# The fleet set-up end to end: a sensor's rsyslogd with the project's
# forwarding snippet and a collector's rsyslogd with the project's
# collector snippet, both the test's own, on loopback at a free port, each
# with its work directory in the test directory. Alerts logged during
# bursts across restarts of either side and during an outage of the
# collector all arrive. When the sensor's rsyslogd is stopped during an
# outage, every alert arrives but at most the one it was trying to send
# (a limit of rsyslog that the snippet states). Duplicates are allowed
# (RELP resends what was not acknowledged) and counted.
#
# The snippets are used as shipped but for the target, the port, the
# collector's directory and a retry interval of 1 s instead of 10 s, so
# that the test takes seconds.
. "$(dirname "$0")/lib.sh"
own_network

source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
for module in omrelp imrelp; do
    [ -n "$(find /usr/lib -name "$module.so" -path '*rsyslog*' 2>/dev/null | head -1)" ] ||
        fail "no $module.so (Debian package rsyslog-relp)"
done

# A TCP port on loopback that nothing listens on.
port=$(free_port)

mkdir -p "$TEST_DIR"/{sensor,collector,collected}
sensor_socket="$TEST_DIR/sensor/log.sock"
{
    cat <<CONF
global(workDirectory="$TEST_DIR/sensor")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$sensor_socket" RateLimit.Interval="0")
CONF
    sed -e "s|target=\"collector.example.net\"|target=\"127.0.0.1\"|" -e "s|port=\"2514\"|port=\"$port\"|" \
        -e 's|action.resumeInterval="10"|action.resumeInterval="1"|' \
        "$source_dir/packaging/rsyslog/20-surgewatch-forward.conf"
    echo "*.* stop"
} >"$TEST_DIR/sensor.conf"
{
    echo "global(workDirectory=\"$TEST_DIR/collector\")"
    sed -e "s|port=\"2514\"|port=\"$port\"|" -e "s|/var/log/surgewatch/|$TEST_DIR/collected/|" \
        "$source_dir/packaging/rsyslog/surgewatch-collector.conf"
} >"$TEST_DIR/collector.conf"
grep -q "port=\"$port\"" "$TEST_DIR/sensor.conf" && grep -q '127.0.0.1' "$TEST_DIR/sensor.conf" &&
    grep -q "port=\"$port\"" "$TEST_DIR/collector.conf" && grep -q "$TEST_DIR/collected/" "$TEST_DIR/collector.conf" ||
    fail "the snippets no longer hold the settings this test replaces"

# start NAME: starts that rsyslogd in the foreground of a background job;
# stop NAME: ends it with SIGTERM, an orderly stop, and waits for it.
declare -A pids
start() {
    local name=$1
    rsyslogd -n -f "$TEST_DIR/$name.conf" -i "$TEST_DIR/$name/rsyslogd.pid" \
        >>"$TEST_DIR/$name.out" 2>&1 &
    pids[$name]=$!
    on_exit "kill ${pids[$name]} 2>/dev/null; wait ${pids[$name]} 2>/dev/null"
}
stop() {
    local name=$1
    stop_process "${pids[$name]}" 10
    [ "$STOPPED_STATUS" -eq 0 ] || [ "$STOPPED_STATUS" -eq 143 ] ||
        fail "$name's rsyslogd ended with status $STOPPED_STATUS: $(cat "$TEST_DIR/$name.out")"
}
sensor_up() {
    start sensor
    local i
    for ((i = 0; i < 100; i++)); do
        [ -S "$sensor_socket" ] && return 0
        sleep 0.05
    done
    fail "the sensor's rsyslogd did not open $sensor_socket: $(cat "$TEST_DIR/sensor.out")"
}
collector_up() {
    start collector
    local i
    for ((i = 0; i < 100; i++)); do
        ss -Htln "sport = :$port" | grep . >/dev/null && return 0
        sleep 0.05
    done
    fail "the collector's rsyslogd does not listen on port $port: $(cat "$TEST_DIR/collector.out")"
}
sent=0
alert() {
    local i
    for ((i = 0; i < $1; i++)); do
        sent=$((sent + 1))
        logger -u "$sensor_socket" -p local6.alert -t surgewatch -- "FLOOD: alert $sent of this test" ||
            fail "cannot log to the sensor"
    done
}
collected() { cat "$TEST_DIR"/collected/*.log 2>/dev/null || true; }
# Waits up to $1 seconds until the collector holds alerts 1 to $sent but
# those in $allowed_missing (a list of numbers); $missing is the rest.
allowed_missing=""
all_arrive() {
    local deadline=$((${EPOCHREALTIME//[!0-9]/} + $1 * 1000000))
    while true; do
        missing=$(comm -23 <(seq 1 "$sent" | sort) \
            <(collected | sed -n 's/.* surgewatch: FLOOD: alert \([0-9]*\) of this test$/\1/p' | sort -u) |
            grep -vxF -f <(echo "${allowed_missing:-none}") || true)
        [ -z "$missing" ] && return 0
        ((${EPOCHREALTIME//[!0-9]/} < deadline)) || return 1
        sleep 0.1
    done
}

# The path works.
collector_up
sensor_up
alert 1
all_arrive 10 || fail "alert 1 never reached the collector: $(collected)"

# Restarts of either side while both are otherwise up, in the middle of
# bursts, and an outage of the collector: nothing is lost.
alert 100
stop collector
alert 100
collector_up
alert 100
stop sensor
sensor_up
alert 100
all_arrive 30 || fail "alerts lost across restarts during bursts: $(tr '\n' ' ' <<<"$missing")"

# The case of the report: collector stopped, alerts logged, the sensor's
# rsyslogd restarted, then the collector started. Every alert arrives but
# at most one of those logged before the restart: the one that the
# sensor's rsyslogd was trying to send when it was stopped.
stop collector
first_in_outage=$((sent + 1))
alert 20
last_before_restart=$sent
stop sensor
sensor_up
alert 20
collector_up
allowed_missing=$(seq "$first_in_outage" "$last_before_restart")
all_arrive 30 || fail "alerts lost across a collector outage and a sensor restart: $(tr '\n' ' ' <<<"$missing")"
allowed_missing=""
all_arrive 0 || true
[ "$(wc -w <<<"$missing")" -le 1 ] ||
    fail "more than one alert lost in the sensor's restart during the outage: $(tr '\n' ' ' <<<"$missing")"
lost=${missing:-none}

lines=$(collected | grep -c ' surgewatch: FLOOD: alert ' || true)
distinct=$(collected | sed -n 's/.* surgewatch: FLOOD: alert \([0-9]*\) of this test$/\1/p' | sort -u | wc -l)
echo "$distinct of $sent alerts reached the collector, $((lines - distinct)) copies more than once;" \
    "lost in the sensor's stop during the outage: alert $lost"
