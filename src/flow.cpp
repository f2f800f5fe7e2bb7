#include "flow.h"

#include <netdb.h>
#include <openssl/md4.h>

#include <cstddef>
#include <cstdio>

#include "alert.h"
#include "main.h"
#include "pool.h"

FlowTable* g_flowTable = nullptr;

// The key is hashed straight from the record: its four fields must lie
// first and back to back.
static_assert(offsetof(FlowRecord, srcAddr) == 0 && offsetof(FlowRecord, dstAddr) == 4 &&
                  offsetof(FlowRecord, srcPort) == 8 && offsetof(FlowRecord, dstPort) == 10,
              "the flow key is the record's first 12 bytes");
constexpr size_t kFlowKeySize = 12;

static const char kFlowFlood[] = "FLOOD: %d.%d.%d.%d - %.2f %s packets/s from %d.%d.%d.%d [DSCP %02X]";
constexpr double kFlowPacketLimit = 2000.0;  // packets per second
constexpr int32_t kWindowSeconds = 5;        // a window closes when longer than this
constexpr int64_t kFlowIdleSeconds = 20;

// The descent reads `digest`, then `left` or `right`: their bytes are the
// hot span that the pool keeps within one cache line.
constexpr size_t kFlowHotPhase =
    hotSpanPhase(sizeof(FlowRecord), alignof(FlowRecord), offsetof(FlowRecord, digest),
                 offsetof(FlowRecord, right) + sizeof(FlowRecord*));
static_assert(kFlowHotPhase < kCacheLine, "the digest and the child links fit one cache line");
using FlowPool = RecordPool<sizeof(FlowRecord), alignof(FlowRecord), kFlowHotPhase>;

#ifndef SURGEWATCH_ASAN
// Lives as long as the process, like the table: never destroyed, so no
// record can outlive it.
static FlowPool& flowPool() {
    static FlowPool* const pool = new FlowPool;
    return *pool;
}

void* FlowRecord::operator new(size_t) { return flowPool().allocate(); }

void FlowRecord::operator delete(void* address) noexcept { flowPool().release(address); }

#else
// With AddressSanitizer every record comes from the general allocator, so
// that use after free and leaks of records are reported in full.
void* FlowRecord::operator new(size_t size) { return ::operator new(size); }

void FlowRecord::operator delete(void* address) noexcept { ::operator delete(address); }
#endif

FlowRecord::FlowRecord(uint32_t srcAddr, uint32_t dstAddr, uint16_t srcPort, uint16_t dstPort,
                       uint8_t tcpFlags, uint8_t protocol, uint8_t tos, uint32_t length,
                       int64_t time)
    : srcAddr(srcAddr), dstAddr(dstAddr), srcPort(srcPort), dstPort(dstPort), packets(1),
      bytes(length), firstSeen(time), lastSeen(time), tcpFlags(tcpFlags), protocol(protocol),
      tos(tos), windowStart(time), left(nullptr), right(nullptr), parent(nullptr) {
// MD4 is deprecated in OpenSSL 3 but is what identifies a flow here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    MD4_CTX context;
    MD4_Init(&context);
    MD4_Update(&context, this, kFlowKeySize);
    MD4_Final(digest, &context);
#pragma GCC diagnostic pop
}

FlowRecord::~FlowRecord() {
    freeSubtree(left);
    freeSubtree(right);
}

bool operator>(const FlowRecord& a, const FlowRecord& b) { return !(a == b) && !(a < b); }
bool operator<=(const FlowRecord& a, const FlowRecord& b) { return a == b || a < b; }
bool operator>=(const FlowRecord& a, const FlowRecord& b) { return a == b || a > b; }

static void alertFlowFlood(const FlowRecord& flow, double rate) {
    const uint8_t* dst = reinterpret_cast<const uint8_t*>(&flow.dstAddr);
    const uint8_t* src = reinterpret_cast<const uint8_t*>(&flow.srcAddr);
    // The protocol database may lack the number (or be missing altogether):
    // the alert then names the protocol by its number.
    const protoent* entry = getprotobynumber(flow.protocol);
    char number[4];
    const char* name = entry != nullptr && entry->p_name != nullptr ? entry->p_name : nullptr;
    if (name == nullptr) {
        snprintf(number, sizeof number, "%u", unsigned(flow.protocol));
        name = number;
    }
    writeAlert(kFlowFlood, dst[0], dst[1], dst[2], dst[3], rate, name, src[0], src[1], src[2],
               src[3], flow.tos >> 2);
}

void FlowRecord::merge(const FlowRecord& incoming) {
    ++packets;
    lastSeen = incoming.lastSeen;
    bytes += incoming.bytes;
    // Times are compared on their low 32 bits, as a signed difference: a
    // packet older than the window start gives a negative length and never
    // closes the window.
    const int32_t elapsed = int32_t(uint32_t(uint64_t(lastSeen) - uint64_t(windowStart)));
    if (elapsed > kWindowSeconds) {
        const double rate = double(packets) / double(elapsed);
        if (rate > kFlowPacketLimit) alertFlowFlood(*this, rate);
        packets = 0;
        windowStart = lastSeen;
    }
}

bool flowExpired(const FlowRecord& record) {
    return secondsBetween(record.lastSeen, g_packetTime) > kFlowIdleSeconds;
}

void FlowRecord::printListing() const {
    const uint8_t* key = reinterpret_cast<const uint8_t*>(this);
    putchar('\n');
    for (size_t i = 0; i < kFlowKeySize; ++i) printf("%02x", key[i]);
    printf("  %08x%08x%08x%08x\n", digestWord(0), digestWord(1), digestWord(2), digestWord(3));
}
