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
using frames::kCooked;
using frames::kEthernet;
using frames::kRawIp;
using frames::kWholeFrame;
using frames::linkHeader;
using frames::Tag;
using frames::taggedEthernet;
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
    LinkLayer link;
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
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x02, 6, 0x28, 60}});
    cases.push_back({"icmp_echo_request", frame(14, ipv4(1), icmp(8, 0)), kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x08, 0x00}, zero, 0, 1, 0, 28}});
    cases.push_back({"icmp_echo_reply", frame(14, ipv4(1), icmp(0, 0)), kWholeFrame, kEthernet, true,
                     {kSrc, kDst, zero, zero, 0, 1, 0, 28}});
    cases.push_back({"icmp_code_into_dst_port", prohibited(), kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x03, 0x00}, {0x0D, 0x00}, 0, 1, 0, 28}});
    cases.push_back({"udp", frame(14, ipv4(17), udp(53, 5353)), kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});
    // The payload byte where TCP keeps its flags is not a flags byte in UDP.
    cases.push_back({"udp_has_no_flags", frame(14, ipv4(17), udp(53, 5353, Bytes(8, 0xFF))),
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 36}});
    cases.push_back({"fragment_in_the_middle", frame(14, ipv4(17, 0x2000 | 185), Bytes(40, 0x77)),
                     kWholeFrame, kEthernet, true, {kSrc, kDst, zero, zero, 0, 0, 0, 60}});
    cases.push_back({"last_fragment", frame(14, ipv4(6, 185), Bytes(40, 0x77)), kWholeFrame, kEthernet,
                     true, {kSrc, kDst, zero, zero, 0, 0, 0, 60}});
    // More-fragments with offset 0: the UDP header is there, but a fragment
    // is a fragment.
    cases.push_back({"first_fragment", frame(14, ipv4(17, 0x2000), udp(53, 5353, Bytes(24, 1))),
                     kWholeFrame, kEthernet, true, {kSrc, kDst, zero, zero, 0, 0, 0, 52}});
    cases.push_back({"dont_fragment_decoded", frame(14, ipv4(6, 0x4000), tcp(555, 80, 0x12)),
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"reserved_flag_decoded", frame(14, ipv4(6, 0x8000), tcp(555, 80, 0x12)),
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    // One option word whose bytes would read as ports 0x9999/0x9999 if the
    // transport header were looked for at 20.
    cases.push_back({"header_length_6", [] {
                         Ip ip = ipv4(6, 0, 6);
                         ip.optionByte = 0x99;
                         return frame(14, ip, tcp(555, 80, 0x12));
                     }(),
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 44}});
    // Below 5 words the transport header starts inside the IPv4 header:
    // at byte 8, so the "ports" are TTL/protocol and the checksum, and the
    // "flags" byte is IPv4 byte 21, the low byte of the TCP source port.
    cases.push_back({"header_length_2", frame(14, ipv4(6, 0, 2), tcp(555, 80, 0x12)),
                     kWholeFrame, kEthernet, true,
                     {kSrc, kDst, {64, 6}, {0xBE, 0xEF}, 0x2B, 6, 0, 40}});
    // A type that says IPv4 over a header of another version is damage: no
    // observation. The header length is not checked.
    for (const uint8_t version : {0, 5, 6, 15}) {
        Ip ip = ipv4(6);
        ip.version = version;
        cases.push_back({"version_" + std::to_string(version) + "_not_decoded",
                         frame(14, ip, tcp(555, 80, 0x12)), kWholeFrame, kEthernet, false, {}});
    }
    // A real IPv6 TCP segment behind Ethernet (a 40-byte header: 0x60 first).
    cases.push_back({"ipv6_frame_not_decoded", frames::ipv6(linkHeader(DLT_EN10MB, 0x86DD), 6, tcp(555, 80, 0x02)),
                     kWholeFrame, kEthernet, false, {}});
    cases.push_back({"gre_other_protocol", [] {
                         Ip ip = ipv4(47);
                         ip.tos = 0xB8;
                         return frame(14, ip, Bytes{0x20, 0x00, 0x08, 0x00, 0x12, 0x34, 0x56, 0x78});
                     }(),
                     kWholeFrame, kEthernet, true, {kSrc, kDst, zero, zero, 0, 0, 0xB8, 28}});
    // A 900-byte datagram cut at the 68-byte snapshot: the header's length
    // is handed on, and every field the decoder reads was captured.
    cases.push_back({"total_length_900_with_68_captured", [] {
                         Ip ip = ipv4(6);
                         ip.totalLength = 900;
                         Bytes segment = tcp(555, 80, 0x18);
                         segment.resize(880, 0x42);
                         return frame(14, ip, segment);
                     }(),
                     68, kEthernet, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x18, 6, 0, 900}});
    cases.push_back({"raw_ip_offset_0", frame(0, ipv4(6), tcp(555, 80, 0x12)), kWholeFrame, kRawIp,
                     true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"cooked_offset_16", frame(16, ipv4(17), udp(53, 5353)), kWholeFrame, kCooked, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});

    // Frames cut short. Without the 20 fixed IPv4 bytes there is nothing to
    // count; with them the packet counts and only the missing transport
    // fields read as 0.
    cases.push_back({"cut_nothing_captured", synAck(), 0, kEthernet, false, {}});
    cases.push_back({"cut_inside_link_header", synAck(), 10, kEthernet, false, {}});
    cases.push_back({"cut_one_short_of_ipv4_header", synAck(), 33, kEthernet, false, {}});
    cases.push_back({"cut_raw_one_short_of_ipv4_header", frame(0, ipv4(6), tcp(555, 80, 0x12)),
                     19, kRawIp, false, {}});
    cases.push_back({"cut_cooked_one_short_of_ipv4_header", frame(16, ipv4(6), tcp(555, 80, 0x12)),
                     35, kCooked, false, {}});
    cases.push_back({"cut_tcp_at_end_of_ipv4_header", synAck(), 34, kEthernet, true,
                     {kSrc, kDst, zero, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_src_port_half", synAck(), 35, kEthernet, true,
                     {kSrc, kDst, zero, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_dst_port_missing", synAck(), 36, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_dst_port_half", synAck(), 37, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_after_ports", synAck(), 38, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_flags_missing", synAck(), 47, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 40}});
    cases.push_back({"cut_tcp_after_flags", synAck(), 48, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40}});
    cases.push_back({"cut_udp_dst_port_half", frame(14, ipv4(17), udp(53, 5353)), 37, kEthernet, true,
                     {kSrc, kDst, {0x00, 0x35}, zero, 0, 17, 0, 28}});
    cases.push_back({"cut_udp_after_ports", frame(14, ipv4(17), udp(53, 5353)), 38, kEthernet, true,
                     {kSrc, kDst, {0x00, 0x35}, {0x14, 0xE9}, 0, 17, 0, 28}});
    cases.push_back({"cut_icmp_type_missing", prohibited(), 34, kEthernet, true,
                     {kSrc, kDst, zero, zero, 0, 1, 0, 28}});
    cases.push_back({"cut_icmp_code_missing", prohibited(), 35, kEthernet, true,
                     {kSrc, kDst, {0x03, 0x00}, zero, 0, 1, 0, 28}});
    cases.push_back({"cut_icmp_after_code", prohibited(), 36, kEthernet, true,
                     {kSrc, kDst, {0x03, 0x00}, {0x0D, 0x00}, 0, 1, 0, 28}});
    cases.push_back({"cut_fragment_at_end_of_ipv4_header", frame(14, ipv4(17, 0x2000), udp(1, 2)),
                     34, kEthernet, true, {kSrc, kDst, zero, zero, 0, 0, 0, 28}});
    // Forty bytes of options push the transport header past the snapshot:
    // the packet must still count, so options cannot hide a flood.
    cases.push_back({"cut_long_options_push_ports_out", frame(14, ipv4(6, 0, 15), tcp(555, 80, 0x02)),
                     68, kEthernet, true, {kSrc, kDst, zero, zero, 0, 6, 0, 80}});
    cases.push_back({"cut_header_length_6_flags_missing", frame(14, ipv4(6, 0, 6), tcp(555, 80, 0x12)),
                     51, kEthernet, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 44}});
    cases.push_back({"cut_header_length_6_after_flags", frame(14, ipv4(6, 0, 6), tcp(555, 80, 0x12)),
                     52, kEthernet, true, {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 44}});

    // The link header decides what a frame carries. Every case below hands
    // over the same TCP SYN+ACK 192.0.2.7:555 -> 198.51.100.5:80 unless it
    // says otherwise; a type that is not IPv4 in front of it (with the
    // IPv4 bytes intact behind) must count nowhere.
    const Expected synAckSeen{kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0x12, 6, 0, 40};
    auto behind = [](const Bytes& link) { return frame(link, ipv4(6), tcp(555, 80, 0x12)); };
    const Tag customer{0x8100, 100};       // priority 0: first nibble 0
    const Tag service{0x88A8, 200};
    const Tag priority2{0x8100, 0x4064};   // priority 2, VLAN 100: first nibble 4
    struct LinkFrame {
        const char* name;
        Bytes link;
        LinkLayer layer;
        bool observed;
    };
    const LinkLayer sll2{20, DLT_LINUX_SLL2};
    const Bytes sll2Tagged = [] {  // a tag left in the payload behind the header
        Bytes b = linkHeader(DLT_LINUX_SLL2, 0x8100);
        b.insert(b.end(), {0x00, 0x64, 0x08, 0x00});
        return b;
    }();
    const Bytes sllTagged = [] {  // where libpcap puts the tag back: before the protocol
        Bytes b = linkHeader(DLT_LINUX_SLL, 0x8100);
        b.insert(b.end(), {0x00, 0x64, 0x08, 0x00});
        return b;
    }();
    const std::vector<LinkFrame> links = {
        {"ethernet_ipv4", linkHeader(DLT_EN10MB), kEthernet, true},
        {"ethernet_arp_type", linkHeader(DLT_EN10MB, 0x0806), kEthernet, false},
        {"ethernet_ipv6_type", linkHeader(DLT_EN10MB, 0x86DD), kEthernet, false},
        {"ethernet_802_3_length", linkHeader(DLT_EN10MB, 0x002E), kEthernet, false},
        {"tagged_8021q", taggedEthernet({customer}), kEthernet, true},
        {"tagged_8021ad", taggedEthernet({service}), kEthernet, true},
        {"tag_first_nibble_4", taggedEthernet({priority2}), kEthernet, true},
        {"tag_first_nibble_4_over_ipv6", taggedEthernet({priority2}, 0x86DD), kEthernet, false},
        {"tagged_arp", taggedEthernet({customer}, 0x0806), kEthernet, false},
        {"double_tagged_ad_q", taggedEthernet({service, customer}), kEthernet, true},
        {"double_tagged_q_q", taggedEthernet({customer, customer}), kEthernet, true},
        {"double_tagged_over_ipv6", taggedEthernet({service, customer}, 0x86DD), kEthernet, false},
        {"triple_tagged", taggedEthernet({service, customer, customer}), kEthernet, false},
        {"cooked_ipv4", linkHeader(DLT_LINUX_SLL), kCooked, true},
        {"cooked_ipv6_type", linkHeader(DLT_LINUX_SLL, 0x86DD), kCooked, false},
        {"cooked_tagged", sllTagged, kCooked, true},
        {"cooked_v2_ipv4", linkHeader(DLT_LINUX_SLL2), sll2, true},
        {"cooked_v2_ipv6_type", linkHeader(DLT_LINUX_SLL2, 0x86DD), sll2, false},
        {"cooked_v2_tag_in_payload", sll2Tagged, sll2, true},
        {"null_inet_little_endian", linkHeader(DLT_NULL), {4, DLT_NULL}, true},
        {"null_inet_big_endian", {0, 0, 0, 2}, {4, DLT_NULL}, true},
        {"null_inet6", linkHeader(DLT_NULL, 0x86DD), {4, DLT_NULL}, false},
        {"loop_inet", linkHeader(DLT_LOOP), {4, DLT_LOOP}, true},
        {"loop_inet_host_order", {2, 0, 0, 0}, {4, DLT_LOOP}, false},
        {"loop_inet6", linkHeader(DLT_LOOP, 0x86DD), {4, DLT_LOOP}, false},
        {"ppp_ipv4", linkHeader(DLT_PPP), {4, DLT_PPP}, true},
        {"ppp_ipv6", linkHeader(DLT_PPP, 0x86DD), {4, DLT_PPP}, false},
        {"fddi_snap_ipv4", linkHeader(DLT_FDDI), {21, DLT_FDDI}, true},
        {"fddi_snap_arp", linkHeader(DLT_FDDI, 0x0806), {21, DLT_FDDI}, false},
        {"token_ring_snap_ipv4", linkHeader(DLT_IEEE802), {22, DLT_IEEE802}, true},
        {"token_ring_snap_arp", linkHeader(DLT_IEEE802, 0x0806), {22, DLT_IEEE802}, false},
        {"slip_ipv4", linkHeader(DLT_SLIP), {16, DLT_SLIP}, true},
    };
    for (const LinkFrame& l : links)
        cases.push_back({l.name, behind(l.link), kWholeFrame, l.layer, l.observed,
                         l.observed ? synAckSeen : Expected{}});
    // An IPv6 frame on links that carry no type: the version decides.
    cases.push_back({"slip_ipv6", frames::ipv6(linkHeader(DLT_SLIP), 6, tcp(555, 80, 0x02)),
                     kWholeFrame, LinkLayer{16, DLT_SLIP}, false, {}});
    cases.push_back({"raw_ipv6", frames::ipv6({}, 6, tcp(555, 80, 0x02)), kWholeFrame, kRawIp,
                     false, {}});

    // Tagged frames cut short: inside the outer type, inside a tag, before
    // the IPv4 header is whole; then with the header and part of TCP.
    const Bytes oneTag = behind(taggedEthernet({customer}));  // IPv4 at 18, TCP at 38
    const Bytes twoTags = behind(taggedEthernet({service, customer}));  // IPv4 at 22
    for (const uint32_t caplen : {12u, 13u, 14u, 15u, 16u, 17u, 18u, 37u})
        cases.push_back({"cut_tagged_at_" + std::to_string(caplen), oneTag, caplen, kEthernet,
                         false, {}});
    for (const uint32_t caplen : {18u, 19u, 20u, 21u, 22u, 41u})
        cases.push_back({"cut_double_tagged_at_" + std::to_string(caplen), twoTags, caplen,
                         kEthernet, false, {}});
    cases.push_back({"cut_tagged_at_end_of_ipv4_header", oneTag, 38, kEthernet, true,
                     {kSrc, kDst, zero, zero, 0, 6, 0, 40}});
    cases.push_back({"cut_tagged_after_ports", oneTag, 42, kEthernet, true,
                     {kSrc, kDst, {0x02, 0x2B}, {0x00, 0x50}, 0, 6, 0, 40}});
    cases.push_back({"cut_double_tagged_after_flags", twoTags, 22 + 34, kEthernet, true,
                     synAckSeen});
    // The tag of the frame measured on a trunk port: 68 bytes captured of
    // a tagged UDP datagram, every field inside the snapshot.
    cases.push_back({"tagged_udp_in_snapshot", frame(taggedEthernet({{0x8100, 0x4064}}),
                     ipv4(17), udp(4000, 53, Bytes(100, 0x42))), 68, kEthernet, true,
                     {kSrc, kDst, {0x0F, 0xA0}, {0x00, 0x35}, 0, 17, 0, 128}});
    cases.push_back({"cut_cooked_inside_protocol", behind(linkHeader(DLT_LINUX_SLL)), 15, kCooked,
                     false, {}});
    cases.push_back({"cut_cooked_v2_inside_protocol", behind(linkHeader(DLT_LINUX_SLL2)), 1, sll2,
                     false, {}});
    cases.push_back({"cut_null_inside_family", behind(linkHeader(DLT_NULL)), 3, {4, DLT_NULL},
                     false, {}});
    cases.push_back({"cut_ppp_inside_protocol", behind(linkHeader(DLT_PPP)), 3, {4, DLT_PPP},
                     false, {}});
    cases.push_back({"cut_fddi_inside_snap_type", behind(linkHeader(DLT_FDDI)), 20,
                     {21, DLT_FDDI}, false, {}});
    return cases;
}
// clang-format on

class Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, OneFrameGivesOneObservation) {
    const DecodeCase& c = GetParam();
    const std::optional<FlowObservation> seen = decode(c.frame, c.caplen, c.link);
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
// known type a frame behind a real link header of that type decodes.
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
    const Bytes link = linkHeader(c.linkType);
    ASSERT_EQ(link.size(), size_t(offset));
    deliver(frame(link, ipv4(6), tcp(555, 80, 0x12)), kSec, 0, kWholeFrame,
            LinkLayer{offset, c.linkType});
    ASSERT_EQ(tables.flows.size(), 1u);
    EXPECT_EQ(tables.flows.root()->srcAddr, wireAddr(kSrc));
    EXPECT_EQ(tables.flows.root()->dstAddr, wireAddr(kDst));
    EXPECT_EQ(fieldBytes(tables.flows.root()->dstPort), (Pair{0x00, 0x50}));
    EXPECT_EQ(tables.flows.root()->tcpFlags, 0x12);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkOffset, testing::ValuesIn(linkCases()), CaseName());

}  // namespace
