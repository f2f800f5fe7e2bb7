#!/usr/bin/env bash
# Start-up of the real monitor: the command line, every start-up failure that
# an interface or a filter can provoke, and the progress lines of a good
# start. A failure report has two copies, the system log's (priority 177)
# written before the standard output's; each carries the line of the
# statement that wrote it. The order is read from the system calls of a
# second, traced run (strace).
. "$(dirname "$0")/lib.sh"
own_network

command -v strace >/dev/null || fail "strace is needed (scripts/test installs it)"
strace -qq -o /dev/null true || fail "strace cannot trace processes here"
start_syslog

errors=0
mismatch() {
    echo "MISMATCH [$1]: $2" >&2
    errors=$((errors + 1))
}

# Prints file $1 exactly, trailing newlines included, shown with escapes.
show() {
    local s
    s=$(cat "$1"; printf .)
    printf '%q' "${s%.}"
}

# File $2 must hold exactly the bytes $3.
expect_bytes() {
    local actual
    actual=$(cat "$2"; printf .)
    actual=${actual%.}
    [ "$actual" = "$3" ] ||
        mismatch "$1" "standard output $(show "$2"), expected $(printf '%q' "$3")"
}

expect_no_stderr() {
    [ ! -s "$2" ] || mismatch "$1" "standard error: $(cat "$2")"
}

# The system-log lines after the first $1.
logged_since() {
    syslog_sync
    syslog_messages | tail -n +$(($1 + 1))
}

# usage_case NAME ARGV0 ARGS...: started with ARGV0 as its own name and a
# wrong number of arguments, the monitor prints the usage line with that
# name, exits with 255 and logs nothing.
usage_case() {
    local name=$1 argv0=$2
    shift 2
    local out="$TEST_DIR/$name.out" err="$TEST_DIR/$name.err" status=0 before
    before=$(syslog_messages | wc -l)
    with_syslog bash -c 'exec -a "$0" "$@"' "$argv0" "$SURGEWATCH" "$@" >"$out" 2>"$err" ||
        status=$?
    [ "$status" -eq 255 ] || mismatch "$name" "exit status $status, expected 255"
    expect_bytes "$name" "$out" $'\nUsage: '"$argv0"$' <interface> <filter>\n'
    expect_no_stderr "$name" "$err"
    local logged
    logged=$(logged_since "$before")
    [ -z "$logged" ] || mismatch "$name" "system log: $logged"
}

# failure_case NAME INTERFACE FILTER PROGRESS MESSAGE_RE: start-up fails
# after the progress text PROGRESS (exact). Standard output then holds a
# newline and "alert.cpp N TEXT\n", TEXT matching MESSAGE_RE (an extended
# regular expression for the whole text, only the library's part left
# open); the system log holds the same "alert.cpp N TEXT" once, at
# priority 177, sent before the standard output copy is written.
failure_case() {
    local name=$1 interface=$2 filter=$3 progress=$4 message_re=$5
    local out="$TEST_DIR/$name.out" err="$TEST_DIR/$name.err" trace="$TEST_DIR/$name.trace"
    local status=0 before
    before=$(syslog_messages | wc -l)
    with_syslog "$SURGEWATCH" "$interface" "$filter" >"$out" 2>"$err" || status=$?
    [ "$status" -eq 255 ] || mismatch "$name" "exit status $status, expected 255"
    expect_no_stderr "$name" "$err"

    local actual rest line out_line="" text=""
    actual=$(cat "$out"; printf .)
    actual=${actual%.}
    rest=${actual#"$progress"$'\n'}
    line=${rest%$'\n'}
    if [ "$rest" = "$actual" ] || [ "$line" = "$rest" ] || [[ $line == *$'\n'* ]]; then
        mismatch "$name" "standard output $(show "$out"), expected $(printf '%q' "$progress")" \
            "then a newline and one failure line"
    elif [[ $line =~ ^alert\.cpp\ ([0-9]+)\ (.*)$ ]]; then
        out_line=${BASH_REMATCH[1]}
        text=${BASH_REMATCH[2]}
        [[ $text =~ ^($message_re)$ ]] ||
            mismatch "$name" "failure text '$text' does not match '$message_re'"
    else
        mismatch "$name" "failure line '$line' lacks 'alert.cpp <line> '"
    fi

    local logged log_line
    logged=$(logged_since "$before")
    if [[ $logged =~ ^177\ surgewatch:\ alert\.cpp\ ([0-9]+)\ (.*)$ ]]; then
        log_line=${BASH_REMATCH[1]}
        [ "${BASH_REMATCH[2]}" = "$text" ] ||
            mismatch "$name" "system log text '${BASH_REMATCH[2]}', standard output '$text'"
        [ "$log_line" = "$out_line" ] ||
            mismatch "$name" "the copies carry lines $log_line and $out_line"
    else
        mismatch "$name" "system log holds '$logged', expected one '177 surgewatch: alert.cpp N ...'"
    fi

    # The same start again, traced. (LeakSanitizer cannot run under ptrace:
    # the run above has checked for leaks.)
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" with_syslog \
        strace -f -qq -s 4096 -e signal=none -e trace=sendto,sendmsg,write -o "$trace" \
        "$SURGEWATCH" "$interface" "$filter" >/dev/null 2>"$err.traced" || true
    expect_no_stderr "$name (traced)" "$err.traced"
    local sent written
    sent=$(grep -nE -m1 'send(to|msg)\(.*surgewatch: alert\.cpp [0-9]+ ' "$trace" | cut -d: -f1) || true
    written=$(grep -nE -m1 'write\(1, ".*alert\.cpp [0-9]+ ' "$trace" | cut -d: -f1) || true
    if [ -z "$sent" ] || [ -z "$written" ]; then
        mismatch "$name" "the trace lacks the log send ('$sent') or the output write ('$written')"
    elif [ "$sent" -gt "$written" ]; then
        mismatch "$name" "standard output was written before the system log"
    fi
}

# success_case NAME INTERFACE FILTER OFFSET: the monitor reports the four
# steps done, the last with the link offset, and then keeps capturing until
# it is killed; nothing reaches the system log.
success_case() {
    local name=$1 interface=$2 filter=$3 offset=$4
    local out="$TEST_DIR/$name.out" err="$TEST_DIR/$name.err" before
    before=$(syslog_messages | wc -l)
    spawn_with_syslog "$SURGEWATCH" "$interface" "$filter" >"$out" 2>"$err"
    wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. ' 30 ||
        mismatch "$name" "no offset line within 30 s"
    stop_process "$SPAWNED_PID"
    [ "$STOPPED_STATUS" -eq 143 ] ||
        mismatch "$name" "exit status $STOPPED_STATUS: it did not run until SIGTERM"
    expect_bytes "$name" "$out" "Opening interface $interface... done
Compiling filter \`$filter\`... done
Setting filter... done
Detecting IP layer offset in bytes... $offset done
"
    expect_no_stderr "$name" "$err"
    local logged
    logged=$(logged_since "$before")
    [ -z "$logged" ] || mismatch "$name" "system log: $logged"
}

usage_case no_arguments "$SURGEWATCH"
usage_case one_argument "$SURGEWATCH" lo
usage_case three_arguments "$SURGEWATCH" lo ip extra
usage_case relative_name ./surgewatch lo
usage_case name_with_conversions 'sw %s %n %d' '' '' '' ''

failure_case missing_interface "swno$$" ip \
    "Opening interface swno$$... " \
    "Cannot open pcap device: .+"
failure_case conversions_in_interface "sw%n%s$$" ip \
    "Opening interface sw%n%s$$... " \
    "Cannot open pcap device: .+"
failure_case filter_syntax_error lo 'tcp port %s and ((' \
    "Opening interface lo... done
Compiling filter \`tcp port %s and ((\`... " \
    "Cannot compile filter: .+"

# A netlink log group of this test's own (the plain device binds group 0,
# which another program may hold). Its link type has no IPv4 offset, and
# "ip" cannot be compiled for it.
nflog="nflog:$((20000 + $$ % 40000))"
failure_case nflog_link_type "$nflog" '' \
    "Opening interface $nflog... done
Compiling filter \`\`... done
Setting filter... done
Detecting IP layer offset in bytes... " \
    "Unknown link type"
failure_case nflog_ip_filter "$nflog" ip \
    "Opening interface $nflog... done
Compiling filter \`ip\`... " \
    "Cannot compile filter: .+"

success_case loopback lo 'ip and dst host 127.0.0.149' 14

# A tun device carries bare IPv4 packets: no link header. Capture needs it up.
tun="swtun$$"
ip -n "$SURGEWATCH_TEST_NETNS" tuntap add dev "$tun" mode tun || fail "cannot create tun device $tun"
failure_case tun_down "$tun" ip \
    "Opening interface $tun... " \
    "Cannot open pcap device: .+"
ip -n "$SURGEWATCH_TEST_NETNS" link set "$tun" up
success_case tun "$tun" ip 0

[ "$errors" -eq 0 ] || fail "$errors mismatches"
echo "PASS"
