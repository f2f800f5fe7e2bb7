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
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "replay_cases.h"
#include "replay_run.h"
#include "support.h"
#include "sweep_schedule.h"

namespace {

using namespace replay_cases;

// ----------------------------------------------------------- capture files

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
const std::string kUsageWithOptions = "\nUsage: *surgewatch-replay [-t] [-c] <file> <filter>\n";
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
        FailureCase{"options_not_grouped", emptyFile, {"-tc", "FILE", "ip"}, kUsageWithOptions},
        FailureCase{"c_with_one_operand", emptyFile, {"-c", "FILE"}, kUsageWithOptions},
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

// ------------------------------------------------------------ counts

// The replay's lines other than the COUNT lines, and the COUNT lines by
// second and destination.
struct CountedReplay {
    std::string otherLines;
    std::map<std::pair<std::string, std::string>, std::pair<uint64_t, uint64_t>> counts;
    uint64_t countLines = 0;
};
CountedReplay splitCounts(const std::string& out) {
    CountedReplay split;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "COUNT ") != 0) {
            split.otherLines += line + "\n";
            continue;
        }
        std::istringstream fields(line);
        std::string count, stamp, destination, packetsWord, flowsWord, rest;
        uint64_t packets = 0, flows = 0;
        fields >> count >> stamp >> destination >> packets >> packetsWord >> flows >> flowsWord;
        EXPECT_TRUE(fields && packetsWord == "packets" && flowsWord == "flows" && !(fields >> rest))
            << line;
        EXPECT_TRUE(
            split.counts
                .emplace(std::make_pair(stamp + " ", destination), std::make_pair(packets, flows))
                .second)
            << "twice: " << line;
        ++split.countLines;
    }
    return split;
}

// The incident replayed with -c: the other lines are exactly those of the
// replay without it, every packet is counted once, and each alert's rate is
// what the COUNT lines of its window add up to, divided by its 6 seconds.
TEST(ReplayCounts, IncidentCountsAgreeWithItsAlerts) {
    TempDir dir;
    const std::string capture = dir.file("incident.pcap");
    writePcap(capture, DLT_EN10MB, incident(kT));
    const std::string filter = "ip and dst net 198.51.100.0/24";
    const ReplayOutcome plain = runReplay(dir, {"-t", capture, filter});
    const ReplayOutcome counted = runReplay(dir, {"-t", "-c", capture, filter});
    ASSERT_EQ(counted.status, 0);
    EXPECT_EQ(counted.err, "");
    const CountedReplay split = splitCounts(counted.out);
    EXPECT_EQ(split.otherLines, plain.out);
    EXPECT_NE(plain.out.find("Replayed 55205 packets\n"), std::string::npos);

    uint64_t total = 0;
    for (const auto& [key, value] : split.counts) total += value.first + value.second;
    EXPECT_EQ(total, 55205u);  // four destinations: all shown, every second
    EXPECT_EQ(split.countLines, 7u + 19u + 7u + 30u);

    // The packets of both kinds (the flow rule), of known flows (the
    // packets rule) or new flows (the flows rule) over the window's
    // seconds: the flow rule's window counts from its first packet, a
    // destination rule's from the packet after the one that closed the
    // window before, the last of its second.
    enum Counted { kBoth, kPackets, kFlows };
    const struct {
        int from, to;  // seconds after kT, both included
        const char* destination;
        Counted counted;
        std::string alert;  // ends in the rate
    } windows[] = {
        {0, 6, "198.51.100.5", kBoth, at(6) + "FLOOD: 198.51.100.5 - 2000.17"},
        {11, 16, "198.51.100.7", kFlows, at(16) + "FLOOD: 198.51.100.7 - 116.83"},
        {17, 22, "198.51.100.7", kFlows, at(22) + "FLOOD: 198.51.100.7 - 166.83"},
        {23, 28, "198.51.100.7", kFlows, at(28) + "FLOOD: 198.51.100.7 - 216.83"},
        {25, 30, "198.51.100.9", kPackets, at(30) + "FLOOD: 198.51.100.9 - 5199.17"},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(w.alert);
        uint64_t sum = 0;
        for (int s = w.from; s <= w.to; ++s) {
            const auto found = split.counts.find({at(s), w.destination});
            if (found == split.counts.end()) continue;
            const auto [packets, flows] = found->second;
            sum += w.counted == kBoth ? packets + flows : w.counted == kPackets ? packets : flows;
        }
        char rate[32];
        snprintf(rate, sizeof rate, "%.2f", double(sum) / 6);
        EXPECT_NE(plain.out.find(w.alert + " "), std::string::npos);
        EXPECT_EQ(w.alert.substr(w.alert.size() - std::strlen(rate)), rate) << sum;
    }

    // Seconds as they are written: most packets first; without -t the
    // COUNT lines are the same, the other lines unstamped.
    const std::string second0 =
        "COUNT 2001-09-09T01:46:40Z 198.51.100.5 2000 packets 1 flows\n"
        "COUNT 2001-09-09T01:46:40Z 198.51.100.3 299 packets 1 flows\n";
    EXPECT_NE(counted.out.find(startup(capture, filter, 14) + second0), std::string::npos);
    const std::string second24 =
        "COUNT 2001-09-09T01:47:04Z 198.51.100.3 300 packets 0 flows\n"
        "COUNT 2001-09-09T01:47:04Z 198.51.100.7 0 packets 260 flows\n"
        "COUNT 2001-09-09T01:47:04Z 198.51.100.9 1 packets 1 flows\n";
    EXPECT_NE(counted.out.find(second24), std::string::npos);
    const ReplayOutcome unstamped = runReplay(dir, {"-c", capture, filter});
    std::string stampsRemoved = counted.out;
    for (int s = 0; s < 31; ++s) stampsRemoved = replaceAll(stampsRemoved, "\n" + at(s), "\n");
    EXPECT_EQ(unstamped.out, stampsRemoved);
}

}  // namespace
