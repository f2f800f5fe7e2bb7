// The live monitor: its settings, the interface opened, then the endless
// capture loop with its sweep schedule, its back-off on failing dispatch
// calls, the capture reopened when the interface comes back, its reports of
// packets the capture dropped and its heartbeat.
#ifndef SURGEWATCH_MONITOR_LOOP_H
#define SURGEWATCH_MONITOR_LOOP_H

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <string>

// The kernel's capture buffer (SURGEWATCH_BUFFER_MB), in MiB. Under a flood
// the ring holds what arrives while the monitor is busy elsewhere, above
// all during a sweep of a large flow table. On Linux (TPACKET_V3) the ring
// is a row of 256 KiB blocks, each handed over when full or 10 ms (the read
// timeout) after its first frame; a 68-byte snapshot takes 160 bytes of a
// block (a 48-byte frame header, the link address, alignment to 16, the
// snapshot), so a block holds 1,638 frames. 256 MiB, 1,024 blocks, ride out
// 10 s of traffic below 164,000 packets a second, about 5 s at 300,000 and
// 1.7 s at a million: several times a sweep of several million flows at
// the rates the monitor sustains (docs/performance-flood.md). libpcap's own
// default, 2 MiB, rode out 13 ms of a fast flood. The memory is the
// kernel's, taken once per open; libpcap takes less when the kernel cannot
// give that much. The largest value is the most that libpcap's size in
// bytes, an int, can say.
constexpr uint64_t kDefaultBufferMiB = 256;
constexpr uint64_t kMaxBufferMiB = 2047;

// Opens `interface` for live capture as pcap_open_live(interface, 68, 1, 10)
// does, with a kernel buffer of `bufferBytes`: on failure answers null with
// in `failure` the very text that pcap_open_live would have left in its
// error buffer. Warnings of the activation (promiscuous mode not supported,
// say) are let pass, as pcap_open_live lets them pass.
pcap_t* openInterface(const char* interface, int bufferBytes, std::string& failure);

// The system-log identity (SURGEWATCH_SYSLOG_IDENT): 1 to 32 printable
// characters (the longest tag a classic syslog line carries), none of them
// a blank, ':' or '[', which would end the tag early in a log line.
bool validSyslogIdentity(const char* identity);

// The heartbeat (SURGEWATCH_HEARTBEAT_SECONDS): every period of wall-clock
// time, traffic or not, one line with the packets libpcap received and
// dropped since the previous one, so that a quiet link can be told from a
// dead monitor.
class Heartbeat {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint64_t kMaxSeconds = 86400;

    // No heartbeat when `period` is 0; otherwise the first is due one period
    // after `start`.
    Heartbeat(std::chrono::seconds period, Clock::time_point start);
    // Whether a heartbeat is due at `now`; when it is, the next is due one
    // period later, or one period after `now` when the loop fell behind by
    // more than a period (a long sweep): missed beats are not made up.
    bool due(Clock::time_point now);
    // Milliseconds from `now` until the next heartbeat is due, rounded up;
    // -1 when there is none.
    int millisecondsUntilDue(Clock::time_point now) const;
    // Writes the line for `handle`'s counters since the last one ("Heartbeat:
    // N packets received, M dropped since the last heartbeat", local6.info
    // and standard output); nothing when libpcap has no counters to give.
    void write(pcap_t* handle);
    // The counters start again from 0: a new handle's.
    void restart() { reported_ = pcap_stat{}; }

private:
    std::chrono::seconds period_;
    Clock::time_point next_;
    pcap_stat reported_{};
};

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

// The monitor's main routine: answers -1 after a start-up failure (a bad
// setting included), and never returns otherwise.
int monitorMain(int argc, char** argv);

#endif
