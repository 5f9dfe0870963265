// A lower bound of the unit-cost tree edit distance that costs a band of two string edit
// distances: the distance between the trees' post-order label sequences, and between their
// pre-order ones, each at most the tree distance.
#pragma once

#include <vector>

#include "kernels/flat_tree.hpp"

namespace kt {

// The larger of the two sequence distances when it is at most `limit`, else limit + 1. The
// trees must be laid out (kernels::lay_out).
int sequence_bound_within(const kernels::FlatTree& a, const kernels::FlatTree& b, int limit,
                          std::vector<int>& scratch);

}  // namespace kt
