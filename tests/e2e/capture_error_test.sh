#!/usr/bin/env bash
# A capture error while the monitor runs: the interface it captures on is
# deleted under it. Every failing dispatch call is reported to the system log
# (priority 177) and to standard output, where the copies carry no newline and
# so run together on the line after the progress lines; the monitor keeps
# going until it is killed.
. "$(dirname "$0")/lib.sh"
start_syslog

watched="swceA$$"
peer="swceB$$"
ip link add "$watched" type veth peer name "$peer" || fail "cannot create veth pair $watched"
on_exit "ip link del $watched 2>/dev/null"
ip link set "$watched" up
ip link set "$peer" up

out="$TEST_DIR/monitor.out"
spawn_with_syslog "$SURGEWATCH" "$watched" ip >"$out" 2>"$TEST_DIR/monitor.err"
monitor=$SPAWNED_PID
wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 5 ||
    fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor.err")"

ip link del "$watched"
report_re='main\.cpp [0-9]+ pcap_dispatch failed with error: '
wait_for_line "$SYSLOG_FILE" "^177 surgewatch: $report_re" 5 ||
    fail "no dispatch failure in the system log: $(head -c 500 "$SYSLOG_FILE")"
wait_for_line "$out" "$report_re" 5 ||
    fail "no dispatch failure on standard output: $(head -c 500 "$out")"
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

first=$(grep -E -m1 "^177 surgewatch: $report_re" "$SYSLOG_FILE" | sed 's/^177 surgewatch: //')
[[ $first =~ ^main\.cpp\ ([0-9]+)\ pcap_dispatch\ failed\ with\ error:\ (.+)$ ]] ||
    fail "malformed system log copy '$first'"
log_line=${BASH_REMATCH[1]}
error_text=${BASH_REMATCH[2]}

# Every failure line in the log is the same report.
other=$(grep -v -F -x "177 surgewatch: $first" "$SYSLOG_FILE" | grep -v ' syslog-sync: ' | head -3) || true
[ -z "$other" ] || fail "other system log lines: $other"

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
[[ $reports != *$'\n'* ]] || fail "a newline among the standard output copies"
[[ $reports =~ ^main\.cpp\ ([0-9]+)\ pcap_dispatch\ failed\ with\ error:\  ]] ||
    fail "standard output copy: $(printf '%q' "${reports:0:300}")"
out_line=${BASH_REMATCH[1]}
[ "$out_line" != "$log_line" ] || fail "both copies carry line $log_line: two statements write them"

# The copies run together, each exactly the log copy with its own line
# number, and each whole: a report is written out as soon as it is made (it
# has no newline to push it out of the stream's buffer), so killing the
# process loses none and cuts none in half.
report="main.cpp $out_line pcap_dispatch failed with error: $error_text"
rest=${reports//"$report"/}
count=$(((${#reports} - ${#rest}) / ${#report}))
[ "${reports:0:${#report}}" = "$report" ] && [ -z "$rest" ] ||
    fail "standard output holds $(printf '%q' "${reports:0:300}") ... $(printf '%q' "$rest")," \
        "expected only whole copies of '$report'"
echo "PASS: $count reports on standard output, the first: $report"
