// SearchTree over a small record keyed by an int: shapes after removal,
// insert-or-merge, sweeps, clear, listing, million-record chains and a
// randomized comparison with std::map.
#include "tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"
#include "tree_check.h"

namespace {

// Every destructor run appends the key here, so tests can see which
// records were freed and in which order.
std::vector<int> g_destroyed;

struct TestRecord {
    int key;
    int merges = 0;  // incoming records folded into this one
    TestRecord* left = nullptr;
    TestRecord* right = nullptr;
    TestRecord* parent = nullptr;

    static inline long live = 0;  // records currently allocated

    using PrintResult = uint32_t;
    static constexpr const char* kSweepReport = "Test cleanup took %2.5f seconds (%u -> %u)\n";

    explicit TestRecord(int k) : key(k) { ++live; }
    ~TestRecord() {
        freeSubtree(left);
        freeSubtree(right);
        --live;
        g_destroyed.push_back(key);
    }
    TestRecord(const TestRecord&) = delete;
    TestRecord& operator=(const TestRecord&) = delete;

    void merge(const TestRecord&) { ++merges; }
    void printListing() const { printf("%d\n", key); }
};

bool operator==(const TestRecord& a, const TestRecord& b) { return a.key == b.key; }
bool operator<(const TestRecord& a, const TestRecord& b) { return a.key < b.key; }

using TestTree = SearchTree<TestRecord>;

// "k" for a leaf, "k(L,R)" otherwise, "-" for a missing child, "" for an
// empty tree. Only for the small trees of the shape tests.
std::string shape(const TestRecord* n) {
    if (n == nullptr) return "-";
    std::string s = std::to_string(n->key);
    if (n->left == nullptr && n->right == nullptr) return s;
    return s + "(" + shape(n->left) + "," + shape(n->right) + ")";
}
std::string shape(const TestTree& t) { return t.root() == nullptr ? "" : shape(t.root()); }

// treeDefect as a test result; fills `keys` with the in-order keys.
testing::AssertionResult wellFormed(const TestTree& t, std::vector<int>* keys = nullptr) {
    TreeWalk<TestRecord> walk;
    const std::string defect = treeDefect(t, &walk);
    if (keys != nullptr) {
        keys->clear();
        for (const TestRecord* n : walk.inOrder) keys->push_back(n->key);
    }
    if (!defect.empty()) return testing::AssertionFailure() << defect;
    return testing::AssertionSuccess();
}

TestRecord* find(const TestTree& t, int key) {
    TestRecord* n = t.root();
    while (n != nullptr && n->key != key) n = key < n->key ? n->left : n->right;
    return n;
}

void addAll(TestTree& t, const std::vector<int>& keys) {
    for (int k : keys) ASSERT_TRUE(t.add(k)) << k;
}

class TreeTest : public testing::Test {
protected:
    void SetUp() override {
        g_destroyed.clear();
        TestRecord::live = 0;
    }
    // Every test's trees are gone by now: nothing may be left allocated.
    void TearDown() override { EXPECT_EQ(TestRecord::live, 0); }
};

// ---------------------------------------------------------------- removal

struct RemovalCase {
    const char* name;
    std::vector<int> inserts;  // in this order, into an empty tree
    int removed;
    std::string before;
    std::string after;
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class TreeRemoval : public TreeTest, public testing::WithParamInterface<RemovalCase> {};

TEST_P(TreeRemoval, RelinksNeighboursAndFreesOnlyTheNode) {
    const RemovalCase& c = GetParam();
    TestTree t;
    addAll(t, c.inserts);
    ASSERT_EQ(shape(t), c.before);

    std::map<int, TestRecord*> addresses;
    for (int k : c.inserts) addresses[k] = find(t, k);
    TestRecord* x = find(t, c.removed);
    ASSERT_NE(x, nullptr);
    g_destroyed.clear();

    t.remove(x);

    EXPECT_EQ(shape(t), c.after);
    EXPECT_TRUE(wellFormed(t));
    EXPECT_EQ(t.size(), c.inserts.size() - 1);
    EXPECT_EQ(TestRecord::live, long(c.inserts.size() - 1));
    EXPECT_EQ(g_destroyed, std::vector<int>{c.removed}) << "only the removed record is freed";
    // The predecessor is moved as a node: every survivor keeps its address.
    for (const auto& [key, address] : addresses)
        if (key != c.removed) {
            EXPECT_EQ(find(t, key), address) << key;
        }
}

const RemovalCase kRemovalCases[] = {
    {"leaf", {5, 3, 8}, 3, "5(3,8)", "5(-,8)"},
    {"only_left_child", {5, 3, 2}, 3, "5(3(2,-),-)", "5(2,-)"},
    {"only_right_child", {5, 3, 4}, 3, "5(3(-,4),-)", "5(4,-)"},
    {"right_slot_only_left_child", {5, 8, 7}, 8, "5(-,8(7,-))", "5(-,7)"},
    {"right_slot_only_right_child", {5, 8, 9}, 8, "5(-,8(-,9))", "5(-,9)"},
    // The left child has no right child: it takes the right subtree.
    {"two_children_left_has_no_right", {8, 4, 2, 6, 1}, 4, "8(4(2(1,-),6),-)", "8(2(1,6),-)"},
    {"two_children_predecessor_right_of_left",
     {8, 4, 2, 6, 3},
     4,
     "8(4(2(-,3),6),-)",
     "8(3(2,6),-)"},
    // The predecessor's left child takes its place under the predecessor's
    // parent.
    {"predecessor_left_child_moves_up",
     {10, 6, 2, 8, 4, 3},
     6,
     "10(6(2(-,4(3,-)),8),-)",
     "10(4(2(-,3),8),-)"},
    {"predecessor_deep_below_left",
     {20, 10, 2, 15, 5, 8, 7},
     10,
     "20(10(2(-,5(-,8(7,-))),15),-)",
     "20(8(2(-,5(-,7)),15),-)"},
    {"root_only_node", {5}, 5, "5", ""},
    {"root_only_left_child", {5, 3, 2}, 5, "5(3(2,-),-)", "3(2,-)"},
    {"root_only_right_child", {5, 8, 9}, 5, "5(-,8(-,9))", "8(-,9)"},
    {"root_two_children_left_has_no_right", {5, 3, 8, 2}, 5, "5(3(2,-),8)", "3(2,8)"},
    {"root_two_children_predecessor_right_of_left",
     {5, 2, 8, 1, 3},
     5,
     "5(2(1,3),8)",
     "3(2(1,-),8)"},
    {"root_predecessor_left_child_moves_up",
     {10, 2, 15, 6, 4},
     10,
     "10(2(-,6(4,-)),15)",
     "6(2(-,4),15)"},
};

INSTANTIATE_TEST_SUITE_P(Cases, TreeRemoval, testing::ValuesIn(kRemovalCases), CaseName());

TEST_F(TreeTest, RemoveNullChangesNothing) {
    TestTree t;
    addAll(t, {5, 3, 8});
    t.remove(nullptr);
    EXPECT_EQ(shape(t), "5(3,8)");
    EXPECT_EQ(t.size(), 3u);
    EXPECT_TRUE(g_destroyed.empty());
}

// --------------------------------------------------------- insert / merge

TEST_F(TreeTest, FirstAddBecomesRootWithoutParent) {
    TestTree t;
    EXPECT_EQ(t.root(), nullptr);
    EXPECT_EQ(t.size(), 0u);
    EXPECT_TRUE(t.add(7));
    ASSERT_NE(t.root(), nullptr);
    EXPECT_EQ(t.root()->key, 7);
    EXPECT_EQ(t.root()->parent, nullptr);
    EXPECT_EQ(t.size(), 1u);
}

TEST_F(TreeTest, SmallerKeysGoLeftGreaterRight) {
    TestTree t;
    addAll(t, {50, 30, 70, 20, 40, 60, 80, 35});
    EXPECT_EQ(shape(t), "50(30(20,40(35,-)),70(60,80))");
    EXPECT_TRUE(wellFormed(t));
}

TEST_F(TreeTest, EqualKeyMergesAndLeavesShapeAndCount) {
    TestTree t;
    const std::vector<int> keys = {50, 30, 70, 20, 40, 60, 80};
    addAll(t, keys);
    const std::string before = shape(t);
    for (int k : keys) {
        TestRecord* existing = find(t, k);
        TestRecord* const l = existing->left;
        TestRecord* const r = existing->right;
        TestRecord* const p = existing->parent;
        g_destroyed.clear();

        EXPECT_FALSE(t.add(k)) << k;

        EXPECT_EQ(find(t, k), existing) << k;
        EXPECT_EQ(existing->merges, 1) << k;
        EXPECT_EQ(existing->left, l);
        EXPECT_EQ(existing->right, r);
        EXPECT_EQ(existing->parent, p);
        EXPECT_EQ(g_destroyed, std::vector<int>{k}) << "the incoming record is freed";
    }
    EXPECT_EQ(shape(t), before);
    EXPECT_EQ(t.size(), keys.size());
    EXPECT_EQ(TestRecord::live, long(keys.size()));
}

TEST_F(TreeTest, InsertTakesARecordAndAnswersWhetherItWasLinked) {
    TestTree t;
    TestRecord* a = new TestRecord(4);
    EXPECT_TRUE(t.insert(a));
    EXPECT_EQ(t.root(), a);
    TestRecord* b = new TestRecord(9);
    EXPECT_TRUE(t.insert(b));
    EXPECT_EQ(a->right, b);
    EXPECT_EQ(b->parent, a);
    EXPECT_FALSE(t.insert(new TestRecord(9)));
    EXPECT_EQ(b->merges, 1);
    EXPECT_EQ(TestRecord::live, 2);
}

// ------------------------------------------------------------------ sweep

std::vector<int> g_visited;
std::set<int> g_accepted;
bool acceptListed(const TestRecord& r) {
    g_visited.push_back(r.key);
    return g_accepted.count(r.key) != 0;
}

std::string sweepReport(unsigned before, unsigned after) {
    return "Test cleanup took [0-9]+\\.[0-9]{5} seconds \\(" + std::to_string(before) + " -> " +
           std::to_string(after) + "\\)\n";
}

struct SweepCase {
    const char* name;
    int records;  // keys 1..records, inserted shuffled
    std::set<int> accepted;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class TreeSweep : public TreeTest, public testing::WithParamInterface<SweepCase> {};

TEST_P(TreeSweep, VisitsEachRecordOnceThenRemovesFromTheGreatest) {
    const SweepCase& c = GetParam();
    std::vector<int> keys;
    for (int k = 1; k <= c.records; ++k) keys.push_back(k);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(17));
    TestTree t;
    addAll(t, keys);
    std::map<int, TestRecord*> addresses;
    for (int k : keys) addresses[k] = find(t, k);
    const std::string shapeBefore = shape(t);

    g_visited.clear();
    g_accepted = c.accepted;
    g_destroyed.clear();
    const std::string out = captureStdout([&] { t.sweep(acceptListed); });

    std::vector<int> ascending = keys;
    std::sort(ascending.begin(), ascending.end());
    std::sort(g_visited.begin(), g_visited.end());
    EXPECT_EQ(g_visited, ascending) << "the predicate sees every record once";
    EXPECT_EQ(g_destroyed, std::vector<int>(c.accepted.rbegin(), c.accepted.rend()));
    const unsigned after = unsigned(c.records - c.accepted.size());
    EXPECT_TRUE(testing::internal::RE::FullMatch(out, sweepReport(c.records, after))) << out;

    std::vector<int> survivors;
    EXPECT_TRUE(wellFormed(t, &survivors));
    std::vector<int> expected;
    for (int k : ascending)
        if (c.accepted.count(k) == 0) expected.push_back(k);
    EXPECT_EQ(survivors, expected);
    EXPECT_EQ(t.size(), after);
    for (int k : expected) EXPECT_EQ(find(t, k), addresses[k]) << k;
    if (c.accepted.empty()) {
        EXPECT_EQ(shape(t), shapeBefore);
    }
    if (after == 0) {
        EXPECT_EQ(t.root(), nullptr);
    }
}

std::set<int> allUpTo(int n) {
    std::set<int> s;
    for (int k = 1; k <= n; ++k) s.insert(k);
    return s;
}

const SweepCase kSweepCases[] = {
    {"empty_tree", 0, {}},
    {"accept_none", 40, {}},
    {"accept_all", 40, allUpTo(40)},
    {"accept_scattered", 40, {1, 2, 7, 13, 14, 15, 22, 31, 39, 40}},
    {"accept_only_record", 1, {1}},
};

INSTANTIATE_TEST_SUITE_P(Cases, TreeSweep, testing::ValuesIn(kSweepCases), CaseName());

// The sweep against the plain one it must match exactly: every record
// visited in order, then the accepted ones removed from the greatest to the
// smallest, one remove() each. Over large trees of every shape (random,
// balanced, chains and zigzags, which give the scan one subtree and all its
// cursors nothing to do) and acceptance patterns that remove whole top
// levels, scattered records or nearly everything, the two leave the same
// tree, record for record and link for link, and free the same records in
// the same order.
enum class Accept { none, all, everyThird, half, few, most, topOnly };
Accept g_accept;
// A record's fate under the pattern: a hash of its key, so the patterns do
// not line up with the shapes.
bool acceptByPattern(const TestRecord& r) {
    const uint32_t h = uint32_t(r.key) * 2654435761u;
    switch (g_accept) {
        case Accept::none: return false;
        case Accept::all: return true;
        case Accept::everyThird: return r.key % 3 == 0;
        case Accept::half: return h >> 31;
        case Accept::few: return h % 100 < 3;
        case Accept::most: return h % 100 >= 3;
        case Accept::topOnly: return r.merges > 0;  // set on the top records below
    }
    return false;
}

// The plain sweep, through the tree's public operations only.
void plainSweep(TestTree& t, bool (*expired)(const TestRecord&)) {
    std::vector<TestRecord*> matches;
    std::vector<TestRecord*> pending;
    TestRecord* n = t.root();
    for (;;) {
        while (n != nullptr) {
            pending.push_back(n);
            n = n->left;
        }
        if (pending.empty()) break;
        n = pending.back();
        pending.pop_back();
        if (expired(*n)) matches.push_back(n);
        n = n->right;
    }
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) t.remove(*it);
}

// Every record in order with its three links as keys (-1 for none): the
// whole shape, without recursion.
std::vector<std::array<int, 4>> links(const TestTree& t) {
    TreeWalk<TestRecord> walk;
    EXPECT_EQ(treeDefect(t, &walk), "");
    auto key = [](const TestRecord* n) { return n == nullptr ? -1 : n->key; };
    std::vector<std::array<int, 4>> out;
    for (const TestRecord* n : walk.inOrder)
        out.push_back({n->key, key(n->left), key(n->right), key(n->parent)});
    return out;
}

// Links keys[i] under keys[i - 1], as adds in that order would when each key
// lies between all the earlier ones (chains, zigzags), in linear time.
void linkPath(TestTree& t, const std::vector<int>& keys) {
    TestRecord* first = nullptr;
    TestRecord* last = nullptr;
    for (int k : keys) {
        TestRecord* r = new TestRecord(k);
        r->parent = last;
        if (last == nullptr)
            first = r;
        else
            (k > last->key ? last->right : last->left) = r;
        last = r;
    }
    t.adopt(first, uint32_t(keys.size()));
}

struct ShapeCase {
    const char* name;
    // Builds the same tree each time it is called.
    void (*build)(TestTree& t);
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

constexpr int kShapeRecords = 60000;

void randomTree(TestTree& t) {
    std::vector<int> keys(kShapeRecords);
    for (int k = 0; k < kShapeRecords; ++k) keys[size_t(k)] = k;
    std::shuffle(keys.begin(), keys.end(), std::mt19937(20261211));
    for (int k : keys) t.add(k);
}
void smallRandomTree(TestTree& t) {
    std::mt19937 rng(5);
    for (int i = 0; i < 700; ++i) t.add(int(rng() % 1000));
}
// Middles first: a complete tree, every subtree below the top levels full.
void balancedTree(TestTree& t) {
    std::vector<std::pair<int, int>> ranges{{0, (1 << 15) - 1}};
    for (size_t i = 0; i < ranges.size(); ++i) {
        const auto [low, high] = ranges[i];
        if (low > high) continue;
        const int middle = low + (high - low) / 2;
        t.add(middle);
        ranges.push_back({low, middle - 1});
        ranges.push_back({middle + 1, high});
    }
}
void ascendingChain(TestTree& t) {
    std::vector<int> keys;
    for (int k = 0; k < kShapeRecords; ++k) keys.push_back(k);
    linkPath(t, keys);
}
void descendingChain(TestTree& t) {
    std::vector<int> keys;
    for (int k = kShapeRecords - 1; k >= 0; --k) keys.push_back(k);
    linkPath(t, keys);
}
void zigzag(TestTree& t) {
    std::vector<int> keys;
    for (int low = 0, high = kShapeRecords - 1; low <= high; ++low, --high) {
        keys.push_back(low);
        if (high != low) keys.push_back(high);
    }
    linkPath(t, keys);
}
// A random tree hanging at the end of a chain deeper than the scan's split.
void chainThenRandom(TestTree& t) {
    for (int k = 0; k < 40; ++k) t.add(k * 100000);
    std::mt19937 rng(9);
    for (int i = 0; i < 30000; ++i) t.add(3900000 + int(rng() % 99999) + 1);
}

const ShapeCase kShapes[] = {
    {"random", randomTree},
    {"small_random", smallRandomTree},
    {"balanced", balancedTree},
    {"ascending_chain", ascendingChain},
    {"descending_chain", descendingChain},
    {"zigzag", zigzag},
    {"chain_then_random", chainThenRandom},
};

// Marks the records of the top `levels` levels (merges 1) for topOnly.
void markTop(TestTree& t, int levels) {
    std::vector<std::pair<TestRecord*, int>> pending;
    if (t.root() != nullptr) pending.push_back({t.root(), 0});
    while (!pending.empty()) {
        auto [n, depth] = pending.back();
        pending.pop_back();
        if (depth >= levels) continue;
        n->merges = 1;
        if (n->left != nullptr) pending.push_back({n->left, depth + 1});
        if (n->right != nullptr) pending.push_back({n->right, depth + 1});
    }
}

class TreeSweepShape : public TreeTest,
                       public testing::WithParamInterface<std::tuple<ShapeCase, Accept>> {};

TEST_P(TreeSweepShape, LeavesTheTreeThePlainSweepLeaves) {
    const auto& [shapeCase, accept] = GetParam();
    g_accept = accept;
    TestTree swept;
    TestTree plain;
    shapeCase.build(swept);
    shapeCase.build(plain);
    markTop(swept, 12);
    markTop(plain, 12);
    ASSERT_EQ(links(swept), links(plain));

    g_destroyed.clear();
    plainSweep(plain, acceptByPattern);
    const std::vector<int> plainFreed = g_destroyed;
    g_destroyed.clear();
    const uint32_t before = swept.size();
    const std::string out = captureStdout([&] { swept.sweep(acceptByPattern); });

    EXPECT_EQ(g_destroyed, plainFreed) << "the same records freed, in the same order";
    EXPECT_EQ(links(swept), links(plain)) << "the same tree left";
    EXPECT_EQ(swept.size(), plain.size());
    EXPECT_TRUE(testing::internal::RE::FullMatch(out, sweepReport(before, plain.size()))) << out;
}

std::string shapeCaseName(const testing::TestParamInfo<std::tuple<ShapeCase, Accept>>& info) {
    static const char* const kAccept[] = {"none", "all",  "every_third", "half",
                                          "few",  "most", "top_only"};
    return std::string(std::get<0>(info.param).name) + "_" + kAccept[int(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TreeSweepShape,
    testing::Combine(testing::ValuesIn(kShapes),
                     testing::Values(Accept::none, Accept::all, Accept::everyThird, Accept::half,
                                     Accept::few, Accept::most, Accept::topOnly)),
    shapeCaseName);

// ---------------------------------------------------------- clear / print

TEST_F(TreeTest, ClearFreesLeftSubtreeThenRightThenNode) {
    TestTree t;
    addAll(t, {4, 2, 6, 1, 3, 5, 7});
    g_destroyed.clear();
    const std::string out = captureStdout([&] { t.clear(); });
    EXPECT_TRUE(
        testing::internal::RE::FullMatch(out, "Tree deleted in [0-9]+\\.[0-9]{4} seconds\n"))
        << out;
    EXPECT_EQ(g_destroyed, (std::vector<int>{1, 3, 2, 5, 7, 6, 4}));
    EXPECT_EQ(t.root(), nullptr);
    EXPECT_EQ(t.size(), 0u);
    // The tree is usable again afterwards.
    EXPECT_TRUE(t.add(4));
    EXPECT_EQ(t.size(), 1u);
}

TEST_F(TreeTest, ClearOfEmptyTreeStillReports) {
    TestTree t;
    const std::string out = captureStdout([&] { t.clear(); });
    EXPECT_TRUE(
        testing::internal::RE::FullMatch(out, "Tree deleted in [0-9]+\\.[0-9]{4} seconds\n"))
        << out;
    EXPECT_EQ(t.root(), nullptr);
    EXPECT_EQ(t.size(), 0u);
}

TEST_F(TreeTest, PrintOfEmptyTreeWritesNothing) {
    TestTree t;
    uint32_t listed = 1;
    EXPECT_EQ(captureStdout([&] { listed = t.print(); }), "");
    EXPECT_EQ(listed, 0u);
}

TEST_F(TreeTest, PrintListsAscendingAndCounts) {
    TestTree t;
    addAll(t, {50, 30, 70, 20, 40, 60, 80, 35, 65});
    uint32_t listed = 0;
    EXPECT_EQ(captureStdout([&] { listed = t.print(); }), "20\n30\n35\n40\n50\n60\n65\n70\n80\n");
    EXPECT_EQ(listed, 9u);
}

// ------------------------------------------------------------------ chains

// Links `n` records into a chain of right links (ascending) or left links
// (descending), as that many ascending or descending adds would, without
// the quadratic cost of descending the whole chain for every add.
void linkChain(TestTree& t, int n, bool ascending) {
    TestRecord* first = nullptr;
    TestRecord* last = nullptr;
    for (int i = 0; i < n; ++i) {
        TestRecord* r = new TestRecord(ascending ? i : n - 1 - i);
        r->parent = last;
        if (last == nullptr)
            first = r;
        else
            (ascending ? last->right : last->left) = r;
        last = r;
    }
    t.adopt(first, uint32_t(n));
}

int g_calls;
bool everyThird(const TestRecord& r) {
    ++g_calls;
    return r.key % 3 == 0;
}

// Parses the listing of TestRecord::printListing: one key per line. Each
// line is read on its own: strtol over the
// whole remaining output would make the sanitizer's string checks scan a
// million lines per key.
std::vector<int> listedKeys(const std::string& out) {
    std::vector<int> keys;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        char* end;
        keys.push_back(int(strtol(line.c_str(), &end, 10)));
        if (*end != '\0') break;
    }
    return keys;
}

struct ChainCase {
    const char* name;
    bool ascending;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class TreeChain : public TreeTest, public testing::WithParamInterface<ChainCase> {};

// Short chains built by add: each record hangs on the previous one.
TEST_P(TreeChain, AddsInOrderBuildAChain) {
    constexpr int kRecords = 3000;
    TestTree t;
    for (int i = 0; i < kRecords; ++i)
        ASSERT_TRUE(t.add(GetParam().ascending ? i : kRecords - 1 - i));
    int depth = 0;
    for (const TestRecord* n = t.root(); n != nullptr; ++depth) {
        ASSERT_EQ(GetParam().ascending ? n->left : n->right, nullptr);
        n = GetParam().ascending ? n->right : n->left;
    }
    EXPECT_EQ(depth, kRecords);
    EXPECT_TRUE(wellFormed(t));
    // Removal in the middle of a chain splices it.
    t.remove(find(t, kRecords / 2));
    EXPECT_TRUE(wellFormed(t));
    EXPECT_EQ(t.size(), uint32_t(kRecords - 1));
}

// A million records in one chain: every walk must be a loop, or the stack
// runs out long before the end.
TEST_P(TreeChain, MillionRecordsWithoutExhaustingTheStack) {
    constexpr int kRecords = 1000000;
    const bool ascending = GetParam().ascending;
    {
        TestTree t;
        linkChain(t, kRecords, ascending);
        ASSERT_TRUE(wellFormed(t));

        // Insert and merge at the far end of the chain.
        const int beyond = ascending ? kRecords : -1;
        const int deepest = ascending ? kRecords - 1 : 0;
        EXPECT_TRUE(t.add(beyond));
        EXPECT_EQ(find(t, beyond)->parent, find(t, deepest));
        EXPECT_FALSE(t.add(beyond));
        EXPECT_EQ(find(t, beyond)->merges, 1);
        EXPECT_EQ(t.size(), uint32_t(kRecords + 1));

        uint32_t listed = 0;
        const std::string out = captureStdout([&] { listed = t.print(); });
        EXPECT_EQ(listed, uint32_t(kRecords + 1));
        std::vector<int> keys = listedKeys(out);
        ASSERT_EQ(keys.size(), size_t(kRecords + 1));
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        EXPECT_EQ(keys.front(), ascending ? 0 : -1);
        EXPECT_EQ(keys.back(), ascending ? kRecords : kRecords - 1);

        g_calls = 0;
        const uint32_t before = t.size();
        int multiplesOfThree = 0;
        for (int k : keys) multiplesOfThree += k % 3 == 0;
        const std::string report = captureStdout([&] { t.sweep(everyThird); });
        EXPECT_EQ(g_calls, kRecords + 1);
        const uint32_t after = before - uint32_t(multiplesOfThree);
        EXPECT_TRUE(testing::internal::RE::FullMatch(report, sweepReport(before, after))) << report;
        EXPECT_EQ(t.size(), after);
        EXPECT_TRUE(wellFormed(t));

        const std::string cleared = captureStdout([&] { t.clear(); });
        EXPECT_TRUE(testing::internal::RE::FullMatch(
            cleared, "Tree deleted in [0-9]+\\.[0-9]{4} seconds\n"));
        EXPECT_EQ(t.root(), nullptr);
        EXPECT_EQ(t.size(), 0u);
        EXPECT_EQ(TestRecord::live, 0);
    }
    {
        // The tree's own destructor on a full chain.
        TestTree t;
        linkChain(t, kRecords, ascending);
    }
    EXPECT_EQ(TestRecord::live, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, TreeChain,
                         testing::Values(ChainCase{"ascending", true},
                                         ChainCase{"descending", false}),
                         CaseName());

// ------------------------------------------------------------ the check

// The shared check (tree_check.h) names the first broken invariant: were it
// to pass everything, every test here that relies on it would pass too.
TEST_F(TreeTest, CheckNamesTheFirstBrokenInvariant) {
    TestTree t;
    addAll(t, {4, 2, 6, 1, 3, 5, 7});
    ASSERT_EQ(treeDefect(t), "");
    TestRecord* const one = find(t, 1);
    TestRecord* const three = find(t, 3);

    one->parent = find(t, 6);
    EXPECT_EQ(treeDefect(t),
              "the left child of a record at depth 2 has a parent link that points elsewhere");
    one->parent = find(t, 2);
    t.root()->parent = one;
    EXPECT_EQ(treeDefect(t), "the root has a parent");
    t.root()->parent = nullptr;
    three->key = 5;
    EXPECT_EQ(treeDefect(t), "in-order record 3 is not greater than the one before it");
    three->key = 3;
    t.adopt(t.release(), 8);
    EXPECT_EQ(treeDefect(t), "7 records reachable, 8 counted");
    t.adopt(t.release(), 6);  // as a cycle would look: more reachable than counted
    EXPECT_EQ(treeDefect(t), "more records reachable than the 6 counted");
    t.adopt(t.release(), 7);
    TreeWalk<TestRecord> walk;
    EXPECT_EQ(treeDefect(t, &walk), "");
    EXPECT_EQ(walk.inOrder.size(), 7u);
    EXPECT_EQ(walk.height, 3u);
}

// -------------------------------------------------------------- randomized

std::set<int> g_randomAccepted;
bool acceptRandom(const TestRecord& r) { return g_randomAccepted.count(r.key) != 0; }

// Shuffled adds (with repeats, which merge) and removals against std::map,
// with the invariants checked after every step.
TEST_F(TreeTest, AgreesWithStdMapUnderRandomAddsAndRemovals) {
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<int> keyOf(0, 599);
    std::uniform_int_distribution<int> percent(0, 99);
    TestTree t;
    std::map<int, int> merges;             // key -> merges expected
    std::map<int, TestRecord*> addresses;  // key -> where it was linked

    for (int step = 0; step < 6000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (merges.empty() || percent(rng) < 60) {
            const int k = keyOf(rng);
            const bool fresh = merges.count(k) == 0;
            ASSERT_EQ(t.add(k), fresh);
            if (fresh) {
                merges[k] = 0;
                addresses[k] = find(t, k);
            } else {
                ++merges[k];
            }
        } else {
            auto it = merges.begin();
            std::advance(it, std::uniform_int_distribution<size_t>(0, merges.size() - 1)(rng));
            TestRecord* x = find(t, it->first);
            ASSERT_EQ(x, addresses[it->first]);
            t.remove(x);
            addresses.erase(it->first);
            merges.erase(it);
        }
        std::vector<int> keys;
        ASSERT_TRUE(wellFormed(t, &keys));
        std::vector<int> expected;
        for (const auto& kv : merges) expected.push_back(kv.first);
        ASSERT_EQ(keys, expected);
        ASSERT_EQ(TestRecord::live, long(merges.size()));
    }
    for (const auto& [key, count] : merges) {
        EXPECT_EQ(find(t, key), addresses[key]) << key;
        EXPECT_EQ(find(t, key)->merges, count) << key;
    }

    // A random sweep leaves exactly the rest.
    g_randomAccepted.clear();
    for (const auto& kv : merges)
        if (percent(rng) < 50) g_randomAccepted.insert(kv.first);
    captureStdout([&] { t.sweep(acceptRandom); });
    std::vector<int> keys;
    ASSERT_TRUE(wellFormed(t, &keys));
    std::vector<int> expected;
    for (const auto& kv : merges)
        if (g_randomAccepted.count(kv.first) == 0) expected.push_back(kv.first);
    EXPECT_EQ(keys, expected);
    for (int k : expected) EXPECT_EQ(find(t, k), addresses[k]) << k;
}

}  // namespace
