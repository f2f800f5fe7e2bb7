// The host table: the flows and packets rules on their shared window, the
// expiry predicate, the listing, and the decoder feeding it.
#include "host.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support.h"

namespace {

using frames::Addr;
using frames::wireAddr;

// `count` host observations with the same two times.
struct Batch {
    uint32_t count;
    int64_t flowTime;
    int64_t packetTime;
};

// Counts of new flows (or packets) spread evenly over consecutive seconds.
std::vector<Batch> flowsAt(uint32_t perSecond, int64_t from, int64_t to) {
    std::vector<Batch> batches;
    for (int64_t t = from; t <= to; ++t) batches.push_back({perSecond, t, 0});
    return batches;
}
std::vector<Batch> packetsAt(uint32_t perSecond, int64_t from, int64_t to) {
    std::vector<Batch> batches;
    for (int64_t t = from; t <= to; ++t) batches.push_back({perSecond, 0, t});
    return batches;
}

// One step of a record's life: the observations, then every field of the
// record and everything written to standard output.
struct Step {
    std::string name;
    std::vector<Batch> observations;
    uint32_t flows;
    uint32_t packets;
    int64_t lastFlowTime;
    int64_t lastPacketTime;
    int64_t windowStart;
    std::string output;
};

struct Scenario {
    std::string name;
    Addr addr;
    std::vector<Step> steps;
};

void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

constexpr int64_t T = 1000;
constexpr int64_t S = 5000;
constexpr uint32_t n = 3000;  // known-flow packets per second, below 5000
const Addr kHost{198, 51, 100, 5};

// A record created by a new flow at t, whose first merge closes the window
// at once, and the 601 new flows that close the next window at 100.17/s.
// clang-format off
std::vector<Step> firstMergesAndFlowsAlert(int64_t t = T) {
    return {
        {"1_created_by_new_flow", {{1, t, 0}}, 1, 1, t, 0, 0, ""},
        {"2_first_merge_closes_window", {{1, t, 0}}, 0, 1, t, 0, t, ""},
        {"3_600_flows_counted", flowsAt(120, t + 1, t + 5), 600, 1, t + 5, 0, t, ""},
        {"4_601st_flow_alerts", {{1, t + 6, 0}}, 0, 1, t + 6, 0, t + 6,
         "FLOOD: 198.51.100.5 - 100.17 flows/s\n"},
    };
}

// Continues the above: a known-flow packet closes the window under 300
// counted flows, which then reach 601 over 12 seconds and still alert.
std::vector<Step> packetsRuleMovesStartUnderFlows() {
    std::vector<Step> steps = firstMergesAndFlowsAlert();
    const std::vector<Step> more = {
        {"5_300_flows_counted", flowsAt(60, T + 7, T + 11), 300, 1, T + 11, 0, T + 6, ""},
        {"6_packet_closes_window", {{1, 0, T + 12}}, 300, 0, T + 11, T + 12, T + 12, ""},
        {"7_300_more_flows_counted", flowsAt(60, T + 13, T + 17), 600, 0, T + 17, T + 12, T + 12,
         ""},
        {"8_flows_alert_at_50_per_second", {{1, T + 18, 0}}, 0, 0, T + 18, T + 12, T + 18,
         "FLOOD: 198.51.100.5 - 100.17 flows/s\n"},
    };
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

// A new flow closes the window under 5n counted packets; with 6n more the
// packets rule sees 11n + 1 over 6 seconds and alerts at a steady n < 5000.
std::vector<Step> flowsRuleMovesStartUnderPackets() {
    return {
        {"0a_created_by_new_flow", {{1, S - 10, 0}}, 1, 1, S - 10, 0, 0, ""},
        {"0b_packet_closes_window_at_S", {{1, 0, S}}, 1, 0, S - 10, S, S, ""},
        {"1_5n_packets_counted", packetsAt(n, S + 1, S + 5), 1, 5 * n, S - 10, S + 5, S, ""},
        {"2_new_flow_closes_window", {{1, S + 6, 0}}, 0, 5 * n, S + 6, S + 5, S + 6, ""},
        {"3_6n_packets_counted", packetsAt(n, S + 6, S + 11), 0, 11 * n, S + 6, S + 11, S + 6, ""},
        {"4_packets_alert", {{1, 0, S + 12}}, 0, 0, S + 6, S + 12, S + 12,
         "FLOOD: 198.51.100.5 - 5500.17 packets/s\n"},
    };
}

// A record whose packets rule has just closed the window at S, with 1
// flow counted.
std::vector<Step> packetsWindowFrom(int64_t start) {
    return {
        {"created_by_new_flow", {{1, start - 10, 0}}, 1, 1, start - 10, 0, 0, ""},
        {"packet_closes_window", {{1, 0, start}}, 1, 0, start - 10, start, start, ""},
    };
}

std::vector<Step> withSteps(std::vector<Step> steps, const std::vector<Step>& more) {
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

std::vector<Scenario> scenarios() {
    std::vector<Batch> packets29999 = packetsAt(6000, S + 1, S + 4);
    packets29999.push_back({5999, 0, S + 5});
    std::vector<Batch> packets30000 = packetsAt(6000, S + 1, S + 5);
    std::vector<Batch> flows599 = flowsAt(120, T + 1, T + 4);
    flows599.push_back({119, T + 5, 0});
    return {
        {"first_merges_and_flows_alert", kHost, firstMergesAndFlowsAlert()},
        {"packets_rule_moves_start_under_flows", kHost, packetsRuleMovesStartUnderFlows()},
        {"flows_rule_moves_start_under_packets", kHost, flowsRuleMovesStartUnderPackets()},
        {"packets_exactly_5000_per_second_no_alert", kHost,
         withSteps(packetsWindowFrom(S),
                   {
                       {"29999_counted", packets29999, 1, 29999, S - 10, S + 5, S, ""},
                       {"30000th_closes_without_alert", {{1, 0, S + 6}}, 1, 0, S - 10, S + 6, S + 6,
                        ""},
                   })},
        {"packets_5000_17_per_second_alert", kHost,
         withSteps(packetsWindowFrom(S),
                   {
                       {"30000_counted", packets30000, 1, 30000, S - 10, S + 5, S, ""},
                       {"30001st_alerts", {{1, 0, S + 6}}, 1, 0, S - 10, S + 6, S + 6,
                        "FLOOD: 198.51.100.5 - 5000.17 packets/s\n"},
                   })},
        {"flows_exactly_100_per_second_no_alert", kHost,
         withSteps({firstMergesAndFlowsAlert()[0], firstMergesAndFlowsAlert()[1]},
                   {
                       {"599_counted", flows599, 599, 1, T + 5, 0, T, ""},
                       {"600th_closes_without_alert", {{1, T + 6, 0}}, 0, 1, T + 6, 0, T + 6, ""},
                   })},
        {"window_open_at_5_closed_at_6", kHost,
         withSteps(packetsWindowFrom(S),
                   {
                       {"packet_at_5_counted", {{1, 0, S + 5}}, 1, 1, S - 10, S + 5, S, ""},
                       {"flow_at_5_counted", {{1, S + 5, 0}}, 2, 1, S + 5, S + 5, S, ""},
                       {"packet_at_6_closes", {{1, 0, S + 6}}, 2, 0, S + 5, S + 6, S + 6, ""},
                   })},
        {"earlier_time_counted_and_kept", kHost,
         withSteps(packetsWindowFrom(S),
                   {
                       {"packet_3_before_start", {{1, 0, S - 3}}, 1, 1, S - 10, S - 3, S, ""},
                       {"flow_20_before_start", {{1, S - 20, 0}}, 2, 1, S - 20, S - 3, S, ""},
                   })},
        {"created_by_known_flow_packet", Addr{192, 0, 2, 44},
         {
             {"created", {{1, 0, T}}, 1, 1, 0, T, 0, ""},
             {"first_flow_closes_window", {{1, T + 1, 0}}, 0, 1, T + 1, T, T + 1, ""},
         }},
        // Times in seconds since 1970. The first window starts at 0 and
        // closes at the record's first update from 6 s on; from 2^31 s on
        // (2038-01-19) the low 32 bits of that update read negative, and the
        // first update closes it all the same.
        {"first_window_open_until_6_s", kHost,
         {
             {"created_at_3", {{1, 3, 0}}, 1, 1, 3, 0, 0, ""},
             {"flow_at_5_counted", {{1, 5, 0}}, 2, 1, 5, 0, 0, ""},
             {"flow_at_6_closes", {{1, 6, 0}}, 0, 1, 6, 0, 6, ""},
         }},
        {"year_2037", kHost, firstMergesAndFlowsAlert(2114380800)},
        {"window_across_2_pow_31", kHost, firstMergesAndFlowsAlert((int64_t(1) << 31) - 3)},
        {"first_update_at_2_pow_31", kHost, firstMergesAndFlowsAlert(int64_t(1) << 31)},
        {"year_2040", kHost, firstMergesAndFlowsAlert(2208988800)},
        {"window_across_low_32_bit_wrap", kHost, firstMergesAndFlowsAlert((int64_t(1) << 32) - 3)},
        {"year_2040_created_by_known_flow_packet", kHost,
         {
             {"created", {{1, 0, 2208988800}}, 1, 1, 0, 2208988800, 0, ""},
             {"first_flow_closes_window", {{1, 2208988801, 0}}, 0, 1, 2208988801, 2208988800,
              2208988801, ""},
             {"packet_6_s_later_closes_again", {{1, 0, 2208988807}}, 0, 0, 2208988801, 2208988807,
              2208988807, ""},
         }},
        {"both_times_zero_change_nothing", kHost,
         {
             {"created", {{1, T, 0}}, 1, 1, T, 0, 0, ""},
             {"empty_observations", {{5, 0, 0}}, 1, 1, T, 0, 0, ""},
         }},
    };
}
// clang-format on

class HostMerge : public testing::TestWithParam<Scenario> {};

TEST_P(HostMerge, EveryFieldAfterEveryStep) {
    const Scenario& scenario = GetParam();
    HostTable table;
    bool first = true;
    for (const Step& step : scenario.steps) {
        SCOPED_TRACE(step.name);
        uint32_t linked = 0;
        uint32_t expectedLinked = 0;
        const std::string out = captureStdout([&] {
            for (const Batch& batch : step.observations)
                for (uint32_t i = 0; i < batch.count; ++i) {
                    linked += table.add(wireAddr(scenario.addr), batch.flowTime, batch.packetTime);
                    expectedLinked += first;
                    first = false;
                }
        });
        EXPECT_EQ(out, step.output);
        EXPECT_EQ(linked, expectedLinked) << "only the first observation links a record";
        ASSERT_EQ(table.size(), 1u);
        const HostRecord& r = *table.root();
        EXPECT_EQ(r.addr, wireAddr(scenario.addr));
        EXPECT_EQ(r.flows, step.flows);
        EXPECT_EQ(r.packets, step.packets);
        EXPECT_EQ(r.lastFlowTime, step.lastFlowTime);
        EXPECT_EQ(r.lastPacketTime, step.lastPacketTime);
        EXPECT_EQ(r.windowStart, step.windowStart);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, HostMerge, testing::ValuesIn(scenarios()), CaseName());

// The sweep predicate, on records built directly at a packet clock of C.
struct ExpiryCase {
    std::string name;
    uint32_t flows;
    int64_t lastFlowTime;
    int64_t lastPacketTime;
    bool expired;
};

void PrintTo(const ExpiryCase& c, std::ostream* os) { *os << c.name; }

constexpr int64_t C = 100000;

std::vector<ExpiryCase> expiryCases() {
    return {
        {"flow_30_packet_31_ago", 1, C - 30, C - 31, false},
        {"flow_31_packet_30_ago", 1, C - 31, C - 30, false},
        {"flow_31_packet_31_ago", 1, C - 31, C - 31, true},
        {"flows_0_seen_now", 0, C, C, true},
        {"flows_0_in_the_future", 0, C + 50, C + 50, true},
        {"no_packet_yet_flow_30_ago", 1, C - 30, 0, false},
        {"no_packet_yet_flow_31_ago", 1, C - 31, 0, true},
        {"no_flow_yet_packet_30_ago", 1, 0, C - 30, false},
        {"no_flow_yet_packet_31_ago", 1, 0, C - 31, true},
        {"times_ahead_of_clock", 3, C + 40, C + 40, false},
    };
}

class HostExpiry : public testing::TestWithParam<ExpiryCase> {};

TEST_P(HostExpiry, ThirtySecondsIdleOrFlowsZero) {
    const ExpiryCase& c = GetParam();
    frames::SavedClock clock;
    g_packetTime = C;
    HostRecord r(wireAddr(kHost), c.lastFlowTime, c.lastPacketTime);
    r.flows = c.flows;
    EXPECT_EQ(hostExpired(r), c.expired);
}

INSTANTIATE_TEST_SUITE_P(Records, HostExpiry, testing::ValuesIn(expiryCases()), CaseName());

// The listing walks addresses in their little-endian order, where the last
// octet weighs most; a window start past the last flow gives a negative
// speed, an equal one 0.000 rather than a division by zero.
TEST(HostListing, AddressOrderAndSpeeds) {
    HostTable table;
    const uint32_t a = wireAddr({192, 0, 2, 2});
    const uint32_t b = wireAddr({198, 51, 100, 1});
    const uint32_t c = wireAddr({192, 0, 2, 1});
    // 192.0.2.2: two new flows, window still at 0: 2 / 4 = 0.500.
    table.add(a, int64_t(2), int64_t(0));
    table.add(a, int64_t(4), int64_t(0));
    // 198.51.100.1: a packet closes the window at 1010, after the flow at
    // 1000: 1 / (1000 - 1010).
    table.add(b, int64_t(1000), int64_t(0));
    table.add(b, int64_t(0), int64_t(1010));
    // 192.0.2.1: the second flow closes the window at its own time: 0 / 0.
    table.add(c, int64_t(1000), int64_t(0));
    table.add(c, int64_t(1010), int64_t(0));
    ASSERT_EQ(table.size(), 3u);

    EXPECT_EQ(captureStdout([&] { table.print(); }),
              "Host: 192.0.2.1 flows: 0 speed: 0.000 flows/sec\n"
              "Host: 198.51.100.1 flows: 1 speed: -0.100 flows/sec\n"
              "Host: 192.0.2.2 flows: 2 speed: 0.500 flows/sec\n");
}

TEST(HostListing, EmptyTableWritesNothing) {
    HostTable table;
    EXPECT_EQ(captureStdout([&] { table.print(); }), "");
}

// The decoder's host observation: (destination, time, 0) when the flow
// table links a new flow, (destination, 0, time) for a known flow, and a
// new flow again once the flow sweep has removed it. Times stay within 5
// seconds of the window start so that every observation shows in the
// counters.
struct FeedStep {
    std::string name;
    uint16_t srcPort;  // 0: a cut frame that only moves the clock
    int64_t time;
    bool sweepFlows;  // run the flow sweep after the frame
    uint32_t flows;
    uint32_t packets;
    int64_t lastFlowTime;
    int64_t lastPacketTime;
    int64_t windowStart;
};

TEST(HostFromDecoder, NewFlowThenKnownFlow) {
    // clang-format off
    const std::vector<FeedStep> steps = {
        {"new_flow_a", 1111, 2, false, 1, 1, 2, 0, 0},
        {"known_flow_a", 1111, 3, false, 1, 2, 2, 3, 0},
        {"new_flow_b", 2222, 4, false, 2, 2, 4, 3, 0},
        {"known_flow_b", 2222, 5, false, 2, 3, 4, 5, 0},
        {"clock_to_26_flows_swept", 0, 26, true, 2, 3, 4, 5, 0},
        {"flow_a_new_again", 1111, 26, false, 0, 3, 26, 5, 26},
        {"flow_a_known_again", 1111, 27, false, 0, 4, 26, 27, 26},
    };
    // clang-format on
    frames::InstalledTables tables;
    for (const FeedStep& s : steps) {
        SCOPED_TRACE(s.name);
        const frames::Bytes f =
            frames::frame(14, frames::Ip{}, frames::tcp(s.srcPort == 0 ? 1 : s.srcPort, 80, 0x10));
        const std::string out = captureStdout([&] {
            frames::deliver(f, s.time, 0, s.srcPort == 0 ? 20 : frames::kWholeFrame);
            if (s.sweepFlows) tables.flows.sweep(flowExpired);
        });
        if (s.sweepFlows) {
            EXPECT_NE(out.find("Flow cleanup took"), std::string::npos) << out;
            EXPECT_NE(out.find("(2 -> 0)"), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        ASSERT_EQ(tables.hosts.size(), 1u);
        const HostRecord& r = *tables.hosts.root();
        EXPECT_EQ(r.addr, wireAddr({198, 51, 100, 5}));
        EXPECT_EQ(r.flows, s.flows);
        EXPECT_EQ(r.packets, s.packets);
        EXPECT_EQ(r.lastFlowTime, s.lastFlowTime);
        EXPECT_EQ(r.lastPacketTime, s.lastPacketTime);
        EXPECT_EQ(r.windowStart, s.windowStart);
    }
}

}  // namespace
