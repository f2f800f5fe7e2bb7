// Opening a capture file through a read buffer of our own answers what
// libpcap's own open answers: the same packets, the same end, the same
// failure texts, whatever the file is.
#include "capture_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "captures.h"
#include "pcap_handle.h"
#include "support.h"

namespace {

using captures::Bytes;

// Everything a reader of the file sees: whether it opened, the error text
// when not, then each record's header and bytes, and how reading ended.
std::string readAll(pcap_t* handle, const char* error) {
    if (handle == nullptr) return std::string("open failed: ") + error;
    PcapHandle owner(handle);
    std::string seen = "opened\n";
    pcap_pkthdr* header;
    const u_char* bytes;
    int status;
    while ((status = pcap_next_ex(handle, &header, &bytes)) == 1) {
        seen += std::to_string(header->ts.tv_sec) + "." + std::to_string(header->ts.tv_usec) + " " +
                std::to_string(header->caplen) + "/" + std::to_string(header->len) + " " +
                std::string(reinterpret_cast<const char*>(bytes), header->caplen) + "\n";
    }
    seen += "end " + std::to_string(status);
    if (status == PCAP_ERROR) seen += std::string(": ") + pcap_geterr(handle);
    return seen;
}

std::string readWithLibpcap(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t* handle = pcap_open_offline(path.c_str(), error);
    return readAll(handle, error);
}

std::string readBuffered(const std::string& path, size_t bufferSize) {
    char error[PCAP_ERRBUF_SIZE] = "";
    std::vector<char> buffer(bufferSize);
    pcap_t* handle = openCaptureFile(path.c_str(), error, buffer.data(), buffer.size());
    return readAll(handle, error);
}

Bytes sampleCapture() {
    std::vector<captures::Record> records;
    for (int i = 0; i < 200; ++i)
        records.push_back({1700000000 + i, Bytes(size_t(20 + i % 90), uint8_t('a' + i % 26)),
                           uint32_t(1500 - i), uint32_t(i * 1000)});
    return captures::pcapFile(records);
}

struct FileCase {
    std::string name;
    // What is at the path: "missing", "directory", or the bytes of a file.
    std::string kind;
    Bytes bytes;
    size_t bufferSize;
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

std::vector<FileCase> fileCases() {
    const Bytes capture = sampleCapture();
    const Bytes damaged(capture.begin(), capture.end() - 7);  // the last record cut short
    const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'c', 'a', 'p', 't', 'u', 'r', 'e', '\n'};
    const Bytes header(capture.begin(), capture.begin() + 10);  // file header cut short
    return {
        {"missing", "missing", {}, kCaptureReadBuffer},
        {"directory", "directory", {}, kCaptureReadBuffer},
        {"empty", "file", {}, kCaptureReadBuffer},
        {"not_a_capture", "file", text, kCaptureReadBuffer},
        {"header_cut_short", "file", header, kCaptureReadBuffer},
        {"capture", "file", capture, kCaptureReadBuffer},
        // A buffer smaller than most records: refilled within records.
        {"capture_small_buffer", "file", capture, 64},
        {"damaged", "file", damaged, kCaptureReadBuffer},
        {"damaged_small_buffer", "file", damaged, 64},
    };
}

class OpenCaptureFile : public CasesInTempDir<FileCase> {};

TEST_P(OpenCaptureFile, ReadsAsLibpcapsOwnOpen) {
    const FileCase& c = GetParam();
    const std::string path = dir_.file("the file");
    if (c.kind == "directory") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (c.kind == "file") {
        writeFile(path, c.bytes);
    }
    const std::string expected = readWithLibpcap(path);
    EXPECT_EQ(readBuffered(path, c.bufferSize), expected);
    if (c.name == "capture") {
        EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 201);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, OpenCaptureFile, testing::ValuesIn(fileCases()), CaseName());

// A pipe is opened once, by libpcap: opening it to look and closing it
// again would leave its writer without a reader.
TEST(OpenCaptureFile, ReadsANamedPipeOnce) {
    TempDir dir;
    const std::string path = dir.file("pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const Bytes capture = sampleCapture();
    const std::string expected = [&] {
        const std::string file = dir.file("copy.pcap");
        writeFile(file, capture);
        return readWithLibpcap(file);
    }();
    void (*previous)(int) = signal(SIGPIPE, SIG_IGN);
    bool written = false;
    std::thread writer([&] {
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) return;
        written = write(fd, capture.data(), capture.size()) == ssize_t(capture.size());
        close(fd);
    });
    const std::string seen = readBuffered(path, kCaptureReadBuffer);
    writer.join();
    signal(SIGPIPE, previous);
    EXPECT_TRUE(written);
    EXPECT_EQ(seen, expected);
}

}  // namespace
