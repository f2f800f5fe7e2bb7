#!/usr/bin/env bash
# Tagged traffic on a trunk, live: in a network namespace of this test's
# own, tcpreplay sends tagged frames into one end of a veth pair and the
# monitor captures the other end, "mirror", with the filter `ip`. Two UDP
# flows, interleaved, 3,000 frames/s each: 192.0.2.7:4000 -> 198.51.100.5:53
# in VLAN 100 with priority 2 (the tag's first nibble is 4) and
# 192.0.2.8:4000 -> 198.51.100.6:53 in VLAN 200 with priority 0. Linux takes
# the tag off the received frame before the filter runs and libpcap puts it
# back: the alerts must name the real source and destination of each flow,
# captured on "mirror" (Ethernet) and on the any device (cooked). The
# frames go until both alerts are logged, at most 10 s each time.
. "$(dirname "$0")/lib.sh"
need_root
command -v tcpreplay >/dev/null || fail "tcpreplay is needed (scripts/test installs it)"
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"
in_ns() { in_netns "$ns" "$@"; }
veth_pair "$ns" trunk mirror

# The two flows' frames, interleaved, 600 of each, as a pcap file written
# byte by byte (little-endian): 64-byte frames, all at one time stamp
# (tcpreplay paces them). tagged_udp VLAN_TAG_CONTROL SOURCE DESTINATION
# prints one record, the addresses' last octets in hex.
tagged_udp() {
    printf '%b' '\x00\xf1\x53\x65\x00\x00\x00\x00\x40\x00\x00\x00\x40\x00\x00\x00' \
        '\x02\x00\x00\x00\x00\x05\x02\x00\x00\x00\x00\x07' "\\x81\\x00$1\\x08\\x00" \
        '\x45\x00\x00\x2e\x00\x01\x00\x00\x40\x11\x00\x00' "\\xc0\\x00\\x02$2\\xc6\\x33\\x64$3" \
        '\x0f\xa0\x00\x35\x00\x1a\x00\x00' '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
}
frames="$TEST_DIR/tagged.pcap"
{
    printf '%b' '\xd4\xc3\xb2\xa1\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\x00\x00\x01\x00\x00\x00'
    vlan100=$(tagged_udp '\x40\x64' '\x07' '\x05' | od -An -v -tx1 | tr -d ' \n')
    vlan200=$(tagged_udp '\x00\xc8' '\x08' '\x06' | od -An -v -tx1 | tr -d ' \n')
    pair=$(sed 's/../\\x&/g' <<<"$vlan100$vlan200")
    for ((i = 0; i < 600; i++)); do printf '%b' "$pair"; done
} >"$frames"
[ "$(stat -c %s "$frames")" -eq $((24 + 1200 * 80)) ] || fail "the capture file came out wrong"

rate='[0-9]+\.[0-9]{2}'
alert_100="FLOOD: 198\\.51\\.100\\.5 - $rate udp packets/s from 192\\.0\\.2\\.7 \\[DSCP 00\\]"
alert_200="FLOOD: 198\\.51\\.100\\.6 - $rate udp packets/s from 192\\.0\\.2\\.8 \\[DSCP 00\\]"
# The any device sees every frame twice, leaving "trunk" and arriving at
# "mirror": twice 3,000 frames/s may pass the destinations' packets rule as
# well. Such an alert names one of the two real destinations too.
alert_dst="FLOOD: 198\\.51\\.100\\.[56] - $rate packets/s"

# capture DEVICE OFFSET: the monitor on DEVICE (whose untagged offset is
# OFFSET) while the frames go, until both alerts are logged.
capture() {
    local device=$1 offset=$2 found=0
    local out="$TEST_DIR/$device.out"
    : >"$SYSLOG_FILE"
    spawn_with_syslog ip netns exec "$ns" "$SURGEWATCH" "$device" ip \
        >"$out" 2>"$TEST_DIR/$device.err"
    local monitor=$SPAWNED_PID
    wait_for_line "$out" "^Detecting IP layer offset in bytes\\.\\.\\. $offset done\$" 5 ||
        fail "the monitor did not start on $device: $(cat "$out" "$TEST_DIR/$device.err")"
    # 50 loops of 1,200 frames at 6,000 frames/s: 10 s at most.
    in_ns nice -n 5 timeout 12 tcpreplay -q -i trunk --pps 6000 --loop 50 "$frames" \
        >"$TEST_DIR/tcpreplay.out" 2>&1 &
    local sender=$!
    on_exit "kill $sender 2>/dev/null"
    wait_for_line "$SYSLOG_FILE" "^177 surgewatch: $alert_100\$" 12 &&
        wait_for_line "$SYSLOG_FILE" "^177 surgewatch: $alert_200\$" 2 || found=1
    kill -TERM "$sender" 2>/dev/null || true
    wait "$sender" 2>/dev/null || true
    [ "$found" -eq 0 ] || fail "$device: no alerts in the system log;" \
        "tcpreplay: $(tail -n 3 "$TEST_DIR/tcpreplay.out"); system log: $(tail -n 3 "$SYSLOG_FILE");" \
        "standard output: $(tail -n 3 "$out")"

    stop_process "$monitor"
    [ "$STOPPED_STATUS" -eq 143 ] || fail "$device: exit status $STOPPED_STATUS: it did not run until SIGTERM"
    # Every alert names one of the two flows: nothing made of tag bytes.
    local alerts others
    alerts=$(grep '^FLOOD: ' "$out") || true
    others=$(grep -vxE "$alert_100|$alert_200|$alert_dst" <<<"$alerts") || true
    [ -z "$others" ] || fail "$device: alerts for hosts nobody sent to: $others"
    grep -qxE "$alert_100" <<<"$alerts" || fail "$device: no alert for VLAN 100 on standard output"
    grep -qxE "$alert_200" <<<"$alerts" || fail "$device: no alert for VLAN 200 on standard output"
    echo "$device:"
    echo "$alerts"
}

# Ethernet: libpcap puts the tag back in front of the type. The any device
# (Linux cooked capture, first version): in front of the protocol field.
capture mirror 14
capture any 16
echo PASS
