// The similarity graph of a bank: the pairs whose similarity reaches a threshold, computed
// blockwise off the GIL with pruning by exact upper bounds, and clustering on that graph.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef similarity_graph_def, cluster_graph_def, pack_descriptors_def, graph_block_def;

// The upper bound of the similarity of two descriptors that the graph prunes with.
double similarity_bound(handle a, handle b, double alpha, double beta, bool exact_behaviour);

}  // namespace kt
