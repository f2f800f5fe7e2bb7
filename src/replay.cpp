// surgewatch-replay FILE FILTER: runs the monitor's decoder, tables, rules
// and sweeps over a capture file ("-" for standard input) and writes what the
// monitor would have written, to standard output only. Replayed history must
// never reach the system log, where it would read as live alerts.
//
// Exit status: 0 after the whole file, 255 when start-up fails (as the
// monitor), 1 when the file breaks off after start-up; everything before
// the damage has been replayed then.
#include <pcap/pcap.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "alert.h"
#include "main.h"

namespace {

constexpr int kDamagedFile = 1;

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// libpcap names the file in some open errors ("x.pcap: No such file or
// directory") and not in others ("unknown file format"); the report names it
// once either way.
std::string openFailureText(const char* file, const char* error) {
    const std::string prefix = std::string(file) + ": ";
    if (std::strncmp(error, prefix.c_str(), prefix.size()) == 0) return error;
    return prefix + error;
}

}  // namespace

int main(int argc, char** argv) {
    createTables();
    g_alertsToSyslog = false;

    if (argc != 3) {
        printf("\nUsage: %s <file> <filter>\n", argv[0]);
        return -1;
    }
    const char* file = argv[1];
    const char* filter = argv[2];

    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    printf("Opening file %s... ", file);
    PcapHandle handle(pcap_open_offline(file, errorBuffer));
    if (handle == nullptr) {
        reportFailure("%s %d Cannot open capture file %s", "\n%s %d Cannot open capture file %s\n",
                      openFailureText(file, errorBuffer).c_str());
        return -1;
    }
    int32_t offset = setUpCapture(handle.get(), filter);
    if (offset < 0) return -1;

    // One packet per dispatch call, so that the sweep schedule is considered
    // after every packet, as a live monitor would between packets that
    // arrive apart. Both references start at the first packet's second: the
    // capture replays as if the monitor had been started just before it.
    SweepSchedule schedule{};
    uint64_t replayed = 0;
    for (;;) {
        const int delivered = pcap_dispatch(handle.get(), 1, onPacket, reinterpret_cast<u_char*>(&offset));
        if (delivered < 0) {
            const std::string text = std::string(file) + " after " + std::to_string(replayed) +
                                     " packets: " + pcap_geterr(handle.get());
            reportFailure("%s %d Cannot read capture file %s", "%s %d Cannot read capture file %s\n",
                          text.c_str());
            return kDamagedFile;
        }
        if (delivered == 0) break;  // end of file
        if (replayed == 0) {
            schedule.flowSweepRef = g_packetTime;
            schedule.hostSweepRef = g_packetTime;
        }
        replayed += uint64_t(delivered);
        schedule.run();
    }
    printf("Replayed %" PRIu64 " packets\n", replayed);
    return 0;
}
