// The similarity graph of a whole bank in one pass: the bank's descriptors read once into one
// label table, one index offering each row its candidate pairs (kernels/bank_index.hpp), the
// rows judged in chunks on every core with the GIL released, progress after each chunk.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kernels/packed.hpp"

namespace kt {

struct Edge {
    long long i, j;
    double s;
};

struct GraphResult {
    std::vector<Edge> edges;  // by row, in no particular order
    long long pruned = 0;     // the pairs a bound ruled out, offered or not
    long long offered = 0;    // the pairs the index offered (every pair asked without one)
    long long measured = 0;   // the pairs no bound ruled out, whose similarity was measured
};

// The largest tree distance at which a pair may still reach the threshold, whatever its
// operators, bonus and behaviour; -1 where no index can help (every distance may reach it, or
// the threshold is not a number, or alpha or beta is negative).
int distance_budget(double threshold, double alpha, double beta, const std::vector<double>& w,
                    int largest);

// Blocks of packed descriptors as one bank with one label table, unpacked on every core;
// `sizes` gets each block's row count. Raises ValueError for bytes that are not packed
// descriptors.
kernels::PackedBank read_blocks(const std::vector<std::string>& blocks, std::vector<int>& sizes);

using Progress = std::function<void(long long done, long long total)>;

// The pairs (i, j), i < j, of `bank` whose similarity reaches the threshold, and the pairs
// pruned; with `fresh`, only the pairs holding a fresh row. The same edges, similarities and
// count as every pair put through judge_pair. `progress` runs with the GIL held.
GraphResult bank_graph(const kernels::PackedBank& bank, const std::vector<char>* fresh,
                       double threshold, double alpha, double beta, const Progress& progress);

}  // namespace kt
