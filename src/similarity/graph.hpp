// The similarity graph of a bank: the pairs whose similarity reaches a threshold, computed off
// the GIL with pruning by exact upper bounds, over the whole bank at once (bank_graph.hpp) or
// one block pair at a time.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// (rows, cols, similarities, pairs pruned) of the pairs i < j at or above `threshold`.
object similarity_graph(handle descriptors, double threshold, double alpha, double beta);
// The graph of a bank packed in blocks (block k's rows numbered from offsets[k]), unpacked
// once: (rows, cols, similarities, pairs pruned) as similarity_graph gives; with `fresh` (a
// flag per packed row, or None), only the pairs holding a fresh row. `progress` (None or a
// callable) gets (rows done, rows) as the work goes. `counts` (None or a dict) gets the pairs
// the index offered ("offered") and those measured past every bound ("measured").
object graph_of_blocks(handle blocks, handle offsets, double threshold, double alpha, double beta,
                       handle fresh, handle progress, handle counts);
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
