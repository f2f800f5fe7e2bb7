// The capture driver: start-up, the two tables, the packet handler and the
// sweep schedule.
#ifndef SURGEWATCH_MAIN_H
#define SURGEWATCH_MAIN_H

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "clock.h"
#include "flow.h"
#include "host.h"
#include "tables.h"

// Bytes in front of the IPv4 header for the handle's link type, or -1 for a
// link type the monitor does not know.
int32_t linkOffset(pcap_t* handle);
// The same for a link type number (DLT_*).
int32_t linkOffsetOf(int linkType);
// Names an unknown link type and the supported ones:
// "DLT_IEEE802_11 / 105; supported: DLT_NULL / 0, DLT_EN10MB / 1, ...".
std::string describeUnknownLinkType(int linkType);

// The work for one packet, at once. `user` points at the capture's
// LinkLayer (decode.h), the link offset first. Moves the packet clock, decodes the frame (decode.h)
// and hands one flow observation to g_flowTable and one host observation to g_hostTable. The
// capture loops do the same work through PacketBatch (batch.h), a few dozen packets at a time, in
// the same order.
void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

// Which tables one consideration of the sweep schedule swept.
struct SweepsRun {
    bool flows;
    bool hosts;
};

// The sweep schedule, considered after every dispatch call: the flow table
// is swept once the packet clock is more than 9 seconds past the flow-sweep
// reference, then the host table once it is more than 19 past the host one.
struct SweepSchedule {
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    SweepsRun run();
};

// What start-up opens: a live interface (the monitor) or a capture file
// (the replay). The formats are those of the usage line, the open step's
// progress text, and the two copies of the open failure report.
struct CaptureSource {
    const char* usage;  // "\nUsage: %s <interface> <filter>\n"
    const char* opening;
    // Opens `name`; answers null with the report's text in `failure`.
    pcap_t* (*open)(const char* name, std::string& failure);
    const char* openFailureLog;
    const char* openFailureOut;
    // The link-type failure; a "%s" after the two leading placeholders takes
    // describeUnknownLinkType's text.
    const char* unknownLinkLog;
    const char* unknownLinkOut;
};

// The start-up steps, in order, each with its progress line and failure
// report: the two tables, standard output line-buffered, the argument
// check (program, source name, filter), the open call, the filter compiled
// (optimised, netmask 0) and installed, and the link offset. Answers the
// link offset, or -1 after a failure report. `*handle` is set as soon as
// the capture is open, also when a later step fails; the caller owns it.
// The compiled program is never released.
int32_t startCapture(int argc, char** argv, const CaptureSource& source, pcap_t** handle);

// Replays the capture file behind `handle` with the packets of a live
// monitor, packet after packet, with the sweep schedule considered after
// every packet, as a live monitor would between packets that arrive apart.
// Both references start at the first packet's second: the file replays as
// if the monitor had been started just before it. `afterSweep`, when given,
// is called with the progress so far after every packet whose schedule
// swept a table. The seconds of a classic pcap file are read as the
// unsigned 32-bit number the format stores (libpcap widens them with the
// sign); pcapng times as libpcap reads them. A regular file is read in batches (batch.h), anything else
// (a pipe) a packet at a time, so that a packet read is counted at once.
struct ReplayResult {
    uint64_t packets;   // replayed, before the end or the damage
    int64_t firstTime;  // packet time of the first packet; 0 before it
    bool broken;        // the file broke off; pcap_geterr says why
};
ReplayResult replayCapture(pcap_t* handle, int32_t offset,
                           const std::function<void(const ReplayResult&)>& afterSweep = nullptr);
// The same through the given batch, whatever the source: its capacity and
// walk threshold are the caller's (tests and benchmarks compare them).
class PacketBatch;
ReplayResult replayCapture(pcap_t* handle, PacketBatch& batch,
                           const std::function<void(const ReplayResult&)>& afterSweep = nullptr);

// Capture failures of the monitor's loop. The first of a run is reported
// at once; while they go on (the interface is gone, say) the loop waits
// before the next attempt, from 10 ms doubling to 1 s, and the report is
// repeated at most once a minute, so a lost interface neither floods the
// system log nor spins a processor. A dispatch call that succeeds ends the
// run.
class DispatchFailures {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstWait{10};
    static constexpr std::chrono::milliseconds kLongestWait{1000};
    static constexpr std::chrono::seconds kRepeatReport{60};

    // A dispatch call on `handle` failed at `now`: reports it when due.
    void failed(pcap_t* handle, Clock::time_point now);
    void succeeded() { failing_ = false; }
    // While failing, how long to wait before the next attempt.
    bool failing() const { return failing_; }
    std::chrono::milliseconds wait() const { return wait_; }

private:
    bool failing_ = false;
    Clock::time_point lastReport_;
    std::chrono::milliseconds wait_{0};
};

// Writes a start-up or capture failure: to the system log (unless
// g_alertsToSyslog is cleared), then to standard output. Both formats begin
// with "%s %d " for this source file and the line of the writing statement,
// and may take `text` as a third placeholder.
void reportFailure(const char* logFormat, const char* outFormat, const char* text);

// The monitor's main routine: answers -1 after a start-up failure, and
// never returns otherwise.
int monitorMain(int argc, char** argv);

#endif
