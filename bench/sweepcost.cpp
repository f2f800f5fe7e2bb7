// surgewatch-sweepcost [RECORDS] [ROUNDS]: the flow table's sweep alone, on
// RECORDS flow records of random keys (default 10,000,000; about 100 bytes
// each). A third of the records is older than the rest. Each round runs two
// sweeps: one at a packet time at which nothing has expired (the scan: every
// record visited, none removed), then one at which the older third has (the
// same scan plus the removals); then as many new older records are added
// as were removed. Per round it prints the sweeps' report lines and
//
//   round 1 visited 10000000 scan 0.812 s 81.2 ns/visited removed 3333334 removal 1.234 s 370.2
//   ns/removed
//
// with processor times; the removal's time is the second sweep's less the
// first's. The seed is fixed, so two builds sweep the same trees, and the
// tool uses nothing of the table but insert, sweep and size: an older
// build's sources compile it too (bench/steady).
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "clock.h"
#include "flow.h"
#include "random.h"

namespace {

double processorSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

constexpr int64_t kOld = 1000;
constexpr int64_t kNew = 1100;

void addRecord(FlowTable& table, Random& random, int64_t time) {
    const uint64_t bits = random.next();
    table.insert(new FlowRecord(uint32_t(bits), 0x0500000Au, uint16_t(bits >> 32),
                                uint16_t(bits >> 48), 0, 17, 0, 60, time));
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t records = argc > 1 ? strtoull(argv[1], nullptr, 10) : 10000000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 3;
    Random random(19);
    FlowTable& table = *new FlowTable();  // never freed: exit is quicker
    for (uint64_t i = 0; i < records; ++i) addRecord(table, random, i % 3 == 0 ? kOld : kNew);
    for (int round = 1; round <= rounds; ++round) {
        const uint32_t visited = table.size();
        g_packetTime = kOld + 15;  // nothing idle for more than 20 s
        double start = processorSeconds();
        table.sweep(flowExpired);
        const double scan = processorSeconds() - start;
        g_packetTime = kOld + 50;  // the older third idle for 50 s, the rest not yet seen
        start = processorSeconds();
        table.sweep(flowExpired);
        const double both = processorSeconds() - start;
        const uint32_t removed = visited - table.size();
        printf(
            "round %d visited %u scan %.3f s %.1f ns/visited removed %u removal %.3f s %.1f "
            "ns/removed\n",
            round, visited, scan, scan * 1e9 / visited, removed, both - scan,
            removed > 0 ? (both - scan) * 1e9 / removed : 0.0);
        fflush(stdout);
        for (uint32_t i = 0; i < removed; ++i) addRecord(table, random, kOld);
    }
    return 0;
}
