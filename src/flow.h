// FlowRecord: one directional IPv4 flow, the node type of the flow table.
//
// Key: srcAddr, dstAddr, srcPort, dstPort, the first 12 bytes of the record
// with nothing between them. Addresses hold the four wire bytes unchanged.
// For TCP and UDP the ports hold the two wire bytes unchanged (network byte
// order); for ICMP srcPort holds the type and dstPort the code as host-order
// numbers; for anything else, fragments included, both are 0. The protocol
// is not part of the key.
//
// Order: by `digest`, the MD4 of the 12 key bytes, read as four 32-bit words
// loaded little-endian and compared word by word as unsigned numbers. This
// is not the bytewise order of the digest.
#ifndef SURGEWATCH_FLOW_H
#define SURGEWATCH_FLOW_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tree.h"

struct FlowRecord {
    uint32_t srcAddr;     // wire order
    uint32_t dstAddr;     // wire order
    uint16_t srcPort;     // wire bytes (TCP, UDP) or ICMP type
    uint16_t dstPort;     // wire bytes (TCP, UDP) or ICMP code
    uint32_t packets;     // packets in the current rate window
    uint32_t bytes;       // sum of IPv4 total lengths, modulo 2^32
    int64_t firstSeen;    // packet time of the first packet
    int64_t lastSeen;     // packet time of the latest packet
    uint8_t tcpFlags;     // of the first packet
    uint8_t protocol;     // of the first packet: 6, 17, 1 or 0
    uint8_t tos;          // of the first packet
    int64_t windowStart;  // packet time at which the rate window opened
    uint8_t digest[16];   // MD4 of the key, as MD4 outputs it
    FlowRecord* left;     // owned: smaller digests
    FlowRecord* right;    // owned: greater digests
    FlowRecord* parent;   // not owned; null at the root

    using PrintResult = uint32_t;
    static constexpr const char* kSweepReport = "Flow cleanup took %2.5f seconds (%u -> %u)\n";

    // Builds a record from one flow observation and computes its digest.
    FlowRecord(uint32_t srcAddr, uint32_t dstAddr, uint16_t srcPort, uint16_t dstPort,
               uint8_t tcpFlags, uint8_t protocol, uint8_t tos, uint32_t length, int64_t time);
    // Frees the left subtree, then the right one.
    ~FlowRecord();
    FlowRecord(const FlowRecord&) = delete;
    FlowRecord& operator=(const FlowRecord&) = delete;

    // Records come from a pool of their own (pool.h): no allocator header,
    // and `digest` with the child links in one cache line of every record.
    static void* operator new(size_t size);
    static void operator delete(void* address) noexcept;

    // Digest word i (0 to 3): digest bytes 4i..4i+3, little-endian.
    uint32_t digestWord(int i) const {
        uint32_t word;
        memcpy(&word, digest + 4 * i, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap32(word);
#endif
        return word;
    }

    // Counts one more packet of this flow (carried by `incoming`, which has
    // the same digest) and applies the packet-rate rule: a window of more
    // than 5 seconds above 2000 packets/s raises the flow flood alert.
    void merge(const FlowRecord& incoming);

    // Writes an empty line, the 12 key bytes in hex, two blanks and the four
    // digest words in hex.
    void printListing() const;
};

// Digest words 2p and 2p+1 as one 64-bit number, word 2p in the high half:
// comparing pair 0, then pair 1, compares the four words in order.
inline uint64_t digestPair(const FlowRecord& record, int p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // One load puts word 2p in the low half: swap the halves.
    uint64_t pair;
    memcpy(&pair, record.digest + 8 * p, 8);
    return pair << 32 | pair >> 32;
#else
    return uint64_t(record.digestWord(2 * p)) << 32 | record.digestWord(2 * p + 1);
#endif
}

inline bool operator==(const FlowRecord& a, const FlowRecord& b) {
    return digestPair(a, 0) == digestPair(b, 0) && digestPair(a, 1) == digestPair(b, 1);
}

inline bool operator<(const FlowRecord& a, const FlowRecord& b) {
    const uint64_t a0 = digestPair(a, 0);
    const uint64_t b0 = digestPair(b, 0);
    return a0 != b0 ? a0 < b0 : digestPair(a, 1) < digestPair(b, 1);
}

bool operator>(const FlowRecord& a, const FlowRecord& b);
bool operator<=(const FlowRecord& a, const FlowRecord& b);
bool operator>=(const FlowRecord& a, const FlowRecord& b);

// Sweep predicate: true once the flow has been idle for more than 20 seconds
// of packet time.
bool flowExpired(const FlowRecord& record);

using FlowTable = SearchTree<FlowRecord>;

#endif
