#include "tables.h"

#include <unistd.h>

#include <cinttypes>

#include "alert.h"
#include "counts.h"
#include "settings.h"

FlowTable* g_flowTable = nullptr;
HostTable* g_hostTable = nullptr;

void createTables() {
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
}

uint32_t defaultTableCapacity(uint64_t physicalBytes) {
    const uint64_t records = physicalBytes / 2 / (kFlowRecordBytes + kHostRecordBytes);
    return records < 1 ? 1 : records > UINT32_MAX ? UINT32_MAX : uint32_t(records);
}

bool setTableCapacities() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t physical = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
    uint64_t flows = defaultTableCapacity(physical);
    uint64_t hosts = flows;
    if (!readCountSetting("SURGEWATCH_MAX_FLOWS", 1, UINT32_MAX, flows) ||
        !readCountSetting("SURGEWATCH_MAX_HOSTS", 1, UINT32_MAX, hosts))
        return false;
    g_flowTable->setCapacity(uint32_t(flows));
    g_hostTable->setCapacity(uint32_t(hosts));
    return true;
}

namespace {
// The warning after a sweep of `table` when it refused records since the
// last one: `name` names the table, `records` what it refused.
template <typename Table>
void reportTableFull(Table& table, const char* name, const char* records) {
    const uint64_t refused = table.takeRefused();
    if (refused == 0) return;
    writeWarning("%s table full: %" PRIu64 " new %s not stored since the last report (capacity %u)",
                 name, refused, records, table.capacity());
}
}  // namespace

void reportFlowTableFull() { reportTableFull(*g_flowTable, "Flow", "flows"); }

void reportHostTableFull() { reportTableFull(*g_hostTable, "Host", "destinations"); }

void countObservation(FlowRecord* record, int64_t time, FlowRecord* from) {
    // The record is freed when it merges: its destination is read first.
    const uint32_t dstAddr = record->dstAddr;
    // One load and a branch not taken, unless the replay counts seconds.
    SecondCounts* const counts = g_secondCounts;
    if (counts != nullptr) counts->beforeObservation(time);
    const bool created =
        from != nullptr ? g_flowTable->insertBelow(from, record) : g_flowTable->insert(record);
    // A destination the full host table refused counts nowhere, here too.
    const uint64_t hostsRefused = counts != nullptr ? g_hostTable->refused() : 0;
    if (created)
        g_hostTable->add(dstAddr, time, int64_t(0));
    else
        g_hostTable->add(dstAddr, int64_t(0), time);
    if (counts != nullptr && g_hostTable->refused() == hostsRefused)
        counts->counted(dstAddr, created);
}
