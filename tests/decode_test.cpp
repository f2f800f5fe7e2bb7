// The packet decoder, fed with frames built here: the observation of each
// frame, the flows frames share, the packet clock, and the link-type table.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"

namespace {

using frames::Addr;
using frames::Bytes;
using frames::decode;
using frames::deliver;
using frames::fieldBytes;
using frames::frame;
using frames::icmp;
using frames::InstalledTables;
using frames::Ip;
using frames::kWholeFrame;
using frames::tcp;
using frames::udp;
using frames::wireAddr;

using Pair = std::array<uint8_t, 2>;

const Addr kSrc{192, 0, 2, 7};
const Addr kDst{198, 51, 100, 5};
constexpr int64_t kSec = 1700000000;
constexpr int64_t kUsec = 654321;

Ip ipv4(uint8_t protocol, uint16_t flagsFragment = 0, uint8_t headerWords = 5) {
    Ip ip;
    ip.protocol = protocol;
    ip.flagsFragment = flagsFragment;
    ip.headerWords = headerWords;
    return ip;
}

// An Ethernet-framed TCP segment 192.0.2.7:555 -> 198.51.100.5:80 with
// SYN+ACK, 54 bytes: link header 0-13, IPv4 14-33, TCP 34-53.
Bytes synAck() { return frame(14, ipv4(6), tcp(555, 80, 0x12)); }
// ICMP destination unreachable, administratively prohibited (3/13).
Bytes prohibited() { return frame(14, ipv4(1), icmp(3, 13)); }

// What the flow observation of a decoded frame should hold.
struct Expected {
    Addr src;
    Addr dst;
    Pair srcPort;  // the field's two bytes as they lie in the record
    Pair dstPort;
    uint8_t tcpFlags;
    uint8_t protocol;
    uint8_t tos;
    uint32_t length;
};

struct DecodeCase {
    std::string name;
    Bytes frame;
    uint32_t caplen;  // kWholeFrame: all of it
    int32_t linkOffset;
    bool observed;  // false: no observation
    Expected expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
std::vector<DecodeCase> decodeCases() {
    const Pair zero{0, 0};
    std::vector<DecodeCase> cases;
    cases.push_back({"tcp_syn", [] {
                         Ip ip = ipv4(6);
                         ip.tos = 0x28;
                         ip.totalLength = 60;
                         return frame(14, ip, tcp(555, 80, 0x02));
                     }(),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x02, 6, 0x28, 60}});
    cases.push_back({"icmp_echo_request", frame(14, ipv4(1), icmp(8, 0)), kWholeFrame, 14, true,
                     {kSrc, kDst, {0x08, 0x00}, zero, 0, 1, 0, 28}});
    cases.push_back({"icmp_echo_reply", frame(14, ipv4(1), icmp(0, 0)), kWholeFrame, 14, true,
                     {kSrc, kDst, zero, zero, 0, 1, 0, 28}});
    cases.push_back({"icmp_code_into_dst_port", prohibited(), kWholeFrame, 14, true,
                     {kSrc, kDst, {0x03, 0x00}, {0x0D, 0x00}, 0, 1, 0, 28}});
    cases.push_back({"udp", frame(14, ipv4(17), udp(53, 5353)), kWholeFrame, 14, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});
    // The payload byte where TCP keeps its flags is not a flags byte in UDP.
    cases.push_back({"udp_has_no_flags", frame(14, ipv4(17), udp(53, 5353, Bytes(8, 0xFF))),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 36}});
    cases.push_back({"fragment_in_the_middle", frame(14, ipv4(17, 0x2000 | 185), Bytes(40, 0x77)),
                     kWholeFrame, 14, true, {kSrc, kDst, zero, zero, 0, 0, 0, 60}});
    cases.push_back({"last_fragment", frame(14, ipv4(6, 185), Bytes(40, 0x77)), kWholeFrame, 14,
                     true, {kSrc, kDst, zero, zero, 0, 0, 0, 60}});
    // More-fragments with offset 0: the UDP header is there, but a fragment
    // is a fragment.
    cases.push_back({"first_fragment", frame(14, ipv4(17, 0x2000), udp(53, 5353, Bytes(24, 1))),
                     kWholeFrame, 14, true, {kSrc, kDst, zero, zero, 0, 0, 0, 52}});
    cases.push_back({"dont_fragment_decoded", frame(14, ipv4(6, 0x4000), tcp(555, 80, 0x12)),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"reserved_flag_decoded", frame(14, ipv4(6, 0x8000), tcp(555, 80, 0x12)),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    // One option word whose bytes would read as ports 0x9999/0x9999 if the
    // transport header were looked for at 20.
    cases.push_back({"header_length_6", [] {
                         Ip ip = ipv4(6, 0, 6);
                         ip.optionByte = 0x99;
                         return frame(14, ip, tcp(555, 80, 0x12));
                     }(),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 44}});
    // Below 5 words the transport header starts inside the IPv4 header:
    // at byte 8, so the "ports" are TTL/protocol and the checksum, and the
    // "flags" byte is IPv4 byte 21, the low byte of the TCP source port.
    cases.push_back({"header_length_2", frame(14, ipv4(6, 0, 2), tcp(555, 80, 0x12)),
                     kWholeFrame, 14, true,
                     {kSrc, kDst, {64, 6}, {0xBE, 0xEF}, 0x2B, 6, 0, 40}});
    // Only version 4 is IPv4: anything else at the offset (IPv6, ARP, a
    // tagged frame) gives no observation. The header length is not checked.
    for (const uint8_t version : {0, 5, 6, 15}) {
        Ip ip = ipv4(6);
        ip.version = version;
        cases.push_back({"version_" + std::to_string(version) + "_not_decoded",
                         frame(14, ip, tcp(555, 80, 0x12)), kWholeFrame, 14, false, {}});
    }
    // A real IPv6 TCP segment behind Ethernet (a 40-byte header: 0x60 first).
    cases.push_back({"ipv6_frame_not_decoded", frames::ipv6(Bytes(14, 0xEE), 6, tcp(555, 80, 0x02)),
                     kWholeFrame, 14, false, {}});
    cases.push_back({"gre_other_protocol", [] {
                         Ip ip = ipv4(47);
                         ip.tos = 0xB8;
                         return frame(14, ip, Bytes{0x20, 0x00, 0x08, 0x00, 0x12, 0x34, 0x56, 0x78});
                     }(),
                     kWholeFrame, 14, true, {kSrc, kDst, zero, zero, 0, 0, 0xB8, 28}});
    // A 900-byte datagram cut at the 68-byte snapshot: the header's length
    // is handed on, and every field the decoder reads was captured.
    cases.push_back({"total_length_900_with_68_captured", [] {
                         Ip ip = ipv4(6);
                         ip.totalLength = 900;
                         Bytes segment = tcp(555, 80, 0x18);
                         segment.resize(880, 0x42);
                         return frame(14, ip, segment);
                     }(),
                     68, 14, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x18, 6, 0, 900}});
    cases.push_back({"raw_ip_offset_0", frame(0, ipv4(6), tcp(555, 80, 0x12)), kWholeFrame, 0,
                     true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"cooked_offset_16", frame(16, ipv4(17), udp(53, 5353)), kWholeFrame, 16, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});

    // Frames cut short. Without the 20 fixed IPv4 bytes there is nothing to
    // count; with them the packet counts and only the missing transport
    // fields read as 0.
    cases.push_back({"cut_nothing_captured", synAck(), 0, 14, false, {}});
    cases.push_back({"cut_inside_link_header", synAck(), 10, 14, false, {}});
    cases.push_back({"cut_one_short_of_ipv4_header", synAck(), 33, 14, false, {}});
    cases.push_back({"cut_raw_one_short_of_ipv4_header", frame(0, ipv4(6), tcp(555, 80, 0x12)),
                     19, 0, false, {}});
    cases.push_back({"cut_cooked_one_short_of_ipv4_header", frame(16, ipv4(6), tcp(555, 80, 0x12)),
                     35, 16, false, {}});
    cases.push_back({"cut_tcp_at_end_of_ipv4_header", synAck(), 34, 14, true,
                     {kSrc, kDst, zero, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_src_port_half", synAck(), 35, 14, true,
                     {kSrc, kDst, zero, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_dst_port_missing", synAck(), 36, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_dst_port_half", synAck(), 37, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_after_ports", synAck(), 38, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_flags_missing", synAck(), 47, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_after_flags", synAck(), 48, 14, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"cut_udp_dst_port_half", frame(14, ipv4(17), udp(53, 5353)), 37, 14, true,
                     {kSrc, kDst, {0x00, 0x35}, zero, 0, 17, 0, 28}});
    cases.push_back({"cut_udp_after_ports", frame(14, ipv4(17), udp(53, 5353)), 38, 14, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});
    cases.push_back({"cut_icmp_type_missing", prohibited(), 34, 14, true,
                     {kSrc, kDst, zero, zero, 0, 1, 0, 28}});
    cases.push_back({"cut_icmp_code_missing", prohibited(), 35, 14, true,
                     {kSrc, kDst, {0x03, 0x00}, zero, 0, 1, 0, 28}});
    cases.push_back({"cut_icmp_after_code", prohibited(), 36, 14, true,
                     {kSrc, kDst, {0x03, 0x00}, {0x0D, 0x00}, 0, 1, 0, 28}});
    cases.push_back({"cut_fragment_at_end_of_ipv4_header", frame(14, ipv4(17, 0x2000), udp(1, 2)),
                     34, 14, true, {kSrc, kDst, zero, zero, 0, 0, 0, 28}});
    // Forty bytes of options push the transport header past the snapshot:
    // the packet must still count, so options cannot hide a flood.
    cases.push_back({"cut_long_options_push_ports_out", frame(14, ipv4(6, 0, 15), tcp(555, 80, 0x02)),
                     68, 14, true, {kSrc, kDst, zero, zero, 0, 6, 0, 80}});
    cases.push_back({"cut_header_length_6_flags_missing", frame(14, ipv4(6, 0, 6), tcp(555, 80, 0x12)),
                     51, 14, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 44}});
    cases.push_back({"cut_header_length_6_after_flags", frame(14, ipv4(6, 0, 6), tcp(555, 80, 0x12)),
                     52, 14, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 44}});
    return cases;
}
// clang-format on

class Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, OneFrameGivesOneObservation) {
    const DecodeCase& c = GetParam();
    const std::optional<FlowObservation> seen = decode(c.frame, c.caplen, c.linkOffset);
    if (!c.observed) {
        EXPECT_FALSE(seen.has_value());
        return;
    }
    ASSERT_TRUE(seen.has_value());
    const FlowObservation& o = *seen;
    const Expected& e = c.expected;
    EXPECT_EQ(o.srcAddr, wireAddr(e.src));
    EXPECT_EQ(o.dstAddr, wireAddr(e.dst));
    EXPECT_EQ(fieldBytes(o.srcPort), e.srcPort);
    EXPECT_EQ(fieldBytes(o.dstPort), e.dstPort);
    EXPECT_EQ(o.tcpFlags, e.tcpFlags);
    EXPECT_EQ(o.protocol, e.protocol);
    EXPECT_EQ(o.tos, e.tos);
    EXPECT_EQ(o.length, e.length);
}

// onPacket hands the observation on whole: the new flow's record holds it,
// with the frame's time, and the host table hears (destination, time, 0).
TEST(OnPacket, NewFlowReachesBothTables) {
    InstalledTables tables;
    g_packetTime = 42;
    Ip ip = ipv4(6);
    ip.tos = 0x28;
    deliver(frame(14, ip, tcp(555, 80, 0x02)), kSec, kUsec);

    EXPECT_EQ(g_packetTime, kSec);
    ASSERT_EQ(tables.flows.size(), 1u);
    const FlowRecord& f = *tables.flows.root();
    EXPECT_EQ(f.srcAddr, wireAddr(kSrc));
    EXPECT_EQ(f.dstAddr, wireAddr(kDst));
    EXPECT_EQ(fieldBytes(f.srcPort), (Pair{0x02, 0x2B}));
    EXPECT_EQ(fieldBytes(f.dstPort), (Pair{0x00, 0x50}));
    EXPECT_EQ(f.tcpFlags, 0x02);
    EXPECT_EQ(f.protocol, 6);
    EXPECT_EQ(f.tos, 0x28);
    EXPECT_EQ(f.bytes, 40u);
    EXPECT_EQ(f.packets, 1u);
    EXPECT_EQ(f.firstSeen, kSec);
    EXPECT_EQ(f.lastSeen, kSec);
    EXPECT_EQ(f.windowStart, kSec);

    ASSERT_EQ(tables.hosts.size(), 1u);
    const HostRecord& h = *tables.hosts.root();
    EXPECT_EQ(h.addr, wireAddr(kDst));
    EXPECT_EQ(h.flows, 1u);
    EXPECT_EQ(h.packets, 1u);
    EXPECT_EQ(h.lastFlowTime, kSec);
    EXPECT_EQ(h.lastPacketTime, 0);
    EXPECT_EQ(h.windowStart, 0);
}

// A frame that gives no observation still moves the clock, and counts
// nowhere.
TEST(OnPacket, FrameTooShortMovesTheClockOnly) {
    InstalledTables tables;
    g_packetTime = 42;
    deliver(synAck(), kSec, 0, 33);
    EXPECT_EQ(g_packetTime, kSec);
    EXPECT_EQ(tables.flows.size(), 0u);
    EXPECT_EQ(tables.hosts.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Frames, Decode, testing::ValuesIn(decodeCases()), CaseName());

// Which frames fall into one flow: the key holds the addresses and the two
// port fields, not the protocol.
struct SharingCase {
    std::string name;
    std::vector<Bytes> frames;
    uint32_t flowRecords;
    uint32_t hostRecords;
    uint8_t protocol;  // of the one record, when there is one: the first frame's
};

void PrintTo(const SharingCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
std::vector<SharingCase> sharingCases() {
    const Bytes gre{0x20, 0x00, 0x08, 0x00};
    return {
        {"icmp_echo_request_and_udp_2048_to_0",
         {frame(14, ipv4(1), icmp(8, 0)), frame(14, ipv4(17), udp(0x0800, 0))}, 1, 1, 1},
        {"udp_2048_to_0_then_icmp_echo_request",
         {frame(14, ipv4(17), udp(0x0800, 0)), frame(14, ipv4(1), icmp(8, 0))}, 1, 1, 17},
        {"icmp_echo_request_and_udp_port_8_differ",
         {frame(14, ipv4(1), icmp(8, 0)), frame(14, ipv4(17), udp(8, 0))}, 2, 1, 0},
        {"echo_reply_fragment_and_gre",
         {frame(14, ipv4(1), icmp(0, 0)), frame(14, ipv4(6, 0x2000 | 3), Bytes(16, 0x33)),
          frame(14, ipv4(47), gre)},
         1, 1, 1},
        {"first_fragment_and_gre",
         {frame(14, ipv4(17, 0x2000), udp(53, 5353)), frame(14, ipv4(47), gre)}, 1, 1, 0},
        {"tcp_then_udp_same_ports",
         {frame(14, ipv4(6), tcp(555, 80, 0x02)), frame(14, ipv4(17), udp(555, 80))}, 1, 1, 6},
        {"reverse_direction",
         {frame(14, ipv4(6), tcp(555, 80, 0x02)), [] {
              Ip ip = ipv4(6);
              ip.src = kDst;
              ip.dst = kSrc;
              return frame(14, ip, tcp(80, 555, 0x12));
          }()},
         2, 2, 0},
    };
}
// clang-format on

class SharedFlow : public testing::TestWithParam<SharingCase> {};

TEST_P(SharedFlow, FramesFallIntoFlows) {
    const SharingCase& c = GetParam();
    InstalledTables tables;
    for (const Bytes& f : c.frames) deliver(f, kSec);
    EXPECT_EQ(tables.flows.size(), c.flowRecords);
    EXPECT_EQ(tables.hosts.size(), c.hostRecords);
    if (c.flowRecords == 1) {
        EXPECT_EQ(tables.flows.root()->packets, uint32_t(c.frames.size()));
        EXPECT_EQ(tables.flows.root()->protocol, c.protocol);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, SharedFlow, testing::ValuesIn(sharingCases()), CaseName());

// The packet clock: whole seconds of each frame's timestamp, in arrival
// order, backwards too.
struct ClockStep {
    int64_t sec;
    int64_t usec;
    uint32_t caplen;
    int64_t clock;         // g_packetTime afterwards
    uint32_t flowPackets;  // of the one flow; 0: no record yet
    int64_t lastSeen;
};

struct ClockCase {
    std::string name;
    std::vector<ClockStep> steps;
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

std::vector<ClockCase> clockCases() {
    return {
        {"backwards_timestamp",
         {{1000, 0, kWholeFrame, 1000, 1, 1000}, {950, 0, kWholeFrame, 950, 2, 950}}},
        {"microseconds_dropped",
         {{1000, 1, kWholeFrame, 1000, 1, 1000}, {1000, 999999, kWholeFrame, 1000, 2, 1000}}},
        {"cut_frame_moves_clock_back_only",
         {{1000, 0, kWholeFrame, 1000, 1, 1000}, {900, 0, 20, 900, 1, 1000}}},
        {"cut_frame_first", {{500, 0, 0, 500, 0, 0}, {501, 0, kWholeFrame, 501, 1, 501}}},
    };
}

class PacketClock : public testing::TestWithParam<ClockCase> {};

TEST_P(PacketClock, FollowsEachFrame) {
    InstalledTables tables;
    const Bytes f = synAck();
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        const ClockStep& s = GetParam().steps[i];
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        deliver(f, s.sec, s.usec, s.caplen);
        EXPECT_EQ(g_packetTime, s.clock);
        if (s.flowPackets == 0) {
            EXPECT_EQ(tables.flows.size(), 0u);
            continue;
        }
        ASSERT_EQ(tables.flows.size(), 1u);
        EXPECT_EQ(tables.flows.root()->packets, s.flowPackets);
        EXPECT_EQ(tables.flows.root()->lastSeen, s.lastSeen);
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, PacketClock, testing::ValuesIn(clockCases()), CaseName());

// The link-type table, read through a capture handle of each type; for a
// known type a frame with that much link header in front decodes.
struct LinkCase {
    std::string name;
    int linkType;
    int32_t offset;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
std::vector<LinkCase> linkCases() {
    return {
        {"null_0", 0, 4},          {"ethernet_1", 1, 14},   {"token_ring_6", 6, 22},
        {"slip_8", 8, 16},         {"ppp_9", 9, 4},         {"fddi_10", 10, 21},
        {"raw_12", 12, 0},         {"loop_108", 108, 4},    {"linux_sll_113", 113, 16},
        {"ieee802_11_105", 105, -1}, {"ax25_3", 3, -1},
        {"linux_sll2_276", 276, 20}, {"ipv4_228", 228, -1},
    };
}
// clang-format on

class LinkOffset : public testing::TestWithParam<LinkCase> {};

TEST_P(LinkOffset, ByLinkType) {
    const LinkCase& c = GetParam();
    EXPECT_EQ(linkOffsetOf(c.linkType), c.offset);
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> handle(pcap_open_dead(c.linkType, 68), pcap_close);
    ASSERT_NE(handle.get(), nullptr);
    const int32_t offset = linkOffset(handle.get());
    EXPECT_EQ(offset, c.offset);
    if (offset < 0) return;

    InstalledTables tables;
    deliver(frame(size_t(offset), ipv4(6), tcp(555, 80, 0x12)), kSec, 0, kWholeFrame, offset);
    ASSERT_EQ(tables.flows.size(), 1u);
    EXPECT_EQ(tables.flows.root()->srcAddr, wireAddr(kSrc));
    EXPECT_EQ(tables.flows.root()->dstAddr, wireAddr(kDst));
    EXPECT_EQ(fieldBytes(tables.flows.root()->dstPort), (Pair{0x00, 0x50}));
    EXPECT_EQ(tables.flows.root()->tcpFlags, 0x12);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkOffset, testing::ValuesIn(linkCases()), CaseName());

}  // namespace
