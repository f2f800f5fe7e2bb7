// The monitor's two tables, and the work of one flow observation on them.
#ifndef SURGEWATCH_TABLES_H
#define SURGEWATCH_TABLES_H

#include <cstdint>

#include "decode.h"
#include "flow.h"
#include "host.h"

// The two tables, created by createTables and never destroyed.
extern FlowTable* g_flowTable;
extern HostTable* g_hostTable;

// Creates the two empty tables, g_flowTable and then g_hostTable; they live
// until the process ends.
void createTables();

// Table capacities. Under a flood of new flows (random sources) every
// packet can make a record, and a table without a bound grows until the
// allocation fails and ends the monitor in the middle of the attack. Each
// table therefore links at most its capacity of records (SearchTree::
// setCapacity): a flow record takes kFlowRecordBytes, a host record
// kHostRecordBytes, from pools that keep the high-water mark.
constexpr uint64_t kFlowRecordBytes = sizeof(FlowRecord);
constexpr uint64_t kHostRecordBytes = sizeof(HostRecord);

// The capacity each table gets by default on a machine with
// `physicalBytes` of memory: both tables full take at most half of it (a
// host record exists only while flows to it come, so the host table rarely
// fills first). At least 1, at most UINT32_MAX.
uint32_t defaultTableCapacity(uint64_t physicalBytes);

// Sets both tables' capacities: SURGEWATCH_MAX_FLOWS and SURGEWATCH_MAX_HOSTS
// (records, 1 to UINT32_MAX) where set, else defaultTableCapacity of this
// machine's memory. A bad value is refused (settings.h): answers false.
bool setTableCapacities();

// After a sweep of the table: when it refused records since the last such
// line, one warning (system log, then standard output, as the drop line):
// "Flow table full: N new flows not stored since the last report
// (capacity C)", and the host table's "Host table full: N new
// destinations ...". Nothing otherwise.
void reportFlowTableFull();
void reportHostTableFull();

// Builds the flow record of one observation at packet time `time`, its
// digest included: the one record, and the one digest, of a packet.
inline FlowRecord* buildRecord(const FlowObservation& o, int64_t time) {
    return new FlowRecord(o.srcAddr, o.dstAddr, o.srcPort, o.dstPort, o.tcpFlags, o.protocol, o.tos,
                          o.length, time);
}

// Hands one flow record built for a packet (owned; freed when it is merged)
// to g_flowTable and the packet's destination observation, at packet time
// `time`, to g_hostTable: a new flow counts as a new flow of its
// destination, a known one as a packet. A flow the full flow table refused
// still counts as a new flow of its destination (and its next packet again:
// it was never stored), so the destination rules keep seeing the flood; a
// destination the full host table refused counts nowhere. `from`, when given, is a record of
// g_flowTable on the record's path from the root (see
// SearchTree::insertBelow): the flow table's descent starts there.
void countObservation(FlowRecord* record, int64_t time, FlowRecord* from = nullptr);

#endif
