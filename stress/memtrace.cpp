// surgewatch-memtrace FILE: replays a capture file through the monitor's own
// decoder, tables and sweep schedule (as surgewatch-replay does, without a
// filter and without the sweep reports) and writes, after every sweep, the
// packet time, both table sizes, the process's resident memory read at that
// very moment, and what the general allocator has handed out and holds (the
// records live apart, in their own pools); at the end the peak resident
// memory. For long-run checks of how memory follows the live tables.
#include <malloc.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "alert.h"
#include "clock.h"
#include "flow.h"
#include "host.h"
#include "link_types.h"
#include "pcap_handle.h"
#include "replay_loop.h"
#include "tables.h"

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long statusKib(const char* field) {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long value = -1;
    const size_t length = strlen(field);
    while (fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, field, length) == 0 && line[length] == ':')
            value = strtol(line + length + 1, nullptr, 10);
    fclose(status);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    char errorBuffer[PCAP_ERRBUF_SIZE];
    PcapHandle handle(pcap_open_offline(argv[1], errorBuffer));
    if (!handle) {
        fprintf(stderr, "%s: %s\n", argv[0], errorBuffer);
        return 1;
    }
    int32_t offset = linkOffset(handle.get());
    if (offset < 0) {
        fprintf(stderr, "%s: unknown link type\n", argv[0]);
        return 1;
    }
    createTables();

    // Sweep reports and alerts go nowhere: this tool's own lines go to the
    // original standard output.
    FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;
    fprintf(out,
            "# seconds flow-records host-records resident-KiB heap-in-use-KiB heap-held-KiB\n");
    const ReplayResult result = replayCapture(handle.get(), offset, [&](const ReplayResult& sofar) {
        const struct mallinfo2 heap = mallinfo2();
        fprintf(out, "%" PRId64 " %u %u %ld %zu %zu\n", g_packetTime - sofar.firstTime,
                g_flowTable->size(), g_hostTable->size(), statusKib("VmRSS"),
                (heap.uordblks + heap.hblkhd) / 1024, (heap.arena + heap.hblkhd) / 1024);
    });
    if (result.broken) {
        fprintf(stderr, "%s: %s\n", argv[0], pcap_geterr(handle.get()));
        return 1;
    }
    fprintf(out, "# %" PRIu64 " packets; peak resident %ld KiB\n", result.packets,
            statusKib("VmHWM"));
    return fclose(out) == 0 ? 0 : 1;
}
