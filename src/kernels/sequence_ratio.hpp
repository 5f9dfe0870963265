// The similarity ratio 2*M/T of two sequences of integer items, where M counts the items of
// the matching blocks found by recursive longest-match search (no junk function; items that
// fill more than 1% of a second sequence of 200 or more items are "popular" and never start
// a match, as the standard library's sequence matcher does).
#pragma once

#include <array>
#include <vector>

namespace kt::kernels {

struct SequenceScratch {
    std::vector<std::vector<int>> positions;  // item -> its indices in the second sequence
    std::vector<int> used_items;
    // Run lengths of the previous and current row of a longest-match search, valid where the
    // stamp equals that row's stamp; index j+1 holds position j.
    std::vector<int> len_prev, len_cur;
    std::vector<long long> stamp_prev, stamp_cur;
    std::vector<std::array<int, 4>> queue;
    long long stamp = 0;
};

// Items must be non-negative.
double sequence_ratio(const int* a, int la, const int* b, int lb, SequenceScratch& scratch);

// At least the number of items the matching blocks of `sequence_ratio` cover in either sequence
// (M in 2*M/T), without building them: for bounds on the ratio.
int sequence_match_bound(const int* a, int la, const int* b, int lb);

}  // namespace kt::kernels
