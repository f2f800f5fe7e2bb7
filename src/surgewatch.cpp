#include "alert.h"
#include "monitor_loop.h"

int main(int argc, char** argv) {
    // The monitor alone writes to the system log.
    g_alertsToSyslog = true;
    return monitorMain(argc, argv);
}
