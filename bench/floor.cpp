// surgewatch-floor FILE FILTER [--one-per-call]: the least any libpcap-based
// reader can spend on a capture. Opens the file, compiles (optimised,
// netmask 0) and installs the filter as the monitor does, and dispatches
// every frame to a handler that reads one byte of it. With --one-per-call it
// asks for one frame per dispatch call, as the replay program does, which
// shows what the calls alone cost.
//
// Prints the number of frames read, and the sum of the bytes read so that
// the compiler cannot drop the reads.
#include <pcap/pcap.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pcap_handle.h"

namespace {

struct Reader {
    uint64_t frames = 0;
    uint64_t sum = 0;
};

void touchOneByte(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    Reader* reader = reinterpret_cast<Reader*>(user);
    ++reader->frames;
    if (header->caplen > 0) reader->sum += bytes[0];
}

}  // namespace

int main(int argc, char** argv) {
    const bool onePerCall = argc == 4 && strcmp(argv[3], "--one-per-call") == 0;
    if (argc != 3 && !onePerCall) {
        fprintf(stderr, "usage: %s FILE FILTER [--one-per-call]\n", argv[0]);
        return 2;
    }
    // Read as the replay reads its file.
    static char buffer[kCaptureReadBuffer];
    PcapHandle handle = openFilteredFile(argv[0], argv[1], argv[2], buffer, sizeof buffer);
    if (!handle) return 1;

    Reader reader;
    u_char* user = reinterpret_cast<u_char*>(&reader);
    int status;
    if (onePerCall) {
        while ((status = pcap_dispatch(handle.get(), 1, touchOneByte, user)) > 0) {
        }
    } else {
        // A count of -1 reads a whole file in one call.
        while ((status = pcap_dispatch(handle.get(), -1, touchOneByte, user)) > 0) {
        }
    }
    if (status < 0) {
        fprintf(stderr, "%s: reading %s: %s\n", argv[0], argv[1], pcap_geterr(handle.get()));
        return 1;
    }
    printf("%" PRIu64 " frames read (byte sum %" PRIu64 ")\n", reader.frames, reader.sum);
    return 0;
}
