// Trees at their worst. The tables never rebalance, so destinations sent in
// ascending numeric order (the address loaded little-endian: the last octet
// counts most) build a host table that is one chain of right links, and
// flows sent in ascending digest order (MD4 is not keyed, so anyone can sort
// keys by it) do the same to the flow table. Every walk over such a chain
// (sweep, listing, clear, destruction) may cost time but never stack: each
// case below runs on a thread with a 128 KiB stack, which a walk that
// recursed once per level of a 65536-deep chain would overflow many times
// over (the sanitizer build reports that as a stack overflow).
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "frames.h"
#include "support.h"
#include "tree_check.h"

namespace {

constexpr size_t kSmallStack = 128 * 1024;
constexpr uint32_t kSlash16 = 65536;

// Runs `body` on a fresh thread with a small stack and waits for it.
void onSmallStack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// The tree's height, once treeDefect has found its invariants intact.
template <typename Node>
uint32_t checkedHeight(const SearchTree<Node>& tree) {
    TreeWalk<Node> walk;
    EXPECT_EQ(treeDefect(tree, &walk), "");
    return walk.height;
}

// Host i of the /16 10.0.0.0/16 in ascending table order: 10.0.(i%256).(i/256),
// whose order number is i/256 << 24 | i%256 << 16 | 0 << 8 | 10.
frames::Addr ascendingHost(uint32_t i) { return {10, 0, uint8_t(i % 256), uint8_t(i / 256)}; }

// Shapes of a degenerate tree, given as the order in which n keys (0 to n-1,
// ascending in the table's order) arrive. Each key of these sequences
// becomes a child of the key before it, so the height equals the count.
struct Shape {
    std::string name;
    std::vector<uint32_t> (*sequence)(uint32_t n);
};

std::vector<uint32_t> ascending(uint32_t n) {
    std::vector<uint32_t> keys(n);
    for (uint32_t i = 0; i < n; ++i) keys[i] = i;
    return keys;
}

std::vector<uint32_t> descending(uint32_t n) {
    std::vector<uint32_t> keys = ascending(n);
    std::reverse(keys.begin(), keys.end());
    return keys;
}

// 0, n-1, 1, n-2, ...: right, left, right, left down the one path.
std::vector<uint32_t> zigzag(uint32_t n) {
    std::vector<uint32_t> keys;
    for (uint32_t low = 0, high = n - 1; low <= high && keys.size() < n; ++low, --high) {
        keys.push_back(low);
        if (high != low) keys.push_back(high);
    }
    return keys;
}

void PrintTo(const Shape& shape, std::ostream* os) { *os << shape.name; }

// Links `records` (in arrival order) as that path, each under the one before:
// what insert would build, in linear instead of quadratic time.
template <typename Node>
void linkAsPath(SearchTree<Node>& tree, const std::vector<Node*>& records) {
    Node* last = nullptr;
    for (Node* record : records) {
        if (last != nullptr) (*last < *record ? last->right : last->left) = record;
        record->parent = last;
        last = record;
    }
    tree.adopt(records.empty() ? nullptr : records.front(), uint32_t(records.size()));
}

// A host table holding 10.0.0.0/16 hosts in the shape's arrival order; odd
// hosts have flows 0 (expired at the next sweep), even ones are recent.
void buildHosts(HostTable& hosts, const Shape& shape, uint32_t n) {
    std::vector<HostRecord*> records;
    for (uint32_t key : shape.sequence(n)) {
        HostRecord* host = new HostRecord(frames::wireAddr(ascendingHost(key)), 1000, 0);
        host->flows = key % 2;
        records.push_back(host);
    }
    linkAsPath(hosts, records);
}

// A flow table of n flows from 10.0.0.0/16 to one server, in the shape's
// arrival order by digest.
void buildFlows(FlowTable& flows, const Shape& shape, uint32_t n) {
    std::vector<FlowRecord*> sorted;
    for (uint32_t i = 0; i < n; ++i)
        sorted.push_back(new FlowRecord(frames::wireAddr(ascendingHost(i)),
                                        frames::wireAddr({198, 51, 100, 5}), 0x5000, 0x5000, 2, 6,
                                        0, 60, 1000 + (i % 2) * 100));
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return *a < *b; });
    std::vector<FlowRecord*> records;
    for (uint32_t key : shape.sequence(n)) records.push_back(sorted[key]);
    linkAsPath(flows, records);
}

size_t lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

class DeepTree : public testing::TestWithParam<Shape> {};

TEST_P(DeepTree, host_table_walks_cost_no_stack) {
    const Shape& shape = GetParam();
    frames::SavedClock clock;
    onSmallStack([&] {
        HostTable hosts;
        buildHosts(hosts, shape, kSlash16);
        EXPECT_EQ(checkedHeight(hosts), kSlash16);

        const std::string listing = captureStdout([&] { hosts.print(); });
        EXPECT_EQ(lines(listing), kSlash16);
        EXPECT_EQ(listing.substr(0, listing.find('\n')),
                  "Host: 10.0.0.0 flows: 0 speed: 0.000 flows/sec");

        // Half the records (flows 0) go: removals all along the path.
        g_packetTime = 1000;
        EXPECT_NE(captureStdout([&] { hosts.sweep(hostExpired); }).find("(65536 -> 32768)"),
                  std::string::npos);
        checkedHeight(hosts);
        g_packetTime = 2000;  // now every record is idle
        captureStdout([&] { hosts.sweep(hostExpired); });
        EXPECT_EQ(hosts.root(), nullptr);
        EXPECT_EQ(hosts.size(), 0u);

        buildHosts(hosts, shape, kSlash16);
        captureStdout([&] { hosts.clear(); });
        EXPECT_EQ(hosts.size(), 0u);

        // The table's destructor and a record's destructor, each freeing a
        // whole chain below it.
        buildHosts(hosts, shape, kSlash16);
        HostTable* doomed = new HostTable();
        doomed->adopt(hosts.release(), kSlash16);
        delete doomed;
        buildHosts(hosts, shape, kSlash16);
        delete hosts.release();
    });
}

TEST_P(DeepTree, flow_table_walks_cost_no_stack) {
    const Shape& shape = GetParam();
    frames::SavedClock clock;
    onSmallStack([&] {
        FlowTable flows;
        buildFlows(flows, shape, kSlash16);
        EXPECT_EQ(checkedHeight(flows), kSlash16);

        uint32_t listed = 0;
        EXPECT_EQ(lines(captureStdout([&] { listed = flows.print(); })), 2 * kSlash16);
        EXPECT_EQ(listed, kSlash16);

        g_packetTime = 1090;  // the flows last seen at 1000 are idle
        captureStdout([&] { flows.sweep(flowExpired); });
        EXPECT_EQ(flows.size(), kSlash16 / 2);
        checkedHeight(flows);

        captureStdout([&] { flows.clear(); });
        buildFlows(flows, shape, kSlash16);  // freed by the table's destructor
    });
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeepTree,
                         testing::Values(Shape{"ascending", ascending},
                                         Shape{"descending", descending}, Shape{"zigzag", zigzag}),
                         CaseName());

// The chain is what the real packet path builds: destinations in ascending
// order through onPacket give a host table whose height is its size, and
// flows sent in ascending digest order do the same to the flow table.
TEST(DeepTreeFromPackets, ascending_destinations_and_sorted_flows_build_chains) {
    constexpr uint32_t n = 4096;
    frames::InstalledTables tables;
    for (uint32_t i = 0; i < n; ++i) {
        frames::Ip ip;
        ip.dst = ascendingHost(i);
        frames::deliver(frames::frame(0, ip, frames::tcp(40000, 80, 0x02)), 1000, 0,
                        frames::kWholeFrame, frames::kRawIp);
    }
    EXPECT_EQ(tables.hosts.size(), n);
    EXPECT_EQ(checkedHeight(tables.hosts), n);
    EXPECT_LT(checkedHeight(tables.flows), 64u) << "distinct digests spread out";

    // Source ports 1 to n, sorted by the digest of their flow key.
    const frames::Ip ip;
    std::vector<std::unique_ptr<FlowRecord>> byDigest;
    for (uint32_t port = 1; port <= n; ++port) {
        byDigest.emplace_back(new FlowRecord(frames::wireAddr(ip.src), frames::wireAddr(ip.dst),
                                             frames::wire16(uint16_t(port)), 0x5000, 2, 6, 0, 40,
                                             1000));
    }
    std::sort(byDigest.begin(), byDigest.end(),
              [](const auto& a, const auto& b) { return *a < *b; });
    frames::InstalledTables sorted;
    for (const auto& record : byDigest) {
        const uint8_t* wire = reinterpret_cast<const uint8_t*>(&record->srcPort);
        const uint16_t port = uint16_t(wire[0] << 8 | wire[1]);
        frames::deliver(frames::frame(0, ip, frames::tcp(port, 80, 0x02)), 1000, 0,
                        frames::kWholeFrame, frames::kRawIp);
    }
    EXPECT_EQ(sorted.flows.size(), n);
    EXPECT_EQ(checkedHeight(sorted.flows), n);
}

}  // namespace
