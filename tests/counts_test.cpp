// The per-second counts of the replay's -c: which destinations a second
// shows, in which order, and when a second is written.
#include "counts.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"

namespace {

using frames::Addr;
using frames::wireAddr;

// 2001-09-09T01:46:40Z
constexpr int64_t T = 1000000000;

// One step: `count` observations at `time` towards `to`, or an alert of
// `to` (count 0).
struct Event {
    int64_t time;
    Addr to;
    bool newFlow;
    int count;
};

struct CountsCase {
    const char* name;
    size_t busiest;
    std::vector<Event> events;
    std::string expected;  // after the final flush
};
void PrintTo(const CountsCase& c, std::ostream* os) { *os << c.name; }

class SecondCountsCases : public testing::TestWithParam<CountsCase> {};

TEST_P(SecondCountsCases, WritesEachSecondWhenTheNextBegins) {
    const CountsCase& c = GetParam();
    SecondCounts counts(c.busiest);
    const std::string out = captureStdout([&] {
        for (const Event& e : c.events) {
            if (e.count == 0) counts.alerted(wireAddr(e.to));
            for (int i = 0; i < e.count; ++i) {
                counts.beforeObservation(e.time);
                counts.counted(wireAddr(e.to), e.newFlow);
            }
        }
        counts.flush();
        counts.flush();  // nothing left: writes nothing
    });
    EXPECT_EQ(out, c.expected);
}

const Addr kA = {198, 51, 100, 1};
const Addr kB = {192, 0, 2, 2};  // after kA in the host table's order
const Addr kC = {10, 0, 0, 3};   // after both
const Addr kD = {10, 0, 0, 4};

INSTANTIATE_TEST_SUITE_P(
    Counts, SecondCountsCases,
    testing::Values(CountsCase{"most_packets_first_then_host_table_order",
                               10,
                               {{T, kC, true, 2},
                                {T, kB, false, 3},
                                {T, kA, true, 1},
                                {T, kA, false, 2},
                                {T, kD, false, 9}},
                               "COUNT 2001-09-09T01:46:40Z 10.0.0.4 9 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 198.51.100.1 2 packets 1 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 192.0.2.2 3 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 10.0.0.3 0 packets 2 flows\n"},
                    // Beyond the busiest two, only a destination that has alerted, from
                    // the second of its alert on, and only while it is given packets.
                    CountsCase{"busiest_and_those_that_alerted",
                               2,
                               {{T, kA, false, 5},
                                {T, kB, false, 4},
                                {T, kC, false, 3},
                                {T, kD, false, 1},
                                {T, kD, false, 0},
                                {T + 1, kA, false, 5},
                                {T + 1, kB, false, 4},
                                {T + 1, kC, false, 3},
                                {T + 2, kD, true, 1}},
                               "COUNT 2001-09-09T01:46:40Z 198.51.100.1 5 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 192.0.2.2 4 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 10.0.0.4 1 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:41Z 198.51.100.1 5 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:41Z 192.0.2.2 4 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:42Z 10.0.0.4 0 packets 1 flows\n"},
                    // A clock that runs backwards starts another run of the second;
                    // seconds without packets have no line.
                    CountsCase{"each_run_of_a_second_written_when_it_ends",
                               10,
                               {{T, kA, false, 1}, {T + 5, kA, false, 2}, {T, kA, true, 3}},
                               "COUNT 2001-09-09T01:46:40Z 198.51.100.1 1 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:45Z 198.51.100.1 2 packets 0 flows\n"
                               "COUNT 2001-09-09T01:46:40Z 198.51.100.1 0 packets 3 flows\n"},
                    // No rule counts at packet time 0.
                    CountsCase{
                        "time_zero_counts_nowhere",
                        10,
                        {{T, kA, false, 1}, {0, kA, false, 4}, {0, kB, true, 4}, {T, kB, false, 1}},
                        "COUNT 2001-09-09T01:46:40Z 198.51.100.1 1 packets 0 flows\n"
                        "COUNT 2001-09-09T01:46:40Z 192.0.2.2 1 packets 0 flows\n"},
                    CountsCase{"nothing_counted_nothing_written", 10, {{T, kA, false, 0}}, ""}),
    CaseName());

}  // namespace
