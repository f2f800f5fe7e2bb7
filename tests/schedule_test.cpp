// The sweep schedule of the capture loop: frames go through onPacket into
// real tables, then the schedule runs as it does after a dispatch call, and
// its report lines show which sweeps ran, in which order, and what they
// removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"
#include "sweep_schedule.h"

namespace {

// Wall-clock second read for both references when the loop starts.
constexpr int64_t S = 1700000000;

// A TCP frame from 192.0.2.7 port `srcPort` to 198.51.100.`host` port 80.
struct FrameAt {
    uint8_t host;
    uint16_t srcPort;
    int64_t time;
};

struct Report {
    const char* table;  // "Flow" or "Host"
    uint32_t before;
    uint32_t after;
};

// One dispatch call's frames, then one run of the schedule.
struct Step {
    std::string name;
    std::vector<FrameAt> frames;
    std::vector<Report> reports;  // in the order printed
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    uint32_t flowRecords;
    uint32_t hostRecords;
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

std::vector<Scenario> scenarios() {
    return {
        {"long_run",
         {
             {"clock_0_before_any_frame", {}, {}, S, S, 0, 0},
             // Flow 1001 towards .1 is 25 seconds old by S+10.
             {"clock_behind_references", {{1, 1001, S - 15}}, {}, S, S, 1, 1},
             {"clock_S_plus_3", {{2, 2001, S + 3}}, {}, S, S, 2, 2},
             // .2's second new flow closes its window: flows 0 from here on.
             {"clock_S_plus_9", {{2, 2002, S + 9}}, {}, S, S, 3, 2},
             {"clock_S_plus_10_flow_sweep", {{2, 2001, S + 10}}, {{"Flow", 3, 2}}, S + 10, S, 2, 2},
             {"clock_S_plus_19_nothing_due", {{3, 3001, S + 19}}, {}, S + 10, S, 3, 3},
             // .1 has been idle since S-15; .2 has flows 0.
             {"clock_S_plus_20_flow_then_host",
              {{2, 2001, S + 20}},
              {{"Flow", 3, 3}, {"Host", 3, 1}},
              S + 20,
              S + 20,
              3,
              1},
             // Sweeps look at the clock once per dispatch call: one of each,
             // at the last frame's time. Flows 2001 and 2002 are past 20
             // seconds; .3's new flow at S+41 closes its window (flows 0),
             // while .1 comes back as a fresh record.
             {"one_dispatch_spanning_21_seconds",
              {{3, 3001, S + 25}, {3, 3002, S + 41}, {1, 1001, S + 41}},
              {{"Flow", 5, 3}, {"Host", 2, 1}},
              S + 41,
              S + 41,
              3,
              1},
             {"clock_moved_back", {{1, 1001, S + 5}}, {}, S + 41, S + 41, 3, 1},
             {"clock_S_plus_50_not_yet", {{1, 1001, S + 50}}, {}, S + 41, S + 41, 3, 1},
             {"clock_S_plus_51_flow_sweep_resumes",
              {{1, 1001, S + 51}},
              {{"Flow", 3, 2}},
              S + 51,
              S + 41,
              2,
              1},
         }},
        {"first_frame_at_S_plus_10_sweeps_flows",
         {{"first_dispatch", {{1, 1001, S + 10}}, {{"Flow", 1, 1}}, S + 10, S, 1, 1}}},
        {"first_frame_at_S_plus_20_sweeps_both",
         {{"first_dispatch",
           {{1, 1001, S + 20}},
           {{"Flow", 1, 1}, {"Host", 1, 1}},
           S + 20,
           S + 20,
           1,
           1}}},
        {"frames_far_in_the_past_never_sweep",
         {
             {"clock_1000", {{1, 1001, 1000}}, {}, S, S, 1, 1},
             {"clock_S_minus_1", {{1, 1001, S - 1}}, {}, S, S, 1, 1},
             {"clock_S_plus_9", {{1, 1001, S + 9}}, {}, S, S, 1, 1},
         }},
    };
}

// The expected report lines, each duration written as "D".
std::string expectedReports(const std::vector<Report>& reports) {
    std::string lines;
    for (const Report& r : reports)
        lines += std::string(r.table) + " cleanup took D seconds (" + std::to_string(r.before) +
                 " -> " + std::to_string(r.after) + ")\n";
    return lines;
}

class Schedule : public testing::TestWithParam<Scenario> {};

TEST_P(Schedule, SweepsWhenDue) {
    frames::InstalledTables tables;
    SweepSchedule schedule{S, S};
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.name);
        const std::string out = captureStdout([&] {
            for (const FrameAt& f : step.frames) {
                frames::Ip ip;
                ip.dst = {198, 51, 100, f.host};
                frames::deliver(frames::frame(14, ip, frames::tcp(f.srcPort, 80, 0x02)), f.time);
            }
            schedule.run();
        });
        EXPECT_EQ(maskDurations(out), expectedReports(step.reports));
        EXPECT_EQ(schedule.flowSweepRef, step.flowSweepRef);
        EXPECT_EQ(schedule.hostSweepRef, step.hostSweepRef);
        EXPECT_EQ(tables.flows.size(), step.flowRecords);
        EXPECT_EQ(tables.hosts.size(), step.hostRecords);
    }
}

INSTANTIATE_TEST_SUITE_P(Dispatches, Schedule, testing::ValuesIn(scenarios()), CaseName());

// The due amounts on their own: more than 9 seconds for the flow sweep,
// more than 19 for the host sweep, measured from each reference.
struct DueCase {
    std::string name;
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    int64_t clock;
    bool flowSwept;
    bool hostSwept;
};

void PrintTo(const DueCase& c, std::ostream* os) { *os << c.name; }

std::vector<DueCase> dueCases() {
    return {
        {"clock_0", S, S, 0, false, false},
        {"flow_9", S, S, S + 9, false, false},
        {"flow_10", S, S, S + 10, true, false},
        {"host_19", S, S - 10, S + 9, false, false},
        {"host_20_flow_not_due", S + 5, S - 11, S + 9, false, true},
        {"both_due", S, S, S + 20, true, true},
        {"clock_behind_both", S, S, S - 100, false, false},
        {"clock_far_ahead", S, S, S + 100000, true, true},
    };
}

class ScheduleDue : public testing::TestWithParam<DueCase> {};

TEST_P(ScheduleDue, ByDifferenceFromReference) {
    const DueCase& c = GetParam();
    frames::InstalledTables tables;
    g_packetTime = c.clock;
    SweepSchedule schedule{c.flowSweepRef, c.hostSweepRef};
    const std::string out = captureStdout([&] { schedule.run(); });
    std::vector<Report> expected;
    if (c.flowSwept) expected.push_back({"Flow", 0, 0});
    if (c.hostSwept) expected.push_back({"Host", 0, 0});
    EXPECT_EQ(maskDurations(out), expectedReports(expected));
    EXPECT_EQ(schedule.flowSweepRef, c.flowSwept ? c.clock : c.flowSweepRef);
    EXPECT_EQ(schedule.hostSweepRef, c.hostSwept ? c.clock : c.hostSweepRef);
}

INSTANTIATE_TEST_SUITE_P(References, ScheduleDue, testing::ValuesIn(dueCases()), CaseName());

}  // namespace
