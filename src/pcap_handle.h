// Owning handles for libpcap's capture and savefile-writer handles.
#ifndef SURGEWATCH_PCAP_HANDLE_H
#define SURGEWATCH_PCAP_HANDLE_H

#include <pcap/pcap.h>

#include <cstdio>
#include <memory>

#include "capture_file.h"

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;
using PcapDumper = std::unique_ptr<pcap_dumper_t, PcapCloser>;

// For the measuring tools: opens the capture file `file` with `filter`
// installed, or writes why not to standard error, after the tool's name,
// and answers null. With `buffer`, a regular file is read through it, as
// the replay reads (capture_file.h); it must outlive the handle.
inline PcapHandle openFilteredFile(const char* tool, const char* file, const char* filter,
                                   char* buffer = nullptr, size_t size = 0) {
    char error[PCAP_ERRBUF_SIZE] = "";
    PcapHandle handle(openCaptureFile(file, error, buffer, size));
    if (!handle) {
        fprintf(stderr, "%s: cannot open %s: %s\n", tool, file, error);
        return nullptr;
    }
    bpf_program program;
    if (pcap_compile(handle.get(), &program, filter, 1, 0) < 0 ||
        pcap_setfilter(handle.get(), &program) < 0) {
        fprintf(stderr, "%s: filter '%s': %s\n", tool, filter, pcap_geterr(handle.get()));
        return nullptr;
    }
    pcap_freecode(&program);
    return handle;
}

#endif
