// The packet-time stamp of the replay's -t: the calendar arithmetic against
// the C library's gmtime_r wherever that answers, named dates, every
// 64-bit extreme, and the hook that writes it.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

#include "alert.h"
#include "clock.h"
#include "random.h"
#include "support.h"

namespace {

std::string format(int64_t time) {
    char out[kStampSize];
    const size_t length = formatPacketTime(time, out);
    EXPECT_EQ(length, std::char_traits<char>::length(out));
    return out;
}

struct StampCase {
    const char* name;
    int64_t time;
    const char* expected;
};
void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }

class Stamps : public testing::TestWithParam<StampCase> {};

TEST_P(Stamps, Formats) { EXPECT_EQ(format(GetParam().time), GetParam().expected); }

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Stamp, Stamps,
    testing::Values(StampCase{"epoch", 0, "1970-01-01T00:00:00Z"},
                    StampCase{"second_before_epoch", -1, "1969-12-31T23:59:59Z"},
                    StampCase{"replay_test_time", 1000000006, "2001-09-09T01:46:46Z"},
                    StampCase{"leap_day_of_a_400_year", 951782400, "2000-02-29T00:00:00Z"},
                    StampCase{"no_leap_day_in_2100", 4107542399, "2100-02-28T23:59:59Z"},
                    StampCase{"march_2100", 4107542400, "2100-03-01T00:00:00Z"},
                    StampCase{"no_leap_day_in_1900", -2203891200, "1900-03-01T00:00:00Z"},
                    StampCase{"pcap_file_earliest_int32", -2147483648, "1901-12-13T20:45:52Z"},
                    StampCase{"past_int32", 2147483648, "2038-01-19T03:14:08Z"},
                    StampCase{"first_of_year_0000", -62167219200, "0000-01-01T00:00:00Z"},
                    StampCase{"last_of_year_minus_1", -62167219201, "-000001-12-31T23:59:59Z"},
                    StampCase{"last_of_year_9999", 253402300799, "9999-12-31T23:59:59Z"},
                    StampCase{"first_of_year_10000", 253402300800, "+010000-01-01T00:00:00Z"},
                    StampCase{"int64_max", kMax, "+292277026596-12-04T15:30:07Z"},
                    StampCase{"int64_min", kMin, "-292277022657-01-27T08:29:52Z"}),
    CaseName());

// Everywhere gmtime_r answers (years of an int), the same calendar: times
// spread from far before year 0 to far beyond 9999 by a fixed generator,
// plus every day boundary of the leap years 1600 to 2400 around February.
TEST(Stamp, AgreesWithGmtime) {
    auto expected = [](int64_t time) {
        const time_t t = time_t(time);
        tm fields{};
        if (gmtime_r(&t, &fields) == nullptr) return std::string("gmtime_r failed");
        const int64_t year = int64_t(fields.tm_year) + 1900;
        char out[64];
        snprintf(out, sizeof out,
                 year >= 0 && year <= 9999 ? "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ"
                                           : "%+07" PRId64 "-%02d-%02dT%02d:%02d:%02dZ",
                 year, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
                 fields.tm_sec);
        return std::string(out);
    };
    Random random(42);
    int compared = 0;
    for (int i = 0; i < 200000; ++i) {
        // Spans of 2^36 s (2177 years) to 2^55 s (about 10^9 years), both signs.
        const int bits = 36 + i % 20;
        const int64_t time = int64_t(random.next() >> (64 - bits)) - (int64_t(1) << (bits - 1));
        ASSERT_EQ(format(time), expected(time)) << time;
        ++compared;
    }
    for (int year = 1600; year <= 2400; year += 4) {
        tm start{};
        start.tm_year = year - 1900;
        start.tm_mon = 1;
        start.tm_mday = 27;
        const int64_t first = int64_t(timegm(&start));
        for (int64_t time = first - 1; time < first + 4 * 86400; time += 86400 / 2) {
            ASSERT_EQ(format(time), expected(time)) << time;
            ++compared;
        }
    }
    EXPECT_GT(compared, 200000);
}

// The hook writes nothing unless lines are stamped, and then the packet
// clock's stamp and one space; the monitor never turns it on.
TEST(Stamp, LineHookFollowsTheSwitchAndThePacketClock) {
    EXPECT_FALSE(g_stampLines);
    const int64_t savedTime = g_packetTime;
    g_packetTime = 1000000006;
    EXPECT_EQ(captureStdout([] { stampLine(); }), "");
    g_stampLines = true;
    EXPECT_EQ(captureStdout([] { stampLine(); }), "2001-09-09T01:46:46Z ");
    g_packetTime = kMin;
    EXPECT_EQ(captureStdout([] { stampLine(); }), "-292277022657-01-27T08:29:52Z ");
    g_stampLines = false;
    g_packetTime = savedTime;
}

}  // namespace
