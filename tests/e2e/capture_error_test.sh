#!/usr/bin/env bash
# A capture error while the monitor runs: the interface it captures on is
# deleted under it. The first failure is reported at once, to the system log
# (priority 177) and to standard output, each copy on a line of its own;
# while the failures go on, the monitor retries with growing pauses and
# repeats the report at most once a minute, so over 5 seconds there is one
# report and next to no processor time; it keeps going until it is killed.
. "$(dirname "$0")/lib.sh"
own_network
start_syslog

watched="swceA$$"
peer="swceB$$"
veth_pair "$SURGEWATCH_TEST_NETNS" "$watched" "$peer"

out="$TEST_DIR/monitor.out"
spawn_with_syslog "$SURGEWATCH" "$watched" ip >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

ip -n "$SURGEWATCH_TEST_NETNS" link del "$watched"
report_re='alert\.cpp [0-9]+ pcap_dispatch failed with error: '
wait_for_line "$SYSLOG_FILE" "^177 surgewatch: $report_re" 5 ||
    fail "no dispatch failure in the system log: $(head -c 500 "$SYSLOG_FILE")"
wait_for_line "$out" "$report_re" 5 ||
    fail "no dispatch failure on standard output: $(head -c 500 "$out")"

# Processor time (user + system, in clock ticks) over the next 5 seconds.
ticks() {
    local stat fields
    stat=$(cat "/proc/$monitor/stat") || fail "the monitor ended by itself"
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
before=$(ticks)
sleep 5
spent=$(($(ticks) - before))
hz=$(getconf CLK_TCK)
# A tenth of one processor at most (a monitor retrying at once spent all of
# one).
((spent <= hz / 2)) ||
    fail "$spent ticks of processor time in 5 s of failing capture ($hz ticks a second)"

# It went on after the failure: still running when told to stop. It is
# stopped first and then sent SIGTERM, so that the signal cannot land inside
# a write to the file (a fatal signal can cut such a write short).
kill -STOP "$monitor"
for ((i = 0; i < 100; i++)); do
    stat=$(cat "/proc/$monitor/stat") && state=${stat##*) } && [ "${state%% *}" = T ] && break
    sleep 0.05
done
kill -TERM "$monitor"
kill -CONT "$monitor"
stop_process "$monitor"
[ "$STOPPED_STATUS" -eq 143 ] || fail "exit status $STOPPED_STATUS: it did not run until SIGTERM"
[ ! -s "$TEST_DIR/monitor.err" ] || fail "standard error: $(head -c 500 "$TEST_DIR/monitor.err")"
syslog_sync

# One report in the system log.
mapfile -t logged < <(syslog_messages)
[ "${#logged[@]}" -eq 1 ] ||
    fail "${#logged[@]} system log lines in 5 s of failures: $(printf '%s | ' "${logged[@]:0:5}")"
[[ ${logged[0]} =~ ^177\ surgewatch:\ alert\.cpp\ ([0-9]+)\ pcap_dispatch\ failed\ with\ error:\ (.+)$ ]] ||
    fail "malformed system log copy '${logged[0]}'"
log_line=${BASH_REMATCH[1]}
error_text=${BASH_REMATCH[2]}

# Standard output: the progress lines, then the one report on a line of its
# own.
progress="Opening interface $watched... done
Compiling filter \`ip\`... done
Setting filter... done
Detecting IP layer offset in bytes... 14 done
"
actual=$(cat "$out"; printf .)
actual=${actual%.}
[ "${actual:0:${#progress}}" = "$progress" ] ||
    fail "progress lines: $(printf '%q' "${actual:0:300}")"
reports=${actual:${#progress}}
[[ $reports =~ ^alert\.cpp\ ([0-9]+)\ pcap_dispatch\ failed\ with\ error:\ (.*)$'\n'$ ]] ||
    fail "standard output after the progress lines: $(printf '%q' "${reports:0:300}")"
out_line=${BASH_REMATCH[1]}
[ "${BASH_REMATCH[2]}" = "$error_text" ] ||
    fail "the copies differ: '${BASH_REMATCH[2]}' and '$error_text'"
[ "$out_line" = "$log_line" ] || fail "the copies carry lines $log_line and $out_line"
echo "PASS: one report in 5 s, $spent ticks of processor time: alert.cpp $out_line pcap_dispatch failed with error: $error_text"
