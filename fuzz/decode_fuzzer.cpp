// libFuzzer target: the decoder alone, on any bytes at any link offset of
// any link type.
//
// Input: bytes 0-3 the link offset (little-endian, any 32-bit value), byte
// 4 the link type (DLT_* number), the rest the captured frame, in a buffer
// of exactly its size so that any read past caplen is a heap overflow that
// AddressSanitizer reports. Besides memory safety, what the decoder answers
// must be consistent with the frame: an observation only when the link
// header leads to 20 captured IPv4 bytes whose version is 4, never before
// the base offset nor more than two tags past it,
// addresses and the type of service taken from them, and no transport
// field for a fragment or a protocol without one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    LinkLayer link;
    memcpy(&link.offset, data, 4);
    link.type = data[4];
    const uint32_t caplen = uint32_t(size - 5);
    std::unique_ptr<u_char[]> frame(new u_char[caplen]);
    memcpy(frame.get(), data + 5, caplen);

    const std::optional<FlowObservation> seen = decodeFrame(frame.get(), caplen, link);
    const int64_t start = decode_detail::ipv4Start(frame.get(), caplen, link);
    const bool headerCaptured = start >= 0 && uint64_t(start) + 20 <= caplen;
    const bool ipv4 = headerCaptured && frame[size_t(start)] >> 4 == 4;
    if (seen.has_value() != ipv4) abort();
    if (!seen) return 0;
    if (start < link.offset || start > int64_t(link.offset) + 8) abort();

    const u_char* ip = frame.get() + start;
    uint32_t src;
    uint32_t dst;
    memcpy(&src, ip + 12, 4);
    memcpy(&dst, ip + 16, 4);
    if (seen->srcAddr != src || seen->dstAddr != dst || seen->tos != ip[1]) abort();
    if (seen->length != uint32_t(ip[2] << 8 | ip[3])) abort();
    const bool fragment = ((ip[6] << 8 | ip[7]) & 0x3FFF) != 0;
    const uint8_t p = seen->protocol;
    if (fragment && (p != 0 || seen->srcPort != 0 || seen->dstPort != 0)) abort();
    if (p != 0 && p != 1 && p != 6 && p != 17) abort();
    if (p == 0 && (seen->srcPort != 0 || seen->dstPort != 0 || seen->tcpFlags != 0)) abort();
    if (p != 6 && seen->tcpFlags != 0) abort();
    return 0;
}
