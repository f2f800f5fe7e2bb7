#include "host.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "alert.h"
#include "clock.h"
#include "counts.h"
#include "pool.h"

static const char kFlowsFlood[] = "FLOOD: %d.%d.%d.%d - %.2f flows/s";
static const char kPacketsFlood[] = "FLOOD: %d.%d.%d.%d - %.2f packets/s";
constexpr double kHostFlowLimit = 100.0;     // new flows per second
constexpr double kHostPacketLimit = 5000.0;  // packets per second
constexpr int64_t kHostIdleSeconds = 30;

// The descent reads `addr`, then `left` or `right`.
using HostAllocator = RecordAllocator<HostRecord, offsetof(HostRecord, addr),
                                      offsetof(HostRecord, right) + sizeof(HostRecord*)>;

void* HostRecord::operator new(size_t size) { return HostAllocator::allocate(size); }

void HostRecord::operator delete(void* address) noexcept { HostAllocator::release(address); }

HostRecord::HostRecord(uint32_t addr, int64_t flowTime, int64_t packetTime)
    : addr(addr),
      flows(1),
      packets(1),
      lastFlowTime(flowTime),
      lastPacketTime(packetTime),
      windowStart(0),
      left(nullptr),
      right(nullptr),
      parent(nullptr) {}

HostRecord::~HostRecord() {
    freeSubtree(left);
    freeSubtree(right);
}

// A record's first window starts at 0, so that its first update closes it
// with a rate of 2 divided by the packet time, far below any limit. From
// 2^31 s on (2038-01-19) the low 32 bits of that time read negative, and the
// window would never close again: there the first update closes it
// outright, the same end without an alert.
constexpr int64_t kLow32Negative = int64_t(1) << 31;

// One rule of the shared window: counts the event at `time`, and when the
// window is longer than 5 seconds (low 32 bits, signed) closes it, alerting
// when the rate is above `limit`. The window start moves for both rules.
static void applyRule(HostRecord& host, uint32_t& counter, int64_t& lastTime, int64_t time,
                      double limit, const char* alertFormat) {
    ++counter;
    const int32_t elapsed = windowLength(host.windowStart, time);
    lastTime = time;
    // A closed window starts at the nonzero time of the update that closed
    // it, so a start of 0 is the record's first window.
    const bool firstWindowPast2038 = host.windowStart == 0 && time >= kLow32Negative;
    if (elapsed > kWindowSeconds || firstWindowPast2038) {
        if (elapsed > kWindowSeconds) {
            const double rate = double(counter) / double(elapsed);
            if (rate > limit) {
                const uint8_t* a = reinterpret_cast<const uint8_t*>(&host.addr);
                writeAlert(alertFormat, a[0], a[1], a[2], a[3], rate);
                if (g_secondCounts != nullptr) g_secondCounts->alerted(host.addr);
            }
        }
        counter = 0;
        host.windowStart = lastTime;
    }
}

void HostRecord::merge(const HostRecord& incoming) {
    if (incoming.lastFlowTime != 0)
        applyRule(*this, flows, lastFlowTime, incoming.lastFlowTime, kHostFlowLimit, kFlowsFlood);
    if (incoming.lastPacketTime != 0)
        applyRule(*this, packets, lastPacketTime, incoming.lastPacketTime, kHostPacketLimit,
                  kPacketsFlood);
}

bool hostExpired(const HostRecord& record) {
    if (secondsBetween(record.lastFlowTime, g_packetTime) > kHostIdleSeconds &&
        secondsBetween(record.lastPacketTime, g_packetTime) > kHostIdleSeconds)
        return true;
    return record.flows == 0;
}

void HostRecord::printListing() const {
    in_addr address;
    address.s_addr = addr;
    const int64_t span = secondsBetween(windowStart, lastFlowTime);
    const double speed = span == 0 ? 0.0 : double(flows) / double(span);
    printf("Host: %s flows: %d speed: %.3f flows/sec\n", inet_ntoa(address), int(flows), speed);
}
