// PacketBatch: the frames of a dispatch call, taken a few dozen at a time,
// so that the flow-tree descents of a batch wait for main memory together
// instead of one after the other.
//
// Under a flood of new flows the flow table holds a million records and
// more, most of them out of the processor's caches, and a descent is a
// chain of some 25 dependent loads from main memory. A batch goes in three
// steps:
//   1. collect: each frame, as libpcap hands it over, is decoded and its
//      flow record built, digest included (once per observation, as
//      always); the frame itself is not kept, it is valid only during the
//      handler call;
//   2. walk ahead: when the flow table is large enough for its records to
//      miss the caches, the descents that the batch's records will take are
//      walked side by side, one level per round, asking for each walk's next
//      record (SearchTree::walkAhead). The walks only read; each leaves the
//      last record of its path it reached;
//   3. apply: packet after packet, in the order of arrival, exactly the work
//      of onPacket: the packet clock, the insert of the built record, the
//      destination observation, and the caller's per-packet step (the
//      replay's sweep schedule). The insert's descent starts where the walk
//      ended: records linked in since (by earlier packets of the batch) are
//      new leaves and change no path, so that record is still on the path.
//      Once a record has been removed (a sweep run by the per-packet step),
//      the rest of the batch descends from the root.
// So the tables see the same operations in the same order as without the
// batch (onPacket, below, one packet at a time), and print the same alerts
// and reports.
#ifndef SURGEWATCH_BATCH_H
#define SURGEWATCH_BATCH_H

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

#include "decode.h"
#include "flow.h"

class PacketBatch {
public:
    // Frames per batch: enough walks to keep the processor's outstanding
    // misses busy, few enough that their lines stay in the second-level
    // cache until the apply step (docs/performance-flood.md).
    static constexpr size_t kDefaultCapacity = 64;
    static constexpr size_t kMaxCapacity = FlowTable::kWalkWidth;
    // A batch's walks go side by side in one SearchTree::walkAhead call,
    // which takes at most kWalkWidth of them.
    static_assert(kMaxCapacity <= FlowTable::kWalkWidth, "a batch is walked in one call");
    static_assert(kDefaultCapacity >= 1 && kDefaultCapacity <= kMaxCapacity,
                  "the default batch fits the walk");
    // Live flows from which the batch walks ahead: below, the table's
    // records are mostly in the caches and the walk costs more than it
    // saves (docs/performance-flood.md).
    static constexpr uint32_t kDefaultWalkFrom = 16384;
    static constexpr uint32_t kNeverWalk = UINT32_MAX;

    // kDefaultCapacity for a capture read from a regular file, 1 for
    // anything else (a pipe): a capture that may be still being written is
    // then applied packet by packet as it is read.
    static size_t capacityFor(pcap_t* handle);

    // Called after each packet's table work.
    using AfterPacket = void (*)(void* context);

    // Frames captured on `link`; a capacity of 1 to kMaxCapacity frames
    // (out of range: clamped).
    explicit PacketBatch(LinkLayer link, size_t capacity = kDefaultCapacity,
                         uint32_t walkFrom = kDefaultWalkFrom);
    // Frees the records of frames collected but never applied.
    ~PacketBatch();
    PacketBatch(const PacketBatch&) = delete;
    PacketBatch& operator=(const PacketBatch&) = delete;

    void setAfterPacket(AfterPacket afterPacket, void* context) {
        afterPacket_ = afterPacket;
        context_ = context;
    }

    // The libpcap handler; `user` points at the batch. Collects the frame
    // and applies the batch when it is full.
    static void collect(u_char* user, const pcap_pkthdr* header, const u_char* bytes);
    // Applies the frames collected so far: walk ahead, then apply in order.
    void apply();

    // One pcap_dispatch call on `handle` for up to `count` frames (-1: all
    // that libpcap has ready, or the whole rest of a file) through collect,
    // then the rest of the batch applied, on failure too: what the call
    // delivered is always counted before its result is looked at. Answers
    // what pcap_dispatch answered.
    int dispatch(pcap_t* handle, int count = -1);

    // A classic pcap file stores the seconds of a timestamp as an unsigned
    // 32-bit number, which libpcap widens with the sign for a file in this
    // machine's byte order: captures made after 2038-01-19 would replay
    // before 1970. With this set, the batch takes the 32 bits as unsigned
    // (for the seconds of such a file, which never exceed them).
    void setUnsigned32Seconds(bool on) { secondsMask_ = on ? INT64_C(0xFFFFFFFF) : -1; }

    size_t pending() const { return size_; }
    // Records read by the walks ahead so far.
    uint64_t walkSteps() const { return walkSteps_; }

private:
    struct Entry {
        FlowRecord* record;  // null: the frame moves the clock only
        int64_t time;
    };

    LinkLayer link_;
    int64_t secondsMask_ = -1;  // all bits, or the low 32 of a classic file
    size_t capacity_;
    uint32_t walkFrom_;
    size_t size_ = 0;
    size_t keyCount_ = 0;
    AfterPacket afterPacket_ = nullptr;
    void* context_ = nullptr;
    uint64_t walkSteps_ = 0;
    Entry entries_[kMaxCapacity];
    const FlowRecord* keys_[kMaxCapacity];  // the records of the batch, for the walk
    FlowRecord* found_[kMaxCapacity];       // where each walk ended, for the insert
};

// The work for one packet, at once, without a batch: the same as a batch
// of one. `user` points at the capture's LinkLayer (decode.h). Moves the packet clock,
// decodes the frame (decode.h) and hands one flow observation to
// g_flowTable and one host observation to g_hostTable. The programs take
// packets through PacketBatch; tests, fuzzers and benchmarks call this to
// compare.
void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

#endif
