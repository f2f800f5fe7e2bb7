#include "sweep_schedule.h"

#include "clock.h"
#include "tables.h"

SweepsRun SweepSchedule::run() {
    SweepsRun swept{false, false};
    if (secondsBetween(flowSweepRef, g_packetTime) > 9) {
        flowSweepRef = g_packetTime;
        g_flowTable->sweep(flowExpired);
        reportFlowTableFull();
        swept.flows = true;
    }
    if (secondsBetween(hostSweepRef, g_packetTime) > 19) {
        hostSweepRef = g_packetTime;
        g_hostTable->sweep(hostExpired);
        reportHostTableFull();
        swept.hosts = true;
    }
    return swept;
}
