// The replay loop: a capture file through the monitor's packet work and
// sweep schedule, packet after packet.
#ifndef SURGEWATCH_REPLAY_LOOP_H
#define SURGEWATCH_REPLAY_LOOP_H

#include <pcap/pcap.h>

#include <cstdint>
#include <functional>

class PacketBatch;

// Replays the capture file behind `handle` with the packets of a live
// monitor, packet after packet, with the sweep schedule considered after
// every packet, as a live monitor would between packets that arrive apart.
// Both references start at the first packet's second: the file replays as
// if the monitor had been started just before it. `afterSweep`, when given,
// is called with the progress so far after every packet whose schedule
// swept a table. A regular file is read in batches (batch.h), anything else
// (a pipe) a packet at a time, so that a packet read is counted at once.
// The seconds of a classic pcap file are read as the unsigned 32-bit number
// the format stores (libpcap widens them with the sign); pcapng times as
// libpcap reads them.
struct ReplayResult {
    uint64_t packets;   // replayed, before the end or the damage
    int64_t firstTime;  // packet time of the first packet; 0 before it
    bool broken;        // the file broke off; pcap_geterr says why
};
ReplayResult replayCapture(pcap_t* handle, int32_t offset,
                           const std::function<void(const ReplayResult&)>& afterSweep = nullptr);
// The same through the given batch, whatever the source: its capacity and
// walk threshold are the caller's (tests and benchmarks compare them).
ReplayResult replayCapture(pcap_t* handle, PacketBatch& batch,
                           const std::function<void(const ReplayResult&)>& afterSweep = nullptr);

#endif
