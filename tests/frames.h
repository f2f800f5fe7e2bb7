// Test helpers for the packet path: IPv4 frames built byte by byte, handed to
// the decoder or to onPacket from a heap buffer of exactly the captured
// length (so that the address sanitizer catches any read past caplen), and
// fresh tables installed as the packet handler's globals for one test.
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

#include "decode.h"
#include "main.h"

namespace frames {

using Bytes = std::vector<uint8_t>;
using Addr = std::array<uint8_t, 4>;

// The four wire bytes of an address, as the records hold them.
inline uint32_t wireAddr(const Addr& a) {
    uint32_t value;
    std::memcpy(&value, a.data(), 4);
    return value;
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

// `linkBytes` bytes of link-layer header (never looked at), then the IPv4
// header, then `transport`.
inline Bytes frame(size_t linkBytes, const Ip& ip, const Bytes& transport) {
    const size_t headerBytes = std::max<size_t>(20, 4u * ip.headerWords);
    Bytes b(linkBytes, 0xEE);
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
                                             int32_t linkOffset = 14) {
    if (caplen == kWholeFrame) caplen = uint32_t(bytes.size());
    return decodeFrame(capturedCopy(bytes, caplen).get(), caplen, linkOffset);
}

// Hands the first `caplen` bytes of `bytes` to onPacket, as libpcap would
// after capturing them at sec.usec with the given link offset.
inline void deliver(const Bytes& bytes, int64_t sec, int64_t usec = 0,
                    uint32_t caplen = kWholeFrame, int32_t linkOffset = 14) {
    if (caplen == kWholeFrame) caplen = uint32_t(bytes.size());
    std::unique_ptr<u_char[]> captured = capturedCopy(bytes, caplen);
    pcap_pkthdr header{};
    header.ts.tv_sec = sec;
    header.ts.tv_usec = usec;
    header.caplen = caplen;
    header.len = uint32_t(bytes.size());
    onPacket(reinterpret_cast<u_char*>(&linkOffset), &header, captured.get());
}

// Installs empty tables as g_flowTable and g_hostTable and resets the packet
// clock; puts back whatever was there before when it goes.
class InstalledTables {
public:
    InstalledTables()
        : savedFlows_(g_flowTable), savedHosts_(g_hostTable), savedClock_(g_packetTime) {
        g_flowTable = &flows;
        g_hostTable = &hosts;
        g_packetTime = 0;
    }
    ~InstalledTables() {
        g_flowTable = savedFlows_;
        g_hostTable = savedHosts_;
        g_packetTime = savedClock_;
    }
    InstalledTables(const InstalledTables&) = delete;
    InstalledTables& operator=(const InstalledTables&) = delete;

    FlowTable flows;
    HostTable hosts;

private:
    FlowTable* savedFlows_;
    HostTable* savedHosts_;
    int64_t savedClock_;
};

}  // namespace frames

#endif
