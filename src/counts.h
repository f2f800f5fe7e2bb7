// What the tables counted, second by second, for the busiest destinations:
// surgewatch-replay -c. The monitor never sets g_secondCounts, and then the
// tables observe nothing.
//
// Each observation that the host table is given (tables.h) is one packet
// towards its destination, counted either as a new flow (the flow table
// had no record of it: what the destination's flows rule counts) or as a
// packet of a known flow (what its packets rule counts). At the first
// observation of another second (of packet time), the second before is
// written, one line per destination shown:
//   COUNT 2001-09-09T01:46:46Z 198.51.100.5 2000 packets 1 flows
// The destinations shown in a second are its `busiest` destinations by
// packets of both kinds, and every destination that has alerted (by any
// rule) so far that was given a packet in that second; most packets first,
// then in the host table's order. A destination that has alerted and has no
// line in a second was given no packet in it.
#ifndef SURGEWATCH_COUNTS_H
#define SURGEWATCH_COUNTS_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class SecondCounts {
public:
    static constexpr size_t kBusiest = 10;

    explicit SecondCounts(size_t busiest = kBusiest) : busiest_(busiest) {}

    // Before the tables work on an observation at packet time `time`:
    // writes the second counted so far when `time` is another one. Packet
    // time 0, which no rule counts, is never counted here either.
    void beforeObservation(int64_t time) {
        if (time != second_ && !counts_.empty()) flush();
        second_ = time;
    }
    // After: the observation went towards `dstAddr` (wire order), a new
    // flow or a packet of a known flow.
    void counted(uint32_t dstAddr, bool newFlow);
    // A flow towards `dstAddr`, or the destination itself, alerted.
    void alerted(uint32_t dstAddr) { alerted_.insert(dstAddr); }
    // Writes the lines of the second counted so far, if any, and starts
    // afresh: at the end of the capture.
    void flush();

private:
    struct Count {
        uint32_t addr;
        uint64_t packets;  // of known flows
        uint64_t flows;    // new flows
    };
    size_t busiest_;
    int64_t second_ = 0;
    std::vector<Count> counts_;                     // this second's destinations
    std::unordered_map<uint32_t, size_t> indexOf_;  // address -> place in counts_
    std::unordered_set<uint32_t> alerted_;
};

// Set by surgewatch-replay -c; null otherwise.
extern SecondCounts* g_secondCounts;

#endif
