// surgewatch-gencap: writes a synthetic Ethernet capture (snapshot length
// 68) for benchmarks and long runs. The same flags and seed always give the
// same bytes, on any machine: the generator uses its own random number
// generator and its own conversions, never the standard distributions, whose
// results differ between library versions.
//
// The traffic: --packets frames over --flows flows towards --hosts
// destinations, spread over --seconds seconds of capture time. Flow sizes
// follow a Zipf-like law (the flow of rank r gets a share proportional to
// 1/r^a, at least one packet each). Packets are about 70 % TCP, 25 % UDP,
// 4 % ICMP echo requests and 1 % IPv4 fragments (UDP datagrams cut in two).
// A flow lasts longer the bigger it is, and its packets are spread evenly
// over its lifetime, so no flow is faster than the largest one, whose rate
// is its size over --seconds (printed on standard error at the end, with
// the packet mix).
//
// Sources are drawn from 10.0.0.0/8, destinations are 198.18.0.0 upwards
// (the benchmarking range).
#include <getopt.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pcap_handle.h"
#include "random.h"

namespace {

constexpr int kSnapLength = 68;
constexpr int kEthernetHeader = 14;
constexpr int kMinimumFrame = 60;         // Ethernet pads shorter frames to this
constexpr uint64_t kMaxHosts = 1u << 17;  // 198.18.0.0/15

enum class Kind : uint8_t { Tcp, Udp, Icmp, Fragment };
constexpr int kKinds = 4;
// Target share of packets per kind, in the order of Kind.
constexpr double kKindShare[kKinds] = {0.70, 0.25, 0.04, 0.01};

struct Flow {
    uint32_t src;      // host order
    uint32_t dst;      // host order
    uint16_t srcPort;  // host order
    uint16_t dstPort;  // host order
    Kind kind;
    uint32_t size;      // packets in the capture
    uint32_t sent = 0;  // packets written so far
    uint16_t ipId;
};

struct Departure {
    uint64_t micros;  // from the start of the capture
    uint32_t flow;
};

struct Options {
    uint64_t packets = 2000000;
    uint64_t flows = 100000;
    uint64_t hosts = 2000;
    double seconds = 120;
    uint64_t seed = 1;
    double zipf = 1.0;
    int64_t start = 1700000000;
    bool hostRamp = false;
    std::string output;
};

void usage(FILE* to, const char* program) {
    fprintf(to,
            "usage: %s -o FILE [-n PACKETS] [-f FLOWS] [-H HOSTS] [-s SECONDS] [-r SEED]\n"
            "          [-z EXPONENT] [-t START] [--host-ramp]\n"
            "  -n, --packets N   packets to write (default 2000000)\n"
            "  -f, --flows F     flows, at most N (default 100000)\n"
            "  -H, --hosts H     destination addresses, at most %" PRIu64
            " (default 2000)\n"
            "  -s, --seconds S   capture time spanned (default 120)\n"
            "  -r, --seed SEED   random seed (default 1)\n"
            "  -z, --zipf A      flow size exponent: rank r gets 1/r^A (default 1.0)\n"
            "  -t, --start T     timestamp seconds of the capture start (default 1700000000)\n"
            "  --host-ramp       the number of destinations in use rises from a tenth of H\n"
            "                    to H at mid-capture and falls back to a tenth\n"
            "  -o, --output FILE capture file to write, - for standard output\n",
            program, kMaxHosts);
}

bool parseUnsigned(const char* text, uint64_t& value) {
    if (*text == '\0' || *text == '-') return false;
    char* end;
    errno = 0;
    value = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

bool parseDouble(const char* text, double& value) {
    char* end;
    errno = 0;
    value = strtod(text, &end);
    return *text != '\0' && errno == 0 && *end == '\0' && std::isfinite(value);
}

// Answers false after printing what is wrong.
bool parseOptions(int argc, char** argv, Options& options) {
    static const option longOptions[] = {{"packets", required_argument, nullptr, 'n'},
                                         {"flows", required_argument, nullptr, 'f'},
                                         {"hosts", required_argument, nullptr, 'H'},
                                         {"seconds", required_argument, nullptr, 's'},
                                         {"seed", required_argument, nullptr, 'r'},
                                         {"zipf", required_argument, nullptr, 'z'},
                                         {"start", required_argument, nullptr, 't'},
                                         {"output", required_argument, nullptr, 'o'},
                                         {"host-ramp", no_argument, nullptr, 'R'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "n:f:H:s:r:z:t:o:h", longOptions, nullptr)) != -1) {
        bool ok = true;
        uint64_t start;
        switch (c) {
            case 'n': ok = parseUnsigned(optarg, options.packets); break;
            case 'f': ok = parseUnsigned(optarg, options.flows); break;
            case 'H': ok = parseUnsigned(optarg, options.hosts); break;
            case 's': ok = parseDouble(optarg, options.seconds); break;
            case 'r': ok = parseUnsigned(optarg, options.seed); break;
            case 'z': ok = parseDouble(optarg, options.zipf); break;
            case 't':
                ok = parseUnsigned(optarg, start) && start < (1ull << 40);
                options.start = int64_t(start);
                break;
            case 'o': options.output = optarg; break;
            case 'R': options.hostRamp = true; break;
            case 'h': usage(stdout, argv[0]); exit(0);
            default: usage(stderr, argv[0]); return false;
        }
        if (!ok) {
            fprintf(stderr, "%s: invalid value '%s' for -%c\n", argv[0], optarg, c);
            return false;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "%s: unexpected argument '%s'\n", argv[0], argv[optind]);
        return false;
    }
    const char* problem = nullptr;
    if (options.output.empty())
        problem = "an output file (-o) is required";
    else if (options.flows == 0 || options.flows > options.packets)
        problem = "flows must be between 1 and the number of packets";
    else if (options.flows > UINT32_MAX || options.packets > (1ull << 36))
        problem = "too many packets or flows";
    else if (options.hosts == 0 || options.hosts > kMaxHosts)
        problem = "hosts must be between 1 and 131072";
    else if (!(options.seconds >= 1 && options.seconds <= 1e7))
        problem = "seconds must be between 1 and 10000000";
    else if (!(options.zipf >= 0 && options.zipf <= 4))
        problem = "the Zipf exponent must be between 0 and 4";
    if (problem != nullptr) {
        fprintf(stderr, "%s: %s\n", argv[0], problem);
        return false;
    }
    return true;
}

// Zipf-like sizes summing to exactly `packets`, largest first, at least 1.
std::vector<uint32_t> flowSizes(uint64_t packets, uint64_t flows, double exponent) {
    std::vector<double> weight(flows);
    double total = 0;
    for (uint64_t r = 0; r < flows; ++r) total += weight[r] = std::pow(double(r + 1), -exponent);
    const uint64_t spread = packets - flows;
    std::vector<uint32_t> size(flows);
    uint64_t assigned = 0;
    for (uint64_t r = 0; r < flows; ++r) {
        const double share = std::floor(double(spread) * weight[r] / total);
        size[r] = uint32_t(1 + std::min(share, double(UINT32_MAX - 1)));
        assigned += size[r];
    }
    // What the rounding left goes one by one to the biggest flows.
    for (uint64_t r = 0; assigned < packets; r = (r + 1) % flows) {
        if (size[r] < UINT32_MAX) {
            ++size[r];
            ++assigned;
        }
    }
    return size;
}

// Kinds are handed out so that the packet shares track the targets closely
// whatever the flow sizes: each flow, biggest first, goes to the kind that is
// furthest below its share of the packets assigned so far.
std::vector<Kind> flowKinds(const std::vector<uint32_t>& size) {
    std::vector<Kind> kind(size.size());
    double assigned[kKinds] = {0, 0, 0, 0};
    double total = 0;
    for (size_t i = 0; i < size.size(); ++i) {
        total += size[i];
        int best = 0;
        double bestDeficit = -1e300;
        for (int k = 0; k < kKinds; ++k) {
            const double deficit = kKindShare[k] * total - assigned[k];
            if (deficit > bestDeficit) {
                bestDeficit = deficit;
                best = k;
            }
        }
        assigned[best] += size[i];
        kind[i] = Kind(best);
    }
    return kind;
}

uint16_t pickServerPort(Random& random, Kind kind) {
    static const uint16_t tcpPorts[] = {80, 443, 443, 443, 22, 25, 993, 8080};
    static const uint16_t udpPorts[] = {53, 53, 123, 443, 500, 4500, 5060};
    if (kind == Kind::Tcp) return tcpPorts[random.below(sizeof tcpPorts / sizeof *tcpPorts)];
    if (kind == Kind::Udp) return udpPorts[random.below(sizeof udpPorts / sizeof *udpPorts)];
    return 0;
}

// Destination of a flow that starts at `when` (0 to 1 over the capture).
uint32_t pickHost(Random& random, const Options& options, double when) {
    uint64_t inUse = options.hosts;
    if (options.hostRamp) {
        const double level = 0.1 + 0.9 * (1.0 - std::fabs(2.0 * when - 1.0));
        inUse = std::max<uint64_t>(1, uint64_t(double(options.hosts) * level));
    }
    return (198u << 24 | 18u << 16) + uint32_t(random.below(inUse));
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, uint16_t(v >> 16));
    put16(p + 2, uint16_t(v));
}

uint16_t ipChecksum(const uint8_t* header, int length) {
    uint32_t sum = 0;
    for (int i = 0; i < length; i += 2) sum += uint32_t(header[i] << 8 | header[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// Builds the captured part of the flow's next packet into `frame` (at least
// kSnapLength bytes, zeroed) and answers the IPv4 total length.
uint16_t buildPacket(Flow& flow, Random& random, uint8_t* frame) {
    const uint32_t index = flow.sent++;
    const bool first = index == 0;
    const bool last = index + 1 == flow.size;

    // Ethernet: locally administered addresses derived from the IPv4 ones.
    uint8_t* eth = frame;
    eth[0] = 0x02;
    put32(eth + 2, flow.dst);
    eth[6] = 0x02;
    put32(eth + 8, flow.src);
    put16(eth + 12, 0x0800);

    uint8_t* ip = frame + kEthernetHeader;
    uint8_t* transport = ip + 20;
    uint16_t length = 0;
    uint8_t protocol = 0;
    uint16_t fragmentField = 0x4000;  // don't fragment
    switch (flow.kind) {
        case Kind::Tcp: {
            protocol = 6;
            uint8_t flags = 0x10;  // ACK
            uint8_t dataOffset = 5;
            if (first) {
                flags = 0x02;  // SYN
                dataOffset = 10;
                length = 60;
            } else if (last && flow.size > 2) {
                flags = 0x11;  // FIN ACK
                length = 40;
            } else {
                const uint64_t pick = random.below(10);
                length = pick < 4 ? 40 : pick < 8 ? 1500 : uint16_t(41 + random.below(1460));
                if (length > 40) flags = 0x18;  // PSH ACK
            }
            put16(transport, flow.srcPort);
            put16(transport + 2, flow.dstPort);
            put32(transport + 4, uint32_t(random.next()));
            put32(transport + 8, first ? 0 : uint32_t(random.next()));
            transport[12] = uint8_t(dataOffset << 4);
            transport[13] = flags;
            put16(transport + 14, 64240);
            break;
        }
        case Kind::Udp:
            protocol = 17;
            length = uint16_t(32 + random.below(1200));
            put16(transport, flow.srcPort);
            put16(transport + 2, flow.dstPort);
            put16(transport + 4, uint16_t(length - 20));
            break;
        case Kind::Icmp:
            protocol = 1;
            length = 84;
            transport[0] = 8;                              // echo request, code 0
            put16(transport + 4, uint16_t(flow.srcPort));  // identifier
            put16(transport + 6, uint16_t(index));         // sequence
            break;
        case Kind::Fragment:
            // A datagram in two pieces: the first with the UDP header and more
            // fragments set, the second at offset 1480 bytes without it.
            protocol = 17;
            if (index % 2 == 0) {
                length = 1500;
                fragmentField = 0x2000;
                put16(transport, flow.srcPort);
                put16(transport + 2, flow.dstPort);
                put16(transport + 4, uint16_t(1480 + 400));
            } else {
                length = 420;
                fragmentField = 1480 / 8;
            }
            break;
    }
    const uint16_t ipId =
        flow.kind == Kind::Fragment ? uint16_t(flow.ipId + index / 2) : uint16_t(flow.ipId + index);
    ip[0] = 0x45;
    ip[1] = flow.kind == Kind::Udp && flow.dstPort == 5060 ? 0xB8 : 0;  // EF for SIP
    put16(ip + 2, length);
    put16(ip + 4, ipId);
    put16(ip + 6, fragmentField);
    ip[8] = 64;
    ip[9] = protocol;
    put32(ip + 12, flow.src);
    put32(ip + 16, flow.dst);
    put16(ip + 10, ipChecksum(ip, 20));
    return length;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;

    Random random(options.seed);
    const std::vector<uint32_t> size = flowSizes(options.packets, options.flows, options.zipf);
    const std::vector<Kind> kind = flowKinds(size);
    const uint64_t span = uint64_t(options.seconds * 1e6);  // microseconds
    const double largest = size[0];

    std::vector<Flow> flows(options.flows);
    std::vector<Departure> departures;
    departures.reserve(options.packets);
    double peakRate = 0;
    for (uint64_t i = 0; i < options.flows; ++i) {
        Flow& flow = flows[i];
        flow.kind = kind[i];
        flow.size = size[i];
        flow.src = 10u << 24 | uint32_t(random.below(1u << 24));
        flow.srcPort = uint16_t(1024 + random.below(64512));
        flow.dstPort = pickServerPort(random, flow.kind);
        flow.ipId = uint16_t(random.next());
        // A flow's lifetime grows with the square root of its size, so the
        // biggest flow spans the whole capture and its rate, the highest of
        // all, is its size over the capture time.
        const uint64_t lifetime =
            flow.size == 1 ? 0 : uint64_t(double(span) * std::sqrt(double(flow.size) / largest));
        const uint64_t begin = random.below(span - std::min(lifetime, span) + 1);
        flow.dst = pickHost(random, options, double(begin) / double(span));
        if (lifetime > 0) peakRate = std::max(peakRate, flow.size / (double(lifetime) / 1e6));
        for (uint32_t k = 0; k < flow.size; ++k) {
            // Evenly spread with jitter: no burst within a flow's lifetime.
            const double at = flow.size == 1 ? 0 : (k + random.unit()) / flow.size;
            departures.push_back({begin + uint64_t(at * double(lifetime)), uint32_t(i)});
        }
    }
    std::sort(departures.begin(), departures.end(), [](const Departure& a, const Departure& b) {
        return a.micros != b.micros ? a.micros < b.micros : a.flow < b.flow;
    });

    PcapHandle dead(pcap_open_dead(DLT_EN10MB, kSnapLength));
    if (!dead) {
        fprintf(stderr, "%s: cannot open a capture handle\n", argv[0]);
        return 1;
    }
    PcapDumper dumper(pcap_dump_open(dead.get(), options.output.c_str()));
    if (!dumper) {
        fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], options.output.c_str(),
                pcap_geterr(dead.get()));
        return 1;
    }
    uint64_t kindPackets[kKinds] = {0, 0, 0, 0};
    for (const Departure& departure : departures) {
        Flow& flow = flows[departure.flow];
        uint8_t frame[kSnapLength] = {};
        const uint16_t length = buildPacket(flow, random, frame);
        ++kindPackets[int(flow.kind)];
        pcap_pkthdr header;
        const uint64_t micros = departure.micros;
        header.ts.tv_sec = time_t(options.start + int64_t(micros / 1000000));
        header.ts.tv_usec = suseconds_t(micros % 1000000);
        header.len = std::max<uint32_t>(kMinimumFrame, kEthernetHeader + length);
        header.caplen = std::min<uint32_t>(kSnapLength, header.len);
        pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, frame);
    }
    if (pcap_dump_flush(dumper.get()) != 0 || ferror(pcap_dump_file(dumper.get()))) {
        fprintf(stderr, "%s: error writing %s\n", argv[0], options.output.c_str());
        return 1;
    }
    const double n = double(options.packets);
    fprintf(stderr,
            "%" PRIu64 " packets, %" PRIu64 " flows, %" PRIu64
            " hosts, %.0f s: tcp %.1f%%, udp %.1f%%, icmp %.1f%%, fragments %.1f%%; "
            "largest flow %u packets, peak flow rate %.0f packets/s\n",
            options.packets, options.flows, options.hosts, options.seconds,
            100 * kindPackets[0] / n, 100 * kindPackets[1] / n, 100 * kindPackets[2] / n,
            100 * kindPackets[3] / n, size[0], peakRate);
    return 0;
}
