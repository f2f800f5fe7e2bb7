// The capture driver and the packet decoder.
#ifndef SURGEWATCH_MAIN_H
#define SURGEWATCH_MAIN_H

#include <pcap/pcap.h>

#include <cstdint>

// Seconds of the capture timestamp of the latest frame, backwards too; 0
// until the first frame. Written only by onPacket.
extern int64_t g_packetTime;

// `to` minus `from` in seconds, as a signed 64-bit difference that wraps
// instead of overflowing (timestamps come from the wire or a file).
inline int64_t secondsBetween(int64_t from, int64_t to) {
    return int64_t(uint64_t(to) - uint64_t(from));
}

// A rate window closes at the first update more than this many seconds
// after its start.
constexpr int32_t kWindowSeconds = 5;

// Seconds from a window's start to an update at `time`: the difference of
// the low 32 bits of the two times, taken as signed. An update older than
// the start gives a negative length, which never closes the window.
inline int32_t windowLength(int64_t start, int64_t time) {
    return int32_t(uint32_t(uint64_t(time) - uint64_t(start)));
}

// Bytes in front of the IPv4 header for the handle's link type, or -1 for a
// link type the monitor does not know.
int32_t linkOffset(pcap_t* handle);
// The same for a link type number (DLT_*).
int32_t linkOffsetOf(int linkType);

// The packet handler. `user` points at the int32_t link offset. Moves the
// packet clock, decodes the IPv4 header in place (never past caplen) and
// hands one flow observation to g_flowTable and one host observation to
// g_hostTable.
void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

// The sweep schedule, considered after every dispatch call: the flow table
// is swept once the packet clock is more than 9 seconds past the flow-sweep
// reference, then the host table once it is more than 19 past the host one.
struct SweepSchedule {
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    void run();
};

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
