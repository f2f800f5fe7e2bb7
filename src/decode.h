// The packet decoder: one captured frame in, one flow observation out. It
// reads the IPv4 header and the first transport bytes in place, never past
// the captured length, and touches no state: the packet clock and the
// tables are the packet work's business (batch.h).
#ifndef SURGEWATCH_DECODE_H
#define SURGEWATCH_DECODE_H

#include <netinet/in.h>
#include <pcap/dlt.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <optional>

// What one frame tells the flow table, in the order of the FlowRecord
// fields; the packet time, the last value of an observation, is the
// clock's. Addresses hold the four wire bytes. For TCP and UDP the ports
// hold their two wire bytes unchanged (network byte order); for ICMP
// srcPort is the type and dstPort the code, as numbers; otherwise, and for
// every fragment, both are 0, and so are tcpFlags and protocol.
struct FlowObservation {
    uint32_t srcAddr;
    uint32_t dstAddr;
    uint16_t srcPort;
    uint16_t dstPort;
    uint8_t tcpFlags;
    uint8_t protocol;  // 6, 17, 1, or 0 for anything else and fragments
    uint8_t tos;
    uint32_t length;  // the IPv4 total length, host order
};

// The link layer of a capture: its type and the bytes in front of the
// IPv4 header of an untagged frame (the base offset start-up prints). Both
// are fixed for the capture's life; the capture loops hand the decoder a
// copy of the one start-up made, so the per-frame cost is a switch on the
// type.
struct LinkLayer {
    int32_t offset;
    int32_t type;  // DLT_*
};

namespace decode_detail {
inline uint16_t loadBe16(const u_char* p) { return uint16_t(p[0] << 8 | p[1]); }

constexpr uint16_t kTypeIpv4 = 0x0800;
constexpr uint16_t kTypeVlan = 0x8100;      // 802.1Q customer tag
constexpr uint16_t kTypeQinQ = 0x88A8;      // 802.1ad service tag
constexpr unsigned kMostTags = 2;           // service tag, then customer tag
constexpr uint16_t kPppIpv4 = 0x0021;       // PPP protocol number of IPv4
constexpr uint32_t kAddressFamilyInet = 2;  // AF_INET as the capture wrote it

// Where the IPv4 header starts behind a link header with an EtherType-style
// field at `typeAt` and the payload at `payloadAt` (Ethernet, cooked
// captures): a type of 0x0800 says IPv4; up to two 802.1Q / 802.1ad tags
// are stepped over, each with its inner type in its last two bytes. Linux
// takes the outer tag off the frame before the filter runs and libpcap puts
// it back in front of the type field, so a trunk port hands over exactly
// this. Any other type, or a frame cut before the type that decides:
// negative, the frame carries no IPv4 here.
inline int64_t afterTypes(const u_char* frame, uint32_t caplen, uint32_t typeAt,
                          uint32_t payloadAt) {
    for (unsigned tags = 0;; ++tags) {
        if (uint64_t(typeAt) + 2 > caplen) return -1;
        const uint16_t type = loadBe16(frame + typeAt);
        if (type == kTypeIpv4) return payloadAt;
        if ((type != kTypeVlan && type != kTypeQinQ) || tags == kMostTags) return -1;
        // The tag's control word, then the type of what it carries.
        typeAt = payloadAt + 2;
        payloadAt += 4;
    }
}

// Where the IPv4 header starts in this frame, or negative when the link
// header says the frame carries something else (or is cut before it says).
// Raw IP and SLIP have no such field: the version nibble decides alone.
inline int64_t ipv4Start(const u_char* frame, uint32_t caplen, LinkLayer link) {
    if (link.offset < 0) return -1;
    const uint32_t offset = uint32_t(link.offset);
    switch (link.type) {
        case DLT_EN10MB:  // destination, source, type
            return afterTypes(frame, caplen, 12, offset);
        case DLT_LINUX_SLL:  // the protocol closes the 16-byte header
            return afterTypes(frame, caplen, 14, offset);
        case DLT_LINUX_SLL2:  // the protocol opens the 20-byte header
            return afterTypes(frame, caplen, 0, offset);
        case DLT_NULL: {  // AF_INET in the capturing machine's byte order
            if (caplen < 4) return -1;
            const uint32_t family = uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 |
                                    uint32_t(frame[2]) << 8 | frame[3];
            return family == kAddressFamilyInet || family == __builtin_bswap32(kAddressFamilyInet)
                       ? offset
                       : -1;
        }
        case DLT_LOOP:  // AF_INET in network byte order
            if (caplen < 4) return -1;
            return frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 2 ? offset : -1;
        case DLT_PPP:  // address, control, protocol
            if (caplen < 4) return -1;
            return loadBe16(frame + 2) == kPppIpv4 ? offset : -1;
        case DLT_FDDI:     // the SNAP type ends the LLC/SNAP header
        case DLT_IEEE802:  // Token Ring: the same
            if (caplen < offset) return -1;
            return offset >= 2 && loadBe16(frame + offset - 2) == kTypeIpv4 ? offset : -1;
        default:  // DLT_RAW, DLT_SLIP
            return offset;
    }
}
}  // namespace decode_detail

// Decodes the frame whose first `caplen` bytes are at `frame`, captured on
// `link`. Answers nothing when the link header says the frame is not IPv4
// (another EtherType, more than two tags, another address family or PPP
// protocol), for a frame too short for the link fields that decide or for
// the 20 fixed bytes of the IPv4 header, and for one whose version nibble
// is not 4; such a frame still moves the packet clock, but counts nowhere.
inline std::optional<FlowObservation> decodeFrame(const u_char* frame, uint32_t caplen,
                                                  LinkLayer link) {
    using decode_detail::loadBe16;
    const int64_t start = decode_detail::ipv4Start(frame, caplen, link);
    // The sum is taken in 64 bits so that no offset can wrap it.
    if (start < 0 || uint64_t(caplen) < uint64_t(start) + 20) return std::nullopt;
    const u_char* ip = frame + start;
    // Raw IP and SLIP say nothing of what they carry, and a filter that lets
    // IPv6 through hands such frames over: read as IPv4 they would be
    // nonsense flows, and floods of them alerts for addresses nobody sent
    // to. Elsewhere a link type that says IPv4 over a header that is not
    // version 4 is damage, and counts nowhere either.
    if ((ip[0] >> 4) != 4) return std::nullopt;
    const uint32_t captured = caplen - uint32_t(start);  // bytes from ip on

    FlowObservation o;
    o.tos = ip[1];
    o.length = loadBe16(ip + 2);
    memcpy(&o.srcAddr, ip + 12, 4);
    memcpy(&o.dstAddr, ip + 16, 4);
    o.srcPort = 0;
    o.dstPort = 0;
    o.tcpFlags = 0;
    o.protocol = 0;

    // More-fragments or a fragment offset: no transport header to trust, not
    // even in the first fragment.
    const bool fragment = (loadBe16(ip + 6) & 0x3FFF) != 0;
    if (fragment) return o;

    // The header length is used as it stands, even below 5 words. A
    // transport field not wholly captured (long options, a short frame)
    // reads as 0 and the packet still counts.
    const uint32_t transport = 4u * (ip[0] & 0x0F);
    auto present = [&](uint32_t end) { return transport + end <= captured; };
    const u_char* t = ip + transport;
    switch (ip[9]) {
        case IPPROTO_TCP:
            o.protocol = IPPROTO_TCP;
            if (present(2)) memcpy(&o.srcPort, t, 2);  // wire order kept
            if (present(4)) memcpy(&o.dstPort, t + 2, 2);
            if (present(14)) o.tcpFlags = t[13];
            break;
        case IPPROTO_UDP:
            o.protocol = IPPROTO_UDP;
            if (present(2)) memcpy(&o.srcPort, t, 2);
            if (present(4)) memcpy(&o.dstPort, t + 2, 2);
            break;
        case IPPROTO_ICMP:
            o.protocol = IPPROTO_ICMP;
            if (present(1)) o.srcPort = t[0];  // type, as a number
            if (present(2)) o.dstPort = t[1];  // code, as a number
            break;
        default: break;
    }
    return o;
}

#endif
