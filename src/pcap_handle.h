// Owning handles for libpcap's capture and savefile-writer handles.
#ifndef SURGEWATCH_PCAP_HANDLE_H
#define SURGEWATCH_PCAP_HANDLE_H

#include <pcap/pcap.h>

#include <memory>

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;
using PcapDumper = std::unique_ptr<pcap_dumper_t, PcapCloser>;

#endif
