#include "monitor_loop.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "alert.h"
#include "batch.h"
#include "startup.h"
#include "sweep_schedule.h"

namespace {

// Fixed capture parameters.
constexpr int kSnapLength = 68;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 10;

// Packets the capture lost before the monitor saw them: a monitor that falls
// behind reads every rate low. After a flow sweep, when libpcap counts
// packets dropped (by the kernel or the interface) since the last report, a
// line goes to the system log, below the priority of alerts, and to
// standard output; a monitor that keeps up writes nothing.
class DropReports {
public:
    void afterFlowSweep(pcap_t* handle) {
        pcap_stat now{};
        if (pcap_stats(handle, &now) < 0) return;
        // libpcap's counters are 32 bits and wrap: differences of unsigned
        // values stay right across one wrap.
        const u_int dropped =
            (now.ps_drop - reported_.ps_drop) + (now.ps_ifdrop - reported_.ps_ifdrop);
        if (dropped == 0) return;
        writeWarning("Capture dropped %u packets since the last report (%u received)", dropped,
                     now.ps_recv - reported_.ps_recv);
        reported_ = now;
    }

private:
    pcap_stat reported_{};
};

pcap_t* openInterface(const char* interface, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    pcap_t* handle =
        pcap_open_live(interface, kSnapLength, kPromiscuous, kReadTimeoutMs, errorBuffer);
    if (handle == nullptr) failure = errorBuffer;
    return handle;
}

}  // namespace

void DispatchFailures::failed(pcap_t* handle, Clock::time_point now) {
    if (!failing_ || now - lastReport_ >= kRepeatReport) {
        reportFailure("%s %d pcap_dispatch failed with error: %s",
                      "%s %d pcap_dispatch failed with error: %s\n", pcap_geterr(handle));
        lastReport_ = now;
    }
    wait_ = failing_ ? std::min(2 * wait_, kLongestWait) : kFirstWait;
    failing_ = true;
}

int monitorMain(int argc, char** argv) {
    static const CaptureSource kInterface = {
        "\nUsage: %s <interface> <filter>\n", "Opening interface %s... ", openInterface,
        "%s %d Cannot open pcap device: %s", "\n%s %d Cannot open pcap device: %s\n",
        // The monitor's report stays as short as it always was.
        "%s %d Unknown link type", "\n%s %d Unknown link type\n"};
    // The handle lives until the process ends, on the failure paths too: kept
    // where the leak checker of the sanitizer build can still see it.
    static pcap_t* handle;
    int32_t offset = startCapture(argc, argv, kInterface, &handle);
    if (offset < 0) return -1;

    SweepSchedule schedule;
    schedule.flowSweepRef = time(nullptr);
    schedule.hostSweepRef = time(nullptr);
    DispatchFailures failures;
    DropReports drops;
    PacketBatch batch(LinkLayer{offset, pcap_datalink(handle)});
    for (;;) {
        if (batch.dispatch(handle) < 0)
            failures.failed(handle, DispatchFailures::Clock::now());
        else
            failures.succeeded();
        if (schedule.run().flows) drops.afterFlowSweep(handle);
        if (failures.failing()) std::this_thread::sleep_for(failures.wait());
    }
}
