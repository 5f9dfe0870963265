// Tree edit distance with unit costs: insert 1, delete 1, relabel 0 when the labels are equal
// and 1 otherwise (Zhang and Shasha's keyroot decomposition).
#pragma once

#include <atomic>
#include <vector>

#include "kernels/flat_tree.hpp"

namespace kt::kernels {

// Working memory reused across calls (one per thread): it grows to the largest pair seen and
// is never given back, so calls on trees of sizes already seen allocate nothing.
struct TreeDistanceScratch {
    std::vector<int> tree_dist;    // |A| x |B|
    std::vector<int> forest_dist;  // (|A|+1) x (|B|+1) at most
    std::vector<int> counting;     // 0, 1, 2, ...: the distances from the empty forest
    TreeLayout layout_a, layout_b;  // for trees that come without a layout
};

// -1 when `stop` was set before the distance was complete (checked between subproblems).
int tree_distance(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& scratch,
                  const std::atomic<bool>* stop = nullptr);

// The distance when it is at most `max_distance`, else max_distance + 1, found sooner the
// smaller `max_distance` is: for callers that only need to know whether a pair is that close.
// -1 when `stop` was set first; 0 for a negative `max_distance` (every distance is beyond it).
int tree_distance_within(const FlatTree& a, const FlatTree& b, int max_distance,
                         TreeDistanceScratch& scratch, const std::atomic<bool>* stop = nullptr);

// A lower bound of the distance that costs one pass over both trees' labels (see the proof
// beside it). Trees without a layout get the weaker bound of their sizes alone.
int tree_distance_lower_bound(const FlatTree& a, const FlatTree& b);

// The distance between variants: a node labelled `wildcard` (on either side) relabels a leaf
// of the other tree at no cost (a wildcard stands for any leaf), other leaves relabel at cost 1,
// and an operation is never relabelled into another (it costs a deletion and an insertion).
int tree_distance_wildcard(const FlatTree& a, const FlatTree& b, int wildcard,
                           TreeDistanceScratch& scratch);

// The same unit-cost distance by the plain keyroot loop, one branch per table cell and no
// layout: the yardstick `tree_distance` is checked and timed against.
int tree_distance_reference(const FlatTree& a, const FlatTree& b, TreeDistanceScratch& scratch);

}  // namespace kt::kernels
