// Test helpers for the packet path: IPv4 frames (and IPv6 ones, which must
// count nowhere) built byte by byte, behind a real link header or filler,
// handed to the decoder or to onPacket from a heap buffer of exactly the
// captured length (so that the address sanitizer catches any read past
// caplen), the packet clock put back after a test, and fresh tables
// installed as the packet handler's globals for one test.
#ifndef SURGEWATCH_TESTS_FRAMES_H
#define SURGEWATCH_TESTS_FRAMES_H

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "batch.h"
#include "clock.h"
#include "decode.h"
#include "link_types.h"
#include "tables.h"

namespace frames {

using Bytes = std::vector<uint8_t>;
using Addr = std::array<uint8_t, 4>;

// The four wire bytes of an address, as the records hold them.
inline uint32_t wireAddr(const Addr& a) {
    uint32_t value;
    std::memcpy(&value, a.data(), 4);
    return value;
}

// A 16-bit field (a port) as the records hold it: in wire byte order.
inline uint16_t wire16(uint16_t value) {
    const uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
    uint16_t field;
    std::memcpy(&field, bytes, 2);
    return field;
}

// The two bytes of a 16-bit record field as they lie in memory.
inline std::array<uint8_t, 2> fieldBytes(uint16_t field) {
    std::array<uint8_t, 2> b;
    std::memcpy(b.data(), &field, 2);
    return b;
}

inline void putBe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

// The IPv4 header fields the tests vary. `headerWords` goes into the low
// nibble of byte 0 as it is; the builder always writes the 20 fixed bytes,
// followed by option bytes up to 4 x headerWords when that is longer.
struct Ip {
    uint8_t version = 4;
    uint8_t headerWords = 5;
    uint8_t tos = 0;
    uint16_t totalLength = 0;  // 0: the length of the built datagram
    uint16_t flagsFragment = 0;
    uint8_t protocol = 6;
    Addr src{192, 0, 2, 7};
    Addr dst{198, 51, 100, 5};
    uint8_t optionByte = 0x01;  // filler of the option words
};

// TCP header (20 bytes) with the flags in byte 13; the other bytes are
// nonzero so that a misplaced read shows.
inline Bytes tcp(uint16_t srcPort, uint16_t dstPort, uint8_t flags) {
    Bytes b(20, 0xA5);
    putBe16(b, 0, srcPort);
    putBe16(b, 2, dstPort);
    b[12] = 0x50;
    b[13] = flags;
    return b;
}

// UDP header (8 bytes) and `payload`.
inline Bytes udp(uint16_t srcPort, uint16_t dstPort, const Bytes& payload = {}) {
    Bytes b(8, 0);
    putBe16(b, 0, srcPort);
    putBe16(b, 2, dstPort);
    putBe16(b, 4, uint16_t(8 + payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// ICMP header (8 bytes): type, code, checksum, identifier, sequence.
inline Bytes icmp(uint8_t type, uint8_t code) {
    return Bytes{type, code, 0x12, 0x34, 0x00, 0x01, 0x00, 0x07};
}

// The link layers of the tests' frames.
constexpr LinkLayer kEthernet{14, DLT_EN10MB};
constexpr LinkLayer kRawIp{0, DLT_RAW};
constexpr LinkLayer kCooked{16, DLT_LINUX_SLL};

// A real link-layer header of `linkType` for a frame of `etherType`, as a
// capture file holds it and a filter reads it: Ethernet, Linux cooked v1
// and v2, and, for 0x0800 (anything else: a type that is not IPv4), the
// null and loopback address family, PPP, FDDI and Token Ring with LLC/SNAP;
// nothing for raw IP, SLIP's 16 bytes of compression history. Its length is
// the link offset of that type.
inline Bytes linkHeader(int linkType, uint16_t etherType = 0x0800) {
    const uint8_t hi = uint8_t(etherType >> 8), lo = uint8_t(etherType);
    const bool ipv4 = etherType == 0x0800;
    switch (linkType) {
        case DLT_EN10MB: return {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, hi, lo};
        case DLT_LINUX_SLL:
            // packet type, ARPHRD_ETHER, address length 6, address padded to 8,
            // protocol
            return {0, 0, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 2, 0, 0, hi, lo};
        case DLT_LINUX_SLL2:
            // protocol, reserved, interface index 2, ARPHRD_ETHER, packet type,
            // address length 6, address padded to 8 (tcpdump -i any)
            return {hi, lo, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 2, 0, 0};
        case DLT_NULL:
            return {uint8_t(ipv4 ? 2 : 24), 0, 0, 0};  // AF_INET, AF_INET6: little-endian
        case DLT_LOOP: return {0, 0, 0, uint8_t(ipv4 ? 2 : 24)};               // network order
        case DLT_PPP: return {0xFF, 0x03, 0x00, uint8_t(ipv4 ? 0x21 : 0x57)};  // IPv4, IPv6
        case DLT_FDDI:
            // frame control, destination, source, LLC (AA AA 03), OUI 0, type
            return {0x50, 2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0xAA, 0xAA, 3, 0, 0, 0, hi, lo};
        case DLT_IEEE802:
            // access control, frame control, destination, source, LLC/SNAP
            return {0x10, 0x40, 2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0xAA, 0xAA, 3, 0, 0, 0, hi, lo};
        case DLT_SLIP: return Bytes(16, 0);
        default: return {};
    }
}

// An 802.1Q (0x8100) or 802.1ad (0x88A8) tag as it stands in front of the
// type it carries: the tag's type, then its control word (priority in the
// top three bits, the VLAN id in the low twelve).
struct Tag {
    uint16_t type;
    uint16_t control;
};

// An Ethernet header with `tags` after the addresses, outermost first, and
// then `etherType`.
inline Bytes taggedEthernet(const std::vector<Tag>& tags, uint16_t etherType = 0x0800) {
    Bytes b{0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2};
    for (const Tag& t : tags)
        b.insert(b.end(), {uint8_t(t.type >> 8), uint8_t(t.type), uint8_t(t.control >> 8),
                           uint8_t(t.control)});
    b.insert(b.end(), {uint8_t(etherType >> 8), uint8_t(etherType)});
    return b;
}

// `link`, then the IPv4 header, then `transport`.
inline Bytes frame(const Bytes& link, const Ip& ip, const Bytes& transport) {
    const size_t headerBytes = std::max<size_t>(20, 4u * ip.headerWords);
    Bytes b = link;
    const size_t at = b.size();
    b.resize(at + headerBytes, ip.optionByte);
    b[at] = uint8_t(ip.version << 4 | (ip.headerWords & 0x0F));
    b[at + 1] = ip.tos;
    putBe16(b, at + 2,
            ip.totalLength != 0 ? ip.totalLength : uint16_t(headerBytes + transport.size()));
    putBe16(b, at + 4, 0x1C46);  // identification
    putBe16(b, at + 6, ip.flagsFragment);
    b[at + 8] = 64;  // TTL
    b[at + 9] = ip.protocol;
    putBe16(b, at + 10, 0xBEEF);  // checksum, never verified
    std::memcpy(&b[at + 12], ip.src.data(), 4);
    std::memcpy(&b[at + 16], ip.dst.data(), 4);
    b.insert(b.end(), transport.begin(), transport.end());
    return b;
}

// `linkBytes` bytes of link-layer filler, then the IPv4 header, then
// `transport`. The filler's last two bytes hold the type 0x0800, where
// Ethernet (14 bytes) and cooked captures (16) look for it.
inline Bytes frame(size_t linkBytes, const Ip& ip, const Bytes& transport) {
    Bytes link(linkBytes, 0xEE);
    if (linkBytes >= 2) putBe16(link, linkBytes - 2, 0x0800);
    return frame(link, ip, transport);
}

// `link`, then an IPv6 header from fe80::1 to fe80::2 with `nextHeader`,
// then `transport`.
inline Bytes ipv6(const Bytes& link, uint8_t nextHeader, const Bytes& transport) {
    Bytes b = link;
    const size_t at = b.size();
    b.resize(at + 40, 0);
    b[at] = 0x60;
    putBe16(b, at + 4, uint16_t(transport.size()));
    b[at + 6] = nextHeader;
    b[at + 7] = 64;  // hop limit
    for (size_t address : {at + 8, at + 24}) {
        b[address] = 0xFE;
        b[address + 1] = 0x80;
    }
    b[at + 23] = 1;
    b[at + 39] = 2;
    b.insert(b.end(), transport.begin(), transport.end());
    return b;
}

constexpr uint32_t kWholeFrame = UINT32_MAX;

// The first `caplen` bytes of `bytes` in a heap buffer of exactly that
// size, so that the address sanitizer catches any read past caplen.
inline std::unique_ptr<u_char[]> capturedCopy(const Bytes& bytes, uint32_t caplen) {
    std::unique_ptr<u_char[]> captured(new u_char[caplen]);
    std::memcpy(captured.get(), bytes.data(), std::min<size_t>(caplen, bytes.size()));
    return captured;
}

// decodeFrame on the first `caplen` bytes of `bytes`.
inline std::optional<FlowObservation> decode(const Bytes& bytes, uint32_t caplen = kWholeFrame,
                                             LinkLayer link = kEthernet) {
    if (caplen == kWholeFrame) caplen = uint32_t(bytes.size());
    return decodeFrame(capturedCopy(bytes, caplen).get(), caplen, link);
}

// Hands the first `caplen` bytes of `bytes` to onPacket, as libpcap would
// after capturing them at sec.usec on the given link layer.
inline void deliver(const Bytes& bytes, int64_t sec, int64_t usec = 0,
                    uint32_t caplen = kWholeFrame, LinkLayer link = kEthernet) {
    if (caplen == kWholeFrame) caplen = uint32_t(bytes.size());
    std::unique_ptr<u_char[]> captured = capturedCopy(bytes, caplen);
    pcap_pkthdr header{};
    header.ts.tv_sec = sec;
    header.ts.tv_usec = usec;
    header.caplen = caplen;
    header.len = uint32_t(bytes.size());
    onPacket(reinterpret_cast<u_char*>(&link), &header, captured.get());
}

// Puts the packet clock back as it was when it goes.
class SavedClock {
public:
    SavedClock() : saved_(g_packetTime) {}
    ~SavedClock() { g_packetTime = saved_; }
    SavedClock(const SavedClock&) = delete;
    SavedClock& operator=(const SavedClock&) = delete;

private:
    int64_t saved_;
};

// Installs empty tables as g_flowTable and g_hostTable and resets the packet
// clock; puts back whatever was there before when it goes.
class InstalledTables {
public:
    InstalledTables() : savedFlows_(g_flowTable), savedHosts_(g_hostTable) {
        g_flowTable = &flows;
        g_hostTable = &hosts;
        g_packetTime = 0;
    }
    ~InstalledTables() {
        g_flowTable = savedFlows_;
        g_hostTable = savedHosts_;
    }
    InstalledTables(const InstalledTables&) = delete;
    InstalledTables& operator=(const InstalledTables&) = delete;

    FlowTable flows;
    HostTable hosts;

private:
    SavedClock savedClock_;
    FlowTable* savedFlows_;
    HostTable* savedHosts_;
};

}  // namespace frames

#endif
