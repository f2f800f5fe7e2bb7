// Hostile and damaged capture files through the real surgewatch-replay: a
// capture file is input from whoever made it. Whatever it holds, the replay
// either replays it (status 0), or replays what comes before the damage and
// names the damage (status 1), or refuses it at start-up (status 255); it
// never crashes, never writes to standard error (where the sanitizer build
// reports) and never hangs (each run is killed by an alarm after 20 s).
//
// pcap files are written with libpcap's dumper, then damaged byte by byte
// where the damage is one that the dumper cannot write; pcapng files are
// written block by block (captures.h).
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "captures.h"
#include "frames.h"
#include "replay_run.h"
#include "support.h"

namespace {

using captures::pcapFile;
using captures::pcapngFile;
using captures::PcapngFormat;
using captures::Record;
using frames::Bytes;

constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr int64_t kT = 1000000000;

// An Ethernet frame with a TCP SYN from 192.0.2.7:555 to 198.51.100.<host>:80.
Bytes synFrame(uint8_t host = 5) {
    frames::Ip ip;
    ip.dst = {198, 51, 100, host};
    return frames::frame(frames::linkHeader(DLT_EN10MB), ip, frames::tcp(555, 80, 0x02));
}

void put32(Bytes& file, size_t at, uint32_t value) { std::memcpy(&file[at], &value, 4); }

// Offset of the header of record `index` (0-based) in a pcap file.
size_t recordAt(const Bytes& file, size_t index) {
    size_t at = kFileHeader;
    for (size_t i = 0; i < index; ++i) {
        uint32_t caplen;
        std::memcpy(&caplen, &file[at + 8], 4);
        at += kRecordHeader + caplen;
    }
    return at;
}

// The output after the four start-up lines, or from the failing one on.
std::string afterStartup(const std::string& out) {
    const std::string marker = "Detecting IP layer offset in bytes... ";
    const size_t at = out.find(marker);
    if (at == std::string::npos) return out;
    const size_t end = out.find('\n', at);
    return end == std::string::npos ? "" : out.substr(end + 1);
}

// pcapng files whose last block lies about its length, or its packet's.
PcapngFormat lastBlockClaims(uint32_t length) {
    PcapngFormat format;
    format.lastBlockLength = length;
    return format;
}
PcapngFormat lastPacketClaims(uint32_t caplen) {
    PcapngFormat format;
    format.lastCaplen = caplen;
    return format;
}
PcapngFormat withoutInterface() {
    PcapngFormat format;
    format.interface = false;
    return format;
}

// ------------------------------------------------------------ named cases

struct HostileCase {
    std::string name;
    Bytes (*file)();
    std::string filter;
    int status;
    // What follows the start-up lines; '*' stands for any text within a
    // line, FILE for the file's path, N for source line numbers, D for a
    // duration.
    std::string tail;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

Bytes twoSyns() { return pcapFile({{kT, synFrame()}, {kT + 1, synFrame()}}); }

std::vector<HostileCase> hostileCases() {
    return {
        // A record of no bytes at all: moves the clock, decodes nothing.
        {"zero_length_frame",
         [] {
             return pcapFile({{kT, {}}, {kT, synFrame()}});
         },
         "", 0, "Replayed 2 packets\n"},
        {"nothing_captured_of_a_long_frame",
         [] {
             return pcapFile({Record{kT, {}, 1500}, {kT, synFrame()}});
         },
         "", 0, "Replayed 2 packets\n"},
        // 10 seconds of clock carried by frames too short to decode: the
        // flow sweep still runs, on an empty table.
        {"only_frames_too_short_to_decode",
         [] {
             return pcapFile(
                 {{kT, Bytes(14, 0)}, {kT + 5, Bytes(33, 0x45)}, {kT + 10, Bytes(1, 0)}});
         },
         "", 0, "Flow cleanup took D seconds (0 -> 0)\nReplayed 3 packets\n"},
        // The second record claims 4 GiB, far beyond any snapshot length.
        {"record_claims_4_gib",
         [] {
             Bytes f = twoSyns();
             put32(f, recordAt(f, 1) + 8, 0xFFFFFFFF);
             return f;
         },
         "", 1,
         "alert.cpp N Cannot read capture file FILE after 1 packets: invalid packet capture length "
         "4294967295*\n"},
        // Claims the largest length libpcap accepts, then the file ends.
        {"record_claims_256_kib_then_ends",
         [] {
             Bytes f = twoSyns();
             put32(f, recordAt(f, 1) + 8, 262144);
             return f;
         },
         "", 1, "alert.cpp N Cannot read capture file FILE after 1 packets: truncated*\n"},
        {"record_longer_than_the_snapshot_length",
         [] {
             Bytes big = synFrame();
             big.resize(300, 0xAB);
             return pcapFile({{kT, big}, {kT, synFrame()}}, {DLT_EN10MB, 68});
         },
         "", 0, "Replayed 2 packets\n"},
        {"captured_more_than_the_wire_length",
         [] {
             return pcapFile({Record{kT, synFrame(), 20}, {kT, synFrame()}});
         },
         "", 0, "Replayed 2 packets\n"},
        {"snapshot_length_0_in_file_header",
         [] {
             Bytes f = twoSyns();
             put32(f, 16, 0);
             return f;
         },
         "", 0, "Replayed 2 packets\n"},
        {"snapshot_length_4_gib_in_file_header",
         [] {
             Bytes f = twoSyns();
             put32(f, 16, 0xFFFFFFFF);
             return f;
         },
         "", 0, "Replayed 2 packets\n"},
        {"unknown_link_type",
         [] {
             return pcapFile({{kT, synFrame()}}, {147});
         },
         "", 255, "alert.cpp N Unknown link type DLT_(unnamed) / 147; supported: *\n"},
        // Token Ring: 22 bytes of link header in front of frames that end
        // before, inside and just after the IPv4 header.
        {"link_header_longer_than_the_frames",
         [] {
             return pcapFile({{kT, Bytes(21, 1)}, {kT, Bytes(41, 1)}, {kT, Bytes(42, 1)}},
                             {DLT_IEEE802});
         },
         "", 0, "Replayed 3 packets\n"},
        // Seconds 0 and 0xFFFFFFFF, the extremes of the record's unsigned
        // field, and back: the clock jumps back to 1970, then forward to
        // 2106, where both sweeps come due (the one flow was seen there, so
        // it stays), and back again.
        {"timestamps_at_both_extremes",
         [] {
             return pcapFile(
                 {{kT, synFrame()}, {0, synFrame()}, {0xFFFFFFFF, synFrame()}, {0, synFrame(6)}});
         },
         "", 0,
         "Flow cleanup took D seconds (1 -> 1)\nHost cleanup took D seconds (1 -> 1)\n"
         "Replayed 4 packets\n"},
        {"garbage_after_the_file_header",
         [] {
             Bytes f = pcapFile({});
             std::mt19937 random(11);
             for (int i = 0; i < 4000; ++i) f.push_back(uint8_t(random()));
             return f;
         },
         "", 1, "alert.cpp N Cannot read capture file FILE after 0 packets: *\n"},
        {"garbage_from_the_first_byte",
         [] {
             Bytes f;
             std::mt19937 random(12);
             for (int i = 0; i < 4000; ++i) f.push_back(uint8_t(random()));
             return f;
         },
         "", 255, "Opening file FILE... \nalert.cpp N Cannot open capture file FILE: *\n"},
        {"pcapng_block_claims_2_gib",
         [] {
             return pcapngFile({{kT, synFrame()}, {kT, synFrame()}}, lastBlockClaims(0x7FFFFFF0));
         },
         "", 1,
         "alert.cpp N Cannot read capture file FILE after 1 packets: pcapng block size "
         "2147483632 > maximum*\n"},
        {"pcapng_packet_claims_4_gib",
         [] {
             return pcapngFile({{kT, synFrame()}, {kT, synFrame()}}, lastPacketClaims(0xFFFFFF00));
         },
         "", 1,
         "alert.cpp N Cannot read capture file FILE after 1 packets: invalid packet capture "
         "length*\n"},
        {"pcapng_without_interface",
         [] {
             return pcapngFile({{kT, synFrame()}}, withoutInterface());
         },
         "", 255, "Opening file FILE... \nalert.cpp N Cannot open capture file FILE: *\n"},
        {"pcapng_unknown_link_type",
         [] {
             return pcapngFile({{kT, synFrame()}}, PcapngFormat{147});
         },
         "", 255, "alert.cpp N Unknown link type DLT_(unnamed) / 147; supported: *\n"},
        {"file_header_only", [] { return pcapFile({}); }, "", 0, "Replayed 0 packets\n"},
        {"cut_inside_the_file_header",
         [] {
             Bytes f = pcapFile({});
             f.resize(20);
             return f;
         },
         "", 255, "Opening file FILE... \nalert.cpp N Cannot open capture file FILE: *\n"},
    };
}

class HostileCapture : public CasesInTempDir<HostileCase> {};

TEST_P(HostileCapture, ClearErrorOrCorrectReplay) {
    const HostileCase& c = GetParam();
    const std::string path = dir_.file("hostile.pcap");
    writeFile(path, c.file());
    const ReplayOutcome r = runReplay(dir_, {path, c.filter});
    ASSERT_EQ(r.signal, 0) << "killed by signal " << r.signal
                           << (r.signal == SIGALRM ? " (hung)" : "") << "\n"
                           << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(matches(replaceAll(c.tail, "FILE", path), afterStartup(r.out))) << "output:\n"
                                                                                << r.out;
}

INSTANTIATE_TEST_SUITE_P(Replay, HostileCapture, testing::ValuesIn(hostileCases()), CaseName());

// ------------------------------------------------------- random damage

// A good capture of 200 frames (TCP, UDP, ICMP, GRE towards seven hosts over
// 20 seconds), damaged in 24 seeded ways: bytes overwritten, the file cut,
// bytes inserted, a 4-byte field set to an extreme. Each must replay whole
// or up to the damage, then say so; nothing else.
TEST(HostileCaptureRandomDamage, ReplaysOrReportsNeverCrashesOrHangs) {
    std::vector<Record> records;
    for (int i = 0; i < 200; ++i) {
        Bytes frame = synFrame(uint8_t(i % 7));
        const uint8_t protocols[] = {6, 17, 1, 47};
        frame[14 + 9] = protocols[i % 4];
        records.push_back({kT + i / 10, frame});
    }
    const Bytes good = pcapFile(records);
    std::mt19937 random(2024);
    auto below = [&](size_t n) { return size_t(random() % n); };
    const uint32_t extremes[] = {0, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 68, 262144, 262145};
    TempDir dir;
    const std::string path = dir.file("damaged.pcap");
    for (int variant = 0; variant < 24; ++variant) {
        Bytes file = good;
        switch (variant % 4) {
            case 0:
                for (size_t n = 1 + below(20); n > 0; --n)
                    file[kFileHeader + below(file.size() - kFileHeader)] = uint8_t(random());
                break;
            case 1: file.resize(below(file.size())); break;
            case 2: {
                const size_t at = kFileHeader + below(file.size() - kFileHeader);
                Bytes inserted(1 + below(40));
                for (uint8_t& b : inserted) b = uint8_t(random());
                file.insert(file.begin() + long(at), inserted.begin(), inserted.end());
                break;
            }
            default:
                put32(file, below(file.size() - 4), extremes[below(std::size(extremes))]);
                break;
        }
        writeFile(path, file);
        const ReplayOutcome r = runReplay(dir, {path, ""});
        SCOPED_TRACE("variant " + std::to_string(variant) + "\n" + r.out);
        ASSERT_EQ(r.signal, 0) << "killed by signal " << r.signal;
        EXPECT_EQ(r.err, "");
        if (r.status == 0) {
            EXPECT_NE(r.out.find("Replayed "), std::string::npos);
        } else if (r.status == 1) {
            EXPECT_NE(r.out.find("Cannot read capture file " + path + " after "),
                      std::string::npos);
        } else {
            EXPECT_EQ(r.status, 255);  // only a damaged file header refuses the file
            EXPECT_NE(r.out.find("Cannot open capture file"), std::string::npos);
        }
    }
}

}  // namespace
