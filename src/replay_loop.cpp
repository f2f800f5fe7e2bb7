#include "replay_loop.h"

#include "batch.h"
#include "clock.h"
#include "sweep_schedule.h"

namespace {
// A classic pcap file is of major version 2; pcapng reports its own
// section's 1, and its 64-bit times are read right by libpcap.
constexpr int kClassicPcapMajor = 2;
}  // namespace

ReplayResult replayCapture(pcap_t* handle, int32_t offset,
                           const std::function<void(const ReplayResult&)>& afterSweep) {
    // A capture still being written (a pipe from a running capture) must
    // have every packet counted as soon as it is read, not when a batch
    // fills: only a regular file, whose end is final, is taken in batches.
    PacketBatch batch(LinkLayer{offset, pcap_datalink(handle)}, PacketBatch::capacityFor(handle));
    return replayCapture(handle, batch, afterSweep);
}

namespace {
// The replay's step after every packet: the first packet sets the
// references, then the schedule is considered.
struct Replay {
    SweepSchedule schedule;
    ReplayResult result;
    const std::function<void(const ReplayResult&)>& afterSweep;

    static void afterPacket(void* context) {
        Replay& replay = *static_cast<Replay*>(context);
        ReplayResult& result = replay.result;
        if (result.packets == 0) {
            result.firstTime = g_packetTime;
            replay.schedule.flowSweepRef = g_packetTime;
            replay.schedule.hostSweepRef = g_packetTime;
        }
        ++result.packets;
        const SweepsRun swept = replay.schedule.run();
        if ((swept.flows || swept.hosts) && replay.afterSweep) replay.afterSweep(result);
    }
};
}  // namespace

ReplayResult replayCapture(pcap_t* handle, PacketBatch& batch,
                           const std::function<void(const ReplayResult&)>& afterSweep) {
    // Whatever batch the caller chose, a classic file's seconds are its
    // unsigned 32-bit numbers.
    batch.setUnsigned32Seconds(pcap_major_version(handle) == kClassicPcapMajor);
    Replay replay{SweepSchedule{}, ReplayResult{0, 0, false}, afterSweep};
    batch.setAfterPacket(Replay::afterPacket, &replay);
    for (;;) {
        // Every frame the call delivered is applied (and counted) before its
        // result is looked at: after damage, what came before it counts.
        const int status = batch.dispatch(handle);
        if (status <= 0) {
            replay.result.broken = status < 0;
            break;
        }
    }
    batch.setAfterPacket(nullptr, nullptr);
    return replay.result;
}
