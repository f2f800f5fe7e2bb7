#include "main.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>

#include "alert.h"
#include "batch.h"
#include "decode.h"

#ifndef __FILE_NAME__
#define __FILE_NAME__ "main.cpp"
#endif

// Fixed capture parameters.
constexpr int kSnapLength = 68;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 10;
constexpr int kOptimizeFilter = 1;
constexpr bpf_u_int32 kFilterNetmask = 0;

// What stands in front of the IPv4 header, by link type. Nothing in the link
// header is ever looked at.
struct LinkType {
    int number;  // DLT_*
    int32_t offset;
};
constexpr LinkType kLinkTypes[] = {
    {DLT_NULL, 4},         // address-family word
    {DLT_EN10MB, 14},      // Ethernet
    {DLT_IEEE802, 22},     // Token Ring with LLC/SNAP
    {DLT_SLIP, 16},        // SLIP pseudo-header
    {DLT_PPP, 4},          // PPP header
    {DLT_FDDI, 21},        // FDDI with LLC/SNAP
    {DLT_RAW, 0},          // the IPv4 header comes first
    {DLT_LOOP, 4},         // address-family word
    {DLT_LINUX_SLL, 16},   // cooked capture header
    {DLT_LINUX_SLL2, 20},  // cooked capture header, version 2 (tcpdump -i any)
};

int32_t linkOffsetOf(int linkType) {
    for (const LinkType& known : kLinkTypes)
        if (known.number == linkType) return known.offset;
    return -1;
}

// "DLT_EN10MB / 1", or "DLT_(unnamed) / 4711" for a number libpcap has no
// name for.
static std::string linkTypeName(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    return std::string("DLT_") + (name != nullptr ? name : "(unnamed)") + " / " +
           std::to_string(linkType);
}

std::string describeUnknownLinkType(int linkType) {
    std::string text = linkTypeName(linkType) + "; supported: ";
    for (const LinkType& known : kLinkTypes) {
        if (&known != kLinkTypes) text += ", ";
        text += linkTypeName(known.number);
    }
    return text;
}

int32_t linkOffset(pcap_t* handle) { return linkOffsetOf(pcap_datalink(handle)); }

void onPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    LinkLayer link;
    memcpy(&link, user, sizeof link);
    const int64_t time = header->ts.tv_sec;
    g_packetTime = time;

    const std::optional<FlowObservation> seen = decodeFrame(bytes, header->caplen, link);
    if (!seen) return;
    // The tables take the record over, as they do from a batch.
    countObservation(buildRecord(*seen, time), time);
}

SweepsRun SweepSchedule::run() {
    SweepsRun swept{false, false};
    if (secondsBetween(flowSweepRef, g_packetTime) > 9) {
        flowSweepRef = g_packetTime;
        g_flowTable->sweep(flowExpired);
        swept.flows = true;
    }
    if (secondsBetween(hostSweepRef, g_packetTime) > 19) {
        hostSweepRef = g_packetTime;
        g_hostTable->sweep(hostExpired);
        swept.hosts = true;
    }
    return swept;
}

// Both formats begin with "%s %d ": the source file and the line of the
// statement that writes that copy.
void reportFailure(const char* logFormat, const char* outFormat, const char* text) {
    if (g_alertsToSyslog) syslog(kAlertPriority, logFormat, __FILE_NAME__, __LINE__, text);
    printf(outFormat, __FILE_NAME__, __LINE__, text);
}

int32_t startCapture(int argc, char** argv, const CaptureSource& source, pcap_t** handle) {
    createTables();

    // Alerts must reach a file or a pipe as they happen: the monitor only
    // ever ends by a signal, which would lose a full buffer, and a replay
    // read from a live pipe is killed as often.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc != 3) {
        printf(source.usage, argv[0]);
        return -1;
    }
    const char* name = argv[1];
    const char* filter = argv[2];

    std::string failure;
    printf(source.opening, name);
    *handle = source.open(name, failure);
    if (*handle == nullptr) {
        reportFailure(source.openFailureLog, source.openFailureOut, failure.c_str());
        return -1;
    }

    printf("done\n");
    printf("Compiling filter `%s`... ", filter);
    // Like the handle, the program is in use until the process ends.
    static bpf_program program;
    if (pcap_compile(*handle, &program, filter, kOptimizeFilter, kFilterNetmask) < 0) {
        reportFailure("%s %d Cannot compile filter: %s", "\n%s %d Cannot compile filter: %s\n",
                      pcap_geterr(*handle));
        return -1;
    }

    printf("done\n");
    printf("Setting filter... ");
    if (pcap_setfilter(*handle, &program) < 0) {
        reportFailure("%s %d Cannot set compiled filter: %s",
                      "\n%s %d  Cannot set compiled filter: %s\n", pcap_geterr(*handle));
        return -1;
    }

    printf("done\n");
    printf("Detecting IP layer offset in bytes... ");
    const int32_t offset = linkOffset(*handle);
    if (offset < 0) {
        reportFailure(source.unknownLinkLog, source.unknownLinkOut,
                      describeUnknownLinkType(pcap_datalink(*handle)).c_str());
        return -1;
    }
    printf("%d done\n", offset);
    return offset;
}

// A classic pcap file is of major version 2; pcapng reports its own
// section's 1, and its 64-bit times are read right by libpcap.
constexpr int kClassicPcapMajor = 2;

ReplayResult replayCapture(pcap_t* handle, int32_t offset,
                           const std::function<void(const ReplayResult&)>& afterSweep) {
    // A capture still being written (a pipe from a running capture) must
    // have every packet counted as soon as it is read, not when a batch
    // fills: only a regular file, whose end is final, is taken in batches.
    PacketBatch batch(LinkLayer{offset, pcap_datalink(handle)}, PacketBatch::capacityFor(handle));
    batch.setUnsigned32Seconds(pcap_major_version(handle) == kClassicPcapMajor);
    return replayCapture(handle, batch, afterSweep);
}

namespace {
// The replay's step after every packet: the first packet sets the
// references, then the schedule is considered.
struct Replay {
    SweepSchedule schedule;
    ReplayResult result;
    const std::function<void(const ReplayResult&)>& afterSweep;

    static void afterPacket(void* context) {
        Replay& replay = *static_cast<Replay*>(context);
        ReplayResult& result = replay.result;
        if (result.packets == 0) {
            result.firstTime = g_packetTime;
            replay.schedule.flowSweepRef = g_packetTime;
            replay.schedule.hostSweepRef = g_packetTime;
        }
        ++result.packets;
        const SweepsRun swept = replay.schedule.run();
        if ((swept.flows || swept.hosts) && replay.afterSweep) replay.afterSweep(result);
    }
};
}  // namespace

ReplayResult replayCapture(pcap_t* handle, PacketBatch& batch,
                           const std::function<void(const ReplayResult&)>& afterSweep) {
    Replay replay{SweepSchedule{}, ReplayResult{0, 0, false}, afterSweep};
    batch.setAfterPacket(Replay::afterPacket, &replay);
    for (;;) {
        // Every frame the call delivered is applied (and counted) before its
        // result is looked at: after damage, what came before it counts.
        const int status = batch.dispatch(handle);
        if (status <= 0) {
            replay.result.broken = status < 0;
            break;
        }
    }
    batch.setAfterPacket(nullptr, nullptr);
    return replay.result;
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

static pcap_t* openInterface(const char* interface, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    pcap_t* handle =
        pcap_open_live(interface, kSnapLength, kPromiscuous, kReadTimeoutMs, errorBuffer);
    if (handle == nullptr) failure = errorBuffer;
    return handle;
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
