#include "flow.h"

#include <netdb.h>
#include <openssl/md4.h>

#include <cstddef>
#include <cstdio>

#include "alert.h"
#include "clock.h"
#include "counts.h"
#include "pool.h"

// The key is hashed straight from the record: its four fields must lie
// first and back to back.
static_assert(offsetof(FlowRecord, srcAddr) == 0 && offsetof(FlowRecord, dstAddr) == 4 &&
                  offsetof(FlowRecord, srcPort) == 8 && offsetof(FlowRecord, dstPort) == 10,
              "the flow key is the record's first 12 bytes");
constexpr size_t kFlowKeySize = 12;

static const char kFlowFlood[] =
    "FLOOD: %d.%d.%d.%d - %.2f %s packets/s from %d.%d.%d.%d [DSCP %02X]";
constexpr double kFlowPacketLimit = 2000.0;  // packets per second
constexpr int64_t kFlowIdleSeconds = 20;

// The descent reads `digest`, then `left` or `right`.
using FlowAllocator = RecordAllocator<FlowRecord, offsetof(FlowRecord, digest),
                                      offsetof(FlowRecord, right) + sizeof(FlowRecord*)>;

void* FlowRecord::operator new(size_t size) { return FlowAllocator::allocate(size); }

void FlowRecord::operator delete(void* address) noexcept { FlowAllocator::release(address); }

FlowRecord::FlowRecord(uint32_t srcAddr, uint32_t dstAddr, uint16_t srcPort, uint16_t dstPort,
                       uint8_t tcpFlags, uint8_t protocol, uint8_t tos, uint32_t length,
                       int64_t time)
    : srcAddr(srcAddr),
      dstAddr(dstAddr),
      srcPort(srcPort),
      dstPort(dstPort),
      packets(1),
      bytes(length),
      firstSeen(time),
      lastSeen(time),
      tcpFlags(tcpFlags),
      protocol(protocol),
      tos(tos),
      windowStart(time),
      left(nullptr),
      right(nullptr),
      parent(nullptr) {
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
    if (g_secondCounts != nullptr) g_secondCounts->alerted(flow.dstAddr);
}

void FlowRecord::merge(const FlowRecord& incoming) {
    ++packets;
    lastSeen = incoming.lastSeen;
    bytes += incoming.bytes;
    const int32_t elapsed = windowLength(windowStart, lastSeen);
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
