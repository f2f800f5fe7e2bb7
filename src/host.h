// HostRecord: one destination IPv4 address, the node type of the host table.
//
// Key: `addr`, the four wire bytes. Order: `addr` loaded little-endian as an
// unsigned 32-bit number, so the last octet is the most significant and
// 192.0.2.1 < 198.51.100.1 < 192.0.2.2.
//
// Two rules share the one `windowStart`: a rule that closes the window
// resets only its own counter but moves the start for both.
#ifndef SURGEWATCH_HOST_H
#define SURGEWATCH_HOST_H

#include <cstddef>
#include <cstdint>

#include "tree.h"

// The order of destination addresses: the four wire bytes of `addr` loaded
// little-endian, so that the last octet is the most significant.
inline uint32_t addressOrder(uint32_t addr) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

struct HostRecord {
    uint32_t addr;           // wire order
    uint32_t flows;          // new flows since the flows rule last closed the window
    uint32_t packets;        // known-flow packets since the packets rule last closed it
    int64_t lastFlowTime;    // packet time of the latest new flow; 0 while none
    int64_t lastPacketTime;  // packet time of the latest known-flow packet; 0 while none
    int64_t windowStart;     // start of the window both rules measure from
    HostRecord* left;        // owned: smaller addresses
    HostRecord* right;       // owned: greater addresses
    HostRecord* parent;      // not owned; null at the root

    using PrintResult = void;
    static constexpr const char* kSweepReport = "Host cleanup took %2.5f seconds (%u -> %u)\n";

    // Builds a record from one host observation: exactly one of the two
    // times is the packet's time, the other 0. Both counters start at 1 and
    // the window at 0, so the first merge closes it.
    HostRecord(uint32_t addr, int64_t flowTime, int64_t packetTime);
    // Frees the left subtree, then the right one.
    ~HostRecord();
    HostRecord(const HostRecord&) = delete;
    HostRecord& operator=(const HostRecord&) = delete;

    // Records come from a pool of their own (pool.h): no allocator header,
    // one cache line per record.
    static void* operator new(size_t size);
    static void operator delete(void* address) noexcept;

    // The ordering key: addr loaded little-endian.
    uint32_t order() const { return addressOrder(addr); }

    // Folds the observation carried by `incoming` (same address) into this
    // record: the flows rule (above 100 new flows/s) when it carries a flow
    // time, then the packets rule (above 5000 packets/s) when it carries a
    // packet time.
    void merge(const HostRecord& incoming);

    // Writes "Host: A flows: N speed: S flows/sec".
    void printListing() const;
};

inline bool operator==(const HostRecord& a, const HostRecord& b) { return a.addr == b.addr; }
inline bool operator<(const HostRecord& a, const HostRecord& b) { return a.order() < b.order(); }
inline bool operator>(const HostRecord& a, const HostRecord& b) { return a.order() > b.order(); }

// Sweep predicate: true when neither a new flow nor a known-flow packet came
// for more than 30 seconds of packet time, or when the latest new flow
// closed the window (flows 0).
bool hostExpired(const HostRecord& record);

using HostTable = SearchTree<HostRecord>;

#endif
