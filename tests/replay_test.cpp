// surgewatch-replay end to end: capture files written here with libpcap's
// own dumper (or, for pcapng, block by block), replayed by the real program,
// its standard output compared line by line.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "replay_run.h"
#include "support.h"
#include "sweep_schedule.h"

#ifndef SURGEWATCH_TIMELINE
#error "SURGEWATCH_TIMELINE must name the surgewatch-timeline script"
#endif

namespace {

using frames::Bytes;
using Address = frames::Addr;
using Frame = captures::Record;

// ---------------------------------------------------------------- frames

struct Endpoint {
    Address addr;
    uint16_t port;
};

// An IPv4 packet without options carrying a TCP SYN or a UDP datagram, no
// payload, don't-fragment set.
Bytes ipv4(uint8_t protocol, Endpoint src, Endpoint dst, uint8_t tos = 0) {
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
Frame frame(int linkType, int64_t seconds, const Bytes& ip, size_t cutTo = SIZE_MAX) {
    Frame f{seconds, frames::linkHeader(linkType), 0, 500000};
    f.bytes.insert(f.bytes.end(), ip.begin(), ip.end());
    f.wireLength = uint32_t(f.bytes.size());
    if (cutTo < f.bytes.size()) f.bytes.resize(cutTo);
    return f;
}

const Address kSource = {192, 0, 2, 7};
const Address kVictim = {198, 51, 100, 5};

// The flow example: a TCP flow 192.0.2.7:555 -> 198.51.100.5:80 with type of
// service 0xB8 (DSCP 2E). One packet at t, `further` packets spread from t to
// t+5, then one at t+6, which closes the first rate window of 6 seconds.
// 11999 further packets make (6 x 2000 + 1) / 6 = 2000.17 packets/s.
std::vector<Frame> flowExample(int linkType, int64_t t, int further) {
    const Bytes syn = ipv4(IPPROTO_TCP, {kSource, 555}, {kVictim, 80}, 0xB8);
    std::vector<Frame> frames{frame(linkType, t, syn)};
    for (int i = 0; i < further; ++i)
        frames.push_back(frame(linkType, t + int64_t(i) * 6 / further, syn));
    frames.push_back(frame(linkType, t + 6, syn));
    return frames;
}

const int64_t kT = 1000000000;  // a packet time well above 6 seconds

// ----------------------------------------------------------- capture files

// Writes `frames` through pcap_dump; `nano` makes a nanosecond file.
void writePcap(const std::string& path, int linkType, const std::vector<Frame>& frames,
               bool nano = false) {
    writeFile(path, captures::pcapFile(frames, {linkType, 65535, nano}));
}

// The same pcap file as written on a machine of the other byte order: every
// field of the file header and of each record header reversed.
Bytes swapPcapByteOrder(Bytes file) {
    auto swap = [&](size_t at, size_t width) {
        std::reverse(file.begin() + at, file.begin() + at + width);
    };
    for (size_t at : {0, 8, 12, 16, 20}) swap(at, 4);
    swap(4, 2);
    swap(6, 2);
    size_t at = 24;
    while (at + 16 <= file.size()) {
        uint32_t caplen;
        std::memcpy(&caplen, &file[at + 8], 4);  // still in this machine's order
        for (size_t field = 0; field < 4; ++field) swap(at + 4 * field, 4);
        at += 16 + caplen;
    }
    return file;
}

// A pcapng file of Ethernet frames in the chosen byte order and resolution.
Bytes pcapngFile(const std::vector<Frame>& frames, bool bigEndian, bool nano) {
    captures::PcapngFormat format;
    format.bigEndian = bigEndian;
    format.nano = nano;
    return captures::pcapngFile(frames, format);
}

// --------------------------------------------------------------- running

// Failures name a case by its name rather than by its bytes.
template <typename Case>
void printCaseName(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The four progress lines of a successful start.
std::string startup(const std::string& file, const std::string& filter, int offset) {
    return "Opening file " + file + "... done\nCompiling filter `" + filter +
           "`... done\nSetting filter... done\nDetecting IP layer offset in bytes... " +
           std::to_string(offset) + " done\n";
}

const std::string kFlowAlert =
    "FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]\n";

// ------------------------------------------------------------ flow alert

// The flow example on every link type that the capture files here carry:
// the offset line follows the file's link type, and the decoder finds the
// IPv4 header behind each link header.
struct LinkCase {
    const char* name;
    int linkType;
    int offset;
};
void PrintTo(const LinkCase& c, std::ostream* os) { printCaseName(c, os); }

class ReplayLinkTypes : public CasesInTempDir<LinkCase> {};

TEST_P(ReplayLinkTypes, FlowExampleRaisesTheAlertAt2000_17) {
    const std::string path = dir_.file("flow.pcap");
    writePcap(path, GetParam().linkType, flowExample(GetParam().linkType, kT, 11999));
    const ReplayOutcome r = runReplay(dir_, {path, "ip"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              startup(path, "ip", GetParam().offset) + kFlowAlert + "Replayed 12001 packets\n");
    EXPECT_EQ(r.err, "");
}

TEST_P(ReplayLinkTypes, FlowExampleAtExactly2000PerSecondStaysQuiet) {
    const std::string path = dir_.file("flow.pcap");
    writePcap(path, GetParam().linkType, flowExample(GetParam().linkType, kT, 11998));
    const ReplayOutcome r = runReplay(dir_, {path, "ip"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path, "ip", GetParam().offset) + "Replayed 12000 packets\n");
}

INSTANTIATE_TEST_SUITE_P(Replay, ReplayLinkTypes,
                         testing::Values(LinkCase{"ethernet", DLT_EN10MB, 14},
                                         LinkCase{"raw_ip", DLT_RAW, 0},
                                         LinkCase{"linux_cooked", DLT_LINUX_SLL, 16},
                                         LinkCase{"linux_cooked_v2", DLT_LINUX_SLL2, 20}),
                         CaseName());

// ----------------------------------------------------------- host alerts

// New flows towards 198.51.100.5, each from its own UDP source port.
class NewFlows {
public:
    explicit NewFlows(std::vector<Frame>& frames) : frames_(frames) {}
    void at(int64_t seconds, int count = 1) {
        for (int i = 0; i < count; ++i) frames_.push_back(packet(seconds, nextPort_++));
    }
    // A packet of the first flow, which is known by then.
    void knownAt(int64_t seconds) { frames_.push_back(packet(seconds, kFirstPort)); }

private:
    static constexpr uint16_t kFirstPort = 1000;
    Frame packet(int64_t seconds, uint16_t port) const {
        return frame(DLT_EN10MB, seconds, ipv4(IPPROTO_UDP, {{192, 0, 2, 9}, port}, {kVictim, 53}));
    }
    std::vector<Frame>& frames_;
    uint16_t nextPort_ = kFirstPort;
};

// The two host examples in a row. Example 1: a new flow at t creates the
// record, one more at t closes its first window, `countedFlows` new flows
// over t+1..t+5, then one at t+6 closes the window. Example 2: 300 new flows
// over t+7..t+11, a known-flow packet at t+12 (the packets rule moves the
// window start under the flow count), 300 new flows over t+13..t+17 and one
// at t+18: 601 flows in the 6 seconds since t+12.
std::vector<Frame> hostExamples(int64_t t, int countedFlows) {
    std::vector<Frame> frames;
    NewFlows flows(frames);
    flows.at(t, 2);
    for (int s = 1; s <= 5; ++s)
        flows.at(t + s, countedFlows / 5 + (s <= countedFlows % 5 ? 1 : 0));
    flows.at(t + 6);
    for (int s = 7; s <= 11; ++s) flows.at(t + s, 60);
    flows.knownAt(t + 12);
    for (int s = 13; s <= 17; ++s) flows.at(t + s, 60);
    flows.at(t + 18);
    return frames;
}

struct HostCase {
    const char* name;
    int countedFlows;
    std::string expected;  // after the progress lines
};
void PrintTo(const HostCase& c, std::ostream* os) { printCaseName(c, os); }

class ReplayHostExamples : public CasesInTempDir<HostCase> {};

TEST_P(ReplayHostExamples, FlowsRule) {
    const std::string path = dir_.file("hosts.pcap");
    writePcap(path, DLT_EN10MB, hostExamples(kT, GetParam().countedFlows));
    const ReplayOutcome r = runReplay(dir_, {path, "udp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path, "udp", 14) + GetParam().expected);
}

// The flow sweep at t+10 comes after the first packet of that second: 603
// flows of example 1 and 181 of example 2 by then, none idle.
INSTANTIATE_TEST_SUITE_P(Replay, ReplayHostExamples,
                         testing::Values(HostCase{"601_flows_in_6_s_alert_twice", 600,
                                                  "FLOOD: 198.51.100.5 - 100.17 flows/s\n"
                                                  "Flow cleanup took D seconds (784 -> 784)\n"
                                                  "FLOOD: 198.51.100.5 - 100.17 flows/s\n"
                                                  "Replayed 1205 packets\n"},
                                         HostCase{"600_flows_in_6_s_are_exactly_100_per_s", 599,
                                                  "Flow cleanup took D seconds (783 -> 783)\n"
                                                  "FLOOD: 198.51.100.5 - 100.17 flows/s\n"
                                                  "Replayed 1204 packets\n"}),
                         CaseName());

// ---------------------------------------------------- sweeps and formats

// The sweep schedule: UDP packets to a new destination each at t, t+3, t+9,
// t+10, t+20, t+31 and t+41, and two TCP packets, at t-50 and t+30, which the
// filter "udp" keeps out: the references start at t, the first packet that
// passes, and filtered packets never move the clock.
std::vector<Frame> sweepSchedule(int64_t t) {
    const Endpoint from{{192, 0, 2, 9}, 5000};
    auto udpTo = [&](uint8_t host, int64_t seconds) {
        return frame(DLT_EN10MB, seconds, ipv4(IPPROTO_UDP, from, {{198, 51, 100, host}, 53}));
    };
    const Bytes tcp = ipv4(IPPROTO_TCP, from, {{198, 51, 100, 99}, 80});
    return {frame(DLT_EN10MB, t - 50, tcp),
            udpTo(1, t),
            udpTo(2, t + 3),
            udpTo(3, t + 9),
            udpTo(4, t + 10),
            udpTo(5, t + 20),
            frame(DLT_EN10MB, t + 30, tcp),
            udpTo(6, t + 31),
            udpTo(7, t + 41)};
}

// No sweep after t+3 or t+9; at t+10 the flow table (4 flows, none idle); at
// t+20 the flow table and then the host table, nothing removed; at t+31 the
// flow sweep removes the four flows last seen by t+10 (idle more than 20 s);
// at t+41 the flow sweep removes the flow of t+20, and the host sweep the
// four hosts whose one flow is more than 30 s old.
const std::string kSweepReports =
    "Flow cleanup took D seconds (4 -> 4)\n"
    "Flow cleanup took D seconds (5 -> 5)\n"
    "Host cleanup took D seconds (5 -> 5)\n"
    "Flow cleanup took D seconds (6 -> 2)\n"
    "Flow cleanup took D seconds (3 -> 2)\n"
    "Host cleanup took D seconds (7 -> 3)\n"
    "Replayed 7 packets\n";

struct FormatCase {
    const char* name;
    Bytes (*make)(const std::vector<Frame>& frames, const TempDir& dir);
};
void PrintTo(const FormatCase& c, std::ostream* os) { printCaseName(c, os); }

Bytes pcapBytes(const std::vector<Frame>& frames, const TempDir& dir, bool nano) {
    const std::string path = dir.file("scratch.pcap");
    writePcap(path, DLT_EN10MB, frames, nano);
    return readFile(path);
}

class ReplayFormats : public CasesInTempDir<FormatCase> {};

TEST_P(ReplayFormats, SweepScheduleFollowsPacketTime) {
    const std::string path = dir_.file("capture");
    writeFile(path, GetParam().make(sweepSchedule(kT), dir_));
    const ReplayOutcome r = runReplay(dir_, {path, "udp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path, "udp", 14) + kSweepReports);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Replay, ReplayFormats,
    testing::Values(FormatCase{"pcap_micro",
                               [](const std::vector<Frame>& f, const TempDir& d) {
                                   return pcapBytes(f, d, false);
                               }},
                    FormatCase{"pcap_nano", [](const std::vector<Frame>& f,
                                               const TempDir& d) { return pcapBytes(f, d, true); }},
                    FormatCase{"pcap_micro_swapped",
                               [](const std::vector<Frame>& f, const TempDir& d) {
                                   return swapPcapByteOrder(pcapBytes(f, d, false));
                               }},
                    FormatCase{"pcap_nano_swapped",
                               [](const std::vector<Frame>& f, const TempDir& d) {
                                   return swapPcapByteOrder(pcapBytes(f, d, true));
                               }},
                    FormatCase{"pcapng_little_endian_micro",
                               [](const std::vector<Frame>& f, const TempDir&) {
                                   return pcapngFile(f, false, false);
                               }},
                    FormatCase{"pcapng_big_endian_nano",
                               [](const std::vector<Frame>& f, const TempDir&) {
                                   return pcapngFile(f, true, true);
                               }}),
    CaseName());

// Frames cut before the end of the IPv4 header still move the packet clock
// (the flow sweep at t+10 runs on an empty table); one cut inside the TCP
// header still counts as a flow.
TEST(Replay, FramesCutShortMoveTheClock) {
    TempDir dir;
    const std::string path = dir.file("cut.pcap");
    const Bytes syn = ipv4(IPPROTO_TCP, {kSource, 555}, {kVictim, 80});
    writePcap(path, DLT_EN10MB,
              {frame(DLT_EN10MB, kT, syn, 14 + 10), frame(DLT_EN10MB, kT + 10, syn, 14),
               frame(DLT_EN10MB, kT + 20, syn, 14 + 20 + 2)});
    const ReplayOutcome r = runReplay(dir, {path, "ip"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path, "ip", 14) +
                         "Flow cleanup took D seconds (0 -> 0)\n"
                         "Flow cleanup took D seconds (1 -> 1)\n"
                         "Host cleanup took D seconds (1 -> 1)\n"
                         "Replayed 3 packets\n");
}

// ---------------------------------------------------------- standard input

TEST(Replay, StandardInputThroughAPipe) {
    TempDir dir;
    const std::vector<Frame> frames = flowExample(DLT_EN10MB, kT, 11999);
    const std::string path = dir.file("flow.pcap");
    writePcap(path, DLT_EN10MB, frames);
    for (const Bytes& input : {readFile(path), pcapngFile(frames, false, false)}) {
        const ReplayOutcome r = runReplay(dir, {"-", "tcp"}, input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, startup("-", "tcp", 14) + kFlowAlert + "Replayed 12001 packets\n");
        EXPECT_EQ(r.err, "");
    }
}

// --------------------------------------------------------- damaged files

// The flow example with two more packets at t+6: damaging the last one must
// still replay the 12002 before it, the alert included, then name the file.
struct DamageCase {
    const char* name;
    bool pcapng;
    void (*damage)(Bytes& file);
};
void PrintTo(const DamageCase& c, std::ostream* os) { printCaseName(c, os); }

class ReplayDamagedFiles : public CasesInTempDir<DamageCase> {};

constexpr size_t kFlowFrameSize = 14 + 20 + 20;

TEST_P(ReplayDamagedFiles, ReplaysUpToTheDamageThenFails) {
    std::vector<Frame> frames = flowExample(DLT_EN10MB, kT, 11999);
    frames.push_back(frames.back());
    frames.push_back(frames.back());
    const std::string path = dir_.file("damaged");
    Bytes file = GetParam().pcapng ? pcapngFile(frames, false, false) : Bytes{};
    if (!GetParam().pcapng) {
        writePcap(path, DLT_EN10MB, frames);
        file = readFile(path);
    }
    GetParam().damage(file);
    writeFile(path, file);

    for (const bool throughStdin : {false, true}) {
        const std::string name = throughStdin ? "-" : path;
        const ReplayOutcome r =
            throughStdin ? runReplay(dir_, {"-", "ip"}, file) : runReplay(dir_, {path, "ip"});
        EXPECT_EQ(r.status, 1) << name;
        const std::string expected = startup(name, "ip", 14) + kFlowAlert +
                                     "alert.cpp N Cannot read capture file " + name +
                                     " after 12002 packets: *\n";
        EXPECT_TRUE(matches(expected.c_str(), r.out.c_str())) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replay, ReplayDamagedFiles,
    testing::Values(
        DamageCase{"pcap_cut_in_record_header", false,
                   [](Bytes& f) { f.resize(f.size() - kFlowFrameSize - 8); }},
        DamageCase{"pcap_cut_in_frame", false, [](Bytes& f) { f.resize(f.size() - 10); }},
        DamageCase{"pcap_capture_length_beyond_any_snapshot", false,
                   [](Bytes& f) {
                       const uint32_t huge = 0x00FFFFFF;
                       std::memcpy(&f[f.size() - kFlowFrameSize - 8], &huge, 4);
                   }},
        DamageCase{"pcapng_cut_in_block", true, [](Bytes& f) { f.resize(f.size() - 10); }},
        DamageCase{"pcapng_block_length_mismatch", true,
                   [](Bytes& f) { f[f.size() - 4] ^= 0x40; }}),
    CaseName());

// ------------------------------------------------------- start-up failures

// Reported as the monitor reports them, on standard output only, exit 255.
// FILE stands for the path of the case's file.
struct FailureCase {
    const char* name;
    std::optional<Bytes> (*content)();  // none: the file does not exist
    std::vector<std::string> args;
    std::string expected;  // the whole output; '*' stands for libpcap's texts
};
void PrintTo(const FailureCase& c, std::ostream* os) { printCaseName(c, os); }

class ReplayStartupFailures : public CasesInTempDir<FailureCase> {};

TEST_P(ReplayStartupFailures, ReportAndExit255) {
    const std::string path = dir_.file("input");
    if (const std::optional<Bytes> content = GetParam().content()) writeFile(path, *content);
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args)
        if (a == "FILE") a = path;
    const std::string expected = replaceAll(GetParam().expected, "FILE", path);
    const ReplayOutcome r = runReplay(dir_, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(matches(expected.c_str(), r.out.c_str())) << r.out;
    EXPECT_EQ(r.err, "");
}

std::optional<Bytes> pcapWithLinkType(int linkType) {
    TempDir scratch;
    const std::string path = scratch.file("one.pcap");
    writePcap(path, linkType, {frame(DLT_RAW, kT, ipv4(IPPROTO_UDP, {kSource, 1}, {kVictim, 2}))});
    return readFile(path);
}

const std::string kOpening = "Opening file FILE... \n";
const std::string kUsage = "\nUsage: *surgewatch-replay <file> <filter>\n";
// A command line with options gets the usage line that names them.
const std::string kUsageWithOptions = "\nUsage: *surgewatch-replay [-t] <file> <filter>\n";
std::optional<Bytes> noFile() { return std::nullopt; }
std::optional<Bytes> emptyFile() { return Bytes{}; }

INSTANTIATE_TEST_SUITE_P(
    Replay, ReplayStartupFailures,
    testing::Values(
        FailureCase{"no_arguments", [] { return std::optional<Bytes>(); }, {}, kUsage},
        FailureCase{"three_arguments",
                    [] { return std::optional<Bytes>(Bytes{}); },
                    {"FILE", "ip", "extra"},
                    kUsage},
        FailureCase{
            "missing_file",
            [] { return std::optional<Bytes>(); },
            {"FILE", "ip"},
            kOpening + "alert.cpp N Cannot open capture file FILE: No such file or directory\n"},
        FailureCase{"not_a_capture",
                    [] {
                        const std::string text = "hello, world: not a capture file\n";
                        return std::optional<Bytes>(Bytes(text.begin(), text.end()));
                    },
                    {"FILE", "ip"},
                    kOpening + "alert.cpp N Cannot open capture file FILE: unknown file format\n"},
        FailureCase{"empty_file",
                    [] { return std::optional<Bytes>(Bytes{}); },
                    {"FILE", "ip"},
                    kOpening + "alert.cpp N Cannot open capture file FILE: *\n"},
        FailureCase{"file_header_cut",
                    [] {
                        return std::optional<Bytes>(Bytes{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0});
                    },
                    {"FILE", "ip"},
                    kOpening + "alert.cpp N Cannot open capture file FILE: truncated*\n"},
        FailureCase{"bad_filter",
                    [] { return pcapWithLinkType(DLT_RAW); },
                    {"FILE", "ip and and"},
                    "Opening file FILE... done\nCompiling filter `ip and and`... \n"
                    "alert.cpp N Cannot compile filter: *\n"},
        FailureCase{
            "unknown_link_type",
            [] { return pcapWithLinkType(DLT_IEEE802_11); },
            {"FILE", "ip"},
            "Opening file FILE... done\nCompiling filter `ip`... done\nSetting filter... done\n"
            "Detecting IP layer offset in bytes... \nalert.cpp N Unknown link type "
            "DLT_IEEE802_11 / 105; supported: DLT_NULL / 0, DLT_EN10MB / 1, "
            "DLT_IEEE802 / 6, DLT_SLIP / 8, DLT_PPP / 9, DLT_FDDI / 10, DLT_RAW / 12, "
            "DLT_LOOP / 108, DLT_LINUX_SLL / 113, DLT_LINUX_SLL2 / 276\n"},
        // Options: only -t, before the operands; anything else that starts
        // with '-' (but "-" alone) is refused like a wrong count.
        FailureCase{"unknown_option", emptyFile, {"-x", "FILE", "ip"}, kUsageWithOptions},
        FailureCase{
            "unknown_option_as_old_file_operand", emptyFile, {"-x", "ip"}, kUsageWithOptions},
        FailureCase{
            "unknown_option_after_t", emptyFile, {"-t", "-v", "FILE", "ip"}, kUsageWithOptions},
        FailureCase{"option_after_the_operands", emptyFile, {"FILE", "ip", "-t"}, kUsage},
        FailureCase{"t_alone", noFile, {"-t"}, kUsageWithOptions},
        FailureCase{"t_with_one_operand", emptyFile, {"-t", "FILE"}, kUsageWithOptions},
        FailureCase{
            "t_with_three_operands", emptyFile, {"-t", "FILE", "ip", "extra"}, kUsageWithOptions},
        FailureCase{"double_dash_with_one_operand", emptyFile, {"--", "FILE"}, kUsageWithOptions},
        // Start-up reports are never stamped; after "--" a "-t" is a file.
        FailureCase{
            "t_missing_file",
            noFile,
            {"-t", "FILE", "ip"},
            kOpening + "alert.cpp N Cannot open capture file FILE: No such file or directory\n"},
        FailureCase{"t_bad_filter",
                    [] { return pcapWithLinkType(DLT_RAW); },
                    {"-t", "FILE", "ip and and"},
                    "Opening file FILE... done\nCompiling filter `ip and and`... \n"
                    "alert.cpp N Cannot compile filter: *\n"},
        FailureCase{"double_dash_then_a_file_named_t",
                    noFile,
                    {"-t", "--", "-t", "ip"},
                    "Opening file -t... \nalert.cpp N Cannot open capture file -t: No such file or "
                    "directory\n"}),
    CaseName());

// ------------------------------------------------- what operators met

// A filter that lets IPv6 through hands the decoder frames that are not
// IPv4: they move the clock and count nowhere, so an IPv6 flood raises no
// alert, while an IPv4 flood through the same filter still does.
TEST(Replay, Ipv6FramesThroughTheFilterCountNowhere) {
    TempDir dir;
    // fe80::1 to fe80::2, UDP port 9999 to 9999.
    const Bytes v6 =
        frames::ipv6(frames::linkHeader(DLT_EN10MB, 0x86DD), IPPROTO_UDP, frames::udp(9999, 9999));
    const Bytes v4 = ipv4(IPPROTO_UDP, {kSource, 9999}, {kVictim, 9999});

    std::vector<Frame> both;
    for (int i = 0; i <= 12000; ++i) {  // 12001 of each over 6 s: 2000.17/s
        const int64_t t = kT + int64_t(i) * 6 / 12000;
        both.push_back(Frame{t, v6, 0, 500000});
        both.push_back(frame(DLT_EN10MB, t, v4));
    }
    const std::string path = dir.file("v6.pcap");
    writePcap(path, DLT_EN10MB, both);
    const ReplayOutcome r = runReplay(dir, {path, "udp and port 9999"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, startup(path, "udp and port 9999", 14) +
                         "FLOOD: 198.51.100.5 - 2000.17 udp packets/s from 192.0.2.7 [DSCP 00]\n"
                         "Replayed 24002 packets\n");
}

// The destination rules before and after 2038-01-19 (2^31 s), and across
// the wrap of the low 32 bits of the window arithmetic, from pcapng files,
// whose timestamps have 64 bits: the host examples alert as at any time.
TEST(Replay, DestinationRulesPast2038) {
    const struct {
        const char* name;
        int64_t t;
    } times[] = {
        {"2037", 2114380800},
        {"2040", 2208988800},
        {"low_32_bits_wrap_in_second_window", (int64_t(1) << 32) - 10},
    };
    for (const auto& time : times) {
        SCOPED_TRACE(time.name);
        TempDir dir;
        const std::string path = dir.file("hosts.pcapng");
        writeFile(path, pcapngFile(hostExamples(time.t, 600), false, false));
        const ReplayOutcome r = runReplay(dir, {path, "udp"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, startup(path, "udp", 14) +
                             "FLOOD: 198.51.100.5 - 100.17 flows/s\n"
                             "Flow cleanup took D seconds (784 -> 784)\n"
                             "FLOOD: 198.51.100.5 - 100.17 flows/s\n"
                             "Replayed 1205 packets\n");
    }
}

// ------------------------------------------------------------- timed lines

// With -t each alert and sweep report line begins with the packet time that
// raised it; start-up lines, failure reports and the summary never change.
// kT is 2001-09-09T01:46:40Z; at(s) is the stamp of kT + s, s < 800.
std::string at(int seconds) {
    const int second = 40 + seconds;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "2001-09-09T01:%02d:%02dZ ", 46 + second / 60, second % 60);
    return stamp;
}

struct TimedCase {
    const char* name;
    std::vector<Frame> (*frames)();
    const char* filter;
    std::string expected;  // after the progress lines
};
void PrintTo(const TimedCase& c, std::ostream* os) { printCaseName(c, os); }

class ReplayTimed : public CasesInTempDir<TimedCase> {};

// Stamped with -t, as given in the case; without it, the very same output
// with the stamps taken out, which the untimed tests above pin to the
// monitor's texts.
TEST_P(ReplayTimed, StampsAlertAndSweepLines) {
    const std::string path = dir_.file("capture.pcap");
    writePcap(path, DLT_EN10MB, GetParam().frames());
    const std::string filter = GetParam().filter;
    const ReplayOutcome timed = runReplay(dir_, {"-t", path, filter});
    EXPECT_EQ(timed.status, 0);
    EXPECT_EQ(timed.out, startup(path, filter, 14) + GetParam().expected);
    EXPECT_EQ(timed.err, "");
    const ReplayOutcome plain = runReplay(dir_, {path, filter});
    EXPECT_EQ(plain.status, 0);
    std::string unstamped = GetParam().expected;
    for (int s = 0; s < 800; ++s) unstamped = replaceAll(unstamped, at(s), "");
    EXPECT_EQ(plain.out, startup(path, filter, 14) + unstamped);
}

INSTANTIATE_TEST_SUITE_P(
    Replay, ReplayTimed,
    testing::Values(
        TimedCase{"flow_alert", [] { return flowExample(DLT_EN10MB, kT, 11999); }, "tcp",
                  at(6) + kFlowAlert + "Replayed 12001 packets\n"},
        // One flow of 30003 packets in 6 s: its own alert, then the
        // destination's 30001 packets of a known flow since the window
        // closed at the second packet; both raised by the packet at t+6.
        TimedCase{"flow_and_destination_packets_alerts",
                  [] { return flowExample(DLT_EN10MB, kT, 30001); }, "tcp",
                  at(6) + "FLOOD: 198.51.100.5 - 5000.50 tcp packets/s from 192.0.2.7 [DSCP 2E]\n" +
                      at(6) + "FLOOD: 198.51.100.5 - 5000.17 packets/s\nReplayed 30003 packets\n"},
        TimedCase{"flows_alerts_and_a_flow_sweep", [] { return hostExamples(kT, 600); }, "udp",
                  at(6) + "FLOOD: 198.51.100.5 - 100.17 flows/s\n" + at(10) +
                      "Flow cleanup took D seconds (784 -> 784)\n" + at(18) +
                      "FLOOD: 198.51.100.5 - 100.17 flows/s\nReplayed 1205 packets\n"},
        // Sweeps carry the time of the packet after which they ran; the two
        // TCP packets kept out by the filter never stamp anything.
        TimedCase{"both_sweep_reports", [] { return sweepSchedule(kT); }, "udp",
                  at(10) + "Flow cleanup took D seconds (4 -> 4)\n" + at(20) +
                      "Flow cleanup took D seconds (5 -> 5)\n" + at(20) +
                      "Host cleanup took D seconds (5 -> 5)\n" + at(31) +
                      "Flow cleanup took D seconds (6 -> 2)\n" + at(41) +
                      "Flow cleanup took D seconds (3 -> 2)\n" + at(41) +
                      "Host cleanup took D seconds (7 -> 3)\nReplayed 7 packets\n"}),
    CaseName());

// Standard input, and a damaged file: the report of the damage and the
// progress lines stay as they are, the alert before the damage is stamped.
TEST(Replay, TimedFromStandardInputAndUpToTheDamage) {
    TempDir dir;
    std::vector<Frame> frames = flowExample(DLT_EN10MB, kT, 11999);
    frames.push_back(frames.back());
    const std::string path = dir.file("flow.pcap");
    writePcap(path, DLT_EN10MB, frames);
    Bytes file = readFile(path);
    const ReplayOutcome whole = runReplay(dir, {"-t", "-", "tcp"}, file);
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(whole.out, startup("-", "tcp", 14) + at(6) + kFlowAlert + "Replayed 12002 packets\n");
    EXPECT_EQ(whole.err, "");

    file.resize(file.size() - 10);
    writeFile(path, file);
    const ReplayOutcome damaged = runReplay(dir, {"-t", path, "tcp"});
    EXPECT_EQ(damaged.status, 1);
    const std::string expected = startup(path, "tcp", 14) + at(6) + kFlowAlert +
                                 "alert.cpp N Cannot read capture file " + path +
                                 " after 12001 packets: *\n";
    EXPECT_TRUE(matches(expected.c_str(), damaged.out.c_str())) << damaged.out;
}

// Times that only a capture file of another age, or a hostile one, holds:
// a pcap file's seconds past 2^31 (read as the unsigned number they are),
// and pcapng times past the year 9999, up to the largest its 64-bit
// microseconds reach. The flow example's alert comes 6 s after `start`.
TEST(Replay, TimedLinesAtExtremeTimes) {
    const struct {
        const char* name;
        int64_t start;
        bool pcapng;
        const char* stamp;
    } cases[] = {
        {"pcap_seconds_past_2038", 2147483648, false, "2038-01-19T03:14:14Z "},
        {"year_10000_begins_at_the_alert", 253402300794, true, "+010000-01-01T00:00:00Z "},
        {"largest_pcapng_microseconds", 18446744073700, true, "+586524-01-19T08:01:46Z "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("flow");
        const std::vector<Frame> frames = flowExample(DLT_EN10MB, c.start, 11999);
        if (c.pcapng)
            writeFile(path, pcapngFile(frames, false, false));
        else
            writePcap(path, DLT_EN10MB, frames);
        const ReplayOutcome r = runReplay(dir, {"-t", path, "tcp"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out,
                  startup(path, "tcp", 14) + c.stamp + kFlowAlert + "Replayed 12001 packets\n");
        EXPECT_EQ(r.err, "");
    }
}

// A classic pcap file holds its seconds as an unsigned 32-bit number, in
// the byte order of the machine that wrote it. Two packets of one flow, 20
// seconds apart, the second at the edge: the sweeps it brings due carry its
// time, from a file and from standard input, in either byte order.
TEST(Replay, ClassicPcapSecondsAreUnsigned) {
    const struct {
        const char* name;
        uint32_t seconds;
        const char* stamp;
    } edges[] = {
        {"largest_signed", 0x7FFFFFFF, "2038-01-19T03:14:07Z "},
        {"smallest_past_signed", 0x80000000, "2038-01-19T03:14:08Z "},
        {"largest", 0xFFFFFFFF, "2106-02-07T06:28:15Z "},
    };
    const Bytes syn = ipv4(IPPROTO_TCP, {kSource, 555}, {kVictim, 80});
    for (const auto& edge : edges) {
        for (const bool bigEndian : {false, true}) {
            for (const bool throughStdin : {false, true}) {
                SCOPED_TRACE(std::string(edge.name) +
                             (bigEndian ? " big-endian" : " little-endian") +
                             (throughStdin ? " from standard input" : " from a file"));
                TempDir dir;
                const std::string path = dir.file("edge.pcap");
                const Bytes file =
                    captures::classicPcapFile({frame(DLT_EN10MB, edge.seconds - 20, syn),
                                               frame(DLT_EN10MB, edge.seconds, syn)},
                                              bigEndian);
                writeFile(path, file);
                const std::string name = throughStdin ? "-" : path;
                const ReplayOutcome r = throughStdin ? runReplay(dir, {"-t", "-", "tcp"}, file)
                                                     : runReplay(dir, {"-t", path, "tcp"});
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.out, startup(name, "tcp", 14) + edge.stamp +
                                     "Flow cleanup took D seconds (1 -> 1)\n" + edge.stamp +
                                     "Host cleanup took D seconds (1 -> 1)\nReplayed 2 packets\n");
            }
        }
    }
}

// ---------------------------------------------------------------- timeline

// An incident with all three kinds of alert, 45,000 packets over 30 s from
// `t`, in time order:
//   198.51.100.5: a TCP flow from 192.0.2.7 at 2000.17 packets/s until t+6;
//   198.51.100.7: new UDP flows from 192.0.2.9, a scan that speeds up: three
//     windows from t+10 closing at 116.83, 166.83 and 216.83 flows/s;
//   198.51.100.9: from t+24 three TCP flows, one at 2100.17 packets/s, all
//     three together above 5000 packets/s.
std::vector<Frame> incident(int64_t t) {
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
    const uint8_t sources[] = {20, 21, 22};
    const int packets[] = {12601, 9300, 9300};
    for (int f = 0; f < 3; ++f) {
        const Bytes syn = ipv4(IPPROTO_TCP, {{192, 0, 2, sources[f]}, 40000}, {server, 443});
        for (int i = 0; i < packets[f]; ++i)
            frames.push_back(frame(DLT_EN10MB, t + 24 + int64_t(i) * 6 / (packets[f] - 1), syn));
    }
    std::stable_sort(frames.begin(), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.seconds < b.seconds; });
    return frames;
}

// Runs surgewatch-timeline with `args` (standard input `input`).
ReplayOutcome runTimeline(const TempDir& dir, const std::vector<std::string>& args,
                          const std::optional<Bytes>& input = std::nullopt) {
    return runReplay(dir, args, input, SURGEWATCH_TIMELINE);
}

struct PngSize {
    uint32_t width = 0, height = 0;
};
// The size in a PNG's header chunk, or zeros for anything else.
PngSize pngSize(const Bytes& file) {
    const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < 24 || !std::equal(signature.begin(), signature.end(), file.begin()) ||
        std::memcmp(&file[12], "IHDR", 4) != 0)
        return {};
    auto be32 = [&](size_t at) {
        return uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 |
               uint32_t(file[at + 2]) << 8 | file[at + 3];
    };
    return {be32(16), be32(20)};
}

// 1200 pixels wide; 110 for the heading and key, 150 a panel, 60 for the
// time axis.
constexpr uint32_t pictureHeight(uint32_t panels) { return 110 + 150 * panels + 60; }

// The capture replayed with -t and drawn by the real gnuplot, as PNG from
// the replay's file and as SVG from standard input: three panels, gnuplot
// silent. SURGEWATCH_TIMELINE_EXAMPLE=DIR keeps the capture there, as
// incident.pcap (docs/timeline-example.png was drawn from it).
TEST(Timeline, DrawsACaptureWithAllThreeAlertKinds) {
    TempDir dir;
    const std::string capture = dir.file("incident.pcap");
    writePcap(capture, DLT_EN10MB, incident(kT));
    if (const char* keep = std::getenv("SURGEWATCH_TIMELINE_EXAMPLE"))
        std::filesystem::copy_file(capture, std::string(keep) + "/incident.pcap",
                                   std::filesystem::copy_options::overwrite_existing);
    const std::string filter = "ip and dst net 198.51.100.0/24";
    const ReplayOutcome replay = runReplay(dir, {"-t", capture, filter});
    ASSERT_EQ(replay.status, 0) << replay.out;
    std::string alerts;
    for (size_t line = 0, end; (end = replay.out.find('\n', line)) != std::string::npos;
         line = end + 1)
        if (replay.out.compare(line + 21, 7, "FLOOD: ") == 0)
            alerts += replay.out.substr(line, end + 1 - line);
    EXPECT_EQ(alerts,
              at(6) + kFlowAlert + at(16) + "FLOOD: 198.51.100.7 - 116.83 flows/s\n" + at(22) +
                  "FLOOD: 198.51.100.7 - 166.83 flows/s\n" + at(28) +
                  "FLOOD: 198.51.100.7 - 216.83 flows/s\n" + at(30) +
                  "FLOOD: 198.51.100.9 - 2100.17 tcp packets/s from 192.0.2.20 [DSCP 00]\n" +
                  at(30) + "FLOOD: 198.51.100.9 - 5199.17 packets/s\n");
    const std::string timed = dir.file("timed.txt");
    std::filesystem::copy_file(dir.file("stdout"), timed);

    const std::string png = dir.file("timeline.png");
    const ReplayOutcome drawn = runTimeline(dir, {png, timed});
    EXPECT_EQ(drawn.status, 0);
    EXPECT_EQ(drawn.out, "");
    EXPECT_EQ(drawn.err, "");  // no word from gnuplot either
    const Bytes picture = readFile(png);
    EXPECT_EQ(pngSize(picture).width, 1200u);
    EXPECT_EQ(pngSize(picture).height, pictureHeight(3));
    EXPECT_GT(picture.size(), 20000u);
    EXPECT_LT(picture.size(), 400000u);

    const std::string svg = dir.file("timeline.svg");
    const ReplayOutcome piped = runTimeline(dir, {svg}, readFile(timed));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    const Bytes svgBytes = readFile(svg);
    const std::string text(svgBytes.begin(), svgBytes.end());
    EXPECT_NE(text.find("height=\"" + std::to_string(pictureHeight(3)) + "\""), std::string::npos);
    for (const char* label :
         {"198.51.100.5", "198.51.100.7", "198.51.100.9", "1 alert<", "3 alerts", "2 alerts",
          "from standard input, 2001-09-09 01:46:46 to 2001-09-09 01:47:10 (UTC)",
          "limit 100 new flows/s"})
        EXPECT_NE(text.find(label), std::string::npos) << label;
    EXPECT_GT(svgBytes.size(), 20000u);
    EXPECT_LT(svgBytes.size(), 400000u);
}

// What the script makes of other inputs, drawn as SVG to read its texts
// (OUT in the options), from standard input or a file (IN).
struct TimelineCase {
    const char* name;
    std::vector<std::string> options;
    std::string (*input)();
    int status;
    std::vector<std::string> shown;  // in the SVG (status 0) or on standard error
    std::vector<std::string> absent;
    uint32_t panels;
};
void PrintTo(const TimelineCase& c, std::ostream* os) { printCaseName(c, os); }

class Timelines : public CasesInTempDir<TimelineCase> {};

TEST_P(Timelines, DrawOrRefuse) {
    const TimelineCase& c = GetParam();
    const std::string svg = dir_.file("out.svg");
    const std::string input = c.input();
    // IN: the input as a file whose name is full of what gnuplot's text
    // markup and SVG would read as their own.
    const std::string inputFile = dir_.file("a&b<c>_x{1}^'.txt");
    std::vector<std::string> args = c.options;
    for (std::string& a : args) {
        if (a == "OUT") a = svg;
        if (a == "IN") {
            a = inputFile;
            writeFile(inputFile, Bytes(input.begin(), input.end()));
        }
    }
    const ReplayOutcome r = runTimeline(dir_, args, Bytes(input.begin(), input.end()));
    EXPECT_EQ(r.status, c.status) << r.err;
    const Bytes written = readFile(svg);
    const std::string text = c.status == 0 ? std::string(written.begin(), written.end()) : r.err;
    if (c.status == 0) {
        EXPECT_EQ(r.err, "");
        EXPECT_NE(text.find("height=\"" + std::to_string(pictureHeight(c.panels)) + "\""),
                  std::string::npos);
    } else {
        EXPECT_TRUE(written.empty());
    }
    for (const std::string& s : c.shown)
        EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << r.err;
    for (const std::string& s : c.absent) EXPECT_EQ(text.find(s), std::string::npos) << s;
}

// 1000 destinations with one to 1000 alerts each (500,500 in all), the one
// numbered n with n alerts, all in one second but the last at 02:00:00.
std::string thousandDestinations() {
    std::string text = "Opening file -... done\n";
    for (int n = 1; n <= 1000; ++n)
        for (int i = 0; i < n; ++i)
            text += "2026-12-10T01:00:00Z FLOOD: 10." + std::to_string(n / 256) + "." +
                    std::to_string(n % 256) + ".1 - " + std::to_string(100 + i) + ".50 flows/s\n";
    return text +
           "2026-12-10T02:00:00Z Host cleanup took 0.00100 seconds (1 -> 1)\nReplayed 9 packets\n";
}

INSTANTIATE_TEST_SUITE_P(
    Timeline, Timelines,
    testing::Values(
        TimelineCase{"rows_capped_at_the_destinations_with_most_alerts",
                     {"-n", "4", "OUT"},
                     thousandDestinations,
                     0,
                     {"10.3.232.1", "10.3.231.1", "10.3.230.1", "10.3.229.1", "1000 alerts",
                      "showing the 4 destinations with the most alerts; 996 more destinations "
                      "(496506 alerts) not shown",
                      "01:00:00 to 2026-12-10 02:00:00"},
                     {"10.3.228.1", "no alerts"},
                     4},
        TimelineCase{
            "sweeps_without_alerts",
            {"OUT", "-"},
            [] {
                return std::string(
                    "Opening file x... done\n2026-12-10T11:31:07Z Flow cleanup took 0.00001 "
                    "seconds (0 -> 0)\nReplayed 1 packets\n");
            },
            0,
            {"no alerts in this replay", "2026-12-10 11:31:07 to 2026-12-10 11:31:07"},
            {"not shown"},
            1},
        // Each kind of line the timeline reads, and lines it must skip: an
        // unstamped alert, a line that only looks like one, expanded years.
        TimelineCase{
            "every_line_kind_and_lines_skipped",
            {"OUT"},
            [] {
                return std::string(
                    "FLOOD: 192.0.2.1 - 9999.00 packets/s\n"
                    "1999-12-31T23:59:50Z FLOOD: 192.0.2.2 - 2500.00 ipv6-icmp packets/s from "
                    "192.0.2.3 "
                    "[DSCP 00]\n"
                    "2000-01-01T00:00:10Z FLOOD: 192.0.2.2 - 120.33 flows/s\n"
                    "2000-01-01T00:00:10Z FLOOD: 192.0.2.2 - 80000.00 packets/s\n"
                    "2000-01-01T00:00:11Z FLOOD: 192.0.2.4 - 300.00 packets/s and more\n"
                    "2000-01-01T00:00:12Z FLOOD: '192.0.2.5 - 300.00 packets/s\n"
                    "+010000-01-01T00:00:00Z FLOOD: 192.0.2.6 - 101.00 flows/s\n"
                    "-000001-12-31T23:59:59Z FLOOD: 192.0.2.6 - 101.00 flows/s\n");
            },
            0,
            {"192.0.2.2", "3 alerts", "left out: 2 alerts dated before the year 0000 or after 9999",
             "1999-12-31 23:59:50 to 2000-01-01 00:00:12"},
            {"192.0.2.1", "192.0.2.4", "192.0.2.5", "192.0.2.6"},
            1},
        TimelineCase{
            "file_name_drawn_as_it_is",
            {"OUT", "IN"},
            [] {
                return std::string(
                    "2026-12-10T11:31:07Z FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from "
                    "192.0.2.7 [DSCP 2E]\n");
            },
            0,
            {"/a&amp;b&lt;c>_x{1}^'.txt, 2026-12-10 11:31:07 to 2026-12-10 11:31:07 (UTC)",
             "1 alert<"},
            {},
            1},
        TimelineCase{"unstamped_replay_refused",
                     {"OUT"},
                     [] {
                         return std::string(
                             "FLOOD: 192.0.2.1 - 9999.00 packets/s\nReplayed 1 packets\n");
                     },
                     1,
                     {"surgewatch-timeline: no stamped lines in standard input: make them with "
                      "surgewatch-replay -t\n"},
                     {},
                     0},
        TimelineCase{"output_neither_png_nor_svg",
                     {"out.jpg"},
                     [] { return std::string(); },
                     2,
                     {"Usage: surgewatch-timeline [-n ROWS] OUTPUT.png|OUTPUT.svg [INPUT]\n"},
                     {},
                     0},
        TimelineCase{
            "no_rows", {"-n", "0", "OUT"}, [] { return std::string(); }, 2, {"Usage: "}, {}, 0},
        TimelineCase{"unreadable_input",
                     {"OUT", "/nonexistent/timed.txt"},
                     [] { return std::string(); },
                     1,
                     {"surgewatch-timeline: cannot read /nonexistent/timed.txt\n"},
                     {},
                     0}),
    CaseName());

}  // namespace
