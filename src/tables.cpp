#include "tables.h"

#include "counts.h"

FlowTable* g_flowTable = nullptr;
HostTable* g_hostTable = nullptr;

void createTables() {
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
}

void countObservation(FlowRecord* record, int64_t time, FlowRecord* from) {
    // The record is freed when it merges: its destination is read first.
    const uint32_t dstAddr = record->dstAddr;
    // One load and a branch not taken, unless the replay counts seconds.
    SecondCounts* const counts = g_secondCounts;
    if (counts != nullptr) counts->beforeObservation(time);
    const bool created =
        from != nullptr ? g_flowTable->insertBelow(from, record) : g_flowTable->insert(record);
    if (counts != nullptr) counts->counted(dstAddr, created);
    if (created)
        g_hostTable->add(dstAddr, time, int64_t(0));
    else
        g_hostTable->add(dstAddr, int64_t(0), time);
}
