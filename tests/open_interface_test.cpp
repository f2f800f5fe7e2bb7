// Opening a live interface: whatever fails, the monitor's text is the very
// text pcap_open_live gives for the same device at the same moment, and a
// good open has the kernel buffer asked for. Each case runs in a forked
// child with a network namespace of its own (only its own lo, down unless
// the case brings it up), as root or as the unprivileged user nobody; the
// machine's interfaces are never touched.
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "alert.h"
#include "live_capture.h"
#include "support.h"

namespace {

struct OpenCase {
    const char* name;
    std::string device;
    bool loopbackUp;
    bool unprivileged;
    // The failure both texts must show ("*" any run); empty: the open works.
    std::string failure;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

constexpr int kBufferMiB = 3;
constexpr int kSkip = 77;

bool bringLoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    strcpy(request.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

bool becomeNobody() {
    const gid_t nogroup = 65534;
    const uid_t nobody = 65534;
    return setgroups(0, nullptr) == 0 && setresgid(nogroup, nogroup, nogroup) == 0 &&
           setresuid(nobody, nobody, nobody) == 0;
}

// Sizes in bytes of this process's shared mappings of packet sockets.
std::vector<unsigned long> packetRingSizes() {
    std::vector<unsigned long> sizes;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("socket:[") == std::string::npos) continue;
        unsigned long from = 0, to = 0;
        if (sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2) sizes.push_back(to - from);
    }
    return sizes;
}

// In the child: both opens, their texts and the ring of ours, one field a
// line, on `out`.
[[noreturn]] void runCase(const OpenCase& c, int out) {
    if (unshare(CLONE_NEWNET) != 0) _exit(kSkip);
    if (c.loopbackUp && !bringLoopbackUp()) _exit(2);
    if (c.unprivileged && !becomeNobody()) _exit(3);
    std::ostringstream report;
    char errorBuffer[PCAP_ERRBUF_SIZE] = "";
    pcap_t* live = pcap_open_live(c.device.c_str(), 68, 1, 10, errorBuffer);
    report << (live != nullptr ? "opened" : errorBuffer) << '\n';
    if (live != nullptr) pcap_close(live);
    std::string failure;
    pcap_t* ours = openInterface(c.device.c_str(), kBufferMiB << 20, failure);
    report << (ours != nullptr ? "opened" : failure) << '\n';
    if (ours != nullptr) {
        for (unsigned long size : packetRingSizes()) report << size << ' ';
        pcap_close(ours);
    }
    report << '\n';
    const std::string text = report.str();
    const bool written = write(out, text.data(), text.size()) == ssize_t(text.size());
    _exit(written ? 0 : 4);
}

const std::string kMissing = "swnone0";

std::vector<OpenCase> openCases() {
    return {
        {"missing_interface", kMissing, true, false,
         "swnone0: No such device exists (*No such device*)"},
        {"interface_down", "lo", false, false, "lo: That device is not up"},
        {"unprivileged", "lo", true, true,
         "lo: You don't have permission to perform this capture on that device (*)"},
        {"unprivileged_missing_interface", kMissing, true, true,
         "swnone0: You don't have permission to perform this capture on that device (*)"},
        // Longer than an interface name can be (15 characters).
        {"name_too_long", "swnamefarbeyondsixteen", true, false,
         "swnamefarbeyondsixteen: No such device exists (*)"},
        // Longer than the error buffer: cut where pcap_open_live cuts.
        {"name_longer_than_the_error_buffer", std::string(300, 'w'), true, false,
         std::string(255, 'w')},
        {"empty_name", "", true, false, ": No such device exists (*)"},
        {"nflog_group_out_of_range", "nflog:70000", true, false,
         "nflog:70000: Netfilter group range from 0 to 65535 (got 70000)"},
        {"unprivileged_nflog", "nflog:20001", true, true, "nflog:20001: *Operation not permitted"},
        {"loopback", "lo", true, false, ""},
    };
}

class OpenInterface : public testing::TestWithParam<OpenCase> {};

TEST_P(OpenInterface, TextAsPcapOpenLiveAndBufferAsAsked) {
    const OpenCase& c = GetParam();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(channel[0]);
        runCase(c, channel[1]);
    }
    close(channel[1]);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = read(channel[0], chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
    close(channel[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "no network namespace of its own here";
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::istringstream lines(text);
    std::string live, ours, rings;
    std::getline(lines, live);
    std::getline(lines, ours);
    std::getline(lines, rings);
    EXPECT_EQ(ours, live);
    if (!c.failure.empty()) {
        EXPECT_TRUE(matches(c.failure, live)) << live;
        EXPECT_NE(live, "opened");
    } else {
        ASSERT_EQ(live, "opened");
        // One ring, of the size asked for: libpcap's 256 KiB blocks divide it.
        EXPECT_EQ(rings, std::to_string(kBufferMiB << 20) + " ");
    }
}

INSTANTIATE_TEST_SUITE_P(Live, OpenInterface, testing::ValuesIn(openCases()), CaseName());

// The system-log identity: what a log line can carry as its tag.
TEST(SyslogIdentity, PrintableWithoutBlanksColonOrBracketUpTo32) {
    struct {
        const char* identity;
        bool valid;
    } cases[] = {
        {"surgewatch@eth0", true},
        {"surgewatch@enp3s0f1.100", true},
        {"x", true},
        {"abcdefghijklmnopqrstuvwxyz012345", true},    // 32
        {"abcdefghijklmnopqrstuvwxyz0123456", false},  // 33
        {"", false},
        {"surge watch", false},
        {"surgewatch\t", false},
        {"surgewatch:eth0", false},
        {"surgewatch[eth0]", false},
        {"surgewatch\n", false},
        {"surgewatch\x7f", false},
        {"surgew\xc3\xa4tch", false},
    };
    for (const auto& c : cases) EXPECT_EQ(validSyslogIdentity(c.identity), c.valid) << c.identity;
}

}  // namespace
