// When the heartbeat is due: on wall-clock time, one period after the last,
// never twice for one late turn of the loop, and never when it is off.
#include "heartbeat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support.h"

namespace {

using std::chrono::milliseconds;
using Clock = Heartbeat::Clock;

struct BeatCase {
    const char* name;
    long periodSeconds;
    // Times of the loop's turns after the start, and whether each is a beat.
    std::vector<std::pair<long, bool>> turns;
};

void PrintTo(const BeatCase& c, std::ostream* os) { *os << c.name; }

std::vector<BeatCase> beatCases() {
    return {
        {"off", 0, {{0, false}, {1000, false}, {86400000, false}}},
        {"every_period_without_drift",
         60,
         {{10, false},
          {59999, false},
          {60000, true},
          {60010, false},
          {120005, true},
          {179999, false},
          {180000, true}}},
        // A turn 2.5 periods late gives one beat, and the next comes a
        // period after it, not at once to make up the ones missed.
        {"late_turn_beats_once",
         10,
         {{10000, true}, {35000, true}, {35010, false}, {44999, false}, {45000, true}}},
        {"late_by_less_than_a_period_keeps_the_grid",
         10,
         {{15000, true}, {19999, false}, {20000, true}}},
    };
}

class HeartbeatDue : public testing::TestWithParam<BeatCase> {};

TEST_P(HeartbeatDue, OnThePeriod) {
    const Clock::time_point start = Clock::now();
    Heartbeat heartbeat(std::chrono::seconds(GetParam().periodSeconds), start);
    for (const auto& [at, beat] : GetParam().turns)
        EXPECT_EQ(heartbeat.due(start + milliseconds(at)), beat) << "at " << at << " ms";
}

INSTANTIATE_TEST_SUITE_P(Loop, HeartbeatDue, testing::ValuesIn(beatCases()), CaseName());

}  // namespace
