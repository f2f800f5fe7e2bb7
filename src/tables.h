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

// Builds the flow record of one observation at packet time `time`, its
// digest included: the one record, and the one digest, of a packet.
inline FlowRecord* buildRecord(const FlowObservation& o, int64_t time) {
    return new FlowRecord(o.srcAddr, o.dstAddr, o.srcPort, o.dstPort, o.tcpFlags, o.protocol, o.tos,
                          o.length, time);
}

// Hands one flow record built for a packet (owned; freed when it is merged)
// to g_flowTable and the packet's destination observation, at packet time
// `time`, to g_hostTable: a new flow counts as a new flow of its
// destination, a known one as a packet. `from`, when given, is a record of
// g_flowTable on the record's path from the root (see
// SearchTree::insertBelow): the flow table's descent starts there.
void countObservation(FlowRecord* record, int64_t time, FlowRecord* from = nullptr);

#endif
