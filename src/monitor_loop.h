// The live monitor's loop: its settings, then the endless capture loop with
// its sweep schedule, its back-off on failing dispatch calls, the capture
// reopened when the interface comes back (live_capture.h), its reports of
// packets the capture dropped and its heartbeat (heartbeat.h).
#ifndef SURGEWATCH_MONITOR_LOOP_H
#define SURGEWATCH_MONITOR_LOOP_H

#include <pcap/pcap.h>

#include <chrono>

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

    // A dispatch call on `handle` answered `status` at `now`. An error
    // starts or continues a run of failures, with pauses between attempts;
    // packets end the run. A read that answers 0 (timed out empty; a failed
    // capture answers that between its errors) says nothing either way. A
    // capture's failures are reported at most once a minute, across runs:
    // a capture that has just failed may still hand over the frames of its
    // last block before failing again, which is the same outage.
    void dispatched(int status, pcap_t* handle, Clock::time_point now);
    // The capture was opened anew: the run is over, and the new capture's
    // first failure is reported at once.
    void reopened() {
        failing_ = false;
        reported_ = false;
    }
    // While failing, how long to wait before the next attempt.
    bool failing() const { return failing_; }
    std::chrono::milliseconds wait() const { return wait_; }

private:
    void failed(pcap_t* handle, Clock::time_point now);

    bool failing_ = false;
    bool reported_ = false;  // a failure of this capture was reported
    Clock::time_point lastReport_;
    std::chrono::milliseconds wait_{0};
};

// The monitor's main routine: answers -1 after a start-up failure (a bad
// setting included), and never returns otherwise.
int monitorMain(int argc, char** argv);

#endif
