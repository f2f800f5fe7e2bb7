// surgewatch-batch FILE CAPACITY WALK_FROM: the replay of FILE (filter
// "ip") through a packet batch of CAPACITY frames that walks the flow-tree
// descents ahead once the flow table holds WALK_FROM records ("never": no
// walk), as the monitor would with those settings ("default" for either:
// the monitor's own). The replay's own output
// goes to a temporary file; one line goes to standard error:
//
//   packets 2000000 cpu 1.234 s 617.0 ns/packet flows 812345 1012345 walked 51234567
//
// with the processor time of the replay alone (file reading included), the
// mean flow-table size after and before the flow sweeps (from their report
// lines), and the records the walks read ahead: not 0 whenever the table
// reached WALK_FROM, which shows that the walk really runs.
#include "batch.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "alert.h"
#include "link_types.h"
#include "pcap_handle.h"
#include "replay_loop.h"
#include "tables.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s FILE CAPACITY|default WALK_FROM|never|default\n", argv[0]);
        return 2;
    }
    const size_t capacity = strcmp(argv[2], "default") == 0 ? PacketBatch::kDefaultCapacity
                                                            : size_t(strtoul(argv[2], nullptr, 10));
    const uint32_t walkFrom = strcmp(argv[3], "never") == 0 ? PacketBatch::kNeverWalk
                              : strcmp(argv[3], "default") == 0
                                  ? PacketBatch::kDefaultWalkFrom
                                  : uint32_t(strtoul(argv[3], nullptr, 10));
    // Read as the replay reads its file.
    static char buffer[kCaptureReadBuffer];
    PcapHandle handle = openFilteredFile(argv[0], argv[1], "ip", buffer, sizeof buffer);
    if (!handle) return 1;
    const int32_t offset = linkOffset(handle.get());
    if (offset < 0) {
        fprintf(stderr, "%s: unknown link type\n", argv[0]);
        return 1;
    }
    FILE* output = tmpfile();
    if (output == nullptr) return 1;
    fflush(stdout);
    if (dup2(fileno(output), STDOUT_FILENO) < 0) return 1;
    createTables();

    PacketBatch batch(LinkLayer{offset, pcap_datalink(handle.get())}, capacity, walkFrom);
    const clock_t start = clock();
    const ReplayResult result = replayCapture(handle.get(), batch);
    const double seconds = double(clock() - start) / CLOCKS_PER_SEC;
    fflush(stdout);
    rewind(output);
    char line[256];
    double before = 0, after = 0;
    uint64_t sweeps = 0;
    while (fgets(line, sizeof line, output) != nullptr) {
        unsigned b, a;
        if (sscanf(line, "Flow cleanup took %*f seconds (%u -> %u)", &b, &a) == 2) {
            before += b;
            after += a;
            ++sweeps;
        }
    }
    if (sweeps == 0) sweeps = 1;
    if (result.broken) {
        fprintf(stderr, "%s: %s\n", argv[0], pcap_geterr(handle.get()));
        return 1;
    }
    fprintf(stderr,
            "packets %" PRIu64 " cpu %.3f s %.1f ns/packet flows %.0f %.0f walked %" PRIu64 "\n",
            result.packets, seconds, result.packets ? seconds * 1e9 / double(result.packets) : 0.0,
            after / double(sweeps), before / double(sweeps), batch.walkSteps());
    return 0;
}
