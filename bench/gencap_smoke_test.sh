#!/usr/bin/env bash
# The capture generator: same flags and seed give the same bytes, another
# seed other bytes; the file is Ethernet with snapshot length 68 and holds
# the packet mix it promises; bad flags are refused.
set -euo pipefail
BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build directory}
GEN="$BUILD_DIR/bench/surgewatch-gencap"
FLOOR="$BUILD_DIR/bench/surgewatch-floor"
dir=$(mktemp -d /tmp/surgewatch-gencap.XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

args=(-n 20000 -f 2000 -H 50 -s 30)
"$GEN" "${args[@]}" -r 3 -o "$dir/a.pcap" 2>"$dir/a.log"
"$GEN" "${args[@]}" -r 3 -o "$dir/b.pcap" 2>/dev/null
"$GEN" "${args[@]}" -r 4 -o "$dir/c.pcap" 2>/dev/null
cmp -s "$dir/a.pcap" "$dir/b.pcap" || fail "same seed, different files"
cmp -s "$dir/a.pcap" "$dir/c.pcap" && fail "different seeds, same file"
grep -q '^20000 packets, 2000 flows, 50 hosts' "$dir/a.log" || fail "summary: $(cat "$dir/a.log")"

# File header: snapshot length at byte 16, link type at byte 20 (host order,
# written by this machine's libpcap, little-endian here).
read -r snap link < <(od -An -t u4 -j 16 -N 8 "$dir/a.pcap")
[ "$snap" = 68 ] || fail "snapshot length $snap"
[ "$link" = 1 ] || fail "link type $link"

count() { "$FLOOR" "$dir/a.pcap" "$1" | awk '{print $1}'; }
# Within two points of the target share, in percent of 20000 packets.
near() {
    local name=$1 got=$2 percent=$3
    local low=$(((percent - 2) * 200)) high=$(((percent + 2) * 200))
    ((got >= low && got <= high)) || fail "$name: $got packets, expected about $percent %"
}
[ "$(count ip)" = 20000 ] || fail "not every packet is IPv4"
fragments=$(count 'ip[6:2] & 0x3fff != 0')
near tcp "$(count tcp)" 70
near udp "$(($(count udp) - fragments))" 25
near icmp "$(count 'icmp[icmptype] = icmp-echo')" 4
near fragments "$fragments" 1
[ "$fragments" -gt 0 ] || fail "no fragments"
[ "$(count 'tcp[tcpflags] = tcp-syn')" -gt 0 ] || fail "no SYN"

# Time span: first and last timestamps lie within 30 s of the start.
first=$(od -An -t u4 -j 24 -N 4 "$dir/a.pcap" | tr -d ' ')
[ "$first" -ge 1700000000 ] && [ "$first" -lt 1700000030 ] || fail "first timestamp $first"

# Refusals: more flows than packets, no output file.
if "$GEN" -n 10 -f 11 -o "$dir/x.pcap" 2>"$dir/err"; then fail "accepted 11 flows in 10 packets"; fi
grep -q 'flows must be between 1 and the number of packets' "$dir/err" || fail "$(cat "$dir/err")"
if "$GEN" -n 10 2>/dev/null; then fail "accepted no output file"; fi
echo "gencap smoke test passed"
