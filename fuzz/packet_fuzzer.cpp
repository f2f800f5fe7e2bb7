// libFuzzer target: hostile frames through onPacket into both tables.
//
// An input is a little script, read front to back; bytes missing at the end
// read as 0. Multi-byte numbers are little-endian.
//   byte 0       low 7 bits: link type, an index into kLinkTypes (the
//                link-type table plus one type the monitor does not know);
//                high bit set: the frames go through a PacketBatch instead
//                of onPacket, walking ahead at any table size and running
//                the sweep schedule after every packet as the replay does,
//                so that sweeps remove records between a batch's walk and
//                its inserts; the batch is applied before opcodes 0 and 8
//                and at the end
//   bytes 1-8    the starting packet time (any 64-bit value); both sweep
//                references start there too
//   then steps, each an opcode byte (taken modulo 16) and its operands:
//   0            the capture loop's sweep schedule
//   1 T8         the packet clock jumps to T (wrap-around included)
//   2-6, 9-15 D C L2 B..
//                one frame: time moves by D (signed byte), C captured bytes
//                B (at most 96, fewer if the input ends), wire length L
//   7 N2 V C B.. a burst: the frame C/B sent N times at the current time,
//                with a scrambled counter written over its source (V odd) or
//                destination (V even, not 0) address: what it takes to
//                reach the flood rules. All bursts of one input together
//                send at most kBurstBudget frames, to keep the fuzzer fast.
//   8 S          a sweep of one table (S even: flows, odd: hosts) that
//                removes the records whose key, hashed with S, is odd: any
//                mix of removals, whatever the times, so that every way of
//                unlinking a record is reached
// Each frame lies in a buffer of exactly its captured size, so any read past
// caplen is a heap overflow that AddressSanitizer reports. After the script
// both trees are checked (order, parent links, count) and cleared, so that
// inputs do not depend on each other and leaks show.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alert.h"
#include "batch.h"
#include "clock.h"
#include "flow.h"
#include "host.h"
#include "link_types.h"
#include "sweep_schedule.h"
#include "tables.h"
#include "tree_check.h"

namespace {

// The link types the monitor knows, and one it does not (DLT_IEEE802_11).
constexpr int kLinkTypes[] = {DLT_NULL, DLT_EN10MB, DLT_IEEE802, DLT_SLIP,      DLT_PPP,
                              DLT_FDDI, DLT_RAW,    DLT_LOOP,    DLT_LINUX_SLL, 105};

// Aborts (a finding) when treeDefect finds the table's tree broken.
template <typename Node>
void checkTree(const char* table, const SearchTree<Node>& tree) {
    const std::string defect = treeDefect(tree);
    if (defect.empty()) return;
    fprintf(stderr, "%s table: %s\n", table, defect.c_str());
    abort();
}

// Enough for every flood rule (a host needs more than 6 x 5000 packets).
constexpr uint32_t kBurstBudget = 32768;

// Timestamps may sit anywhere in 64 bits: steps wrap instead of overflowing.
int64_t plus(int64_t time, int64_t step) { return int64_t(uint64_t(time) + uint64_t(step)); }

// The sweep of opcode 8: removes the records whose key, mixed with the
// selector, gives an odd number.
uint8_t g_sweepSelector = 0;

uint32_t mixed(uint32_t key) {
    key ^= g_sweepSelector * 0x9E3779B9u;
    key ^= key >> 16;
    key *= 0x85EBCA6Bu;
    key ^= key >> 13;
    return key;
}

bool selectedFlow(const FlowRecord& record) { return mixed(record.digestWord(0)) % 2 == 1; }
bool selectedHost(const HostRecord& record) { return mixed(record.addr) % 2 == 1; }

// A captured frame in a heap buffer of exactly `caplen` bytes.
struct Frame {
    std::unique_ptr<u_char[]> bytes;
    uint32_t caplen;
};

// Reads the input front to back; past its end every byte reads as 0.
struct Script {
    const uint8_t* data;
    size_t size;

    bool done() const { return size == 0; }
    uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint64_t number(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint64_t(byte()) << (8 * i);
        return value;
    }
    Frame frame(uint32_t caplen) {
        if (caplen > 96) caplen = 96;
        if (caplen > size) caplen = uint32_t(size);
        Frame frame{std::unique_ptr<u_char[]>(new u_char[caplen]), caplen};
        if (caplen > 0) memcpy(frame.bytes.get(), data, caplen);
        data += caplen;
        size -= caplen;
        return frame;
    }
};

void sendFrame(LinkLayer link, PacketBatch* batch, int64_t time, const u_char* bytes,
               uint32_t caplen, uint32_t len) {
    pcap_pkthdr header{};
    header.ts.tv_sec = time;
    header.caplen = caplen;
    header.len = len;
    if (batch != nullptr) {
        PacketBatch::collect(reinterpret_cast<u_char*>(batch), &header, bytes);
        return;
    }
    onPacket(reinterpret_cast<u_char*>(&link), &header, bytes);
}

void runSchedule(void* schedule) { static_cast<SweepSchedule*>(schedule)->run(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Sweep reports and alerts are formatted all the same, into nothing; the
    // machine's system log gets none of this.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    g_flowTable = new FlowTable();
    g_hostTable = new HostTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script{data, size};
    const uint8_t head = script.byte();
    const int linkType = kLinkTypes[(head & 0x7F) % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    const int32_t offset = linkOffsetOf(linkType);
    const LinkLayer link{offset, linkType};
    int64_t time = int64_t(script.number(8));
    SweepSchedule schedule{time, time};
    PacketBatch batched(link, PacketBatch::kDefaultCapacity, 0);
    batched.setAfterPacket(runSchedule, &schedule);
    PacketBatch* batch = (head & 0x80) != 0 ? &batched : nullptr;
    uint32_t budget = kBurstBudget;
    g_packetTime = 0;

    while (!script.done()) {
        switch (script.byte() % 16) {
            case 0:
                if (batch != nullptr) batch->apply();
                schedule.run();
                break;
            case 1: time = int64_t(script.number(8)); break;
            case 7: {
                uint32_t count = uint32_t(script.number(2));
                if (count > budget) count = budget;
                budget -= count;
                const uint8_t varied = script.byte();
                const uint32_t caplen = script.byte();
                Frame frame = script.frame(caplen);
                const uint32_t at = uint32_t(offset) + (varied % 2 == 1 ? 12 : 16);
                const bool vary = varied != 0 && offset >= 0 && at + 4 <= frame.caplen;
                for (uint32_t i = 0; i < count; ++i) {
                    // Scrambled, so that the host tree stays bushy: ascending
                    // addresses (a chain) are measured elsewhere, not fuzzed.
                    const uint32_t address = i * 2654435761u;
                    if (vary) memcpy(frame.bytes.get() + at, &address, 4);
                    sendFrame(link, batch, time, frame.bytes.get(), frame.caplen, frame.caplen);
                }
                break;
            }
            case 8: {
                if (batch != nullptr) batch->apply();
                g_sweepSelector = script.byte();
                if (g_sweepSelector % 2 == 0)
                    g_flowTable->sweep(selectedFlow);
                else
                    g_hostTable->sweep(selectedHost);
                break;
            }
            default: {
                time = plus(time, int8_t(script.byte()));
                const uint32_t caplen = script.byte();
                const uint32_t len = uint32_t(script.number(2));
                Frame frame = script.frame(caplen);
                sendFrame(link, batch, time, frame.bytes.get(), frame.caplen, len);
                break;
            }
        }
    }
    if (batch != nullptr) batch->apply();
    schedule.run();

    checkTree("flow", *g_flowTable);
    checkTree("host", *g_hostTable);
    g_flowTable->clear();
    g_hostTable->clear();
    return 0;
}
