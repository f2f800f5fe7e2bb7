// The capture driver: start-up, the two tables, the packet handler and the
// sweep schedule.
#ifndef SURGEWATCH_MAIN_H
#define SURGEWATCH_MAIN_H

#include <pcap/pcap.h>

#include <cstdint>

#include "clock.h"
#include "flow.h"
#include "host.h"

// Bytes in front of the IPv4 header for the handle's link type, or -1 for a
// link type the monitor does not know.
int32_t linkOffset(pcap_t* handle);
// The same for a link type number (DLT_*).
int32_t linkOffsetOf(int linkType);

// The packet handler. `user` points at the int32_t link offset. Moves the
// packet clock, decodes the frame (decode.h) and hands one flow observation
// to g_flowTable and one host observation to g_hostTable.
void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

// The sweep schedule, considered after every dispatch call: the flow table
// is swept once the packet clock is more than 9 seconds past the flow-sweep
// reference, then the host table once it is more than 19 past the host one.
struct SweepSchedule {
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    void run();
};

// The two tables, created by createTables and never destroyed.
extern FlowTable* g_flowTable;
extern HostTable* g_hostTable;

// Creates the two empty tables, g_flowTable and then g_hostTable; they live
// until the process ends.
void createTables();

// The start-up steps shared by every capture, once `handle` is open: closes
// the open step's progress line with "done", compiles `filter` (optimised,
// netmask 0) and installs it, and finds the link offset, each with its
// progress line. Answers the link offset, or -1 after a failure report. The
// compiled program is never released.
int32_t setUpCapture(pcap_t* handle, const char* filter);

// Writes a start-up or capture failure: to the system log (unless
// g_alertsToSyslog is cleared), then to standard output. Both formats begin
// with "%s %d " for this source file and the line of the writing statement,
// and may take `text` as a third placeholder.
void reportFailure(const char* logFormat, const char* outFormat, const char* text);

// The monitor's main routine: answers -1 after a start-up failure, and
// never returns otherwise.
int monitorMain(int argc, char** argv);

#endif
