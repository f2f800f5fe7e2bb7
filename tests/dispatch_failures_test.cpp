// The capture loop's handling of failing dispatch calls: when a report is
// written, how long the loop waits before the next attempt, and which
// answers end a run of failures.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "monitor_loop.h"
#include "pcap_handle.h"
#include "support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = DispatchFailures::Clock;

constexpr int kError = PCAP_ERROR;
constexpr int kEmpty = 0;  // the read timed out with nothing
constexpr int kPackets = 5;
constexpr int kReopened = INT_MIN;  // not a call: the capture opened anew

// One dispatch call at `at` after the start, and what it answered.
struct Call {
    milliseconds at;
    int status;
    bool reported;      // a report line on standard output
    milliseconds wait;  // the pause before the next attempt; 0: none
};

struct FailureCase {
    std::string name;
    std::vector<Call> calls;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

constexpr milliseconds ms(long n) { return milliseconds(n); }

std::vector<FailureCase> failureCases() {
    std::vector<FailureCase> cases;
    // Pauses double from 10 ms up to 1 s and stay there.
    std::vector<Call> doubling;
    long t = 0;
    for (long wait : {10, 20, 40, 80, 160, 320, 640, 1000, 1000}) {
        doubling.push_back({ms(t), kError, t == 0, ms(wait)});
        t += wait;
    }
    cases.push_back({"pauses_double_to_one_second", doubling});
    // Reported at once, then again only once a minute has passed since.
    cases.push_back({"report_repeated_once_a_minute",
                     {{ms(0), kError, true, ms(10)},
                      {ms(30000), kError, false, ms(20)},
                      {ms(59999), kError, false, ms(40)},
                      {ms(60000), kError, true, ms(80)},
                      {ms(61000), kError, false, ms(160)},
                      {ms(120000), kError, true, ms(320)}}});
    // A call that delivers packets ends the run: no pause, and the next
    // failure is a new run with the shortest pause, reported once a minute
    // has passed since the last report (a failed capture may hand over the
    // frames of its last block between two errors of one outage).
    cases.push_back({"packets_end_the_run",
                     {{ms(0), kError, true, ms(10)},
                      {ms(10), kError, false, ms(20)},
                      {ms(30), kPackets, false, ms(0)},
                      {ms(40), kPackets, false, ms(0)},
                      {ms(50), kError, false, ms(10)},
                      {ms(60), kError, false, ms(20)},
                      {ms(80), kPackets, false, ms(0)},
                      {ms(60000), kError, true, ms(10)}}});
    // A capture opened anew ends the run, and its first failure is a new
    // outage, reported at once.
    cases.push_back({"reopening_ends_the_run",
                     {{ms(0), kError, true, ms(10)},
                      {ms(10), kError, false, ms(20)},
                      {ms(30), kReopened, false, ms(0)},
                      {ms(40), kPackets, false, ms(0)},
                      {ms(50), kError, true, ms(10)}}});
    // A read that times out empty between the errors of a failed capture
    // says nothing: the outage is reported once and the pauses go on
    // growing. On a working capture it starts nothing either.
    cases.push_back({"empty_reads_neither_end_nor_start_a_run",
                     {{ms(0), kEmpty, false, ms(0)},
                      {ms(10), kError, true, ms(10)},
                      {ms(20), kEmpty, false, ms(10)},
                      {ms(30), kError, false, ms(20)},
                      {ms(50), kEmpty, false, ms(20)},
                      {ms(70), kError, false, ms(40)},
                      {ms(110), kPackets, false, ms(0)},
                      {ms(120), kEmpty, false, ms(0)}}});
    return cases;
}

class DispatchFailureRuns : public testing::TestWithParam<FailureCase> {};

TEST_P(DispatchFailureRuns, ReportsAndPauses) {
    std::unique_ptr<pcap_t, PcapCloser> handle(pcap_open_dead(DLT_EN10MB, 68));
    ASSERT_NE(handle, nullptr);
    DispatchFailures failures;
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < GetParam().calls.size(); ++i) {
        const Call& call = GetParam().calls[i];
        SCOPED_TRACE("call " + std::to_string(i + 1));
        const std::string out = captureStdout([&] {
            if (call.status == kReopened)
                failures.reopened();
            else
                failures.dispatched(call.status, handle.get(), start + call.at);
        });
        if (call.reported) {
            // Each copy on a line of its own.
            EXPECT_EQ(out.rfind("alert.cpp ", 0), 0u) << out;
            EXPECT_NE(out.find(" pcap_dispatch failed with error: "), std::string::npos) << out;
            EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        EXPECT_EQ(failures.failing(), call.wait != ms(0));
        if (failures.failing()) {
            EXPECT_EQ(failures.wait().count(), call.wait.count());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Loop, DispatchFailureRuns, testing::ValuesIn(failureCases()), CaseName());

}  // namespace
