#include "tables.h"

FlowTable* g_flowTable = nullptr;
HostTable* g_hostTable = nullptr;

void createTables() {
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
}

void countObservation(FlowRecord* record, int64_t time, FlowRecord* from) {
    // The record is freed when it merges: its destination is read first.
    const uint32_t dstAddr = record->dstAddr;
    const bool created =
        from != nullptr ? g_flowTable->insertBelow(from, record) : g_flowTable->insert(record);
    if (created)
        g_hostTable->add(dstAddr, time, int64_t(0));
    else
        g_hostTable->add(dstAddr, int64_t(0), time);
}
