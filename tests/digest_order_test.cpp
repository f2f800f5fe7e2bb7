// The flow record's order: the MD4 digest compared as four little-endian
// words, each an unsigned number, word 0 first; named edge cases, then
// random digests against std::array's lexicographic order.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <random>
#include <string>

#include "flow.h"
#include "support.h"

namespace {

using Words = std::array<uint32_t, 4>;

// A record whose digest holds the given words, each stored little-endian as
// the digest does.
struct WithDigest {
    FlowRecord record{0, 0, 0, 0, 0, 0, 0, 0, 0};
    explicit WithDigest(const Words& words) {
        for (int i = 0; i < 4; ++i)
            for (int b = 0; b < 4; ++b) record.digest[4 * i + b] = uint8_t(words[i] >> (8 * b));
    }
};

struct OrderCase {
    std::string name;
    Words a, b;
    int expected;  // -1: a < b, 0: equal, 1: a > b
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class DigestOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(DigestOrder, ComparesWordsInOrderAsUnsignedNumbers) {
    const OrderCase& c = GetParam();
    const WithDigest a(c.a), b(c.b);
    EXPECT_EQ(a.record == b.record, c.expected == 0);
    EXPECT_EQ(a.record < b.record, c.expected < 0);
    EXPECT_EQ(a.record > b.record, c.expected > 0);
    EXPECT_EQ((b.record < a.record), c.expected > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Words, DigestOrder,
    testing::Values(OrderCase{"equal", {1, 2, 3, 4}, {1, 2, 3, 4}, 0},
                    OrderCase{
                        "word0_decides", {1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {2, 0, 0, 0}, -1},
                    OrderCase{"word1_decides", {7, 0x80000000, 0, 0}, {7, 0x7FFFFFFF, 9, 9}, 1},
                    OrderCase{"word2_decides", {7, 7, 1, 0xFFFFFFFF}, {7, 7, 2, 0}, -1},
                    OrderCase{"word3_decides", {7, 7, 7, 0xFFFFFFFE}, {7, 7, 7, 0xFFFFFFFF}, -1},
                    // Unsigned: the top bit makes a word large, not negative.
                    OrderCase{"top_bit_is_large", {0x80000000, 0, 0, 0}, {0x7FFFFFFF, 0, 0, 0}, 1},
                    // Bytewise the first digest is smaller (its byte 0 is 0x01 against
                    // 0x02), but word 0 reads 0x02000001 against 0x00000002.
                    OrderCase{"not_bytewise", {0x02000001, 0, 0, 0}, {0x00000002, 0, 0, 0}, 1}),
    CaseName());

// Against std::array's lexicographic order, on words drawn from a few values
// so that long common prefixes are frequent.
TEST(DigestOrder, AgreesWithLexicographicWordOrderOnRandomDigests) {
    const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    std::mt19937 random(20240);
    auto draw = [&] {
        Words w;
        for (uint32_t& x : w) x = values[random() % 5];
        return w;
    };
    for (int i = 0; i < 20000; ++i) {
        const Words x = draw(), y = draw();
        const WithDigest a(x), b(y);
        ASSERT_EQ(a.record < b.record, x < y) << i;
        ASSERT_EQ(a.record == b.record, x == y) << i;
        ASSERT_EQ(a.record > b.record, x > y) << i;
    }
}

}  // namespace
