// The capture loop's handling of failing dispatch calls: when a report is
// written, how long the loop waits before the next attempt, and how a
// successful call ends a run of failures.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <chrono>
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

// One failing (or succeeding) dispatch call at `at` after the start.
struct Call {
    milliseconds at;
    bool fails;
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
        doubling.push_back({ms(t), true, t == 0, ms(wait)});
        t += wait;
    }
    cases.push_back({"pauses_double_to_one_second", doubling});
    // Reported at once, then again only once a minute has passed since.
    cases.push_back({"report_repeated_once_a_minute",
                     {{ms(0), true, true, ms(10)},
                      {ms(30000), true, false, ms(20)},
                      {ms(59999), true, false, ms(40)},
                      {ms(60000), true, true, ms(80)},
                      {ms(61000), true, false, ms(160)},
                      {ms(120000), true, true, ms(320)}}});
    // A call that succeeds ends the run: no pause, and the next failure is
    // a new run, reported at once with the shortest pause.
    cases.push_back({"success_ends_the_run",
                     {{ms(0), true, true, ms(10)},
                      {ms(10), true, false, ms(20)},
                      {ms(30), false, false, ms(0)},
                      {ms(40), false, false, ms(0)},
                      {ms(50), true, true, ms(10)},
                      {ms(60), true, false, ms(20)}}});
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
            if (call.fails)
                failures.failed(handle.get(), start + call.at);
            else
                failures.succeeded();
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
