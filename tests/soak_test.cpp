// A long run through the real packet path, checked against a second copy of
// the tables kept in std::map. Frames built here go through onPacket into
// the two trees, with the capture loop's sweep schedule after every batch
// (a dispatch call); the same observations go into maps of the same record
// types, whose own merge and expiry predicates run, and which are swept
// whenever the schedule swept the trees. Only the container differs, so
// the trees must hold exactly the records of the maps, field for field, at
// every sweep and at the end: nothing lost, nothing left behind, nothing
// merged into the wrong record, however many records were inserted and
// swept in between.
//
// Traffic: new flows and packets of recent flows, towards a number of
// destinations that rises from a tenth to all of them at mid-run and falls
// back (so both tables grow and shrink), with the clock now and then
// stepping back a little. The default size runs in seconds; a long run:
//   SURGEWATCH_SOAK_PACKETS=10000000 SURGEWATCH_SOAK_FLOWS=300000
//   SURGEWATCH_SOAK_HOSTS=65536 build/tests/unit_tests --gtest_filter='Soak.*'
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"
#include "sweep_schedule.h"
#include "tree_check.h"

namespace {

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

using DigestWords = std::array<uint32_t, 4>;

DigestWords wordsOf(const FlowRecord& r) {
    return {r.digestWord(0), r.digestWord(1), r.digestWord(2), r.digestWord(3)};
}

// The second copy: the same records in ordered maps, keyed so that the maps
// iterate in the trees' order.
struct MapTables {
    std::map<DigestWords, std::unique_ptr<FlowRecord>> flows;
    std::map<uint32_t, std::unique_ptr<HostRecord>> hosts;

    // What onPacket does with one observation, on the maps.
    void observe(uint32_t src, uint32_t dst, uint16_t srcPort, uint16_t dstPort, uint8_t flags,
                 uint8_t tos, uint32_t length, int64_t time) {
        auto flow =
            std::make_unique<FlowRecord>(src, dst, srcPort, dstPort, flags, 6, tos, length, time);
        const DigestWords key = wordsOf(*flow);
        auto found = flows.find(key);
        const bool newFlow = found == flows.end();
        if (newFlow)
            flows.emplace(key, std::move(flow));
        else
            found->second->merge(*flow);
        auto host = std::make_unique<HostRecord>(dst, newFlow ? time : 0, newFlow ? 0 : time);
        auto existing = hosts.find(host->order());
        if (existing == hosts.end())
            hosts.emplace(host->order(), std::move(host));
        else
            existing->second->merge(*host);
    }

    template <typename Map, typename Record>
    static void sweep(Map& map, bool (*expired)(const Record&)) {
        for (auto it = map.begin(); it != map.end();)
            it = expired(*it->second) ? map.erase(it) : std::next(it);
    }
};

// Every record of the tree equals the map's record at the same position.
::testing::AssertionResult sameFlows(const FlowTable& tree, const MapTables& maps) {
    TreeWalk<FlowRecord> walk;
    const std::string broken = treeDefect(tree, &walk);
    if (!broken.empty()) return ::testing::AssertionFailure() << "flow tree: " << broken;
    const std::vector<const FlowRecord*>& records = walk.inOrder;
    if (records.size() != maps.flows.size() || tree.size() != maps.flows.size())
        return ::testing::AssertionFailure()
               << "flow tree " << tree.size() << " (" << records.size() << " reachable), maps "
               << maps.flows.size();
    size_t i = 0;
    for (const auto& [key, expected] : maps.flows) {
        const FlowRecord& r = *records[i++];
        const FlowRecord& e = *expected;
        if (wordsOf(r) != key || r.srcAddr != e.srcAddr || r.dstAddr != e.dstAddr ||
            r.srcPort != e.srcPort || r.dstPort != e.dstPort || r.packets != e.packets ||
            r.bytes != e.bytes || r.firstSeen != e.firstSeen || r.lastSeen != e.lastSeen ||
            r.tcpFlags != e.tcpFlags || r.protocol != e.protocol || r.tos != e.tos ||
            r.windowStart != e.windowStart)
            return ::testing::AssertionFailure() << "flow record " << i - 1 << " differs";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult sameHosts(const HostTable& tree, const MapTables& maps) {
    TreeWalk<HostRecord> walk;
    const std::string broken = treeDefect(tree, &walk);
    if (!broken.empty()) return ::testing::AssertionFailure() << "host tree: " << broken;
    const std::vector<const HostRecord*>& records = walk.inOrder;
    if (records.size() != maps.hosts.size() || tree.size() != maps.hosts.size())
        return ::testing::AssertionFailure()
               << "host tree " << tree.size() << " (" << records.size() << " reachable), maps "
               << maps.hosts.size();
    size_t i = 0;
    for (const auto& [order, expected] : maps.hosts) {
        const HostRecord& r = *records[i++];
        const HostRecord& e = *expected;
        if (r.order() != order || r.addr != e.addr || r.flows != e.flows ||
            r.packets != e.packets || r.lastFlowTime != e.lastFlowTime ||
            r.lastPacketTime != e.lastPacketTime || r.windowStart != e.windowStart)
            return ::testing::AssertionFailure() << "host record " << i - 1 << " differs";
    }
    return ::testing::AssertionSuccess();
}

TEST(Soak, TreesHoldExactlyWhatTheSweepsLeave) {
    const uint64_t packets = fromEnvironment("SURGEWATCH_SOAK_PACKETS", 500000);
    const uint64_t flowCount = fromEnvironment("SURGEWATCH_SOAK_FLOWS", 50000);
    const uint64_t hostCount = fromEnvironment("SURGEWATCH_SOAK_HOSTS", 4000);
    // About 1000 packets per second of packet time.
    const int64_t seconds = int64_t(packets / 1000) + 60;
    const int64_t start = 1700000000;

    frames::InstalledTables tables;
    MapTables maps;
    SweepSchedule schedule{start, start};
    std::mt19937_64 random(20240607);

    struct Flow {
        uint32_t src;
        uint32_t dst;
        uint16_t srcPort;  // host order
    };
    std::vector<Flow> flows;
    uint32_t peakHosts = 0;
    uint32_t peakFlows = 0;
    uint32_t hostsEarly = 0;  // at a tenth of the run
    uint64_t sweeps = 0;
    // Sweep reports (and alerts, if any) are captured and dropped for the
    // whole run, so a difference found on the way ends the run before
    // anything is asserted.
    ::testing::AssertionResult same = ::testing::AssertionSuccess();

    uint64_t sent = 0;
    captureStdout([&] {
        while (sent < packets) {
            // One dispatch call: 1 to 64 frames.
            const uint64_t batch = std::min<uint64_t>(1 + random() % 64, packets - sent);
            for (uint64_t k = 0; k < batch; ++k, ++sent) {
                const double progress = double(sent) / double(packets);
                int64_t time = start + int64_t(double(seconds) * progress);
                if (random() % 50 == 0) time -= int64_t(random() % 4);  // a late packet
                // The load rises from a tenth to the full level at mid-run and
                // falls back. New flows start evenly over the run, each towards
                // one of the destinations in use at the time; other packets
                // belong to one of the latest flows, as many as the load says
                // (older ones go idle and are swept), or now and then to any
                // earlier flow, which comes back.
                const double level = 0.1 + 0.9 * (1.0 - std::fabs(2.0 * progress - 1.0));
                const bool startFlow =
                    flows.empty() || (flows.size() < flowCount && random() % packets < flowCount);
                if (startFlow) {
                    const uint64_t inUse =
                        std::max<uint64_t>(1, uint64_t(double(hostCount) * level));
                    const uint32_t host = uint32_t(random() % inUse);
                    const frames::Addr dst{198, 18, uint8_t(host >> 8), uint8_t(host)};
                    const uint32_t n = uint32_t(flows.size());
                    const frames::Addr src{10, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
                    flows.push_back({frames::wireAddr(src), frames::wireAddr(dst),
                                     uint16_t(1024 + random() % 60000)});
                }
                const size_t recent = std::min<size_t>(
                    flows.size(), std::max<size_t>(50, size_t(level * double(flowCount) / 20)));
                const size_t pick = startFlow ? flows.size() - 1
                                    : random() % 100 == 0
                                        ? size_t(random() % flows.size())
                                        : flows.size() - 1 - size_t(random() % recent);
                const Flow& flow = flows[pick];

                frames::Ip ip;
                std::memcpy(ip.src.data(), &flow.src, 4);
                std::memcpy(ip.dst.data(), &flow.dst, 4);
                ip.tos = uint8_t(random() % 4 == 0 ? 0xB8 : 0);
                ip.totalLength = uint16_t(40 + random() % 1461);
                const uint8_t flags = startFlow ? 0x02 : 0x10;
                frames::deliver(frames::frame(0, ip, frames::tcp(flow.srcPort, 443, flags)), time,
                                0, frames::kWholeFrame, frames::kRawIp);
                maps.observe(flow.src, flow.dst, frames::wire16(flow.srcPort), frames::wire16(443),
                             flags, ip.tos, ip.totalLength, time);
            }

            const SweepSchedule before = schedule;
            schedule.run();
            if (schedule.flowSweepRef != before.flowSweepRef)
                MapTables::sweep(maps.flows, flowExpired);
            if (schedule.hostSweepRef != before.hostSweepRef) {
                MapTables::sweep(maps.hosts, hostExpired);
                // Compare in full at every host sweep (every 20 s of packet time).
                ++sweeps;
                same = sameFlows(tables.flows, maps);
                if (same) same = sameHosts(tables.hosts, maps);
                if (!same) break;
            }
            peakHosts = std::max(peakHosts, tables.hosts.size());
            peakFlows = std::max(peakFlows, tables.flows.size());
            if (sent <= packets / 10) hostsEarly = tables.hosts.size();
        }
    });
    ASSERT_TRUE(same) << "at host sweep " << sweeps << " after " << sent << " packets";

    EXPECT_TRUE(sameFlows(tables.flows, maps));
    EXPECT_TRUE(sameHosts(tables.hosts, maps));
    EXPECT_GT(sweeps, 10u);
    // The tables really grew and shrank.
    EXPECT_GT(peakHosts, 2 * hostsEarly);
    EXPECT_LT(tables.hosts.size(), peakHosts / 2);
    EXPECT_GT(peakFlows, tables.flows.size());
    std::printf(
        "soak: %llu packets, %zu flows started, %llu host sweeps, peak %u flow and %u host "
        "records, at the end %u and %u\n",
        static_cast<unsigned long long>(packets), flows.size(),
        static_cast<unsigned long long>(sweeps), peakFlows, peakHosts, tables.flows.size(),
        tables.hosts.size());
}

}  // namespace
