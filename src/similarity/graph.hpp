// The similarity graph of a bank: the pairs whose similarity reaches a threshold, computed
// blockwise off the GIL with pruning by exact upper bounds.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// (rows, cols, similarities, pairs pruned) of the pairs i < j at or above `threshold`.
object similarity_graph(handle descriptors, double threshold, double alpha, double beta);
// Descriptors as compact bytes for graph blocks on workers.
object pack_descriptors(handle descriptors);
// One block of the graph between two packed lists; with `same`, the pairs i < j of the first.
// `indexed`: candidate pairs from the prefix filter (the same graph); tests compare it with
// visiting every pair.
object graph_block(handle rows_packed, handle cols_packed, double threshold, double alpha,
                   double beta, bool same, bool indexed = true);
// The upper bound of the similarity of two descriptors that the graph prunes with.
double similarity_bound(handle a, handle b, double alpha, double beta, bool exact_behaviour);

}  // namespace kt
