// main() of the unit test binary. The library writes to the system log only
// once a program's main turns it on, which this one never does: the flood
// alerts and failure reports that the tests provoke reach standard output
// only, where the tests read them, and never the machine's /dev/log.
#include <gtest/gtest.h>

#include "alert.h"

namespace {
// Read before any test runs.
const bool systemLogAtStart = g_alertsToSyslog;
}  // namespace

TEST(SystemLog, OffUntilAProgramTurnsItOn) { EXPECT_FALSE(systemLogAtStart); }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
