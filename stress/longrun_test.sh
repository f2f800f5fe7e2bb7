#!/usr/bin/env bash
# Memory over a long run: two cycles of generated traffic (surgewatch-gencap,
# fixed seeds), each $PACKETS packets over $FLOWS flows in 150 s of packet
# time towards up to 65536 destinations, the number in use rising from a
# tenth to all and falling back; the second cycle starts a minute after the
# first ends, in the same file.
#
# Plain build: surgewatch-memtrace replays the file through the monitor's
# decoder, tables and sweep schedule and reads the resident memory and the
# general allocator's figures right after every sweep. Swept records go
# back to their pools and are reused, so the second cycle must fit in what
# the first one took: a leak would show as growth from one cycle to the
# next. (Resident memory less what the allocator holds is the record pools
# and the program; the allocator's own share is mostly the sweep stacks,
# which glibc keeps once a large sweep has used them.)
#
# Sanitizer build (SANITIZED=1): surgewatch-replay replays the file, its
# records bypass the pools, and LeakSanitizer checks at exit that every
# record was freed or is still in a table.
#
#   BUILD_DIR=build PACKETS=5000000 FLOWS=1000000 bash stress/longrun_test.sh
set -euo pipefail
BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build directory}
PACKETS=${PACKETS:-200000}
FLOWS=${FLOWS:-40000}
SANITIZED=${SANITIZED:-0}
dir=$(mktemp -d /tmp/surgewatch-longrun.XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

start=1700000000
seconds=150
for cycle in 1 2; do
    "$BUILD_DIR/bench/surgewatch-gencap" -n "$PACKETS" -f "$FLOWS" -H 65536 -s $seconds --host-ramp \
        -r "$cycle" -t $((start + (cycle - 1) * (seconds + 60))) -o "$dir/cycle$cycle.pcap" \
        2>"$dir/gencap.log" || fail "surgewatch-gencap: $(cat "$dir/gencap.log")"
done
# Same link type and snapshot length: the second file's records follow the
# first's without its 24-byte file header.
{ cat "$dir/cycle1.pcap"; tail -c +25 "$dir/cycle2.pcap"; } >"$dir/both.pcap"
rm "$dir/cycle1.pcap" "$dir/cycle2.pcap"

if [ "$SANITIZED" = 1 ]; then
    ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1}:detect_leaks=1 \
        "$BUILD_DIR/src/surgewatch-replay" "$dir/both.pcap" ip >"$dir/out" ||
        fail "replay ended with status $?"
    grep -qx "Replayed $((2 * PACKETS)) packets" "$dir/out" || fail "$(tail -n 1 "$dir/out")"
    echo "2 x $PACKETS packets replayed, no leak reported"
    exit 0
fi

"$BUILD_DIR/stress/surgewatch-memtrace" "$dir/both.pcap" >"$dir/memory.txt"
awk -v second=$((seconds + 60)) '
    /^#/ { if ($0 ~ /peak/) summary = $0; next }
    { cycle = $1 < second ? 1 : 2
      if ($2 > peakFlows[cycle]) peakFlows[cycle] = $2
      if ($3 > peakHosts[cycle]) peakHosts[cycle] = $3
      if ($4 > peakRss[cycle]) peakRss[cycle] = $4
      if ($4 - $6 > peakPools[cycle]) peakPools[cycle] = $4 - $6
      if ($5 > peakHeap[cycle]) peakHeap[cycle] = $5
      printf "  %4d s: %7d flow records, %6d host records, resident %5.1f MiB (heap in use %4d KiB, held %5d KiB)\n", $1, $2, $3, $4 / 1024, $5, $6 }
    END {
      print summary
      for (c = 1; c <= 2; c++)
        printf "cycle %d: peak %d flow records, %d host records; resident %.1f MiB, outside the heap %.1f MiB; heap in use %d KiB\n", c, peakFlows[c], peakHosts[c], peakRss[c] / 1024, peakPools[c] / 1024, peakHeap[c]
      if (peakFlows[1] == 0 || peakFlows[2] == 0) { print "FAIL: a cycle without flow records"; exit 1 }
      if (peakPools[2] > peakPools[1] * 1.02 + 512 || peakHeap[2] > peakHeap[1] + 64) {
        print "FAIL: the second cycle needed more memory than the first"; exit 1 }
    }' "$dir/memory.txt"
