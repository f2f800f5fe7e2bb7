# Helpers for the end-to-end tests, sourced by each test script.
#
# System log: each test starts its own rsyslogd listening on a socket in the
# test's directory, and runs the program under test in a private mount
# namespace where that socket is bind-mounted over /dev/log. Tests therefore
# never see each other's messages nor the machine's own syslog. The daemon
# writes one line per message: "<priority> <tag>: <message>".

set -euo pipefail

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

# Runs a command with /dev/log pointing at this test's rsyslogd.
with_syslog() {
    [ -e /dev/log ] || touch /dev/log
    unshare --mount --propagation private -- \
        sh -c 'mount --bind "$0" /dev/log && exec "$@"' "$SYSLOG_SOCKET" "$@"
}

# Waits up to $3 seconds (default 5) until file $1 holds a line matching
# the extended regular expression $2.
wait_for_line() {
    local file=$1 pattern=$2 limit=${3:-5} i
    for ((i = 0; i < limit * 20; i++)); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
