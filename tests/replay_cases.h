// What the replay's tests and the helpers' tests replay: IPv4 packets
// behind a link header, written as capture files, the lines the replay
// prints for them, and an incident with every kind of alert.
#ifndef SURGEWATCH_TESTS_REPLAY_CASES_H
#define SURGEWATCH_TESTS_REPLAY_CASES_H

#include <netinet/in.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "support.h"

namespace replay_cases {

using frames::Bytes;
using Address = frames::Addr;
using Frame = captures::Record;

struct Endpoint {
    Address addr;
    uint16_t port;
};

// An IPv4 packet without options carrying a TCP SYN or a UDP datagram, no
// payload, don't-fragment set.
inline Bytes ipv4(uint8_t protocol, Endpoint src, Endpoint dst, uint8_t tos = 0) {
    frames::Ip ip;
    ip.tos = tos;
    ip.flagsFragment = 0x4000;
    ip.protocol = protocol;
    ip.src = src.addr;
    ip.dst = dst.addr;
    return frames::frame(0, ip,
                         protocol == IPPROTO_TCP ? frames::tcp(src.port, dst.port, 0x02)
                                                 : frames::udp(src.port, dst.port));
}

// The packet behind the link header of `linkType`, whose length is the
// offset that the replay must report for that link type, cut to `cutTo`
// bytes. Every frame gets a fraction of half a second, so that the
// precision of the file matters.
inline Frame frame(int linkType, int64_t seconds, const Bytes& ip, size_t cutTo = SIZE_MAX) {
    Frame f{seconds, frames::linkHeader(linkType), 0, 500000};
    f.bytes.insert(f.bytes.end(), ip.begin(), ip.end());
    f.wireLength = uint32_t(f.bytes.size());
    if (cutTo < f.bytes.size()) f.bytes.resize(cutTo);
    return f;
}

inline const Address kSource = {192, 0, 2, 7};
inline const Address kVictim = {198, 51, 100, 5};

// The flow example: a TCP flow 192.0.2.7:555 -> 198.51.100.5:80 with type of
// service 0xB8 (DSCP 2E). One packet at t, `further` packets spread from t to
// t+5, then one at t+6, which closes the first rate window of 6 seconds.
// 11999 further packets make (6 x 2000 + 1) / 6 = 2000.17 packets/s.
inline std::vector<Frame> flowExample(int linkType, int64_t t, int further) {
    const Bytes syn = ipv4(IPPROTO_TCP, {kSource, 555}, {kVictim, 80}, 0xB8);
    std::vector<Frame> frames{frame(linkType, t, syn)};
    for (int i = 0; i < further; ++i)
        frames.push_back(frame(linkType, t + int64_t(i) * 6 / further, syn));
    frames.push_back(frame(linkType, t + 6, syn));
    return frames;
}

inline constexpr int64_t kT = 1000000000;  // a packet time well above 6 seconds

// Writes `frames` through pcap_dump; `nano` makes a nanosecond file.
inline void writePcap(const std::string& path, int linkType, const std::vector<Frame>& frames,
                      bool nano = false) {
    writeFile(path, captures::pcapFile(frames, {linkType, 65535, nano}));
}

// Failures name a case by its name rather than by its bytes.
template <typename Case>
void printCaseName(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The four progress lines of a successful start.
inline std::string startup(const std::string& file, const std::string& filter, int offset) {
    return "Opening file " + file + "... done\nCompiling filter `" + filter +
           "`... done\nSetting filter... done\nDetecting IP layer offset in bytes... " +
           std::to_string(offset) + " done\n";
}

inline const std::string kFlowAlert =
    "FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]\n";

// With -t each alert and sweep report line begins with the packet time that
// raised it; start-up lines, failure reports and the summary never change.
// kT is 2001-09-09T01:46:40Z; at(s) is the stamp of kT + s, s < 800.
inline std::string at(int seconds) {
    const int second = 40 + seconds;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "2001-09-09T01:%02d:%02dZ ", 46 + second / 60, second % 60);
    return stamp;
}

// An incident with every kind of alert, 55,205 packets over 30 s from `t`,
// in time order:
//   198.51.100.5: a TCP flow from 192.0.2.7 at 2000.17 packets/s until t+6;
//   198.51.100.7: new UDP flows from 192.0.2.9, a scan that speeds up: three
//     windows from t+10 closing at 116.83, 166.83 and 216.83 flows/s;
//   198.51.100.9: three TCP flows; the first, from 192.0.2.20, starts with
//     two packets at t+24, all three carry 31,196 packets over t+25..t+29
//     (the first of the second and third are new flows),
//     and one more of the first at t+30 closes both windows: that flow at
//     2100.17 packets/s, the destination at 5199.17;
//   198.51.100.3: one TCP flow from 192.0.2.30, 300 packets each second
//     t..t+29, below every limit.
// Each rate window of a destination rule starts with a second whose last
// packet closed the window before, and ends with a second whose only packet
// of that rule closed it: the packets a rule counted in a window are those
// of whole seconds.
inline std::vector<Frame> incident(int64_t t) {
    std::vector<Frame> frames = flowExample(DLT_EN10MB, t, 11999);
    const Address scanned = {198, 51, 100, 7};
    uint16_t port = 1000;
    auto newFlows = [&](int64_t seconds, int count) {
        for (int i = 0; i < count; ++i)
            frames.push_back(frame(DLT_EN10MB, seconds,
                                   ipv4(IPPROTO_UDP, {{192, 0, 2, 9}, port++}, {scanned, 53})));
    };
    newFlows(t + 10, 2);
    int64_t start = t + 10;
    for (const int count : {700, 1000, 1300}) {
        for (int s = 1; s <= 5; ++s) newFlows(start + s, count / 5);
        start += 6;
        newFlows(start, 1);
    }
    const Address server = {198, 51, 100, 9};
    auto toServer = [&](uint8_t source) {
        return ipv4(IPPROTO_TCP, {{192, 0, 2, source}, 40000}, {server, 443});
    };
    frames.push_back(frame(DLT_EN10MB, t + 24, toServer(20)));
    frames.push_back(frame(DLT_EN10MB, t + 24, toServer(20)));
    const uint8_t sources[] = {20, 21, 22};
    const int spread[] = {12598, 9299, 9299};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < spread[f]; ++i)
            frames.push_back(
                frame(DLT_EN10MB, t + 25 + int64_t(i) * 5 / spread[f], toServer(sources[f])));
    frames.push_back(frame(DLT_EN10MB, t + 30, toServer(20)));
    const Bytes quiet = ipv4(IPPROTO_TCP, {{192, 0, 2, 30}, 50000}, {{198, 51, 100, 3}, 443});
    for (int s = 0; s < 30; ++s)
        for (int i = 0; i < 300; ++i) frames.push_back(frame(DLT_EN10MB, t + s, quiet));
    std::stable_sort(frames.begin(), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.seconds < b.seconds; });
    return frames;
}

}  // namespace replay_cases

#endif
