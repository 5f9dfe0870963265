// Complete-linkage clustering of a bank, on the dense similarity matrix or on the similarity
// graph: one greedy rule for both, so the two give the same clusters in the same order.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// Clusters of `descriptors` (lists of them): a descriptor joins a cluster when its smallest
// similarity to the members, in `matrix`, reaches `threshold`.
object cluster_by_similarity(handle descriptors, handle matrix, double threshold);

// The same on the graph whose edges are (rows[k], cols[k]): a descriptor joins a cluster when
// it has an edge to every member.
object cluster_graph(handle descriptors, handle rows, handle cols);

}  // namespace kt
