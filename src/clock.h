// The packet clock and the rate-window arithmetic shared by the flow and
// host rules. All time in the tables is packet time: the whole seconds of
// the capture timestamps, so when no packets arrive nothing moves.
#ifndef SURGEWATCH_CLOCK_H
#define SURGEWATCH_CLOCK_H

#include <cstdint>

// Seconds of the capture timestamp of the latest frame, backwards too; 0
// until the first frame. Written by the packet work (PacketBatch's apply
// step, or onPacket), before any table work for the frame.
extern int64_t g_packetTime;

// `to` minus `from` in seconds, as a signed 64-bit difference that wraps
// instead of overflowing (timestamps come from the wire or a file).
inline int64_t secondsBetween(int64_t from, int64_t to) {
    return int64_t(uint64_t(to) - uint64_t(from));
}

// A rate window closes at the first update more than this many seconds
// after its start.
constexpr int32_t kWindowSeconds = 5;

// Seconds from a window's start to an update at `time`: the difference of
// the low 32 bits of the two times, taken as signed. An update older than
// the start gives a negative length, which never closes the window.
inline int32_t windowLength(int64_t start, int64_t time) {
    return int32_t(uint32_t(uint64_t(time) - uint64_t(start)));
}

#endif
