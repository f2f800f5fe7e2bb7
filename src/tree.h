// SearchTree: the unbalanced binary search tree behind the flow and host
// tables. The records are the nodes: each carries `left`, `right` (owning)
// and `parent` (a back pointer, null at the root) as its last three fields.
//
// What a record type Node supplies:
//   - construction from the values of one observation (used by `add`);
//   - operator== and operator< between two records: equality of keys and a
//     strict total order on them (nothing here uses any other comparison);
//   - void merge(const Node& incoming): folds an equal incoming record into
//     this one, touching counters and times only, never the key or links;
//   - a destructor that frees its left subtree, then its right subtree
//     (freeSubtree below does that without recursion);
//   - static constexpr const char* kSweepReport: the printf format of the
//     sweep report line, given the duration and the counts before and after;
//   - void printListing() const: writes the record's listing line;
//   - using PrintResult = void or uint32_t: what `print` answers.
//
// The root and the count are private: every link and unlink goes through
// the tree's own operations, which keep the count equal to the number of
// linked records and `removals()` exact (the batch's inserts rely on it).
// Tests and tools that link records by hand (a million-record chain, say)
// hand them over with `adopt` and take them back with `release`.
//
// The tree is never rebalanced, so ascending keys build a chain as long as
// the table. Nothing here recurses: every walk is a loop over the links or
// over a heap stack, whatever the shape.
#ifndef SURGEWATCH_TREE_H
#define SURGEWATCH_TREE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <utility>
#include <vector>

#include "alert.h"

// Deletes `top` and everything below it, children before parents, left
// subtree before right. Walks the parent links instead of recursing, so a
// chain of any length costs no stack. Each node's links are cleared before
// it is deleted, so its own destructor frees nothing more.
template <typename Node>
void freeSubtree(Node* top) {
    if (top == nullptr) return;
    Node* node = top;
    for (;;) {
        if (node->left != nullptr) {
            node = node->left;
        } else if (node->right != nullptr) {
            node = node->right;
        } else {
            const bool last = node == top;
            Node* up = node->parent;
            if (!last) {
                if (up->left == node)
                    up->left = nullptr;
                else
                    up->right = nullptr;
            }
            delete node;
            if (last) return;
            node = up;
        }
    }
}

// Starts loading the cache line that holds `node`'s links (and, in both
// record types, the key the descent compares). Works on the address as a
// number, so a null child costs a useless hint and nothing else.
template <typename Node>
inline void prefetchNode(const Node* node) {
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(node) + offsetof(Node, left)));
}

template <typename Node>
class SearchTree {
public:
    SearchTree() = default;
    SearchTree(const SearchTree&) = delete;
    SearchTree& operator=(const SearchTree&) = delete;
    ~SearchTree() { delete root_; }

    // The top record, null while the tree is empty.
    Node* root() const { return root_; }

    // Takes records linked by hand: `top` (parent null) and the `records`
    // records below it, `records` counted as given (a check of the tree may
    // be shown a wrong count this way). Frees what the tree held before.
    void adopt(Node* top, uint32_t records) {
        delete root_;
        root_ = top;
        count_ = records;
        ++removals_;
    }

    // Gives up every record without freeing it: answers the top record (the
    // caller owns it and all below it), and the tree is empty.
    Node* release() {
        Node* top = root_;
        root_ = nullptr;
        count_ = 0;
        ++removals_;
        return top;
    }

    // Builds one record from the observation and inserts it. Answers true
    // when it was new to the table (linked in, or refused because the table
    // is full: see setCapacity), false when it was merged into the equal
    // record and freed.
    template <typename... Values>
    bool add(Values... values) {
        return insert(new Node(values...));
    }

    // Takes ownership of `node` (links null). Links it in, or merges it into
    // the equal record and frees it, or, when the table is full, frees it
    // and counts the refusal.
    bool insert(Node* node) {
        if (root_ == nullptr) {
            if (count_ >= capacity_) return refuse(node);
            root_ = node;
            node->parent = nullptr;
            ++count_;
            return true;
        }
        return descendAndLink<true>(root_, node);
    }

    // The same, with the descent started at `at` instead of the root: `at`
    // must be a record of this tree on the path from the root that
    // inserting `node` takes. A node that walkAhead found for a key stays
    // on that key's path while the tree only gains records (a new record
    // becomes a leaf and changes no existing path); a removal may change
    // paths and free records, so a node found before it is not used
    // (removals() tells).
    bool insertBelow(Node* at, Node* node) { return descendAndLink<false>(at, node); }

    // Records removed so far: a node found by walkAhead is a valid start for
    // insertBelow while this number has not changed.
    uint64_t removals() const { return removals_; }

    // Walks the descents that inserting each of `keys` (records not in the
    // tree) would take, side by side, one level per round: each round reads
    // the node that every unfinished walk reached and asks for the cache line
    // of the next, so the misses of all walks overlap instead of following
    // one another. At most kWalkWidth walks (the rest of `keys` is ignored)
    // of at most kWalkLevels levels each, so a chain costs no more than
    // that. Only reads; `found[i]` is set to the last node the walk of
    // keys[i] reached on its path: the equal record, the record it would be
    // linked under, or, after kWalkLevels levels, the next record of its path
    // (for insertBelow, while removals() stays the same); null for an empty
    // tree. Answers the number
    // of nodes read.
    static constexpr size_t kWalkWidth = 64;
    static constexpr unsigned kWalkLevels = 64;
    uint64_t walkAhead(const Node* const* keys, size_t n, Node** found) {
        if (n > kWalkWidth) n = kWalkWidth;
        if (root_ == nullptr) {
            for (size_t i = 0; i < n; ++i) found[i] = nullptr;
            return 0;
        }
        struct Walk {
            const Node* key;
            Node* at;
            Node** found;
        };
        Walk walks[kWalkWidth];
        for (size_t i = 0; i < n; ++i) walks[i] = {keys[i], root_, &found[i]};
        size_t active = n;
        uint64_t steps = 0;
        for (unsigned level = 0; level < kWalkLevels && active > 0; ++level) {
            steps += active;
            for (size_t i = 0; i < active;) {
                Walk& walk = walks[i];
                Node* next = nullptr;
                if (!(*walk.at == *walk.key))
                    next = *walk.at < *walk.key ? walk.at->right : walk.at->left;
                if (next == nullptr) {
                    *walk.found = walk.at;
                    walk = walks[--active];  // finished: the last unfinished walk takes its place
                    continue;
                }
                prefetchNode(next);
                walk.at = next;
                ++i;
            }
        }
        for (size_t i = 0; i < active; ++i) *walks[i].found = walks[i].at;
        return steps;
    }

    // Unlinks `x` from this tree and frees it. When x has two children its
    // in-order predecessor takes its place: that node is relinked, never
    // copied, so every other record keeps its address (sweep relies on it).
    void remove(Node* x) {
        if (x == nullptr) return;
        Node* l = x->left;
        Node* r = x->right;
        Node* replacement;
        if (l == nullptr) {
            replacement = r;
        } else if (r == nullptr) {
            replacement = l;
        } else if (l->right == nullptr) {
            replacement = l;
            l->right = r;
            r->parent = l;
        } else {
            Node* m = l->right;
            while (m->right != nullptr) m = m->right;
            Node* q = m->parent;
            q->right = m->left;
            if (m->left != nullptr) m->left->parent = q;
            m->left = l;
            m->right = r;
            l->parent = m;
            r->parent = m;
            replacement = m;
        }
        Node* p = x->parent;
        if (p == nullptr)
            root_ = replacement;
        else if (p->left == x)
            p->left = replacement;
        else
            p->right = replacement;
        if (replacement != nullptr) replacement->parent = p;
        x->left = nullptr;
        x->right = nullptr;
        delete x;
        --count_;
        ++removals_;
    }

    // Calls `expired` once per record, then removes the accepted records
    // from the greatest to the smallest, and prints the table's report line
    // with the processor time taken (stamped with the packet time when lines
    // are stamped). The predicate is pure, so the order of its calls cannot
    // be seen; the order of the removals decides the shape that is left.
    void sweep(bool (*expired)(const Node&)) {
        const uint32_t before = count_;
        const clock_t start = clock();
        std::vector<Node*> matches;
        collectExpired(expired, matches);
        removeDescending(matches);
        const clock_t end = clock();
        stampLine();
        printf(Node::kSweepReport, double(end - start) / CLOCKS_PER_SEC, before, count_);
    }

    // The scan of a sweep: the records of the top kScanSplitLevels levels
    // are visited by one in-order walk, and the subtrees that hang below
    // them (up to 2^kScanSplitLevels) are each walked in order by a cursor
    // of their own, kScanCursors cursors side by side, one step each per
    // round. A step reads one record whose lines the cursor asked for in
    // the round before, so the misses of all cursors overlap instead of
    // following one another. A chain has one such subtree, walked as one
    // cursor: no worse than a single walk.
    static constexpr unsigned kScanSplitLevels = 10;
    static constexpr size_t kScanCursors = 48;
    // How far ahead (in removals) the removal step reads: the record
    // itself, then its links, then the path down to its in-order
    // predecessor (docs/performance-flood.md).
    static constexpr size_t kRemoveAheadRecord = 40;
    static constexpr size_t kRemoveAheadLinks = 28;
    static constexpr size_t kRemoveAheadPath = 18;
    static constexpr size_t kRemoveAheadPath2 = 10;

private:
    // The descent of insert and insertBelow from `at`. From the root, the
    // next node is one of the two children: both are asked for while `at`
    // is compared, which pays while the table is still partly in the
    // caches (below the size from which the batch walks ahead). From a node
    // that walkAhead found, the descent ends there or a level below, and a
    // child asked for would be a miss that nothing reads.
    template <bool kAskForChildren>
    bool descendAndLink(Node* at, Node* node) {
        for (;;) {
            if (kAskForChildren) {
                prefetchNode(at->left);
                prefetchNode(at->right);
            }
            if (*at == *node) {
                at->merge(*node);
                delete node;
                return false;
            }
            Node** slot = (*at < *node) ? &at->right : &at->left;
            if (*slot == nullptr) {
                if (count_ >= capacity_) return refuse(node);
                *slot = node;
                node->parent = at;
                ++count_;
                return true;
            }
            at = *slot;
        }
    }

    // Asks for the lines of the whole record: the predicates read its
    // times, the walks its links, and freeing it writes its first bytes.
    static void prefetchRecord(const Node* node) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(node);
        __builtin_prefetch(reinterpret_cast<const void*>(address));
        __builtin_prefetch(reinterpret_cast<const void*>(address + sizeof(Node) - 1));
    }

    // Fills `matches` with the records `expired` accepts, in ascending order.
    void collectExpired(bool (*expired)(const Node&), std::vector<Node*>& matches) {
        // The top levels in order: a record to visit, or a subtree whose
        // accepted records are found by a cursor and go in its place.
        struct Piece {
            Node* node;
            bool subtree;
        };
        std::vector<Piece> pieces;
        {
            std::vector<std::pair<Node*, unsigned>> pending;
            Node* node = root_;
            unsigned depth = 0;
            for (;;) {
                while (node != nullptr) {
                    if (depth == kScanSplitLevels) {
                        prefetchRecord(node);
                        pieces.push_back({node, true});
                        break;
                    }
                    pending.emplace_back(node, depth);
                    node = node->left;
                    ++depth;
                }
                if (pending.empty()) break;
                node = pending.back().first;
                depth = pending.back().second + 1;
                pending.pop_back();
                pieces.push_back({node, false});
                node = node->right;
            }
        }

        std::vector<std::vector<Node*>> found(pieces.size());
        struct Cursor {
            Node* node;  // next record to go down from; null: pop the stack
            std::vector<Node*>* out;
            std::vector<Node*> stack;
        };
        Cursor cursors[kScanCursors];
        size_t active = 0;
        size_t nextPiece = 0;
        // Gives `cursor` the next subtree; false when none is left.
        auto start = [&](Cursor& cursor) {
            while (nextPiece < pieces.size() && !pieces[nextPiece].subtree) ++nextPiece;
            if (nextPiece == pieces.size()) return false;
            cursor.node = pieces[nextPiece].node;
            cursor.out = &found[nextPiece];
            cursor.stack.clear();
            ++nextPiece;
            return true;
        };
        while (active < kScanCursors && start(cursors[active])) ++active;
        while (active > 0) {
            for (size_t i = 0; i < active;) {
                Cursor& cursor = cursors[i];
                if (cursor.node != nullptr) {
                    // Down the left links, one record per round.
                    cursor.stack.push_back(cursor.node);
                    cursor.node = cursor.node->left;
                    prefetchRecord(cursor.node);
                } else if (!cursor.stack.empty()) {
                    // The record's left subtree is done: visit it, go right.
                    Node* visited = cursor.stack.back();
                    cursor.stack.pop_back();
                    if (expired(*visited)) cursor.out->push_back(visited);
                    cursor.node = visited->right;
                    prefetchRecord(cursor.node);
                } else if (!start(cursor)) {
                    std::swap(cursor, cursors[--active]);  // the last cursor takes its place
                    continue;
                }
                ++i;
            }
        }

        size_t total = 0;
        for (const std::vector<Node*>& part : found) total += part.size();
        matches.reserve(total + pieces.size());
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (pieces[i].subtree)
                matches.insert(matches.end(), found[i].begin(), found[i].end());
            else if (expired(*pieces[i].node))
                matches.push_back(pieces[i].node);
        }
    }

    // Removes `matches` (ascending) from the greatest to the smallest. While
    // one record is removed, the records due a few removals later are read
    // ahead: their lines, then their links' lines, then the right links
    // down to their in-order predecessors, the path a removal with two
    // children takes. Only reads, only hints: removals in between may
    // change those paths, never their correctness. Every record read is
    // the one due or smaller than it, and a removal frees only the record
    // removed, greater than every record still due, so nothing read has
    // been freed.
    void removeDescending(const std::vector<Node*>& matches) {
        constexpr size_t kPaths = 32;  // a power of two above kRemoveAheadPath
        static_assert(kRemoveAheadRecord > kRemoveAheadLinks &&
                          kRemoveAheadLinks > kRemoveAheadPath &&
                          kRemoveAheadPath > kRemoveAheadPath2 && kRemoveAheadPath < kPaths,
                      "each read ahead follows the one before it");
        Node* paths[kPaths] = {};  // where each due record's predecessor walk got to
        for (size_t k = matches.size(); k-- > 0;) {
            if (k >= kRemoveAheadRecord) prefetchRecord(matches[k - kRemoveAheadRecord]);
            if (k >= kRemoveAheadLinks) {
                const Node* due = matches[k - kRemoveAheadLinks];
                prefetchNode(due->parent);
                prefetchNode(due->left);
                prefetchNode(due->right);
            }
            if (k >= kRemoveAheadPath) {
                const size_t j = k - kRemoveAheadPath;
                const Node* due = matches[j];
                Node* step = nullptr;
                if (due->left != nullptr && due->right != nullptr) step = due->left->right;
                prefetchRecord(step);
                paths[j % kPaths] = step;
            }
            if (k >= kRemoveAheadPath2) {
                Node*& step = paths[(k - kRemoveAheadPath2) % kPaths];
                if (step != nullptr) {
                    if (step->right != nullptr) {
                        step = step->right;
                        prefetchRecord(step);
                    } else {
                        prefetchNode(step->left);
                    }
                }
            }
            remove(matches[k]);
        }
    }

public:
    // Frees every record and prints how long that took.
    void clear() {
        const clock_t start = clock();
        if (root_ != nullptr) {
            delete root_;
            root_ = nullptr;
            ++removals_;
        }
        count_ = 0;
        const clock_t end = clock();
        printf("Tree deleted in %.4f seconds\n", double(end - start) / CLOCKS_PER_SEC);
    }

    uint32_t size() const { return count_; }

    // The most records the table links, 1 or more (UINT32_MAX, so that
    // the count never wraps, until set). A new record that finds the table
    // full is freed instead of linked and counted as refused; equal records
    // still merge. Below the capacity this costs one compare per new
    // record.
    void setCapacity(uint32_t capacity) { capacity_ = capacity; }
    uint32_t capacity() const { return capacity_; }
    // New records refused since the last takeRefused, which answers that
    // number and starts counting again.
    uint64_t refused() const { return refused_; }
    uint64_t takeRefused() {
        const uint64_t refused = refused_;
        refused_ = 0;
        return refused;
    }

    // Writes every record's listing line in ascending order. The flow table
    // answers the number of records listed, the host table nothing.
    typename Node::PrintResult print() const {
        uint32_t listed = 0;
        // In-order walk by the parent links: no stack at all.
        const Node* node = root_;
        while (node != nullptr && node->left != nullptr) node = node->left;
        while (node != nullptr) {
            node->printListing();
            ++listed;
            if (node->right != nullptr) {
                node = node->right;
                while (node->left != nullptr) node = node->left;
            } else {
                const Node* child = node;
                node = node->parent;
                while (node != nullptr && node->right == child) {
                    child = node;
                    node = node->parent;
                }
            }
        }
        if constexpr (!std::is_void_v<typename Node::PrintResult>) return listed;
    }

private:
    bool refuse(Node* node) {
        delete node;
        ++refused_;
        return true;
    }

    Node* root_ = nullptr;
    uint32_t count_ = 0;
    uint64_t removals_ = 0;
    uint32_t capacity_ = UINT32_MAX;
    uint64_t refused_ = 0;
};

#endif
