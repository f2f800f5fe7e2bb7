#!/usr/bin/env bash
# An interface that goes and comes back. The monitor watches one end of a
# veth pair in a network namespace of this test's own; hping3 sends from
# the other end a flood of new flows to one address until its alert is
# logged. The pair is then deleted (the dispatch failure is reported) and
# made again under the same names: the monitor opens the interface again,
# says so once ("Capture reopened on NAME", local6.warning and standard
# output), and the same flood sent again is alerted again, from the tables
# it kept. Run twice: with dispatch calls that wait in libpcap, and with a
# heartbeat, where the loop waits itself and libpcap's reads do not block.
. "$(dirname "$0")/lib.sh"
need_root
command -v hping3 >/dev/null || fail "hping3 is needed (scripts/test installs it)"
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"
watched="swroA$$"
peer="swroB$$"
target=198.51.100.77

# The pair, the sender's address, and the target's address known at the
# watched end's link address (nothing answers there).
make_pair() {
    ip -n "$ns" link add "$watched" type veth peer name "$peer" || fail "cannot create $watched"
    ip -n "$ns" link set "$watched" up
    ip -n "$ns" link set "$peer" up
    ip -n "$ns" addr add 198.51.100.78/24 dev "$peer"
    local mac
    mac=$(ip netns exec "$ns" cat "/sys/class/net/$watched/address")
    ip -n "$ns" neigh replace "$target" lladdr "$mac" dev "$peer" nud permanent
}

alert_re="^177 surgewatch: FLOOD: ${target//./\\.} - [0-9]+\\.[0-9]{2} flows/s\$"
# flood NAME: a new flow with every packet, about 1000 a second, 9000 at
# most, until the system log holds one more flows alert than before. Each
# flood goes to a port of its own: hping3 counts source ports up from a
# random one, and flows that an earlier flood left in the table would be
# no new flows.
flood() {
    floods=$((floods + 1))
    ip netns exec "$ns" timeout 12 hping3 -q -I "$peer" -S -p $((7 + floods)) -i u1000 -c 9000 "$target" \
        >"$TEST_DIR/$1.hping" 2>&1 &
    local sender=$! deadline=$((SECONDS + 12))
    on_exit "kill $sender 2>/dev/null"
    until (($(grep -cE "$alert_re" "$SYSLOG_FILE") >= floods)); do
        ((SECONDS < deadline)) || fail "$1: no flows alert; hping3: $(tail -n 2 "$TEST_DIR/$1.hping");" \
            " standard output: $(tail -n 3 "$out")"
        sleep 0.1
    done
    kill "$sender" 2>/dev/null || true
    wait "$sender" 2>/dev/null || true
}

# reopen_case NAME HEARTBEAT_SECONDS: one run of the monitor, the pair made
# for it and deleted after it.
cases=0
floods=0
reopen_case() {
    local case=$1 heartbeat=$2
    cases=$((cases + 1))
    make_pair

    out="$TEST_DIR/monitor-$case.out"
    SURGEWATCH_HEARTBEAT_SECONDS=$heartbeat spawn_with_syslog ip netns exec "$ns" \
        "$SURGEWATCH" "$watched" "ip and dst host $target" >"$out" 2>"$TEST_DIR/monitor-$case.err"
    monitor=$SPAWNED_PID
    wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
        fail "the monitor did not start: $(cat "$out" "$TEST_DIR/monitor-$case.err")"

    flood "$case-before"
    ip -n "$ns" link del "$watched"
    wait_for_line "$out" '^alert\.cpp [0-9]+ pcap_dispatch failed with error: ' 5 ||
        fail "no dispatch failure after the interface was deleted: $(tail -n 3 "$out")"
    make_pair
    reopened="Capture reopened on $watched"
    wait_for_line "$out" "^$reopened\$" 5 ||
        fail "not reopened: $(tail -n 3 "$out")"
    flood "$case-after"

    stop_process "$monitor"
    [ "$STOPPED_STATUS" -eq 143 ] || fail "exit status $STOPPED_STATUS: it did not run until SIGTERM"
    [ ! -s "$TEST_DIR/monitor-$case.err" ] ||
        fail "standard error: $(head -c 500 "$TEST_DIR/monitor-$case.err")"
    syslog_sync

    # Standard output: the progress lines, the first alert, the failure, the
    # reopening and the second alert, in that order; sweep reports between.
    mapfile -t lines < <(grep -vE '^((Flow|Host) cleanup took |Heartbeat: )' "$out")
    shown=$(printf '%s\n' "${lines[@]}")
    [ "${#lines[@]}" -eq 8 ] || fail "standard output: $shown"
    [[ ${lines[4]} =~ ^FLOOD:\ ${target//./\\.}\ -\ [0-9.]+\ flows/s$ ]] || fail "first alert: $shown"
    [[ ${lines[5]} =~ ^alert\.cpp\ [0-9]+\ pcap_dispatch\ failed\ with\ error:\  ]] || fail "failure: $shown"
    [ "${lines[6]}" = "$reopened" ] || fail "reopening: $shown"
    [[ ${lines[7]} =~ ^FLOOD:\ ${target//./\\.}\ -\ [0-9.]+\ flows/s$ ]] || fail "second alert: $shown"
    # The system log: the same, the reopening once, at local6.warning.
    [ "$(syslog_messages | grep -c "^180 surgewatch: $reopened\$")" -eq "$cases" ] ||
        fail "system log: $(syslog_messages)"
    [ "$(syslog_messages | grep -cE "$alert_re")" -eq $((2 * cases)) ] ||
        fail "system log: $(syslog_messages)"
    echo "$case: ${lines[4]} / ${lines[6]} / ${lines[7]}"
    ip -n "$ns" link del "$watched"
}

reopen_case blocking 0
reopen_case heartbeat 1
echo "PASS"
