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
pcap_t* openFile(const char* file, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    pcap_t* handle = pcap_open_offline(file, errorBuffer);
    if (handle != nullptr) return handle;
    const std::string prefix = std::string(file) + ": ";
    failure = std::strncmp(errorBuffer, prefix.c_str(), prefix.size()) == 0 ? errorBuffer
                                                                              : prefix + errorBuffer;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    static const CaptureSource kFile = {"\nUsage: %s <file> <filter>\n", "Opening file %s... ",
                                        openFile, "%s %d Cannot open capture file %s",
                                        "\n%s %d Cannot open capture file %s\n",
                                        "%s %d Unknown link type %s",
                                        "\n%s %d Unknown link type %s\n"};
    g_alertsToSyslog = false;
    pcap_t* opened = nullptr;
    const int32_t offset = startCapture(argc, argv, kFile, &opened);
    const PcapHandle handle(opened);
    if (offset < 0) return -1;

    const ReplayResult result = replayCapture(handle.get(), offset);
    if (result.broken) {
        const std::string text = std::string(argv[1]) + " after " +
                                 std::to_string(result.packets) +
                                 " packets: " + pcap_geterr(handle.get());
        reportFailure("%s %d Cannot read capture file %s", "%s %d Cannot read capture file %s\n",
                      text.c_str());
        return kDamagedFile;
    }
    printf("Replayed %" PRIu64 " packets\n", result.packets);
    return 0;
}
