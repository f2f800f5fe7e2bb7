#include "batch.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "clock.h"
#include "decode.h"
#include "tables.h"

PacketBatch::PacketBatch(LinkLayer link, size_t capacity, uint32_t walkFrom)
    : link_(link),
      capacity_(capacity < 1              ? 1
                : capacity > kMaxCapacity ? kMaxCapacity
                                          : capacity),
      walkFrom_(walkFrom) {}

size_t PacketBatch::capacityFor(pcap_t* handle) {
    FILE* file = pcap_file(handle);
    struct stat status;
    if (file == nullptr || fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return 1;
    return kDefaultCapacity;
}

PacketBatch::~PacketBatch() {
    for (size_t i = 0; i < size_; ++i) delete entries_[i].record;
}

void PacketBatch::collect(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    PacketBatch& batch = *reinterpret_cast<PacketBatch*>(user);
    Entry& entry = batch.entries_[batch.size_];
    entry.time = int64_t(header->ts.tv_sec) & batch.secondsMask_;
    entry.record = nullptr;
    const std::optional<FlowObservation> seen = decodeFrame(bytes, header->caplen, batch.link_);
    if (seen) {
        entry.record = buildRecord(*seen, entry.time);
        batch.keys_[batch.keyCount_++] = entry.record;
    }
    if (++batch.size_ == batch.capacity_) batch.apply();
}

void PacketBatch::apply() {
    // The walks leave, for each record, the last node of its path they
    // reached; the insert starts there, unless a record was removed since
    // (a sweep run by the per-packet step), which may have changed paths.
    const bool walked = keyCount_ > 0 && g_flowTable->size() >= walkFrom_;
    if (walked) walkSteps_ += g_flowTable->walkAhead(keys_, keyCount_, found_);
    const uint64_t removals = g_flowTable->removals();
    keyCount_ = 0;
    size_t key = 0;
    for (size_t i = 0; i < size_; ++i) {
        Entry& entry = entries_[i];
        g_packetTime = entry.time;
        if (entry.record != nullptr) {
            FlowRecord* record = entry.record;
            entry.record = nullptr;  // the tables own it now
            FlowRecord* from =
                walked && g_flowTable->removals() == removals ? found_[key] : nullptr;
            ++key;
            countObservation(record, entry.time, from);
        }
        if (afterPacket_ != nullptr) afterPacket_(context_);
    }
    size_ = 0;
}

int PacketBatch::dispatch(pcap_t* handle, int count) {
    const int status = pcap_dispatch(handle, count, collect, reinterpret_cast<u_char*>(this));
    apply();
    return status;
}

void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    LinkLayer link;
    memcpy(&link, user, sizeof link);
    const int64_t time = header->ts.tv_sec;
    g_packetTime = time;

    const std::optional<FlowObservation> seen = decodeFrame(bytes, header->caplen, link);
    if (!seen) return;
    // The tables take the record over, as they do from a batch.
    countObservation(buildRecord(*seen, time), time);
}
