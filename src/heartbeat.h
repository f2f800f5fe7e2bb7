// The monitor's proof of life on a quiet link.
#ifndef SURGEWATCH_HEARTBEAT_H
#define SURGEWATCH_HEARTBEAT_H

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>

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

#endif
