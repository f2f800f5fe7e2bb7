// surgewatch-replay [-t] [-c] FILE FILTER: runs the monitor's decoder, tables,
// rules and sweeps over a capture file ("-" for standard input) and writes
// what the monitor would have written, to standard output only. Replayed
// history must never reach the system log, where it would read as live
// alerts. With -t every alert and sweep report line begins with the packet
// time that raised it (alert.h). With -c, what the tables counted in each
// second for its busiest destinations follows that second (counts.h).
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
#include <vector>

#include "alert.h"
#include "capture_file.h"
#include "counts.h"
#include "pcap_handle.h"
#include "replay_loop.h"
#include "startup.h"

namespace {

constexpr int kDamagedFile = 1;

// The usage line of the plain form stays the one it always was; a command
// line that uses options gets the one that names them.
constexpr const char* kUsage = "\nUsage: %s <file> <filter>\n";
constexpr const char* kUsageWithOptions = "\nUsage: %s [-t] [-c] <file> <filter>\n";

struct Options {
    bool stamp = false;
    bool counts = false;
    bool given = false;  // some option (or "--") was on the command line
    bool valid = true;
    int operands = 1;  // index in argv of the first operand
};

// Options come first. "-" alone is an operand (standard input), and "--"
// ends the options, so a file named "-t" is "./-t" or "-- -t".
Options parseOptions(int argc, char** argv) {
    Options options;
    int at = 1;
    for (; at < argc && argv[at][0] == '-' && argv[at][1] != '\0'; ++at) {
        options.given = true;
        if (std::strcmp(argv[at], "--") == 0) {
            ++at;
            break;
        }
        if (std::strcmp(argv[at], "-t") == 0)
            options.stamp = true;
        else if (std::strcmp(argv[at], "-c") == 0)
            options.counts = true;
        else
            options.valid = false;
    }
    options.operands = at;
    return options;
}

// libpcap names the file in some open errors ("x.pcap: No such file or
// directory") and not in others ("unknown file format"); the report names it
// once either way.
pcap_t* openFile(const char* file, std::string& failure) {
    char errorBuffer[PCAP_ERRBUF_SIZE];
    errorBuffer[0] = '\0';
    static char buffer[kCaptureReadBuffer];  // one capture file per process
    pcap_t* handle = openCaptureFile(file, errorBuffer, buffer, sizeof buffer);
    if (handle != nullptr) return handle;
    const std::string prefix = std::string(file) + ": ";
    failure = std::strncmp(errorBuffer, prefix.c_str(), prefix.size()) == 0 ? errorBuffer
                                                                            : prefix + errorBuffer;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    static const CaptureSource kFile = {kUsage,
                                        "Opening file %s... ",
                                        openFile,
                                        "%s %d Cannot open capture file %s",
                                        "\n%s %d Cannot open capture file %s\n",
                                        "%s %d Unknown link type %s",
                                        "\n%s %d Unknown link type %s\n"};
    const Options options = parseOptions(argc, argv);
    CaptureSource source = kFile;
    if (options.given) source.usage = kUsageWithOptions;
    // Start-up sees the program name and the operands alone. An unknown
    // option is refused as a wrong argument count is: the usage line, 255.
    std::vector<char*> args{argv[0]};
    if (options.valid) args.insert(args.end(), argv + options.operands, argv + argc);
    args.push_back(nullptr);
    argc = int(args.size()) - 1;
    argv = args.data();
    g_stampLines = options.stamp;

    pcap_t* opened = nullptr;
    const int32_t offset = startCapture(argc, argv, source, &opened);
    const PcapHandle handle(opened);
    if (offset < 0) return -1;

    SecondCounts counts;
    if (options.counts) g_secondCounts = &counts;
    const ReplayResult result = replayCapture(handle.get(), offset);
    // The last second counted, also when the file broke off after it.
    counts.flush();
    g_secondCounts = nullptr;
    if (result.broken) {
        const std::string text = std::string(argv[1]) + " after " + std::to_string(result.packets) +
                                 " packets: " + pcap_geterr(handle.get());
        reportFailure("%s %d Cannot read capture file %s", "%s %d Cannot read capture file %s\n",
                      text.c_str());
        return kDamagedFile;
    }
    printf("Replayed %" PRIu64 " packets\n", result.packets);
    return 0;
}
