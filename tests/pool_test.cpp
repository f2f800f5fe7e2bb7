// The record pools: where the hot span of a record lands in a cache line
// (hotSpanPhase), blocks handed out distinct, aligned and reused last freed
// first, and, in the sanitizer build, freed or never handed out blocks
// poisoned.
#include "pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "flow.h"
#include "host.h"
#include "support.h"

namespace {

struct PhaseCase {
    std::string name;
    size_t blockSize, alignment, hotBegin, hotEnd;
    size_t phase;  // expected; kCacheLine when no phase fits
};

void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.name; }

class HotSpanPhase : public testing::TestWithParam<PhaseCase> {};

TEST_P(HotSpanPhase, FirstPhaseWhereEveryBlockKeepsItsSpanInOneLine) {
    const PhaseCase& c = GetParam();
    EXPECT_EQ(hotSpanPhase(c.blockSize, c.alignment, c.hotBegin, c.hotEnd), c.phase);
}

INSTANTIATE_TEST_SUITE_P(Layouts, HotSpanPhase,
                         testing::Values(
                             // A 96-byte flow record: digest at 56, child links up to 88. At phase
                             // 0 the first record's span straddles 64; at 8 the blocks alternate
                             // between phases 8 and 40 and both fit.
                             PhaseCase{"flow_record", 96, 8, 56, 88, 8},
                             // A 64-byte host record is one line at phase 0.
                             PhaseCase{"host_record", 64, 8, 0, 56, 0},
                             PhaseCase{"span_across_a_boundary", 64, 8, 60, 68, 8},
                             // 80-byte blocks take four phases 16 bytes apart: a 56-byte span
                             // cannot fit all of them.
                             PhaseCase{"no_phase_fits_every_block", 80, 8, 0, 56, kCacheLine},
                             PhaseCase{"span_longer_than_a_line", 128, 8, 0, 72, kCacheLine}),
                         CaseName());

// The flow record's own pool parameters.
using FlowLikePool = RecordPool<96, 8, hotSpanPhase(96, 8, 56, 88)>;

bool sameLine(const void* first, const void* last) {
    return reinterpret_cast<uintptr_t>(first) / kCacheLine ==
           reinterpret_cast<uintptr_t>(last) / kCacheLine;
}

TEST(RecordPool, BlocksAreDistinctAlignedAndKeepTheHotSpanInOneLine) {
    FlowLikePool pool;
    // Enough blocks for several chunks.
    const size_t count = 3 * FlowLikePool::kChunkBytes / 96;
    std::vector<unsigned char*> blocks;
    std::set<unsigned char*> distinct;
    for (size_t i = 0; i < count; ++i) {
        unsigned char* block = static_cast<unsigned char*>(pool.allocate());
        memset(block, int(i), 96);  // the whole block is writable
        blocks.push_back(block);
        distinct.insert(block);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << "block " << i;
        ASSERT_TRUE(sameLine(block + 56, block + 87)) << "block " << i;
    }
    EXPECT_EQ(distinct.size(), count);
    // No block overlaps the next one handed out of the same chunk.
    for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(blocks[i][0], static_cast<unsigned char>(i)) << "block " << i;
    for (unsigned char* block : blocks) pool.release(block);
}

TEST(RecordPool, FreedBlocksAreReusedLastFreedFirstWithoutGrowing) {
    FlowLikePool pool;
    std::vector<void*> first;
    for (int i = 0; i < 1000; ++i) first.push_back(pool.allocate());
    for (void* block : first) pool.release(block);
    // The most recently freed comes back first: the block a merged record
    // just left is the one the next packet's record gets.
    for (int i = 999; i >= 0; --i) EXPECT_EQ(pool.allocate(), first[i]) << "allocation " << i;
    for (void* block : first) pool.release(block);
}

// Frees and allocations interleaved in runs of many lengths, across the
// groups that hold the free blocks' addresses: every allocation answers the
// most recently freed block still free, as a stack of addresses would, and
// the pool never grows while a freed block is left.
TEST(RecordPool, InterleavedFreesAndAllocationsFollowAStack) {
    FlowLikePool pool;
    std::vector<void*> live;
    std::vector<void*> stack;  // the model: most recently freed last
    std::set<void*> seen;
    uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245u + 12345u; };
    for (int round = 0; round < 400; ++round) {
        const size_t frees = (next() >> 16) % 40;
        for (size_t i = 0; i < frees && !live.empty(); ++i) {
            const size_t at = (next() >> 16) % live.size();
            void* block = live[at];
            live[at] = live.back();
            live.pop_back();
            pool.release(block);
            stack.push_back(block);
        }
        const size_t allocations = (next() >> 16) % 40;
        for (size_t i = 0; i < allocations; ++i) {
            void* block = pool.allocate();
            if (!stack.empty()) {
                ASSERT_EQ(block, stack.back()) << "round " << round << ", allocation " << i;
                stack.pop_back();
            } else {
                ASSERT_TRUE(seen.insert(block).second) << "a live block handed out again";
            }
            memset(block, 0xA5, 96);  // a live block is the caller's, all of it
            live.push_back(block);
        }
    }
    for (void* block : live) pool.release(block);
}

#ifdef SURGEWATCH_ASAN
TEST(RecordPoolDeathTest, ReadingAFreedBlockIsReported) {
    EXPECT_DEATH(
        {
            FlowLikePool pool;
            volatile unsigned char* block = static_cast<unsigned char*>(pool.allocate());
            block[0] = 1;
            pool.release(const_cast<unsigned char*>(block));
            (void)block[40];
        },
        "use-after-poison");
}

// A block freed before the latest keeps the addresses of later ones in its
// first bytes; the rest of it is still reported when read.
TEST(RecordPoolDeathTest, ReadingABlockThatHoldsFreeAddressesIsReported) {
    EXPECT_DEATH(
        {
            FlowLikePool pool;
            volatile unsigned char* first = static_cast<unsigned char*>(pool.allocate());
            void* second = pool.allocate();
            void* third = pool.allocate();
            pool.release(const_cast<unsigned char*>(first));
            pool.release(second);
            pool.release(third);  // second's address now sits in first
            (void)first[40];
        },
        "use-after-poison");
}

TEST(RecordPoolDeathTest, ReadingPastTheBlocksHandedOutIsReported) {
    EXPECT_DEATH(
        {
            FlowLikePool pool;
            volatile unsigned char* block = static_cast<unsigned char*>(pool.allocate());
            (void)block[96];  // the next, never allocated block
        },
        "use-after-poison");
}
#endif

TEST(RecordPool, RecordsKeepTheirDescentFieldsInOneCacheLine) {
#ifdef SURGEWATCH_ASAN
    GTEST_SKIP() << "records come from the general allocator in sanitizer builds";
#else
    std::vector<FlowRecord*> flows;
    std::vector<HostRecord*> hosts;
    for (uint32_t i = 0; i < 5000; ++i) {
        flows.push_back(new FlowRecord(i, ~i, 1, 2, 0, 6, 0, 40, 1000));
        hosts.push_back(new HostRecord(i, 1000, 0));
    }
    for (const FlowRecord* f : flows)
        ASSERT_TRUE(sameLine(f->digest, reinterpret_cast<const char*>(&f->right) + 7));
    for (const HostRecord* h : hosts)
        ASSERT_TRUE(sameLine(&h->addr, reinterpret_cast<const char*>(&h->parent) + 7));
    for (FlowRecord* f : flows) delete f;
    for (HostRecord* h : hosts) delete h;
#endif
}

}  // namespace
