// surgewatch-micro: Google Benchmark figures for the pieces of the
// per-packet path and of the sweep.
//
//   memory          bytes per live flow and per live host, allocator included
//   OnPacket        decode of a prepared frame of a known flow, both adds
//   FlowRecordBuild a record built and freed: allocation plus MD4
//   FlowAddKnown/N  add of a flow already among N live flows
//   FlowAddNew/N    add of a new flow among N live flows (then its removal)
//   HostAdd*/N      the same for hosts
//   Sweep*/100000   a flow sweep over 100k records, keeping or removing all
//
// Keys are random (seeded), so the unbalanced trees have the logarithmic
// depth of random insertion. Every observation carries one packet time, so
// no rate window ever closes after the first and no alert is raised. Sweep
// report lines go to /dev/null; the results go to the original standard
// output.
#include <benchmark/benchmark.h>
#include <openssl/md4.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "batch.h"
#include "clock.h"
#include "flow.h"
#include "host.h"
#include "random.h"
#include "tables.h"

namespace {

constexpr int64_t kTime = 1700000000;

struct Key {
    uint32_t src, dst;
    uint16_t srcPort, dstPort;
};

std::vector<Key> randomKeys(size_t n, uint64_t seed) {
    Random random(seed);
    std::vector<Key> keys(n);
    for (Key& k : keys) {
        const uint64_t a = random.next();
        const uint64_t b = random.next();
        k = {uint32_t(a), uint32_t(a >> 32), uint16_t(b), uint16_t(b >> 16)};
    }
    return keys;
}

bool addFlow(FlowTable& table, const Key& k) {
    return table.add(k.src, k.dst, k.srcPort, k.dstPort, uint8_t(0x10), uint8_t(6), uint8_t(0),
                     uint32_t(100), kTime);
}

// A flow table of n random flows with the keys that built it, kept for the
// whole run: the big ones take a while to build.
struct FlowFixture {
    FlowTable table;
    std::vector<Key> keys;
    std::vector<uint32_t> order;  // a random walk over the keys
    double meanDepth = 0;         // records compared, on average, to find a key
};

// Mean depth of the records (the root at depth 1): the records an add of a
// known key compares, on average. Walks with its own stack.
template <typename Node>
double meanDepth(const Node* root) {
    std::vector<std::pair<const Node*, int>> pending;
    if (root != nullptr) pending.push_back({root, 1});
    double sum = 0;
    size_t count = 0;
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        sum += depth;
        ++count;
        if (node->left != nullptr) pending.push_back({node->left, depth + 1});
        if (node->right != nullptr) pending.push_back({node->right, depth + 1});
    }
    return count == 0 ? 0 : sum / double(count);
}

FlowFixture& flowFixture(size_t n) {
    static std::map<size_t, std::unique_ptr<FlowFixture>> fixtures;
    std::unique_ptr<FlowFixture>& fixture = fixtures[n];
    if (!fixture) {
        fixture.reset(new FlowFixture);
        fixture->keys = randomKeys(n, 1000 + n);
        for (const Key& k : fixture->keys) addFlow(fixture->table, k);
        Random random(n);
        fixture->order.resize(1 << 16);
        for (uint32_t& i : fixture->order) i = uint32_t(random.next() % n);
        fixture->meanDepth = meanDepth(fixture->table.root());
    }
    return *fixture;
}

// Fresh keys that are not in any fixture (another seed).
const std::vector<Key>& newKeys() {
    static const std::vector<Key> keys = randomKeys(1 << 16, 7);
    return keys;
}

size_t residentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(statm);
    }
    return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// Memory of n live records, measured as the growth of resident memory, so
// that whatever the allocator adds (headers, rounding, its own chunks) is
// counted. Runs first, in a fresh process, so no freed memory is reused.
void BM_FlowMemory(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const std::vector<Key> keys = randomKeys(n, 99);
    for (auto _ : state) {
        const size_t residentBefore = residentBytes();
        auto table = std::make_unique<FlowTable>();
        for (const Key& k : keys) addFlow(*table, k);
        state.counters["rss_bytes_per_flow"] = double(residentBytes() - residentBefore) / n;
        state.counters["record_bytes"] = sizeof(FlowRecord);
    }
}
BENCHMARK(BM_FlowMemory)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HostMemory(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const std::vector<Key> keys = randomKeys(n, 98);
    for (auto _ : state) {
        const size_t residentBefore = residentBytes();
        auto table = std::make_unique<HostTable>();
        for (const Key& k : keys) table->add(k.dst, kTime, int64_t(0));
        const double live = table->size();
        state.counters["rss_bytes_per_host"] = double(residentBytes() - residentBefore) / live;
        state.counters["record_bytes"] = sizeof(HostRecord);
    }
}
BENCHMARK(BM_HostMemory)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// An Ethernet frame of a TCP segment between two made-up addresses, cut at
// 68 bytes like every frame the monitor captures.
std::vector<u_char> tcpFrame(uint32_t src, uint32_t dst, uint16_t srcPort, uint16_t dstPort) {
    std::vector<u_char> frame(68, 0);
    frame[12] = 0x08;  // IPv4
    u_char* ip = frame.data() + 14;
    ip[0] = 0x45;
    ip[2] = 0x05;  // total length 1500
    ip[3] = 0xDC;
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    memcpy(ip + 12, &src, 4);
    memcpy(ip + 16, &dst, 4);
    u_char* tcp = ip + 20;
    tcp[0] = u_char(srcPort >> 8);
    tcp[1] = u_char(srcPort);
    tcp[2] = u_char(dstPort >> 8);
    tcp[3] = u_char(dstPort);
    tcp[12] = 0x50;
    tcp[13] = 0x18;
    return frame;
}

// onPacket on prepared frames of 256 known flows towards 64 hosts: decode,
// the flow table's add (MD4, descent, merge) and the host table's add.
void BM_OnPacket(benchmark::State& state) {
    FlowTable flows;
    HostTable hosts;
    g_flowTable = &flows;
    g_hostTable = &hosts;
    Random random(5);
    std::vector<std::vector<u_char>> frames;
    for (int i = 0; i < 256; ++i) {
        const uint64_t r = random.next();
        frames.push_back(
            tcpFrame(uint32_t(r), 0x0000A8C0u | uint32_t(i % 64) << 24, uint16_t(r >> 32), 443));
    }
    pcap_pkthdr header{};
    header.ts.tv_sec = kTime;
    header.caplen = 68;
    header.len = 1514;
    LinkLayer link{14, DLT_EN10MB};
    u_char* user = reinterpret_cast<u_char*>(&link);
    for (const auto& frame : frames) onPacket(user, &header, frame.data());
    size_t i = 0;
    for (auto _ : state) {
        onPacket(user, &header, frames[i].data());
        i = (i + 1) & 255;
    }
    state.SetItemsProcessed(state.iterations());
    g_flowTable = nullptr;
    g_hostTable = nullptr;
}
BENCHMARK(BM_OnPacket);

// The digest alone, as a record's construction computes it.
void BM_Md4(benchmark::State& state) {
    const Key key = randomKeys(1, 3)[0];
    unsigned char digest[16];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    for (auto _ : state) {
        MD4_CTX context;
        MD4_Init(&context);
        MD4_Update(&context, &key, 12);
        MD4_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
#pragma GCC diagnostic pop
}
BENCHMARK(BM_Md4);

// One record built (allocation and MD4) and freed, as every merged packet
// costs before and after the descent.
void BM_FlowRecordBuild(benchmark::State& state) {
    const Key k = randomKeys(1, 4)[0];
    for (auto _ : state) {
        FlowRecord* record =
            new FlowRecord(k.src, k.dst, k.srcPort, k.dstPort, 0x10, 6, 0, 100, kTime);
        benchmark::DoNotOptimize(record);
        delete record;
    }
}
BENCHMARK(BM_FlowRecordBuild);

void BM_FlowAddKnown(benchmark::State& state) {
    FlowFixture& fixture = flowFixture(size_t(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(addFlow(fixture.table, fixture.keys[fixture.order[i]]));
        i = (i + 1) & 0xFFFF;
    }
    state.SetComplexityN(state.range(0));
    state.counters["mean_depth"] = fixture.meanDepth;
}
BENCHMARK(BM_FlowAddKnown)->RangeMultiplier(10)->Range(1000, 1000000)->Complexity(benchmark::oLogN);

// The new record ends up a leaf, so removing it at once restores the exact
// shape of the tree; removal of a leaf is a few link writes and the free.
void BM_FlowAddNew(benchmark::State& state) {
    FlowFixture& fixture = flowFixture(size_t(state.range(0)));
    const std::vector<Key>& keys = newKeys();
    size_t i = 0;
    for (auto _ : state) {
        const Key& k = keys[i];
        FlowRecord* record =
            new FlowRecord(k.src, k.dst, k.srcPort, k.dstPort, 0x10, 6, 0, 100, kTime);
        if (fixture.table.insert(record)) fixture.table.remove(record);
        i = (i + 1) & 0xFFFF;
    }
    state.SetComplexityN(state.range(0));
    state.counters["mean_depth"] = fixture.meanDepth;
}
BENCHMARK(BM_FlowAddNew)->RangeMultiplier(10)->Range(1000, 1000000)->Complexity(benchmark::oLogN);

void BM_HostAddKnown(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    HostTable table;
    const std::vector<Key> keys = randomKeys(n, 11);
    for (const Key& k : keys) table.add(k.dst, kTime, int64_t(0));
    Random random(12);
    std::vector<uint32_t> order(1 << 16);
    for (uint32_t& o : order) o = uint32_t(random.next() % n);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.add(keys[order[i]].dst, int64_t(0), kTime));
        i = (i + 1) & 0xFFFF;
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HostAddKnown)->Arg(2000)->Arg(100000);

void BM_HostAddNew(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    HostTable table;
    for (const Key& k : randomKeys(n, 11)) table.add(k.dst, kTime, int64_t(0));
    const std::vector<Key>& keys = newKeys();
    size_t i = 0;
    for (auto _ : state) {
        HostRecord* record = new HostRecord(keys[i].dst, kTime, 0);
        if (table.insert(record)) table.remove(record);
        i = (i + 1) & 0xFFFF;
    }
}
BENCHMARK(BM_HostAddNew)->Arg(2000)->Arg(100000);

// A sweep that keeps every record: the in-order scan with the predicate.
void BM_SweepKeepAll(benchmark::State& state) {
    FlowFixture& fixture = flowFixture(size_t(state.range(0)));
    g_packetTime = kTime;
    for (auto _ : state) fixture.table.sweep(flowExpired);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SweepKeepAll)->Arg(100000)->Unit(benchmark::kMillisecond);

// A sweep that removes every record (rebuilt, untimed, before each).
void BM_SweepRemoveAll(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const std::vector<Key> keys = randomKeys(n, 13);
    for (auto _ : state) {
        state.PauseTiming();
        FlowTable table;
        for (const Key& k : keys) addFlow(table, k);
        g_packetTime = kTime + 3600;
        state.ResumeTiming();
        table.sweep(flowExpired);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SweepRemoveAll)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The tables print sweep reports on standard output: send them to
    // /dev/null and keep the original descriptor for the results.
    fflush(stdout);
    const int results = dup(STDOUT_FILENO);
    if (results < 0 || freopen("/dev/null", "w", stdout) == nullptr) {
        perror("surgewatch-micro: redirecting standard output");
        return 1;
    }
    __gnu_cxx::stdio_filebuf<char> buffer(results, std::ios::out);
    std::ostream out(&buffer);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&out);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    out.flush();
    return 0;
}
