// Packets taken in batches (batch.h) against packets taken one at a time.
// Capture files written here are replayed in-process through the replay
// loop and through the live loop's dispatch step, with the walk ahead
// always on, never on, and from the default table size on, and with odd
// batch capacities; each time the standard output (sweep durations aside),
// the replay's progress, the sweeps and the final tables must be exactly
// those of the packet-at-a-time reference: onPacket, one dispatch call per
// packet, the schedule after every packet.
#include "batch.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "random.h"
#include "replay_loop.h"
#include "support.h"
#include "sweep_schedule.h"

namespace {

using frames::Bytes;

constexpr int64_t kT = 1700000000;
using frames::kEthernet;

using Packet = captures::Record;
const captures::PcapFormat kSnap68{DLT_EN10MB, 68};

Packet tcpPacket(frames::Addr src, uint16_t srcPort, uint8_t dstHost, int64_t sec, int64_t usec) {
    frames::Ip ip;
    ip.src = src;
    ip.dst = {198, 51, 100, dstHost};
    return {sec, frames::frame(size_t(kEthernet.offset), ip, frames::tcp(srcPort, 80, 0x02)), 0,
            uint32_t(usec)};
}

// A random-source flood: 40 seconds of 1,500 new flows a second towards 8
// destinations (each above the new-flows limit), so that 30,000 and more
// flows are live, well past the default walk threshold. Mixed in: packets
// of flows seen a moment before (merges within one batch, and flows that an
// earlier packet of the same batch creates), a flow at 2,200 packets/s for
// 7 seconds (the flow alert), frames too short or not IPv4 (the clock
// only), and a clock that steps back for a few packets.
std::vector<Packet> floodCapture() {
    Random random(42);
    std::vector<Packet> packets;
    std::vector<std::pair<frames::Addr, uint16_t>> recent;
    for (int64_t second = 0; second < 40; ++second) {
        const int total = second >= 10 && second < 17 ? 3700 : 1500;
        for (int i = 0; i < total; ++i) {
            const int64_t sec = kT + second - (second == 25 && i < 40 ? 3 : 0);
            const int64_t usec = int64_t(i) * 1000000 / total;
            const uint64_t r = random.next();
            if (total == 3700 && i % 37 < 22) {
                // Interleaved with the rest: 2,200 a second, one flow.
                packets.push_back(tcpPacket({10, 9, 9, 9}, 5555, 200, sec, usec));
                continue;
            }
            if (r % 100 < 12 && !recent.empty()) {
                const auto& [src, port] = recent[(r >> 8) % recent.size()];
                packets.push_back(tcpPacket(src, port, uint8_t(1 + (r >> 16) % 8), sec, usec));
                continue;
            }
            if (r % 100 < 13) {
                Packet p = tcpPacket({10, 1, 2, 3}, 1, 1, sec, usec);
                if (r & 1) {
                    p.wireLength = uint32_t(p.bytes.size());
                    p.bytes.resize(kEthernet.offset + 19);  // short of the fixed header
                } else {
                    p.bytes[kEthernet.offset] = 0x65;  // version 6
                }
                packets.push_back(std::move(p));
                continue;
            }
            const frames::Addr src{10, uint8_t(r >> 8), uint8_t(r >> 16), uint8_t(r >> 24)};
            const uint16_t port = uint16_t(r >> 32);
            // The destination goes with the flow, as the recent repeats use it.
            packets.push_back(tcpPacket(src, port, uint8_t(1 + (r >> 48) % 8), sec, usec));
            recent.emplace_back(src, port);
            if (recent.size() > 4) recent.erase(recent.begin());
        }
    }
    return packets;
}

// The worst shape: flows in ascending digest order, so the flow table is one
// chain, then every flow again (each a merge deep down the chain).
std::vector<Packet> chainCapture(uint32_t n) {
    std::vector<std::unique_ptr<FlowRecord>> byDigest;
    const frames::Addr src{10, 0, 0, 1};
    for (uint32_t port = 1; port <= n; ++port) {
        const uint8_t wire[2] = {uint8_t(port >> 8), uint8_t(port)};
        uint16_t srcPort;
        std::memcpy(&srcPort, wire, 2);
        byDigest.emplace_back(new FlowRecord(frames::wireAddr(src),
                                             frames::wireAddr({198, 51, 100, 1}), srcPort, 0x5000,
                                             2, 6, 0, 40, kT));
    }
    std::sort(byDigest.begin(), byDigest.end(),
              [](const auto& a, const auto& b) { return *a < *b; });
    std::vector<Packet> packets;
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& record : byDigest) {
            const uint8_t* wire = reinterpret_cast<const uint8_t*>(&record->srcPort);
            packets.push_back(tcpPacket(src, uint16_t(wire[0] << 8 | wire[1]), 1, kT + pass, 0));
        }
    return packets;
}

// What one run leaves behind.
struct Outcome {
    std::string out;               // sweep durations taken out
    std::vector<uint64_t> sweeps;  // packets replayed at each sweep
    uint64_t packets = 0;
    int64_t firstTime = 0;
    bool broken = false;
    std::string tables;  // both listings at the end
    uint64_t walked = 0;
};

bool operator==(const Outcome& a, const Outcome& b) {
    return a.out == b.out && a.sweeps == b.sweeps && a.packets == b.packets &&
           a.firstTime == b.firstTime && a.broken == b.broken && a.tables == b.tables;
}

void PrintTo(const Outcome& r, std::ostream* os) {
    *os << r.packets << " packets, " << r.sweeps.size() << " sweeps, broken " << r.broken << ", "
        << r.out.size() << " bytes of output, " << r.tables.size() << " of tables";
}

// A batch's settings; none: the packet-at-a-time reference.
struct Batching {
    size_t capacity;
    uint32_t walkFrom;
};

// The replay loop over `path`.
Outcome replay(const std::string& path, std::optional<Batching> batching) {
    frames::InstalledTables tables;
    // No filter: every frame moves the clock, IPv4 or not.
    PcapHandle handle = openFilteredFile("batch_test", path.c_str(), "");
    Outcome run;
    if (!handle) {
        ADD_FAILURE() << "cannot open " << path;
        return run;
    }
    run.out = maskDurations(captureStdout([&] {
        if (batching) {
            PacketBatch batch(kEthernet, batching->capacity, batching->walkFrom);
            const ReplayResult result =
                replayCapture(handle.get(), batch,
                              [&](const ReplayResult& r) { run.sweeps.push_back(r.packets); });
            run.packets = result.packets;
            run.firstTime = result.firstTime;
            run.broken = result.broken;
            run.walked = batch.walkSteps();
        } else {
            LinkLayer link = kEthernet;
            SweepSchedule schedule{};
            for (;;) {
                const int delivered =
                    pcap_dispatch(handle.get(), 1, onPacket, reinterpret_cast<u_char*>(&link));
                if (delivered <= 0) {
                    run.broken = delivered < 0;
                    break;
                }
                if (run.packets == 0) {
                    run.firstTime = g_packetTime;
                    schedule.flowSweepRef = g_packetTime;
                    schedule.hostSweepRef = g_packetTime;
                }
                run.packets += uint64_t(delivered);
                const SweepsRun swept = schedule.run();
                if (swept.flows || swept.hosts) run.sweeps.push_back(run.packets);
            }
        }
    }));
    run.tables = captureStdout([&] {
        tables.flows.print();
        tables.hosts.print();
    });
    return run;
}

// The live loop's steps over `path`: dispatch calls of up to `count` frames
// (-1: the whole file in one), the schedule after each, both references at
// the capture's first second.
Outcome live(const std::string& path, int count, std::optional<Batching> batching) {
    frames::InstalledTables tables;
    // No filter: every frame moves the clock, IPv4 or not.
    PcapHandle handle = openFilteredFile("batch_test", path.c_str(), "");
    Outcome run;
    if (!handle) {
        ADD_FAILURE() << "cannot open " << path;
        return run;
    }
    run.out = maskDurations(captureStdout([&] {
        std::optional<PacketBatch> batch;
        if (batching) batch.emplace(kEthernet, batching->capacity, batching->walkFrom);
        LinkLayer link = kEthernet;
        SweepSchedule schedule{kT, kT};
        for (;;) {
            const int status = batch ? batch->dispatch(handle.get(), count)
                                     : pcap_dispatch(handle.get(), count, onPacket,
                                                     reinterpret_cast<u_char*>(&link));
            if (status <= 0) {
                run.broken = status < 0;
                break;
            }
            run.packets += uint64_t(status);
            const SweepsRun swept = schedule.run();
            if (swept.flows || swept.hosts) run.sweeps.push_back(run.packets);
        }
        if (batch) run.walked = batch->walkSteps();
    }));
    run.tables = captureStdout([&] {
        tables.flows.print();
        tables.hosts.print();
    });
    return run;
}

struct Variant {
    const char* name;
    Batching batching;
    bool walks;  // on the flood capture
};

const Variant kVariants[] = {
    {"default", {PacketBatch::kDefaultCapacity, PacketBatch::kDefaultWalkFrom}, true},
    {"walk_always", {PacketBatch::kDefaultCapacity, 0}, true},
    {"walk_never", {PacketBatch::kDefaultCapacity, PacketBatch::kNeverWalk}, false},
    {"thirty_two_walking", {32, 0}, true},
    {"seven_walking", {7, 0}, true},
    {"one_walking", {1, 0}, true},
};

// Fewer, for the longer comparisons.
const Variant kSomeVariants[] = {kVariants[0], kVariants[2], kVariants[4]};

class BatchedCapture : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeFile(dir_->file("flood.pcap"), captures::pcapFile(floodCapture(), kSnap68));
        reference_ = new Outcome(replay(dir_->file("flood.pcap"), std::nullopt));
    }
    static void TearDownTestSuite() {
        delete reference_;
        delete dir_;
    }
    static TempDir* dir_;
    static Outcome* reference_;
};
TempDir* BatchedCapture::dir_ = nullptr;
Outcome* BatchedCapture::reference_ = nullptr;

// The reference itself must show what the comparison is about: flow and
// destination alerts, sweeps, and a table past the walk threshold.
TEST_F(BatchedCapture, FloodReferenceCrossesTheThresholdAndAlerts) {
    const Outcome& r = *reference_;
    EXPECT_FALSE(r.broken);
    EXPECT_GT(r.packets, 60000u);
    EXPECT_NE(r.out.find("packets/s from 10.9.9.9"), std::string::npos);
    EXPECT_NE(r.out.find("flows/s"), std::string::npos);
    EXPECT_GE(r.sweeps.size(), 3u);
    uint32_t peak = 0;
    const std::string report = "Flow cleanup took D seconds (";
    for (size_t at = r.out.find(report); at != std::string::npos; at = r.out.find(report, at + 1))
        peak = std::max(peak, uint32_t(std::stoul(r.out.substr(at + report.size()))));
    EXPECT_GT(peak, 2 * PacketBatch::kDefaultWalkFrom);
}

TEST_F(BatchedCapture, ReplayIsTheSameWithAndWithoutTheWalk) {
    for (const Variant& v : kVariants) {
        const Outcome r = replay(dir_->file("flood.pcap"), v.batching);
        EXPECT_EQ(r, *reference_) << v.name;
        // The walk really runs: every walking batch reads at least its roots.
        if (v.walks) {
            EXPECT_GT(r.walked, r.packets / 4) << v.name;
        } else {
            EXPECT_EQ(r.walked, 0u) << v.name;
        }
    }
}

// The live loop's step: batches fill inside the dispatch call and the rest
// is applied before the schedule, whatever the call's count.
TEST_F(BatchedCapture, LiveDispatchIsTheSameWithAndWithoutTheWalk) {
    for (const int count : {-1, 33}) {
        const Outcome expected = live(dir_->file("flood.pcap"), count, std::nullopt);
        EXPECT_EQ(expected.packets, reference_->packets);
        for (const Variant& v : kSomeVariants) {
            const Outcome r = live(dir_->file("flood.pcap"), count, v.batching);
            EXPECT_EQ(r, expected) << v.name << ", count " << count;
            if (v.walks) {
                EXPECT_GT(r.walked, 0u) << v.name << ", count " << count;
            }
        }
    }
}

// Cut inside a frame and inside a record header, a packet or two away from
// batch boundaries: the packets before the damage all count, then the error.
TEST_F(BatchedCapture, DamagedFileReplaysTheSamePacketsBeforeTheDamage) {
    const std::vector<uint8_t> whole = readFile(dir_->file("flood.pcap"));
    const std::vector<Packet> packets = floodCapture();
    // Byte offset of record i: the 24-byte file header, then 16 + caplen each.
    const uint32_t kept = 40001;  // 40001 = 1250 * 32 + 1
    size_t at = 24;
    for (uint32_t i = 0; i < kept; ++i) at += 16 + packets[i].bytes.size();
    for (const size_t cut : {at + 16 + 5, at + 9}) {
        const std::string path = dir_->file("damaged.pcap");
        writeFile(path, std::vector<uint8_t>(whole.begin(), whole.begin() + long(cut)));
        const Outcome expected = replay(path, std::nullopt);
        EXPECT_TRUE(expected.broken);
        EXPECT_EQ(expected.packets, kept);
        for (const Variant& v : kSomeVariants)
            EXPECT_EQ(replay(path, v.batching), expected) << v.name << ", cut at " << cut;
        const Outcome liveExpected = live(path, -1, std::nullopt);
        EXPECT_TRUE(liveExpected.broken);
        for (const Variant& v : kSomeVariants)
            EXPECT_EQ(live(path, -1, v.batching), liveExpected) << v.name << ", cut at " << cut;
    }
}

// A chain of 3,000 flows, then each flow again: walks stop at their bound
// and the result is the reference's.
TEST(BatchedChain, ChainReplaysTheSame) {
    TempDir dir;
    writeFile(dir.file("chain.pcap"), captures::pcapFile(chainCapture(3000), kSnap68));
    const Outcome expected = replay(dir.file("chain.pcap"), std::nullopt);
    EXPECT_EQ(expected.packets, 6000u);
    for (const Variant& v : kVariants) {
        const Outcome r = replay(dir.file("chain.pcap"), v.batching);
        EXPECT_EQ(r, expected) << v.name;
        if (v.batching.walkFrom == 0) {
            // At most the bound per packet, far less than the chain.
            EXPECT_GT(r.walked, 0u) << v.name;
            EXPECT_LE(r.walked, 6000u * FlowTable::kWalkLevels) << v.name;
        }
    }
    // Below the default threshold the batch never walks.
    const Outcome r = replay(dir.file("chain.pcap"), Batching{PacketBatch::kDefaultCapacity,
                                                              PacketBatch::kDefaultWalkFrom});
    EXPECT_EQ(r.walked, 0u);
}

// ------------------------------------------------------------- walkAhead

// The records a descent for `key` compares (an insert's path), up to
// `levels` of them: to the equal record, or to the last record before a
// null link. `end` is the last of them.
struct Path {
    uint64_t length;
    const FlowRecord* end;
};
Path pathOf(const FlowTable& table, const FlowRecord& key, uint64_t levels = UINT64_MAX) {
    Path path{0, nullptr};
    for (const FlowRecord* at = table.root(); at != nullptr && path.length < levels;) {
        ++path.length;
        path.end = at;
        if (*at == key) break;
        at = *at < key ? at->right : at->left;
    }
    return path;
}

std::unique_ptr<FlowRecord> flowRecord(uint32_t i) {
    return std::unique_ptr<FlowRecord>(
        new FlowRecord(0x0A000000u + i, 0x01643300u, uint16_t(i), 80, 2, 6, 0, 40, kT));
}

TEST(WalkAhead, ReadsWhatTheDescentsReadBoundedInWidthAndDepth) {
    FlowTable table;
    FlowRecord* found[FlowTable::kWalkWidth];
    EXPECT_EQ(table.walkAhead(nullptr, 0, found), 0u);
    const std::unique_ptr<FlowRecord> lone = flowRecord(99999);
    const FlowRecord* loneKey = lone.get();
    found[0] = lone.get();
    EXPECT_EQ(table.walkAhead(&loneKey, 1, found), 0u) << "empty tree";
    EXPECT_EQ(found[0], nullptr) << "empty tree: the insert starts at the root";

    for (uint32_t i = 0; i < 5000; ++i) table.insert(flowRecord(i).release());
    // Keys present (walks stop at the equal record) and absent, 100 of them:
    // only the first kWalkWidth are walked.
    std::vector<std::unique_ptr<FlowRecord>> owned;
    std::vector<const FlowRecord*> keys;
    for (uint32_t i = 0; i < 100; ++i) {
        owned.push_back(flowRecord(i % 2 ? i * 37 : 100000 + i));
        keys.push_back(owned.back().get());
    }
    uint64_t expected = 0;
    for (size_t i = 0; i < FlowTable::kWalkWidth; ++i) expected += pathOf(table, *keys[i]).length;
    EXPECT_EQ(table.walkAhead(keys.data(), keys.size(), found), expected);
    for (size_t i = 0; i < FlowTable::kWalkWidth; ++i)
        EXPECT_EQ(found[i], pathOf(table, *keys[i]).end) << "walk " << i;
    EXPECT_EQ(table.walkAhead(keys.data() + 3, 1, found), pathOf(table, *keys[3]).length);
}

TEST(WalkAhead, ChainCostsAtMostTheBound) {
    FlowTable table;
    std::vector<std::unique_ptr<FlowRecord>> records;
    for (uint32_t i = 0; i < 1000; ++i) records.push_back(flowRecord(i));
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return *a < *b; });
    std::unique_ptr<FlowRecord> last = std::move(records.back());
    records.pop_back();
    FlowRecord* previous = nullptr;
    FlowRecord* first = nullptr;
    for (auto& record : records) {  // linked as a chain of right links directly
        FlowRecord* r = record.release();
        if (previous == nullptr)
            first = r;
        else
            previous->right = r;
        r->parent = previous;
        previous = r;
    }
    table.adopt(first, uint32_t(records.size()));
    const FlowRecord* key = last.get();
    EXPECT_EQ(pathOf(table, *key).length, 999u);
    FlowRecord* found[3];
    EXPECT_EQ(table.walkAhead(&key, 1, found), uint64_t(FlowTable::kWalkLevels));
    // Stopped at its bound, the walk leaves the next record of the path,
    // the one it asked for last.
    const FlowRecord* stop = pathOf(table, *key, FlowTable::kWalkLevels + 1).end;
    EXPECT_EQ(found[0], stop);
    const FlowRecord* keys[3] = {key, key, table.root()};
    EXPECT_EQ(table.walkAhead(keys, 3, found), 2u * FlowTable::kWalkLevels + 1);
    EXPECT_EQ(found[0], stop);
    EXPECT_EQ(found[1], stop);
    EXPECT_EQ(found[2], table.root());
    // The insert goes on from where the walk stopped, to the end of the chain.
    FlowRecord* linked = last.get();
    EXPECT_TRUE(table.insertBelow(found[0], last.release()));
    EXPECT_EQ(previous->right, linked);
    EXPECT_EQ(table.size(), 1000u);
}

}  // namespace
