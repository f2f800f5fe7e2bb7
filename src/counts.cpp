#include "counts.h"

#include <algorithm>
#include <cstdio>

#include "alert.h"
#include "host.h"

SecondCounts* g_secondCounts = nullptr;

void SecondCounts::counted(uint32_t dstAddr, bool newFlow) {
    if (second_ == 0) return;
    const auto [at, added] = indexOf_.try_emplace(dstAddr, counts_.size());
    if (added) counts_.push_back({dstAddr, 0, 0});
    Count& count = counts_[at->second];
    ++(newFlow ? count.flows : count.packets);
}

void SecondCounts::flush() {
    if (counts_.empty()) return;
    std::sort(counts_.begin(), counts_.end(), [](const Count& a, const Count& b) {
        const uint64_t totalA = a.packets + a.flows;
        const uint64_t totalB = b.packets + b.flows;
        if (totalA != totalB) return totalA > totalB;
        return addressOrder(a.addr) < addressOrder(b.addr);
    });
    char stamp[kStampSize];
    formatPacketTime(second_, stamp);
    for (size_t i = 0; i < counts_.size(); ++i) {
        const Count& c = counts_[i];
        if (i >= busiest_ && alerted_.count(c.addr) == 0) continue;
        const uint8_t* a = reinterpret_cast<const uint8_t*>(&c.addr);
        printf("COUNT %s %u.%u.%u.%u %llu packets %llu flows\n", stamp, a[0], a[1], a[2], a[3],
               static_cast<unsigned long long>(c.packets),
               static_cast<unsigned long long>(c.flows));
    }
    counts_.clear();
    indexOf_.clear();
}
