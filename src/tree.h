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
// `root` and `count` are public so that tests and tools can link records by
// hand (a million-record chain, say); `size()` reads `count`, which only the
// tree's own operations keep equal to the number of linked records.
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
    Node* root = nullptr;
    uint32_t count = 0;

    SearchTree() = default;
    SearchTree(const SearchTree&) = delete;
    SearchTree& operator=(const SearchTree&) = delete;
    ~SearchTree() { delete root; }

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
        if (root == nullptr) {
            if (count >= capacity_) return refuse(node);
            root = node;
            node->parent = nullptr;
            ++count;
            return true;
        }
        return insertBelow(root, node);
    }

    // The same, with the descent started at `at` instead of the root: `at`
    // must be a record of this tree on the path from the root that
    // inserting `node` takes. A node that walkAhead found for a key stays
    // on that key's path while the tree only gains records (a new record
    // becomes a leaf and changes no existing path); a removal may change
    // paths and free records, so a node found before it is not used
    // (removals() tells).
    bool insertBelow(Node* at, Node* node) {
        for (;;) {
            // The next node is one of the two children: ask for both now, so
            // that its line is on its way while this node is compared.
            prefetchNode(at->left);
            prefetchNode(at->right);
            if (*at == *node) {
                at->merge(*node);
                delete node;
                return false;
            }
            Node** slot = (*at < *node) ? &at->right : &at->left;
            if (*slot == nullptr) {
                if (count >= capacity_) return refuse(node);
                *slot = node;
                node->parent = at;
                ++count;
                return true;
            }
            at = *slot;
        }
    }

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
        if (root == nullptr) {
            for (size_t i = 0; i < n; ++i) found[i] = nullptr;
            return 0;
        }
        struct Walk {
            const Node* key;
            Node* at;
            Node** found;
        };
        Walk walks[kWalkWidth];
        for (size_t i = 0; i < n; ++i) walks[i] = {keys[i], root, &found[i]};
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
            root = replacement;
        else if (p->left == x)
            p->left = replacement;
        else
            p->right = replacement;
        if (replacement != nullptr) replacement->parent = p;
        x->left = nullptr;
        x->right = nullptr;
        delete x;
        --count;
        ++removals_;
    }

    // Calls `expired` once per record in ascending order, then removes the
    // accepted records from the greatest to the smallest, and prints the
    // table's report line with the processor time taken (stamped with the
    // packet time when lines are stamped).
    void sweep(bool (*expired)(const Node&)) {
        std::vector<Node*> pending;
        std::vector<Node*> matches;
        const uint32_t before = count;
        const clock_t start = clock();
        Node* node = root;
        for (;;) {
            while (node != nullptr) {
                // The right subtree comes after the left one, which is small
                // for most nodes (they lie near the leaves): its root's lines
                // are asked for now, the one with the record's times and the
                // one with its links.
                if (node->right != nullptr) {
                    __builtin_prefetch(node->right);
                    prefetchNode(node->right);
                }
                pending.push_back(node);
                node = node->left;
            }
            if (pending.empty()) break;
            node = pending.back();
            pending.pop_back();
            if (expired(*node)) matches.push_back(node);
            node = node->right;
        }
        while (!matches.empty()) {
            remove(matches.back());
            matches.pop_back();
        }
        const clock_t end = clock();
        stampLine();
        printf(Node::kSweepReport, double(end - start) / CLOCKS_PER_SEC, before, count);
    }

    // Frees every record and prints how long that took.
    void clear() {
        const clock_t start = clock();
        if (root != nullptr) {
            delete root;
            root = nullptr;
            ++removals_;
        }
        count = 0;
        const clock_t end = clock();
        printf("Tree deleted in %.4f seconds\n", double(end - start) / CLOCKS_PER_SEC);
    }

    uint32_t size() const { return count; }

    // The most records the table links, 1 or more (UINT32_MAX, so that
    // `count` never wraps, until set). A new record that finds the table
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
        const Node* node = root;
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

    uint64_t removals_ = 0;
    uint32_t capacity_ = UINT32_MAX;
    uint64_t refused_ = 0;
};

#endif
