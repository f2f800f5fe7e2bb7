// surgewatch-chaincost [MAX]: what an adversary's tree shape costs per
// packet. The tables never rebalance; destinations sent in ascending
// numeric order (the address loaded little-endian, so 10.0.0.0/16 counted
// with the third octet fastest) build a host table that is one chain, and
// flows sent in ascending digest order (the digest is not keyed) do the same
// to the flow table. For table sizes from 1024 up to MAX (default 65536, a
// /16), each shape is built through onPacket, then measured:
//   build    mean time per packet while the table was built (each one a new
//            record, appended at the end of the chain)
//   last     per packet of a known flow towards the record added last (at
//            the bottom of a chain; a leaf of a bushy tree)
//   random   per packet of a known flow towards a record picked at random
//   sweep    one sweep of the whole table that removes nothing
// The same destinations (or flows) sent in random order give the baseline
// of a bushy tree; a plain scan (last octet fastest) lies in between, a
// chain of 256 per /24 with the next /24s hanging below it. Frames are raw
// IPv4 (no link header), TCP.
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "alert.h"
#include "batch.h"
#include "flow.h"
#include "host.h"
#include "tables.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Packet {
    uint8_t frame[40];
};

// A raw IPv4 TCP frame from 192.0.2.7:srcPort to dst:80.
Packet tcpFrame(const uint8_t dst[4], uint16_t srcPort) {
    Packet p{};
    uint8_t* ip = p.frame;
    ip[0] = 0x45;
    ip[3] = 40;
    ip[8] = 64;
    ip[9] = 6;
    const uint8_t src[4] = {192, 0, 2, 7};
    memcpy(ip + 12, src, 4);
    memcpy(ip + 16, dst, 4);
    ip[20] = uint8_t(srcPort >> 8);
    ip[21] = uint8_t(srcPort);
    ip[23] = 80;
    ip[32] = 0x50;
    ip[33] = 0x10;
    return p;
}

void send(const Packet& packet, int64_t time) {
    pcap_pkthdr header{};
    header.ts.tv_sec = time;
    header.caplen = sizeof packet.frame;
    header.len = sizeof packet.frame;
    LinkLayer link{0, DLT_RAW};
    onPacket(reinterpret_cast<u_char*>(&link), &header, packet.frame);
}

double nanosPer(Clock::duration elapsed, uint64_t count) {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
           double(count);
}

bool keep(const FlowRecord&) { return false; }
bool keepHost(const HostRecord&) { return false; }

struct Result {
    double build, last, random, sweep;
};

// Sends `packets` (each a new flow, in this order) to fresh tables, then
// measures.
Result measure(const std::vector<Packet>& packets, bool hostTable) {
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
    const int64_t time = 1700000000;
    const auto start = Clock::now();
    for (const Packet& p : packets) send(p, time);
    Result r{};
    r.build = nanosPer(Clock::now() - start, packets.size());

    constexpr uint64_t repeats = 20000;
    auto t = Clock::now();
    for (uint64_t i = 0; i < repeats; ++i) send(packets.back(), time);
    r.last = nanosPer(Clock::now() - t, repeats);

    std::mt19937 random(7);
    std::vector<size_t> picks(repeats);
    for (size_t& pick : picks) pick = random() % packets.size();
    t = Clock::now();
    for (size_t pick : picks) send(packets[pick], time);
    r.random = nanosPer(Clock::now() - t, repeats);

    t = Clock::now();
    if (hostTable)
        g_hostTable->sweep(keepHost);
    else
        g_flowTable->sweep(keep);
    r.sweep = nanosPer(Clock::now() - t, 1) / 1e6;  // milliseconds

    delete g_flowTable;
    delete g_hostTable;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t max = argc > 1 ? uint32_t(strtoul(argv[1], nullptr, 10)) : 65536;
    FILE* out = fdopen(dup(1), "w");
    if (out == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;  // sweep reports

    fprintf(out, "%-44s %7s %10s %10s %10s %9s\n", "shape", "records", "build ns", "last ns",
            "random ns", "sweep ms");
    for (uint32_t n = 1024; n <= max; n *= 4) {
        // Host table: n destinations, one flow each.
        std::vector<Packet> ascending;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t dst[4] = {10, 0, uint8_t(i % 256), uint8_t(i / 256)};
            ascending.push_back(tcpFrame(dst, 40000));
        }
        // A plain scan, last octet fastest: ascending runs of 256.
        std::vector<Packet> scan;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t dst[4] = {10, 0, uint8_t(i / 256), uint8_t(i % 256)};
            scan.push_back(tcpFrame(dst, 40000));
        }
        std::vector<Packet> shuffled = ascending;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1));

        // Flow table: n flows towards one destination, sorted by digest.
        const uint8_t server[4] = {198, 51, 100, 5};
        std::vector<std::pair<std::unique_ptr<FlowRecord>, uint16_t>> byDigest;
        for (uint32_t port = 1; port <= n; ++port) {
            const Packet p = tcpFrame(server, uint16_t(port));
            uint32_t src, dst;
            uint16_t srcPort, dstPort;
            memcpy(&src, p.frame + 12, 4);
            memcpy(&dst, p.frame + 16, 4);
            memcpy(&srcPort, p.frame + 20, 2);
            memcpy(&dstPort, p.frame + 22, 2);
            byDigest.emplace_back(
                std::make_unique<FlowRecord>(src, dst, srcPort, dstPort, 0x10, 6, 0, 40, 0),
                uint16_t(port));
        }
        std::sort(byDigest.begin(), byDigest.end(),
                  [](const auto& a, const auto& b) { return *a.first < *b.first; });
        std::vector<Packet> sortedFlows;
        for (const auto& entry : byDigest) sortedFlows.push_back(tcpFrame(server, entry.second));
        std::vector<Packet> shuffledFlows = sortedFlows;
        std::shuffle(shuffledFlows.begin(), shuffledFlows.end(), std::mt19937(2));

        struct Row {
            const char* shape;
            const std::vector<Packet>* packets;
            bool hostTable;
        } rows[] = {
            {"host table, destinations ascending (chain)", &ascending, true},
            {"host table, scan with last octet fastest", &scan, true},
            {"host table, destinations shuffled", &shuffled, true},
            {"flow table, flows by ascending digest (chain)", &sortedFlows, false},
            {"flow table, flows shuffled", &shuffledFlows, false},
        };
        for (const Row& row : rows) {
            const Result r = measure(*row.packets, row.hostTable);
            fprintf(out, "%-44s %7u %10.0f %10.0f %10.0f %9.2f\n", row.shape, n, r.build, r.last,
                    r.random, r.sweep);
            fflush(out);
        }
    }
    return 0;
}
