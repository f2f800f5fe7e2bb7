// The search tree's invariants, in one check shared by the unit tests, the
// soak test and the packet fuzzer. It needs nothing but the tree (no test
// framework): it answers what is broken, and the caller decides whether
// that is a test failure or an abort.
#ifndef SURGEWATCH_TESTS_TREE_CHECK_H
#define SURGEWATCH_TESTS_TREE_CHECK_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tree.h"

// What the check's walk found: the records in order, and the height (the
// records on the longest path down from the root; 0 for an empty tree).
template <typename Node>
struct TreeWalk {
    std::vector<const Node*> inOrder;
    uint32_t height = 0;
};

// Checks that the root has no parent, that every child's parent link points
// back at it, that the in-order walk is strictly ascending (operator<) and
// that it reaches exactly `count` records. Answers a description of the
// first broken invariant, or an empty string; fills `walk`, when given, as
// far as the check got. Nothing recurses, so a chain of any length costs no
// stack, and a cycle or a shared child shows as more records reachable than
// counted, so the walk always ends.
template <typename Node>
std::string treeDefect(const SearchTree<Node>& tree, TreeWalk<Node>* walk = nullptr) {
    TreeWalk<Node> local;
    TreeWalk<Node>& out = walk != nullptr ? *walk : local;
    out = {};
    if (tree.root() != nullptr && tree.root()->parent != nullptr) return "the root has a parent";
    std::vector<std::pair<const Node*, uint32_t>> pending;  // record, depth
    uint64_t reached = 0;
    const Node* node = tree.root();
    uint32_t depth = 1;
    for (;;) {
        while (node != nullptr) {
            if (++reached > tree.size())
                return "more records reachable than the " + std::to_string(tree.size()) +
                       " counted";
            if (node->left != nullptr && node->left->parent != node)
                return "the left child of a record at depth " + std::to_string(depth) +
                       " has a parent link that points elsewhere";
            if (node->right != nullptr && node->right->parent != node)
                return "the right child of a record at depth " + std::to_string(depth) +
                       " has a parent link that points elsewhere";
            pending.emplace_back(node, depth);
            if (depth > out.height) out.height = depth;
            node = node->left;
            ++depth;
        }
        if (pending.empty()) break;
        node = pending.back().first;
        depth = pending.back().second + 1;
        pending.pop_back();
        if (!out.inOrder.empty() && !(*out.inOrder.back() < *node))
            return "in-order record " + std::to_string(out.inOrder.size()) +
                   " is not greater than the one before it";
        out.inOrder.push_back(node);
        node = node->right;
    }
    if (reached != tree.size())
        return std::to_string(reached) + " records reachable, " + std::to_string(tree.size()) +
               " counted";
    return "";
}

#endif
