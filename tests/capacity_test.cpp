// Table capacities: what a full table stores, refuses and still counts, the
// lines that report refusals after the sweeps, the defaults from memory,
// and the replay of a flood that fills a small table.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "replay_run.h"
#include "support.h"
#include "sweep_schedule.h"
#include "tables.h"

namespace {

using frames::Bytes;
using frames::InstalledTables;

constexpr int64_t kT = 1000000000;  // 2001-09-09T01:46:40Z

// A TCP SYN from 192.0.2.7:`srcPort` to 198.51.100.`host`, port 80.
Bytes syn(uint16_t srcPort, uint8_t host) {
    frames::Ip ip;
    ip.dst = {198, 51, 100, host};
    return frames::frame(14, ip, frames::tcp(srcPort, 80, 0x02));
}

struct Packet {
    uint16_t srcPort;
    uint8_t host;
    int64_t time;
};

struct CapacityCase {
    std::string name;
    uint32_t flowCapacity;
    uint32_t hostCapacity;
    std::vector<Packet> packets;
    uint32_t flowsStored;
    uint32_t hostsStored;
    uint64_t flowsRefused;
    uint64_t hostsRefused;
    // Of the first destination, 198.51.100.1: times of its latest new flow
    // and latest known-flow packet.
    int64_t lastFlowTime;
    int64_t lastPacketTime;
};

void PrintTo(const CapacityCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
std::vector<CapacityCase> capacityCases() {
    return {
        {"below_capacity_all_stored", 3, 3,
         {{1, 1, kT}, {2, 1, kT + 1}, {1, 1, kT + 2}}, 2, 1, 0, 0, kT + 1, kT + 2},
        // The third flow is refused; the stored ones still merge.
        {"full_flow_table_known_flows_merge", 2, 9,
         {{1, 1, kT}, {2, 1, kT}, {3, 1, kT + 1}, {1, 1, kT + 2}}, 2, 1, 1, 0, kT + 1, kT + 2},
        // Every packet of a flow never stored is a new flow of its
        // destination again: the destination rules keep seeing the flood.
        {"refused_flow_is_new_to_its_destination_each_time", 1, 9,
         {{1, 1, kT}, {2, 1, kT + 1}, {2, 1, kT + 2}, {2, 1, kT + 3}}, 1, 1, 3, 0, kT + 3, 0},
        // A destination the full host table refused counts nowhere; its flow
        // is stored all the same.
        {"full_host_table_observation_not_counted", 9, 1,
         {{1, 1, kT}, {2, 2, kT + 1}, {3, 2, kT + 2}}, 3, 1, 0, 2, kT, 0},
        {"capacity_1_both", 1, 1,
         {{1, 1, kT}, {2, 2, kT + 1}, {1, 1, kT + 2}}, 1, 1, 1, 1, kT, kT + 2},
    };
}
// clang-format on

class TableCapacity : public testing::TestWithParam<CapacityCase> {};

TEST_P(TableCapacity, StoresRefusesAndCounts) {
    const CapacityCase& c = GetParam();
    InstalledTables tables;
    tables.flows.setCapacity(c.flowCapacity);
    tables.hosts.setCapacity(c.hostCapacity);
    for (const Packet& p : c.packets) frames::deliver(syn(p.srcPort, p.host), p.time);
    EXPECT_EQ(tables.flows.size(), c.flowsStored);
    EXPECT_EQ(tables.hosts.size(), c.hostsStored);
    EXPECT_EQ(tables.flows.refused(), c.flowsRefused);
    EXPECT_EQ(tables.hosts.refused(), c.hostsRefused);
    ASSERT_NE(tables.hosts.root(), nullptr);
    EXPECT_EQ(tables.hosts.root()->addr, frames::wireAddr({198, 51, 100, 1}));
    EXPECT_EQ(tables.hosts.root()->lastFlowTime, c.lastFlowTime);
    EXPECT_EQ(tables.hosts.root()->lastPacketTime, c.lastPacketTime);
}

INSTANTIATE_TEST_SUITE_P(Tables, TableCapacity, testing::ValuesIn(capacityCases()), CaseName());

// The lines after the sweeps: one per table that refused records since its
// last line, after that table's sweep report; nothing otherwise.
TEST(TableCapacity, ReportsAfterEachSweepWhatWasRefusedSince) {
    InstalledTables tables;
    tables.flows.setCapacity(2);
    tables.hosts.setCapacity(1);
    SweepSchedule schedule{kT, kT};
    auto sweepAt = [&](int64_t time) {
        return captureStdout([&] {
            g_packetTime = time;
            schedule.run();
        });
    };
    const std::string cleanup = "cleanup took * seconds (*)\n";
    for (uint16_t port = 1; port <= 5; ++port) frames::deliver(syn(port, uint8_t(port)), kT);
    // Five flows to five destinations: 3 flows and 4 destinations refused.
    EXPECT_TRUE(matches("Flow " + cleanup +
                            "Flow table full: 3 new flows not stored since the last report "
                            "(capacity 2)\n",
                        sweepAt(kT + 10)));
    // Nothing refused since: the flow sweep alone; the host table's first.
    EXPECT_TRUE(matches("Flow " + cleanup + "Host " + cleanup +
                            "Host table full: 4 new destinations not stored since the last report "
                            "(capacity 1)\n",
                        sweepAt(kT + 20)));
    frames::deliver(syn(1, 1), kT + 21);  // a stored flow: merged
    frames::deliver(syn(9, 1), kT + 21);  // refused
    EXPECT_TRUE(matches("Flow " + cleanup +
                            "Flow table full: 1 new flows not stored since the last report "
                            "(capacity 2)\n",
                        sweepAt(kT + 30)));
    EXPECT_TRUE(matches("Flow " + cleanup + "Host " + cleanup, sweepAt(kT + 40)));
}

TEST(TableCapacity, DefaultsTakeAtMostHalfOfMemory) {
    const uint64_t pair = kFlowRecordBytes + kHostRecordBytes;
    const struct {
        const char* name;
        uint64_t physical;
        uint32_t capacity;
    } cases[] = {
        {"unknown_memory", 0, 1},
        {"less_than_two_records", 2 * pair - 1, 1},
        {"8_gib", uint64_t(8) << 30, uint32_t((uint64_t(4) << 30) / pair)},
        {"largest_count", 2 * pair * UINT32_MAX, UINT32_MAX},
        {"beyond_the_count", uint64_t(1) << 50, UINT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t capacity = defaultTableCapacity(c.physical);
        EXPECT_EQ(capacity, c.capacity);
        if (c.physical >= 2 * pair) {
            EXPECT_LE(capacity * pair, c.physical / 2);
        }
    }
}

// ------------------------------------------------------------ the replay

std::string startup(const std::string& file) {
    return "Opening file " + file + "... done\nCompiling filter `tcp`... done\n" +
           "Setting filter... done\nDetecting IP layer offset in bytes... 14 done\n";
}

// A random-source flood in miniature: from kT, 150 SYNs a second from new
// source ports to 198.51.100.1 for 13 seconds (1950 flows), then one more
// new flow at kT + 13. The flows rule's windows close at seconds 6 and 12;
// the first flow sweep comes with the first packet of second 10. With -t
// every line carries its packet time.
std::vector<captures::Record> flood() {
    std::vector<captures::Record> records;
    uint16_t port = 1000;
    for (int64_t second = 0; second < 13; ++second)
        for (int i = 0; i < 150; ++i) records.push_back({kT + second, syn(port++, 1)});
    records.push_back({kT + 13, syn(port++, 1)});
    return records;
}

// The flood replayed with a flow table of 1000: the flows rule still sees
// every new flow, the line after the sweep says how many were refused, and
// everything before the first refusal (at second 6, the 1001st flow) is
// what the replay printed without a capacity.
TEST(TableCapacity, ReplayOfAFloodThatFillsTheFlowTable) {
    TempDir dir;
    const std::string path = dir.file("flood.pcap");
    writeFile(path, captures::pcapFile(flood()));
    const ReplayOutcome unlimited = runReplay(dir, {"-t", path, "tcp"});
    ReplayOutcome small;
    {
        ScopedEnv flows("SURGEWATCH_MAX_FLOWS", "1000");
        small = runReplay(dir, {"-t", path, "tcp"});
    }
    EXPECT_EQ(small.status, 0);
    // The flows rule's alerts come the same in both runs, the second one
    // after 501 flows were refused.
    const std::string first = "2001-09-09T01:46:46Z FLOOD: 198.51.100.1 - 149.83 flows/s\n";
    const std::string second = "2001-09-09T01:46:52Z FLOOD: 198.51.100.1 - 150.00 flows/s\n";
    EXPECT_EQ(unlimited.out,
              startup(path) + first +
                  "2001-09-09T01:46:50Z Flow cleanup took D seconds (1501 -> 1501)\n" + second +
                  "Replayed 1951 packets\n");
    EXPECT_EQ(small.out, startup(path) + first +
                             "2001-09-09T01:46:50Z Flow cleanup took D seconds (1000 -> 1000)\n"
                             "Flow table full: 501 new flows not stored since the last report "
                             "(capacity 1000)\n" +
                             second + "Replayed 1951 packets\n");
    // Up to the first refusal the two runs print the same bytes.
    const std::string before = startup(path) + first;
    EXPECT_EQ(unlimited.out.compare(0, before.size(), before), 0);
    EXPECT_EQ(small.out.compare(0, before.size(), before), 0);
}

// With a host table of one, the second destination is refused and counts
// nowhere: neither in the tables nor in the replay's per-second counts.
TEST(TableCapacity, RefusedDestinationsAreNotInTheCounts) {
    TempDir dir;
    const std::string path = dir.file("two.pcap");
    writeFile(path, captures::pcapFile(
                        {{kT, syn(1, 1)}, {kT, syn(2, 2)}, {kT, syn(3, 1)}, {kT + 1, syn(4, 1)}}));
    ScopedEnv hosts("SURGEWATCH_MAX_HOSTS", "1");
    const ReplayOutcome r = runReplay(dir, {"-c", path, "tcp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path) +
                         "COUNT 2001-09-09T01:46:40Z 198.51.100.1 0 packets 2 flows\n"
                         "COUNT 2001-09-09T01:46:41Z 198.51.100.1 0 packets 1 flows\n"
                         "Replayed 4 packets\n");
}

// A bad capacity stops the replay before the file is opened.
TEST(TableCapacity, BadValuesAreRefusedAtStartUp) {
    const std::string expected = " (expected a whole number from 1 to 4294967295)\n";
    const struct {
        const char* name;
        const char* value;
    } settings[] = {
        {"SURGEWATCH_MAX_FLOWS", "0"},          {"SURGEWATCH_MAX_FLOWS", "-5"},
        {"SURGEWATCH_MAX_FLOWS", "4294967296"}, {"SURGEWATCH_MAX_FLOWS", ""},
        {"SURGEWATCH_MAX_HOSTS", "1e6"},        {"SURGEWATCH_MAX_HOSTS", " 10"},
    };
    TempDir dir;
    const std::string path = dir.file("flood.pcap");
    writeFile(path, captures::pcapFile(flood()));
    for (const auto& s : settings) {
        SCOPED_TRACE(std::string(s.name) + "=" + s.value);
        ScopedEnv bad(s.name, s.value);
        const ReplayOutcome r = runReplay(dir, {path, "tcp"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out,
                  std::string("\nBad value for ") + s.name + ": `" + s.value + "`" + expected);
    }
}

}  // namespace
