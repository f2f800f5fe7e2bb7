// Hostile and damaged capture files through the real surgewatch-replay: a
// capture file is input from whoever made it. Whatever it holds, the replay
// either replays it (status 0), or replays what comes before the damage and
// names the damage (status 1), or refuses it at start-up (status 255); it
// never crashes, never writes to standard error (where the sanitizer build
// reports) and never hangs (each run is killed by an alarm after 20 s).
//
// pcap files are written with libpcap's dumper, then damaged byte by byte
// where the damage is one that the dumper cannot write; pcapng files are
// written block by block.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support.h"

#ifndef SURGEWATCH_REPLAY
#error "SURGEWATCH_REPLAY must name the surgewatch-replay program"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kAlarmSeconds = 20;
constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr int64_t kT = 1000000000;

// An Ethernet frame with a TCP SYN from 192.0.2.7:555 to 198.51.100.<host>:80.
Bytes synFrame(uint8_t host = 5) {
    Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00,             // Ethernet
               0x45, 0, 0, 40, 0, 1, 0x40, 0, 64, 6, 0, 0, 192, 0, 2, 7, 198, 51, 100, host,  // IPv4
               0x02, 0x2B, 0, 80, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02, 0x04, 0, 0, 0, 0, 0};  // TCP
    return f;
}

struct Record {
    int64_t seconds;
    Bytes bytes;         // captured
    uint32_t length;     // on the wire
};

Record rec(int64_t seconds, Bytes bytes) {
    const uint32_t length = uint32_t(bytes.size());
    return {seconds, std::move(bytes), length};
}

// The bytes of a pcap file (this machine's byte order, microseconds) with
// the given link type and snapshot length, written by pcap_dump.
Bytes pcapFile(const std::vector<Record>& records, int linkType = DLT_EN10MB, int snaplen = 65535) {
    TempDir scratch;
    const std::string path = scratch.file("written.pcap");
    {
        std::unique_ptr<pcap_t, PcapCloser> dead(pcap_open_dead(linkType, snaplen));
        if (dead == nullptr) std::abort();
        std::unique_ptr<pcap_dumper_t, PcapCloser> dumper(pcap_dump_open(dead.get(), path.c_str()));
        if (dumper == nullptr) std::abort();
        for (const Record& r : records) {
            pcap_pkthdr header{};
            header.ts.tv_sec = r.seconds;
            header.caplen = uint32_t(r.bytes.size());
            header.len = r.length;
            pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, r.bytes.data());
        }
    }
    return readFile(path);
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

// A pcapng file, little-endian: section header, one interface of
// `linkType` (unless `interface` is false), then one enhanced packet block
// per frame; `blockLength` and `caplen` of the last block may lie.
struct PcapngLies {
    uint32_t blockLength = 0;  // 0: the true length
    uint32_t caplen = 0;       // 0: the true length
};

Bytes pcapngFile(const std::vector<Bytes>& frames, uint16_t linkType = 1, bool interface = true,
                 PcapngLies lastLies = {}) {
    Bytes out;
    auto u16 = [&](uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> 8 * i));
    };
    u32(0x0A0D0D0A), u32(28), u32(0x1A2B3C4D), u16(1), u16(0), u32(0xFFFFFFFF), u32(0xFFFFFFFF), u32(28);
    if (interface) u32(1), u32(20), u16(linkType), u16(0), u32(65535), u32(20);
    for (size_t i = 0; i < frames.size(); ++i) {
        const Bytes& f = frames[i];
        const bool last = i + 1 == frames.size();
        const uint32_t padded = (uint32_t(f.size()) + 3) & ~3u;
        const uint64_t micros = uint64_t(kT) * 1000000;
        u32(6), u32(last && lastLies.blockLength != 0 ? lastLies.blockLength : 32 + padded), u32(0);
        u32(uint32_t(micros >> 32)), u32(uint32_t(micros));
        u32(last && lastLies.caplen != 0 ? lastLies.caplen : uint32_t(f.size())), u32(uint32_t(f.size()));
        out.insert(out.end(), f.begin(), f.end());
        out.resize(out.size() + padded - f.size(), 0);
        u32(32 + padded);
    }
    return out;
}

struct Outcome {
    int status = -1;  // exit status; -1 when killed
    int signal = 0;   // the signal that killed it
    std::string out;
    std::string err;
};

// Runs surgewatch-replay FILE FILTER; an alarm, which survives exec, ends a
// run that hangs.
Outcome replay(const TempDir& dir, const std::string& file, const std::string& filter) {
    const std::string outPath = dir.file("stdout");
    const std::string errPath = dir.file("stderr");
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        alarm(kAlarmSeconds);
        execl(SURGEWATCH_REPLAY, SURGEWATCH_REPLAY, file.c_str(), filter.c_str(), nullptr);
        _exit(127);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    Outcome outcome;
    if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) outcome.signal = WTERMSIG(wstatus);
    const Bytes out = readFile(outPath);
    const Bytes err = readFile(errPath);
    outcome.out.assign(out.begin(), out.end());
    outcome.err.assign(err.begin(), err.end());
    return outcome;
}

// The output after the four start-up lines, or from the failing one on.
std::string afterStartup(const std::string& out) {
    const std::string marker = "Detecting IP layer offset in bytes... ";
    const size_t at = out.find(marker);
    if (at == std::string::npos) return out;
    const size_t end = out.find('\n', at);
    return end == std::string::npos ? "" : out.substr(end + 1);
}

// True when `text` matches `pattern`, where '*' stands for any characters.
bool matches(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') return matches(pattern + 1, text) || (*text != '\0' && matches(pattern, text + 1));
    return *pattern == *text && matches(pattern + 1, text + 1);
}

// ------------------------------------------------------------ named cases

struct HostileCase {
    std::string name;
    Bytes (*file)();
    std::string filter;
    int status;
    // What follows the start-up lines; '*' stands for any text, FILE for the
    // file's path, N for source line numbers.
    std::string tail;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

Bytes twoSyns() { return pcapFile({rec(kT, synFrame()), rec(kT + 1, synFrame())}); }

std::vector<HostileCase> hostileCases() {
    return {
        // A record of no bytes at all: moves the clock, decodes nothing.
        {"zero_length_frame",
         [] { return pcapFile({rec(kT, {}), rec(kT, synFrame())}); }, "", 0,
         "Replayed 2 packets\n"},
        {"nothing_captured_of_a_long_frame",
         [] { return pcapFile({Record{kT, {}, 1500}, rec(kT, synFrame())}); }, "", 0,
         "Replayed 2 packets\n"},
        // 10 seconds of clock carried by frames too short to decode: the
        // flow sweep still runs, on an empty table.
        {"only_frames_too_short_to_decode",
         [] {
             return pcapFile({rec(kT, Bytes(14, 0)), rec(kT + 5, Bytes(33, 0x45)),
                              rec(kT + 10, Bytes(1, 0))});
         },
         "", 0, "Flow cleanup took * seconds (0 -> 0)\nReplayed 3 packets\n"},
        // The second record claims 4 GiB, far beyond any snapshot length.
        {"record_claims_4_gib",
         [] {
             Bytes f = twoSyns();
             put32(f, recordAt(f, 1) + 8, 0xFFFFFFFF);
             return f;
         },
         "", 1,
         "main.cpp N Cannot read capture file FILE after 1 packets: invalid packet capture length "
         "4294967295*\n"},
        // Claims the largest length libpcap accepts, then the file ends.
        {"record_claims_256_kib_then_ends",
         [] {
             Bytes f = twoSyns();
             put32(f, recordAt(f, 1) + 8, 262144);
             return f;
         },
         "", 1, "main.cpp N Cannot read capture file FILE after 1 packets: truncated*\n"},
        {"record_longer_than_the_snapshot_length",
         [] {
             Bytes big = synFrame();
             big.resize(300, 0xAB);
             return pcapFile({rec(kT, big), rec(kT, synFrame())}, DLT_EN10MB, 68);
         },
         "", 0, "Replayed 2 packets\n"},
        {"captured_more_than_the_wire_length",
         [] { return pcapFile({Record{kT, synFrame(), 20}, rec(kT, synFrame())}); }, "", 0,
         "Replayed 2 packets\n"},
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
         [] { return pcapFile({rec(kT, synFrame())}, 147); }, "", 255,
         "main.cpp N Unknown link type DLT_(unnamed) / 147; supported: *\n"},
        // Token Ring: 22 bytes of link header in front of frames that end
        // before, inside and just after the IPv4 header.
        {"link_header_longer_than_the_frames",
         [] {
             return pcapFile({rec(kT, Bytes(21, 1)), rec(kT, Bytes(41, 1)), rec(kT, Bytes(42, 1))},
                             DLT_IEEE802);
         },
         "", 0, "Replayed 3 packets\n"},
        // Seconds 0 and 0xFFFFFFFF, the extremes of the record's field (which
        // libpcap reads as signed: -1), and back: the clock jumps backwards,
        // so no sweep comes due.
        {"timestamps_at_both_extremes",
         [] {
             return pcapFile({rec(kT, synFrame()), rec(0, synFrame()), rec(0xFFFFFFFF, synFrame()),
                              rec(0, synFrame(6))});
         },
         "", 0, "Replayed 4 packets\n"},
        {"garbage_after_the_file_header",
         [] {
             Bytes f = pcapFile({});
             std::mt19937 random(11);
             for (int i = 0; i < 4000; ++i) f.push_back(uint8_t(random()));
             return f;
         },
         "", 1, "main.cpp N Cannot read capture file FILE after 0 packets: *\n"},
        {"garbage_from_the_first_byte",
         [] {
             Bytes f;
             std::mt19937 random(12);
             for (int i = 0; i < 4000; ++i) f.push_back(uint8_t(random()));
             return f;
         },
         "", 255, "Opening file FILE... \nmain.cpp N Cannot open capture file FILE: *\n"},
        {"pcapng_block_claims_2_gib",
         [] { return pcapngFile({synFrame(), synFrame()}, 1, true, {0x7FFFFFF0, 0}); }, "", 1,
         "main.cpp N Cannot read capture file FILE after 1 packets: pcapng block size 2147483632 > "
         "maximum*\n"},
        {"pcapng_packet_claims_4_gib",
         [] { return pcapngFile({synFrame(), synFrame()}, 1, true, {0, 0xFFFFFF00}); }, "", 1,
         "main.cpp N Cannot read capture file FILE after 1 packets: invalid packet capture length*\n"},
        {"pcapng_without_interface", [] { return pcapngFile({synFrame()}, 1, false); }, "", 255,
         "Opening file FILE... \nmain.cpp N Cannot open capture file FILE: *\n"},
        {"pcapng_unknown_link_type", [] { return pcapngFile({synFrame()}, 147); }, "", 255,
         "main.cpp N Unknown link type DLT_(unnamed) / 147; supported: *\n"},
        {"file_header_only", [] { return pcapFile({}); }, "", 0, "Replayed 0 packets\n"},
        {"cut_inside_the_file_header",
         [] {
             Bytes f = pcapFile({});
             f.resize(20);
             return f;
         },
         "", 255, "Opening file FILE... \nmain.cpp N Cannot open capture file FILE: *\n"},
    };
}

class HostileCapture : public testing::TestWithParam<HostileCase> {
protected:
    TempDir dir_;
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST_P(HostileCapture, ClearErrorOrCorrectReplay) {
    const HostileCase& c = GetParam();
    const std::string path = dir_.file("hostile.pcap");
    writeFile(path, c.file());
    const Outcome r = replay(dir_, path, c.filter);
    ASSERT_EQ(r.signal, 0) << "killed by signal " << r.signal << (r.signal == SIGALRM ? " (hung)" : "")
                           << "\n" << r.err;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    std::string tail = afterStartup(r.out);
    // Source line numbers are not the behaviour under test.
    for (size_t at = tail.find("main.cpp "); at != std::string::npos; at = tail.find("main.cpp ", at + 1)) {
        size_t end = at + 9;
        while (end < tail.size() && isdigit(static_cast<unsigned char>(tail[end]))) ++end;
        tail.replace(at + 9, end - at - 9, "N");
    }
    const std::string expected = replaceAll(c.tail, "FILE", path);
    EXPECT_TRUE(matches(expected.c_str(), tail.c_str())) << "output:\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(Replay, HostileCapture, testing::ValuesIn(hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

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
        records.push_back(rec(kT + i / 10, frame));
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
            for (size_t n = 1 + below(20); n > 0; --n) file[kFileHeader + below(file.size() - kFileHeader)] = uint8_t(random());
            break;
        case 1:
            file.resize(below(file.size()));
            break;
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
        const Outcome r = replay(dir, path, "");
        SCOPED_TRACE("variant " + std::to_string(variant) + "\n" + r.out);
        ASSERT_EQ(r.signal, 0) << "killed by signal " << r.signal;
        EXPECT_EQ(r.err, "");
        if (r.status == 0) {
            EXPECT_NE(r.out.find("Replayed "), std::string::npos);
        } else if (r.status == 1) {
            EXPECT_NE(r.out.find("Cannot read capture file " + path + " after "), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 255);  // only a damaged file header refuses the file
            EXPECT_NE(r.out.find("Cannot open capture file"), std::string::npos);
        }
    }
}

}  // namespace
