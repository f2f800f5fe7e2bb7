// main() of the unit test binary. Every unit test runs with the system log
// off: flood alerts and failure reports that the tests provoke reach
// standard output only, where the tests read them, and never the machine's
// /dev/log (e2e/unit_syslog_test.sh checks that).
#include <gtest/gtest.h>

#include "alert.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    g_alertsToSyslog = false;
    return RUN_ALL_TESTS();
}
