#!/usr/bin/env bash
# Start-up warnings, each after the last progress line, on standard output
# and at local6.warning (180), only where the monitor can know that what it
# counts will mislead: the any device on a machine that forwards (each
# forwarded packet is seen twice), and a filter that lets no IPv4 packet
# through. Everywhere else, start-up prints what it always printed. Run in
# a network namespace of this test's own, whose forwarding switch the test
# sets.
. "$(dirname "$0")/lib.sh"
need_root
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"

forwarded="Warning: the any device sees a forwarded packet twice (on its way in and out); rates of forwarded traffic read double"
no_ipv4="Warning: the filter matches no IPv4 packet; nothing will be counted"

errors=0
# start_case NAME FORWARDING INTERFACE FILTER OFFSET WARNING...: the
# monitor's whole standard output up to its kill, and its system log.
start_case() {
    local name=$1 forwarding=$2 interface=$3 filter=$4 offset=$5
    shift 5
    ip netns exec "$ns" sysctl -qw "net.ipv4.ip_forward=$forwarding"
    local out="$TEST_DIR/$name.out" before expected logged warning
    before=$(syslog_messages | wc -l)
    spawn_with_syslog ip netns exec "$ns" "$SURGEWATCH" "$interface" "$filter" >"$out" 2>&1
    wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. ' 30 ||
        fail "$name: the monitor did not start: $(cat "$out")"
    # The warnings are written before the loop's first dispatch call: once
    # the process waits on its socket, they are out.
    local i
    for ((i = 0; i < 100; i++)); do
        grep -q poll "/proc/$SPAWNED_PID/wchan" 2>/dev/null && break
        sleep 0.05
    done
    stop_process "$SPAWNED_PID"
    expected="Opening interface $interface... done
Compiling filter \`$filter\`... done
Setting filter... done
Detecting IP layer offset in bytes... $offset done"
    for warning in "$@"; do expected+=$'\n'"$warning"; done
    if [ "$(cat "$out")" != "$expected" ]; then
        echo "MISMATCH [$name]: standard output:"$'\n'"$(cat "$out")" >&2
        errors=$((errors + 1))
    fi
    syslog_sync
    logged=$(syslog_messages | tail -n +$((before + 1)))
    expected=""
    for warning in "$@"; do expected+="180 surgewatch: $warning"$'\n'; done
    if [ "$logged" != "${expected%$'\n'}" ]; then
        echo "MISMATCH [$name]: system log:"$'\n'"$logged" >&2
        errors=$((errors + 1))
    fi
}

start_case any_forwarding 1 any ip 16 "$forwarded"
start_case any_not_forwarding 0 any ip 16
start_case lo_forwarding 1 lo ip 14
start_case ip6_only 0 lo ip6 14 "$no_ipv4"
start_case arp_only 0 lo arp 14 "$no_ipv4"
start_case not_ip 0 lo 'not ip' 14 "$no_ipv4"
start_case ip6_port 0 lo 'ip6 and tcp port 80' 14 "$no_ipv4"
start_case any_forwarding_ip6 1 any ip6 16 "$forwarded" "$no_ipv4"
start_case tcp_port 0 lo 'tcp port 80' 14
start_case one_host 0 lo 'dst host 192.0.2.1 and udp' 14
start_case everything 0 lo '' 14
start_case ip_or_ip6 0 lo 'ip or ip6' 14

[ "$errors" -eq 0 ] || fail "$errors mismatches"
echo "PASS"
