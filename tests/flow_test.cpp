// The flow record and the flow table: the key and its digest, the listing,
// the 2000 packets/s rule on its rate window (merge), the alert text, the
// expiry predicate and the sweep.
#include "flow.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"
#include "tables.h"

namespace {

using frames::wire16;

uint32_t addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return frames::wireAddr({a, b, c, d}); }

// The TCP flow of the examples: 192.0.2.7:555 -> 198.51.100.5:80, SYN,
// type of service 0xB8 (DSCP 2E).
const uint32_t kClient = addr(192, 0, 2, 7);
const uint32_t kServer = addr(198, 51, 100, 5);
const uint16_t kClientPort = wire16(555);
const uint16_t kServerPort = wire16(80);
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kTos = 0xB8;
constexpr int64_t kT = 1700000000;  // any packet time

const char kTcpAlert[] = "FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]\n";

// The table's only record; the tests below keep one flow per table.
const FlowRecord& only(const FlowTable& table) {
    EXPECT_EQ(table.size(), 1u);
    return *table.root;
}

TEST(FlowRecord, ListingOfTheSynExample) {
    FlowRecord r(addr(192, 0, 2, 7), addr(198, 51, 100, 5), wire16(555), wire16(80), 0x02, 6, 0xB8,
                 60, 100);
    EXPECT_EQ(captureStdout([&] { r.printListing(); }),
              "\nc0000207c6336405022b0050  21d4137ad961847a7e79a9f2230a58f9\n");
}

TEST(FlowRecord, NewRecordTakesTheObservation) {
    FlowRecord r(kClient, kServer, kClientPort, kServerPort, kSyn, 6, kTos, 60, kT);
    EXPECT_EQ(r.packets, 1u);
    EXPECT_EQ(r.bytes, 60u);
    EXPECT_EQ(r.firstSeen, kT);
    EXPECT_EQ(r.lastSeen, kT);
    EXPECT_EQ(r.windowStart, kT);
    EXPECT_EQ(r.tcpFlags, kSyn);
    EXPECT_EQ(r.protocol, 6);
    EXPECT_EQ(r.tos, kTos);
    EXPECT_EQ(r.left, nullptr);
    EXPECT_EQ(r.right, nullptr);
    EXPECT_EQ(r.parent, nullptr);
}

// The digest is compared as four little-endian words, not bytewise: the
// reverse flow's digest starts with the byte 0x11, below the forward
// flow's 0x7a, yet its word 0 (5fd90011) is the greater.
TEST(FlowRecord, OrderIsByLittleEndianDigestWords) {
    FlowRecord forward(kClient, kServer, kClientPort, kServerPort, kSyn, 6, kTos, 60, kT);
    FlowRecord reverse(kServer, kClient, kServerPort, kClientPort, 0x12, 6, 0, 60, kT);
    EXPECT_EQ(forward.digestWord(0), 0x21d4137au);
    EXPECT_EQ(reverse.digestWord(0), 0x5fd90011u);
    EXPECT_LT(std::memcmp(reverse.digest, forward.digest, 16), 0);

    EXPECT_TRUE(forward < reverse);
    EXPECT_FALSE(reverse < forward);
    EXPECT_TRUE(reverse > forward);
    EXPECT_FALSE(forward > reverse);
    EXPECT_FALSE(forward == reverse);
    EXPECT_TRUE(forward <= reverse);
    EXPECT_TRUE(reverse >= forward);

    // Equality rests on the digest alone: another packet of the same key
    // with different protocol, flags, length and time is the same flow.
    FlowRecord again(kClient, kServer, kClientPort, kServerPort, 0, 17, 0, 1500, kT + 99);
    EXPECT_TRUE(forward == again);
    EXPECT_FALSE(forward < again);
    EXPECT_FALSE(forward > again);
    EXPECT_TRUE(forward <= again);
    EXPECT_TRUE(forward >= again);

    FlowTable table;
    EXPECT_TRUE(table.add(kServer, kClient, kServerPort, kClientPort, uint8_t(0x12), uint8_t(6),
                          uint8_t(0), uint32_t(60), kT));
    EXPECT_TRUE(table.add(kClient, kServer, kClientPort, kServerPort, kSyn, uint8_t(6), kTos,
                          uint32_t(60), kT));
    uint32_t listed = 0;
    const std::string out = captureStdout([&] { listed = table.print(); });
    EXPECT_EQ(listed, 2u);
    EXPECT_EQ(out.substr(0, 27), "\nc0000207c6336405022b0050  ") << "the forward flow lists first";
    EXPECT_EQ(out.substr(60, 27), "\nc6336405c00002070050022b  ");
}

// ICMP puts the type and code, as plain numbers, where the ports go.
TEST(FlowRecord, IcmpEchoRequestKey) {
    FlowRecord r(kClient, kServer, uint16_t(8), uint16_t(0), 0, 1, 0, 84, kT);
    const std::string out = captureStdout([&] { r.printListing(); });
    ASSERT_EQ(out.size(), 60u);
    EXPECT_EQ(out.substr(0, 27), "\nc0000207c633640508000000  ");
    const FlowRecord reply(kClient, kServer, uint16_t(0), uint16_t(0), 0, 1, 0, 84, kT);
    EXPECT_FALSE(reply == r) << "an echo reply from the same host is another flow";
}

// ------------------------------------------------------------- merge rule

// `count` more packets of the flow, each at kT + offset with `length` bytes.
struct Burst {
    uint32_t count;
    int64_t offset;
    uint32_t length;
};

struct MergeCase {
    const char* name;
    uint32_t firstLength;
    std::vector<Burst> bursts;
    uint32_t packets;
    int64_t windowStart;  // offsets from kT
    int64_t lastSeen;
    uint32_t bytes;
    std::string out;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class FlowMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(FlowMerge, PacketRateRule) {
    const MergeCase& c = GetParam();
    FlowTable table;
    ASSERT_TRUE(table.add(kClient, kServer, kClientPort, kServerPort, kSyn, uint8_t(6), kTos,
                          c.firstLength, kT));
    const std::string out = captureStdout([&] {
        for (const Burst& b : c.bursts)
            for (uint32_t i = 0; i < b.count; ++i)
                if (table.add(kClient, kServer, kClientPort, kServerPort, uint8_t(0x10), uint8_t(6),
                              uint8_t(0), b.length, kT + b.offset))
                    ADD_FAILURE() << "a packet of a known flow made a new record";
    });
    EXPECT_EQ(out, c.out);
    const FlowRecord& r = only(table);
    EXPECT_EQ(r.packets, c.packets);
    EXPECT_EQ(r.windowStart, kT + c.windowStart);
    EXPECT_EQ(r.lastSeen, kT + c.lastSeen);
    EXPECT_EQ(r.bytes, c.bytes);
    // Only the counters and times move; the creating packet's fields stay.
    EXPECT_EQ(r.firstSeen, kT);
    EXPECT_EQ(r.tcpFlags, kSyn);
    EXPECT_EQ(r.protocol, 6);
    EXPECT_EQ(r.tos, kTos);
}

constexpr int64_t k2to31 = int64_t(1) << 31;
constexpr int64_t k2to32 = int64_t(1) << 32;

// Each case: name, length of the creating packet at kT, the later packets;
// then the record's packets, windowStart and lastSeen (offsets from kT),
// bytes, and what reached standard output.
const MergeCase kMergeCases[] = {
    {"open_at_5s", 60, {{1, 5, 60}}, 2, 0, 5, 120, ""},
    {"closes_at_6s_below_limit", 60, {{1, 6, 60}}, 0, 6, 6, 120, ""},
    // 12000 packets in 6 s: exactly 2000.0/s, not above the limit.
    {"exactly_2000_no_alert_still_resets", 60, {{11998, 5, 1}, {1, 6, 1}}, 0, 6, 6, 60 + 11999, ""},
    // 12001 packets in 6 s: 2000.17/s.
    {"above_2000_alerts", 60, {{11999, 5, 1}, {1, 6, 1}}, 0, 6, 6, 60 + 12000, kTcpAlert},
    // 20002 packets in 10 s: the rate divides by the elapsed seconds.
    {"long_window_divides_by_elapsed",
     60,
     {{20000, 5, 0}, {1, 10, 0}},
     0,
     10,
     10,
     60,
     "FLOOD: 198.51.100.5 - 2000.20 tcp packets/s from 192.0.2.7 [DSCP 2E]\n"},
    {"counter_zero_after_close", 60, {{1, 6, 0}, {1, 7, 0}}, 1, 6, 7, 60, ""},
    // The packet that closes a window does not count in the next one: the
    // second window holds 12000 packets, exactly 2000.0/s.
    {"closing_packet_not_counted_again",
     60,
     {{11999, 5, 0}, {1, 6, 0}, {11999, 11, 0}, {1, 12, 0}},
     0,
     12,
     12,
     60,
     kTcpAlert},
    {"backwards_time_moves_last_seen_back", 60, {{1, -100, 0}}, 2, 0, -100, 60, ""},
    {"backwards_time_never_closes",
     60,
     {{13000, -6, 0}, {1, -1000000, 0}},
     13002,
     0,
     -1000000,
     60,
     ""},
    // The window length is the low 32 bits of the difference, signed.
    {"elapsed_cut_to_low_32_bits", 60, {{1, k2to32 + 3, 0}}, 2, 0, k2to32 + 3, 60, ""},
    {"elapsed_wraps_negative", 60, {{1, k2to31, 0}}, 2, 0, k2to31, 60, ""},
    {"close_after_wrap_keeps_full_time",
     60,
     {{1, k2to32 + 6, 0}},
     0,
     k2to32 + 6,
     k2to32 + 6,
     60,
     ""},
    {"bytes_wrap", 4294967286u, {{1, 1, 60}}, 2, 0, 1, 50, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, FlowMerge, testing::ValuesIn(kMergeCases), CaseName());

// The protocol is not in the key: a UDP packet with the same addresses and
// port fields counts in the TCP flow, and the alert still names TCP and the
// first packet's DSCP.
TEST(FlowTable, TcpThenUdpShareOneRecord) {
    FlowTable table;
    EXPECT_TRUE(table.add(kClient, kServer, kClientPort, kServerPort, kSyn, uint8_t(6), kTos,
                          uint32_t(60), kT));
    EXPECT_FALSE(table.add(kClient, kServer, kClientPort, kServerPort, uint8_t(0), uint8_t(17),
                           uint8_t(0), uint32_t(28), kT));
    EXPECT_EQ(only(table).packets, 2u);
    const std::string out = captureStdout([&] {
        for (int i = 0; i < 11998; ++i)
            table.add(kClient, kServer, kClientPort, kServerPort, uint8_t(0), uint8_t(17),
                      uint8_t(0), uint32_t(28), kT + 5);
        table.add(kClient, kServer, kClientPort, kServerPort, uint8_t(0), uint8_t(17), uint8_t(0),
                  uint32_t(28), kT + 6);
    });
    EXPECT_EQ(out, kTcpAlert);
    EXPECT_EQ(only(table).protocol, 6);
}

// A protocol number the protocol database does not know is shown in
// decimal in place of the name.
TEST(FlowTable, AlertForProtocolWithoutName) {
    int unnamed = -1;
    for (int p = 255; p >= 0 && unnamed < 0; --p)
        if (getprotobynumber(p) == nullptr) unnamed = p;
    if (unnamed < 0) GTEST_SKIP() << "every protocol number has a name here";

    FlowTable table;
    table.add(kClient, kServer, uint16_t(0), uint16_t(0), uint8_t(0), uint8_t(unnamed),
              uint8_t(0x04), uint32_t(40), kT);
    const std::string out = captureStdout([&] {
        for (int i = 0; i < 11999; ++i)
            table.add(kClient, kServer, uint16_t(0), uint16_t(0), uint8_t(0), uint8_t(unnamed),
                      uint8_t(0x04), uint32_t(40), kT + 5);
        table.add(kClient, kServer, uint16_t(0), uint16_t(0), uint8_t(0), uint8_t(unnamed),
                  uint8_t(0x04), uint32_t(40), kT + 6);
    });
    EXPECT_EQ(out, "FLOOD: 198.51.100.5 - 2000.17 " + std::to_string(unnamed) +
                       " packets/s from 192.0.2.7 [DSCP 01]\n");
}

// --------------------------------------------------------------- expiry

struct ExpiryCase {
    const char* name;
    int64_t lastSeen;
    int64_t clock;
    bool expired;
};

void PrintTo(const ExpiryCase& c, std::ostream* os) { *os << c.name; }

class FlowExpiry : public testing::TestWithParam<ExpiryCase> {};

TEST_P(FlowExpiry, IdleForMoreThan20Seconds) {
    const ExpiryCase& c = GetParam();
    FlowRecord r(kClient, kServer, kClientPort, kServerPort, kSyn, 6, kTos, 60, c.lastSeen);
    frames::SavedClock clock;
    g_packetTime = c.clock;
    EXPECT_EQ(flowExpired(r), c.expired);
}

INSTANTIATE_TEST_SUITE_P(Cases, FlowExpiry,
                         testing::Values(ExpiryCase{"same_second", kT, kT, false},
                                         ExpiryCase{"idle_20s", kT, kT + 20, false},
                                         ExpiryCase{"idle_21s", kT, kT + 21, true},
                                         ExpiryCase{"last_seen_after_clock", kT, kT - 100, false},
                                         ExpiryCase{"clock_not_started", kT, 0, false}),
                         CaseName());

TEST(FlowTable, SweepRemovesIdleFlowsAndReports) {
    FlowTable table;
    table.add(kClient, kServer, kClientPort, kServerPort, kSyn, uint8_t(6), kTos, uint32_t(60), kT);
    table.add(kServer, kClient, kServerPort, kClientPort, uint8_t(0x12), uint8_t(6), uint8_t(0),
              uint32_t(60), kT + 10);
    table.add(kClient, kServer, wire16(556), kServerPort, kSyn, uint8_t(6), kTos, uint32_t(60),
              kT + 25);
    std::string out;
    {
        frames::SavedClock clock;
        g_packetTime = kT + 30;
        out = captureStdout([&] { table.sweep(flowExpired); });
    }
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        out, "Flow cleanup took [0-9]+\\.[0-9]{5} seconds \\(3 -> 2\\)\n"))
        << out;
    EXPECT_EQ(table.size(), 2u);
    // The idle flow is gone and starts over; the other two are still there.
    EXPECT_TRUE(table.add(kClient, kServer, kClientPort, kServerPort, kSyn, uint8_t(6), kTos,
                          uint32_t(60), kT + 30));
    EXPECT_FALSE(table.add(kServer, kClient, kServerPort, kClientPort, uint8_t(0x10), uint8_t(6),
                           uint8_t(0), uint32_t(60), kT + 30));
    EXPECT_FALSE(table.add(kClient, kServer, wire16(556), kServerPort, uint8_t(0x10), uint8_t(6),
                           kTos, uint32_t(60), kT + 30));
}

// -------------------------------------------------------------- listing

TEST(FlowTable, ListingOfEmptyTableIsNothing) {
    FlowTable table;
    uint32_t listed = 1;
    EXPECT_EQ(captureStdout([&] { listed = table.print(); }), "");
    EXPECT_EQ(listed, 0u);
}

TEST(FlowTable, ListingOfNRecordsIsNPairsAscending) {
    constexpr int kFlows = 25;
    FlowTable table;
    for (int i = 0; i < kFlows; ++i)
        ASSERT_TRUE(table.add(kClient, kServer, wire16(uint16_t(40000 + i)), kServerPort, kSyn,
                              uint8_t(6), kTos, uint32_t(60), kT));
    uint32_t listed = 0;
    const std::string out = captureStdout([&] { listed = table.print(); });
    EXPECT_EQ(listed, uint32_t(kFlows));

    // Each record: an empty line, 24 key digits, two blanks, 32 digest
    // digits, a newline.
    ASSERT_EQ(out.size(), size_t(kFlows) * 60);
    std::string previous;
    for (int i = 0; i < kFlows; ++i) {
        const std::string pair = out.substr(size_t(i) * 60, 60);
        EXPECT_TRUE(testing::internal::RE::FullMatch(pair, "\n[0-9a-f]{24}  [0-9a-f]{32}\n"))
            << pair;
        EXPECT_EQ(pair.substr(1, 16), "c0000207c6336405");
        // Fixed-width words in order, so ascending digests read ascending.
        const std::string words = pair.substr(27, 32);
        EXPECT_LT(previous, words);
        previous = words;
    }
}

}  // namespace
