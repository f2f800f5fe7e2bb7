#include "capture_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

pcap_t* openCaptureFile(const char* file, char* errorBuffer, char* buffer, size_t size) {
    struct stat status;
    // A name that does not open as a regular file goes to libpcap's own
    // open, which then fails or succeeds as it always did. Only a regular
    // file is opened here: a pipe opened twice could lose its writer.
    if (buffer == nullptr || std::strcmp(file, "-") == 0 || stat(file, &status) != 0 ||
        !S_ISREG(status.st_mode))
        return pcap_open_offline(file, errorBuffer);
    FILE* stream = fopen(file, "rb");
    if (stream == nullptr) return pcap_open_offline(file, errorBuffer);
    setvbuf(stream, buffer, _IOFBF, size);  // before the first read
    // What libpcap's own open does once the file is open: its failures
    // (not a capture, damaged) read the same either way.
    pcap_t* handle = pcap_fopen_offline(stream, errorBuffer);
    if (handle == nullptr) fclose(stream);
    return handle;
}
