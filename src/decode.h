// The packet decoder: one captured frame in, one flow observation out. It
// reads the IPv4 header and the first transport bytes in place, never past
// the captured length, and touches no state: the packet clock and the
// tables are the packet work's business (batch.h).
#ifndef SURGEWATCH_DECODE_H
#define SURGEWATCH_DECODE_H

#include <netinet/in.h>
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

namespace decode_detail {
inline uint16_t loadBe16(const u_char* p) { return uint16_t(p[0] << 8 | p[1]); }
}  // namespace decode_detail

// Decodes the frame whose first `caplen` bytes are at `frame`, with its
// IPv4 header `offset` bytes in. Answers nothing for a frame too short for
// the 20 fixed bytes of the IPv4 header (or a negative offset), and for one
// whose version nibble is not 4; such a frame still moves the packet clock,
// but counts nowhere.
inline std::optional<FlowObservation> decodeFrame(const u_char* frame, uint32_t caplen,
                                                  int32_t offset) {
    using decode_detail::loadBe16;
    // The sum is taken in 64 bits so that no offset can wrap it.
    if (offset < 0 || uint64_t(caplen) < uint64_t(offset) + 20) return std::nullopt;
    const u_char* ip = frame + offset;
    // The link header is never looked at, so a filter that lets IPv6 (or
    // ARP, or a VLAN tag) through hands over frames that are not IPv4 at
    // this offset: read as IPv4 they would be nonsense flows, and floods of
    // them alerts for addresses nobody sent to.
    if ((ip[0] >> 4) != 4) return std::nullopt;
    const uint32_t captured = caplen - uint32_t(offset);  // bytes from ip on

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
