#include "monitor_loop.h"

#include <poll.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "alert.h"
#include "batch.h"
#include "heartbeat.h"
#include "live_capture.h"
#include "settings.h"
#include "startup.h"
#include "sweep_schedule.h"

namespace {

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
    // The counters start again from 0: a new handle's.
    void restart() { reported_ = pcap_stat{}; }

private:
    pcap_stat reported_{};
};

// The live settings, read from the environment at start-up.
struct LiveSettings {
    uint64_t bufferMiB = kDefaultBufferMiB;
    uint64_t heartbeatSeconds = 0;
};

// Reads the settings; a bad one is refused with its message on standard
// output. A system-log identity takes effect at once, so that every line of
// the run carries it, start-up failures included; unset, the log is never
// opened and keeps the platform's default identity.
bool readLiveSettings(LiveSettings& settings) {
    if (!readCountSetting("SURGEWATCH_BUFFER_MB", 1, kMaxBufferMiB, settings.bufferMiB) ||
        !readCountSetting("SURGEWATCH_HEARTBEAT_SECONDS", 0, Heartbeat::kMaxSeconds,
                          settings.heartbeatSeconds))
        return false;
    // The identity must outlive every syslog call: getenv's string does.
    if (const char* identity = getenv("SURGEWATCH_SYSLOG_IDENT")) {
        if (!validSyslogIdentity(identity)) {
            printf(
                "\nBad value for SURGEWATCH_SYSLOG_IDENT: `%s` (expected 1 to %zu printable "
                "characters, none of them a blank, ':' or '[')\n",
                identity, kMaxSyslogIdentity);
            return false;
        }
        // No options: the socket is connected at the first line, as without
        // openlog. The facility of every line is given with its priority.
        openlog(identity, 0, LOG_LOCAL6);
    }
    return true;
}

// The kernel buffer of every open, the first and the reopenings.
int g_bufferBytes = int(kDefaultBufferMiB << 20);

pcap_t* openConfiguredInterface(const char* interface, std::string& failure) {
    return openInterface(interface, g_bufferBytes, failure);
}

// With a heartbeat, the loop must turn on a quiet link too, and libpcap's
// read, which on Linux waits until the kernel hands over a block holding a
// packet, does not return without one. The handle is then non-blocking
// and the loop waits here, until packets or an error are ready or the next
// heartbeat is due; a dispatch call then takes what is ready, as before.
void readWithoutBlocking(pcap_t* handle) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    // Should it fail, dispatch calls wait as they always did.
    pcap_setnonblock(handle, 1, errorBuffer);
}

void waitForPackets(pcap_t* handle, const Heartbeat& heartbeat) {
    int timeout = heartbeat.millisecondsUntilDue(Heartbeat::Clock::now());
    // While the interface is down, libpcap asks to be called at least this
    // often, to notice it come back up.
    if (const timeval* most = pcap_get_required_select_timeout(handle)) {
        const long mostMs = most->tv_sec * 1000 + (most->tv_usec + 999) / 1000;
        if (timeout < 0 || mostMs < timeout) timeout = int(mostMs);
    }
    pollfd ready{pcap_get_selectable_fd(handle), POLLIN, 0};
    poll(&ready, 1, timeout);
}

}  // namespace

void DispatchFailures::dispatched(int status, pcap_t* handle, Clock::time_point now) {
    if (status < 0)
        failed(handle, now);
    else if (status > 0)
        failing_ = false;
}

void DispatchFailures::failed(pcap_t* handle, Clock::time_point now) {
    if (!reported_ || now - lastReport_ >= kRepeatReport) {
        reportFailure("%s %d pcap_dispatch failed with error: %s",
                      "%s %d pcap_dispatch failed with error: %s\n", pcap_geterr(handle));
        lastReport_ = now;
        reported_ = true;
    }
    wait_ = failing_ ? std::min(2 * wait_, kLongestWait) : kFirstWait;
    failing_ = true;
}

int monitorMain(int argc, char** argv) {
    // The settings are looked at once the command line has the right
    // shape: a wrong one still gets the usage line.
    LiveSettings settings;
    if (argc == 3 && !readLiveSettings(settings)) return -1;
    g_bufferBytes = int(settings.bufferMiB << 20);

    static const CaptureSource kInterface = {
        "\nUsage: %s <interface> <filter>\n", "Opening interface %s... ", openConfiguredInterface,
        "%s %d Cannot open pcap device: %s", "\n%s %d Cannot open pcap device: %s\n",
        // The monitor's report stays as short as it always was.
        "%s %d Unknown link type", "\n%s %d Unknown link type\n"};
    // The handle lives until the process ends, on the failure paths too: kept
    // where the leak checker of the sanitizer build can still see it.
    static pcap_t* handle;
    int32_t offset = startCapture(argc, argv, kInterface, &handle);
    if (offset < 0) return -1;
    const char* interface = argv[1];
    const char* filter = argv[2];
    startupWarnings(handle, interface, filter);

    SweepSchedule schedule;
    schedule.flowSweepRef = time(nullptr);
    schedule.hostSweepRef = time(nullptr);
    DispatchFailures failures;
    DropReports drops;
    const bool beating = settings.heartbeatSeconds != 0;
    Heartbeat heartbeat(std::chrono::seconds(settings.heartbeatSeconds), Heartbeat::Clock::now());
    if (beating) readWithoutBlocking(handle);
    LinkLayer link{offset, pcap_datalink(handle)};
    auto batch = std::make_unique<PacketBatch>(link);
    for (;;) {
        // While failing, the back-off below paces the loop.
        if (beating && !failures.failing()) waitForPackets(handle, heartbeat);
        failures.dispatched(batch->dispatch(handle), handle, DispatchFailures::Clock::now());
        if (schedule.run().flows) drops.afterFlowSweep(handle);
        // A monitor that cannot capture has nothing to say it is alive with:
        // its failure reports speak for it.
        if (heartbeat.due(Heartbeat::Clock::now()) && !failures.failing()) heartbeat.write(handle);
        if (!failures.failing()) continue;

        // The interface is gone or down: after the pause, try it again by
        // name. The tables and the packet clock go on; the counters of the
        // drop line and the heartbeat start from the new handle's.
        std::this_thread::sleep_for(failures.wait());
        int32_t newOffset = offset;
        pcap_t* reopened = reopenInterface(interface, filter, g_bufferBytes, newOffset);
        if (reopened == nullptr) continue;
        pcap_close(handle);
        handle = reopened;
        if (beating) readWithoutBlocking(handle);
        // The interface that came back may be of another link type, even
        // one with the same offset (null, loopback and PPP links all have 4).
        const LinkLayer reopenedLink{newOffset, pcap_datalink(handle)};
        if (reopenedLink.offset != link.offset || reopenedLink.type != link.type) {
            offset = newOffset;
            link = reopenedLink;
            batch = std::make_unique<PacketBatch>(link);
        }
        failures.reopened();
        drops.restart();
        heartbeat.restart();
        writeWarning("Capture reopened on %s", interface);
    }
}
