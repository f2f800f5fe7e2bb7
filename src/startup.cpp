#include "startup.h"

#include <cstdio>

#include "alert.h"
#include "link_types.h"
#include "tables.h"

namespace {
constexpr int kOptimizeFilter = 1;
constexpr bpf_u_int32 kFilterNetmask = 0;
}  // namespace

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
    if (!setTableCapacities()) return -1;

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
