// The live capture: the interface opened, for the first time and again
// when it comes back, and what can be known at start-up to mislead.
#ifndef SURGEWATCH_LIVE_CAPTURE_H
#define SURGEWATCH_LIVE_CAPTURE_H

#include <pcap/pcap.h>

#include <cstdint>
#include <string>

// The kernel's capture buffer (SURGEWATCH_BUFFER_MB), in MiB. Under a flood
// the ring holds what arrives while the monitor is busy elsewhere, above
// all during a sweep of a large flow table. On Linux (TPACKET_V3) the ring
// is a row of 256 KiB blocks, each handed over when full or 10 ms (the read
// timeout) after its first frame; a 68-byte snapshot takes 160 bytes of a
// block (a 48-byte frame header, the link address, alignment to 16, the
// snapshot), so a block holds 1,638 frames. 256 MiB, 1,024 blocks, ride out
// 10 s of traffic below 164,000 packets a second, about 5 s at 300,000 and
// 1.7 s at a million: several times a sweep of several million flows at
// the rates the monitor sustains (docs/performance-flood.md). libpcap's own
// default, 2 MiB, rode out 13 ms of a fast flood. The memory is the
// kernel's, taken once per open; libpcap takes less when the kernel cannot
// give that much. The largest value is the most that libpcap's size in
// bytes, an int, can say.
constexpr uint64_t kDefaultBufferMiB = 256;
constexpr uint64_t kMaxBufferMiB = 2047;

// Opens `interface` for live capture as pcap_open_live(interface, 68, 1, 10)
// does, with a kernel buffer of `bufferBytes`: on failure answers null with
// in `failure` the very text that pcap_open_live would have left in its
// error buffer. Warnings of the activation (promiscuous mode not supported,
// say) are let pass, as pcap_open_live lets them pass.
pcap_t* openInterface(const char* interface, int bufferBytes, std::string& failure);

// Opens the interface again, with the filter and the parameters of the
// start. Answers null, the handle closed, when it cannot be opened, the
// filter not installed, or its link type is one the monitor cannot decode.
// Another known link type is taken: `offset` becomes its offset.
pcap_t* reopenInterface(const char* interface, const char* filter, int bufferBytes,
                        int32_t& offset);

// Warnings on what the monitor can know at start-up to be misleading: the
// any device on a machine that forwards IPv4 (each forwarded packet seen
// twice), and a filter that lets no IPv4 packet through.
void startupWarnings(pcap_t* handle, const char* interface, const char* filter);

#endif
