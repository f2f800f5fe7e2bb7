// The sweep schedule: when the idle records of each table are swept out,
// in packet time.
#ifndef SURGEWATCH_SWEEP_SCHEDULE_H
#define SURGEWATCH_SWEEP_SCHEDULE_H

#include <cstdint>

// Which tables one consideration of the sweep schedule swept.
struct SweepsRun {
    bool flows;
    bool hosts;
};

// Considered after every dispatch call (the live loop) or every packet (the
// replay): the flow table is swept once the packet clock is more than 9
// seconds past the flow-sweep reference, then the host table once it is
// more than 19 past the host one. A sweep moves its reference to the clock;
// after it, the table's line when it refused records since the last one
// (reportFlowTableFull, reportHostTableFull).
struct SweepSchedule {
    int64_t flowSweepRef;
    int64_t hostSweepRef;
    SweepsRun run();
};

#endif
