// The similarity graph of a bank: the pairs whose similarity reaches a threshold, computed
// blockwise off the GIL with pruning by exact upper bounds, and clustering on that graph.
#pragma once

#include "module/function.hpp"

namespace kt {

extern const FuncDef similarity_graph_def, cluster_graph_def, pack_descriptors_def, graph_block_def,
    similarity_bound_hook;

}  // namespace kt
