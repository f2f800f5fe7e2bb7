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
#include "link_types.h"
#include "settings.h"
#include "startup.h"
#include "sweep_schedule.h"

namespace {

// Fixed capture parameters.
constexpr int kSnapLength = 68;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 10;
constexpr int kOptimizeFilter = 1;
constexpr bpf_u_int32 kFilterNetmask = 0;

constexpr size_t kMaxSyslogIdentity = 32;

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

// pcap_open_live's text for a failed activation (libpcap 1.10, pcap.c):
// the device, then libpcap's message, or the status described, or both;
// the same lengths kept, so that a long message is cut at the same place.
std::string openFailureText(const char* device, int status, const char* message) {
    char text[PCAP_ERRBUF_SIZE];
    if (status == PCAP_ERROR) {
        snprintf(text, sizeof text, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 6, message);
    } else if ((status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
                status == PCAP_ERROR_PROMISC_PERM_DENIED) &&
               message[0] != '\0') {
        snprintf(text, sizeof text, "%s: %s (%.*s)", device, pcap_statustostr(status),
                 PCAP_ERRBUF_SIZE - 9, message);
    } else {
        snprintf(text, sizeof text, "%s: %s", device, pcap_statustostr(status));
    }
    return text;
}

// Opens the interface again, with the filter and the parameters of the
// start. Answers null, the handle closed, when it cannot be opened, the
// filter not installed, or its link type is one the monitor cannot decode.
// Another known link type is taken: `offset` becomes its offset.
pcap_t* reopenInterface(const char* interface, const char* filter, int32_t& offset) {
    std::string ignored;
    pcap_t* handle = openInterface(interface, g_bufferBytes, ignored);
    if (handle == nullptr) return nullptr;
    bpf_program program;
    bool good = pcap_compile(handle, &program, filter, kOptimizeFilter, kFilterNetmask) == 0;
    if (good) {
        // libpcap keeps its own copy of an installed program.
        good = pcap_setfilter(handle, &program) == 0;
        pcap_freecode(&program);
    }
    const int32_t newOffset = good ? linkOffset(handle) : -1;
    if (newOffset < 0) {
        pcap_close(handle);
        return nullptr;
    }
    offset = newOffset;
    return handle;
}

// Whether `filter`, which compiled for `handle`, lets no IPv4 packet
// through: libpcap's optimiser reduces "ip and (FILTER)" to a program that
// rejects everything, which pcap_compile refuses when optimising and
// accepts otherwise. Where the optimiser cannot prove it, no warning.
bool filterMatchesNoIpv4(pcap_t* handle, const char* filter) {
    const std::string withIpv4 = std::string("ip and (") + filter + ")";
    bpf_program program;
    if (pcap_compile(handle, &program, withIpv4.c_str(), kOptimizeFilter, kFilterNetmask) == 0) {
        pcap_freecode(&program);
        return false;
    }
    if (pcap_compile(handle, &program, withIpv4.c_str(), 0, kFilterNetmask) != 0) return false;
    pcap_freecode(&program);
    return true;
}

bool forwardingOn() {
    FILE* file = fopen("/proc/sys/net/ipv4/ip_forward", "r");
    if (file == nullptr) return false;
    const int first = fgetc(file);
    fclose(file);
    return first == '1';
}

// Warnings on what the monitor can know at start-up to be misleading.
void startupWarnings(pcap_t* handle, const char* interface, const char* filter) {
    if (strcmp(interface, "any") == 0 && forwardingOn())
        writeWarning(
            "Warning: the any device sees a forwarded packet twice (on its way in and out); "
            "rates of forwarded traffic read double");
    if (filterMatchesNoIpv4(handle, filter))
        writeWarning("Warning: the filter matches no IPv4 packet; nothing will be counted");
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

pcap_t* openInterface(const char* interface, int bufferBytes, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    pcap_t* handle = pcap_create(interface, errorBuffer);
    if (handle == nullptr) {
        failure = errorBuffer;
        return nullptr;
    }
    // The setters fail only on a handle already active: as in
    // pcap_open_live, such a status would be reported like the activation's.
    int status = pcap_set_snaplen(handle, kSnapLength);
    if (status >= 0) status = pcap_set_promisc(handle, kPromiscuous);
    if (status >= 0) status = pcap_set_timeout(handle, kReadTimeoutMs);
    if (status >= 0) status = pcap_set_buffer_size(handle, bufferBytes);
    if (status >= 0) status = pcap_activate(handle);
    if (status >= 0) return handle;
    failure = openFailureText(interface, status, pcap_geterr(handle));
    pcap_close(handle);
    return nullptr;
}

bool validSyslogIdentity(const char* identity) {
    const size_t length = strlen(identity);
    if (length == 0 || length > kMaxSyslogIdentity) return false;
    for (const char* c = identity; *c != '\0'; ++c)
        if (*c <= ' ' || *c > '~' || *c == ':' || *c == '[') return false;
    return true;
}

Heartbeat::Heartbeat(std::chrono::seconds period, Clock::time_point start)
    : period_(period), next_(start + period) {}

int Heartbeat::millisecondsUntilDue(Clock::time_point now) const {
    if (period_.count() == 0) return -1;
    if (now >= next_) return 0;
    return int(std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count());
}

bool Heartbeat::due(Clock::time_point now) {
    if (period_.count() == 0 || now < next_) return false;
    next_ += period_;
    if (next_ <= now) next_ = now + period_;
    return true;
}

void Heartbeat::write(pcap_t* handle) {
    pcap_stat now{};
    if (pcap_stats(handle, &now) < 0) return;
    // Wrap-safe differences, as for the drop line.
    writeInfo("Heartbeat: %u packets received, %u dropped since the last heartbeat",
              now.ps_recv - reported_.ps_recv,
              (now.ps_drop - reported_.ps_drop) + (now.ps_ifdrop - reported_.ps_ifdrop));
    reported_ = now;
}

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
        if (batch->dispatch(handle) < 0)
            failures.failed(handle, DispatchFailures::Clock::now());
        else
            failures.succeeded();
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
        pcap_t* reopened = reopenInterface(interface, filter, newOffset);
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
        failures.succeeded();
        drops.restart();
        heartbeat.restart();
        writeWarning("Capture reopened on %s", interface);
    }
}
