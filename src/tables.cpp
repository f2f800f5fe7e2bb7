#include "tables.h"

FlowTable* g_flowTable = nullptr;
HostTable* g_hostTable = nullptr;

void createTables() {
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
}

void countObservation(FlowRecord* record, int64_t time) {
    // The record is freed when it merges: its destination is read first.
    const uint32_t dstAddr = record->dstAddr;
    if (g_flowTable->insert(record))
        g_hostTable->add(dstAddr, time, int64_t(0));
    else
        g_hostTable->add(dstAddr, int64_t(0), time);
}
