# Helpers for the end-to-end tests, sourced by each test script.
#
# System log: each test starts its own rsyslogd listening on a socket in the
# test's directory, and runs the program under test in a private mount
# namespace where that socket is bind-mounted over /dev/log. Tests therefore
# never see each other's messages nor the machine's own syslog. The daemon
# writes one line per message: "<priority> <tag>: <message>".
#
# Network: a test that captures, sends traffic or creates interfaces calls
# own_network first, and then runs whole inside a network namespace of its
# own, with its own lo: its traffic, interfaces and tun devices never reach
# the machine's, and no two tests see each other's packets.

set -euo pipefail

# Tests that capture, create interfaces and namespaces or mount over /dev/log
# call this first: without root they cannot run, and say so with status 77,
# which CTest reports as skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt).
need_root() {
    [ "$(id -u)" -ne 0 ] || return 0
    echo "skipped: this end-to-end test runs as root"
    exit 77
}

BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build directory}
SURGEWATCH="$BUILD_DIR/src/surgewatch"

TEST_DIR=$(mktemp -d /tmp/surgewatch-test.XXXXXX)
_cleanups=()
_run_cleanups() {
    local i
    for ((i = ${#_cleanups[@]} - 1; i >= 0; i--)); do eval "${_cleanups[i]}" || true; done
    rm -rf "$TEST_DIR"
}
trap _run_cleanups EXIT
# Registers a shell command to run when the test ends, last registered first.
on_exit() { _cleanups+=("$1"); }

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# netns_add NAME: creates the network namespace NAME with its lo up. When
# the test ends, whatever still runs in it is killed and it is deleted, and
# with it every interface inside. Name it surgewatch-test-$$: then, should
# the test be killed before it can delete it (a CTest time-out kills
# without a trap), the next test to make a namespace deletes it.
netns_add() {
    local stale
    for stale in $(ip netns list | awk '{ print $1 }' | grep -x 'surgewatch-test-[0-9]*' || true); do
        [ -d "/proc/${stale##*-}" ] || netns_del "$stale"
    done
    ip netns add "$1" || fail "cannot create network namespace $1"
    on_exit "netns_del $1"
    ip -n "$1" link set lo up || fail "cannot bring up lo in network namespace $1"
}
netns_del() {
    local pids
    pids=$(ip netns pids "$1" 2>/dev/null) || true
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    ip netns del "$1" 2>/dev/null || true
}

# in_netns NAME CMD...: runs CMD inside network namespace NAME. (ip netns
# exec gives CMD a mount namespace of its own as well; with_syslog's own
# mounts nest inside it.)
in_netns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

# own_network: the test script runs again, from the start, inside a network
# namespace made for it, named after this process; this run waits for it,
# deletes the namespace and ends with its status. Inside, the call returns
# at once.
own_network() {
    [ -z "${SURGEWATCH_TEST_NETNS:-}" ] || return 0
    need_root
    local name="surgewatch-test-$$" status=0
    netns_add "$name"
    SURGEWATCH_TEST_NETNS=$name in_netns "$name" bash "${BASH_SOURCE[-1]}" || status=$?
    exit "$status"
}

# check_usage PROGRAM ARGUMENTS: PROGRAM run without arguments prints its
# usage line, with its name as invoked and ARGUMENTS, on standard output
# only, and exits with 255.
check_usage() {
    local program=$1 arguments=$2 status=0
    "$program" >"$TEST_DIR/usage.out" 2>"$TEST_DIR/usage.err" || status=$?
    [ "$status" -eq 255 ] || fail "$program without arguments exited with $status, not 255"
    printf '\nUsage: %s %s\n' "$program" "$arguments" | cmp -s - "$TEST_DIR/usage.out" ||
        fail "$program printed: $(cat "$TEST_DIR/usage.out")"
    [ ! -s "$TEST_DIR/usage.err" ] || fail "$program wrote to standard error: $(cat "$TEST_DIR/usage.err")"
}

# Starts rsyslogd for this test; its messages go to $SYSLOG_FILE.
# Each argument names a configuration snippet that is read, in order, before
# that catch-all rule (a snippet that ends in "stop" keeps its messages out
# of $SYSLOG_FILE); the snippets' own paths must point into $TEST_DIR.
start_syslog() {
    SYSLOG_SOCKET="$TEST_DIR/log.sock"
    SYSLOG_FILE="$TEST_DIR/syslog.txt"
    local conf="$TEST_DIR/rsyslog.conf" snippet
    {
        cat <<CONF
global(workDirectory="$TEST_DIR")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="$SYSLOG_SOCKET" RateLimit.Interval="0" CreatePath="on")
template(name="priorityAndMessage" type="string" string="%PRI% %syslogtag%%msg:::sp-if-no-1st-sp%%msg:::drop-last-lf%\n")
CONF
        for snippet in "$@"; do
            cat "$snippet"
        done
        echo "*.* action(type=\"omfile\" file=\"$SYSLOG_FILE\" template=\"priorityAndMessage\")"
    } >"$conf"
    touch "$SYSLOG_FILE"
    rsyslogd -n -f "$conf" -i "$TEST_DIR/rsyslogd.pid" &
    local pid=$!
    on_exit "kill $pid; wait $pid 2>/dev/null"
    local i
    for ((i = 0; i < 100; i++)); do
        [ -S "$SYSLOG_SOCKET" ] && return 0
        sleep 0.05
    done
    fail "rsyslogd did not open $SYSLOG_SOCKET"
}

# Runs "$@" with /dev/log pointing at this test's rsyslogd: in a private
# mount namespace whose /dev is a fresh tmpfs holding links to every entry
# of the machine's /dev, and the socket bound over an empty file named log.
# The machine's /dev is left untouched, also where it has no /dev/log.
_SYSLOG_NAMESPACE='host=$1
shift
mkdir -p "$host" && mount --rbind /dev "$host" && mount -t tmpfs -o mode=0755 dev /dev &&
    ln -s "$host"/* /dev/ && rm -f /dev/log && : >/dev/log && mount --bind "$0" /dev/log || exit 125
exec "$@"'
with_syslog() {
    unshare --mount --propagation private -- \
        sh -c "$_SYSLOG_NAMESPACE" "$SYSLOG_SOCKET" "$TEST_DIR/host-dev" "$@"
}

# veth_pair NAMESPACE A B: creates the veth pair A - B inside the test's
# network namespace NAMESPACE (own_network's is $SURGEWATCH_TEST_NETNS),
# both ends up; it goes with the namespace.
veth_pair() {
    local ns=$1
    [ -n "$ns" ] || fail "veth_pair needs the test's own network namespace"
    ip -n "$ns" link add "$2" type veth peer name "$3" || fail "cannot create veth pair $2"
    ip -n "$ns" link set "$2" up
    ip -n "$ns" link set "$3" up
}

# flood_lo_until FRAME OUT REGEX WHO: tcpreplay sends the one-frame capture
# FRAME on the lo of the test's own network namespace (own_network's) at
# 3,000 packets/s, a rate it holds on a busy machine too (between the flow
# rule's 2,000 and the destination rule's 5,000), for 15 s at most, until
# OUT has a line matching REGEX; fails, naming WHO, when none comes.
flood_lo_until() {
    local frame=$1 out=$2 regex=$3 who=$4 sender alerted=0
    [ -n "${SURGEWATCH_TEST_NETNS:-}" ] ||
        fail "flood_lo_until needs the test's own network namespace (own_network)"
    in_netns "$SURGEWATCH_TEST_NETNS" timeout 15 tcpreplay -q -i lo --pps=3000 --loop=45000 -K \
        "$frame" >"$TEST_DIR/tcpreplay.out" 2>&1 &
    sender=$!
    on_exit "kill $sender 2>/dev/null"
    wait_for_line "$out" "$regex" 16 || alerted=1
    kill -TERM "$sender" 2>/dev/null || true
    wait "$sender" 2>/dev/null || true
    [ "$alerted" -eq 0 ] ||
        fail "no flow alert from $who; tcpreplay: $(tail -n 8 "$TEST_DIR/tcpreplay.out"); monitor: $(tail -n 3 "$out")"
}

# wait_until_still FILE: waits, 4 s at most, until FILE has stopped
# growing for a tenth of a second (a recording has taken in what was sent).
wait_until_still() {
    local size=-1 now i
    for ((i = 0; i < 40; i++)); do
        sleep 0.1
        now=$(stat -c %s "$1")
        [ "$now" -eq "$size" ] && return 0
        size=$now
    done
}

# Prints a TCP port above 20000 on which nothing listens yet, picked at
# random so that tests running at once rarely pick the same.
free_port() {
    local i candidate
    for ((i = 0; i < 50; i++)); do
        candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        if ! ss -Htln "sport = :$candidate" | grep . >/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    fail "no free port found"
}

# Waits up to $3 seconds (default 5) until file $1 holds a line matching
# the extended regular expression $2. The limit is wall-clock time, however
# slowly a loaded machine runs the polling.
# The limit only ends a wait that would never end: the monitor's start
# (a ring of 256 MiB to map) is given 30 s, which a busy machine running
# the tests in parallel may take.
wait_for_line() {
    local file=$1 pattern=$2 limit=${3:-5}
    local deadline=$((${EPOCHREALTIME//[!0-9]/} + limit * 1000000))
    until grep -qE -- "$pattern" "$file" 2>/dev/null; do
        ((${EPOCHREALTIME//[!0-9]/} < deadline)) || return 1
        sleep 0.05
    done
}

# Returns once rsyslogd has written every message sent to this test's socket
# so far: the socket hands messages on in order, so once a marker sent now is
# in $SYSLOG_FILE, so is everything before it. Checks that a program logged
# nothing need this first.
syslog_sync() {
    _syslog_syncs=$((${_syslog_syncs:-0} + 1))
    local marker="marker-$$-$_syslog_syncs"
    logger -u "$SYSLOG_SOCKET" -t syslog-sync -- "$marker" ||
        fail "cannot send a marker to $SYSLOG_SOCKET"
    wait_for_line "$SYSLOG_FILE" " syslog-sync: $marker\$" 5 ||
        fail "rsyslogd did not write the marker $marker"
}

# Prints the lines of $SYSLOG_FILE other than syslog_sync's markers.
syslog_messages() {
    grep -v '^[0-9]* syslog-sync: ' "$SYSLOG_FILE" || true
}

# Starts CMD in the background the way with_syslog runs it; the caller's
# redirections apply. $SPAWNED_PID is CMD's own process id (unshare and sh
# exec it), so signals reach CMD itself. It is killed when the test ends.
spawn_with_syslog() {
    unshare --mount --propagation private -- \
        sh -c "$_SYSLOG_NAMESPACE" "$SYSLOG_SOCKET" "$TEST_DIR/host-dev" "$@" &
    SPAWNED_PID=$!
    on_exit "kill -KILL $SPAWNED_PID 2>/dev/null; wait $SPAWNED_PID 2>/dev/null"
}

# Ends background child $1: SIGTERM, up to $2 seconds (default 3) for it to
# end, then SIGKILL; reaps it either way. $STOPPED_STATUS is then its exit
# status: 143 when SIGTERM ended it, anything else when it had already ended
# by itself or needed SIGKILL (137).
stop_process() {
    local pid=$1 limit=${2:-3} i stat state
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < limit * 20; i++)); do
        stat=$(cat "/proc/$pid/stat" 2>/dev/null) || break
        state=${stat##*) }
        [ "${state%% *}" = Z ] && break # ended, not yet reaped
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    STOPPED_STATUS=0
    wait "$pid" 2>/dev/null || STOPPED_STATUS=$?
}
