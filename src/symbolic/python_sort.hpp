// Python's `list.sort` (CPython 3.12) for short lists, comparison for comparison: the initial
// run (reversed when strictly descending), then binary insertion of the rest. Where `<` is not
// a total order (sort keys holding a Float and an equal Rational) only the same comparisons in
// the same order give Python's result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "symbolic/node.hpp"

namespace kt::symbolic {

// Below this length CPython sorts by binary insertion alone; longer lists merge runs.
constexpr std::size_t kPythonSortLimit = 64;

// Sorts `items` as Python sorts them with `less` as `<`; Unsupported for lists long enough to be
// merged.
template <class T, class Less>
void python_sort(std::vector<T>& items, Less less) {
    const std::size_t n = items.size();
    if (n < 2) return;
    if (n >= kPythonSortLimit) throw Unsupported("a list long enough for Python to merge runs");
    std::size_t run = 2;
    if (less(items[1], items[0])) {
        while (run < n && less(items[run], items[run - 1])) ++run;
        std::reverse(items.begin(), items.begin() + (std::ptrdiff_t)run);
    } else {
        while (run < n && !less(items[run], items[run - 1])) ++run;
    }
    for (std::size_t start = run; start < n; ++start) {
        T pivot = items[start];
        std::size_t lo = 0, hi = start;
        do {
            const std::size_t mid = lo + ((hi - lo) >> 1);
            if (less(pivot, items[mid]))
                hi = mid;
            else
                lo = mid + 1;
        } while (lo < hi);
        for (std::size_t k = start; k > lo; --k) items[k] = items[k - 1];
        items[lo] = pivot;
    }
}

}  // namespace kt::symbolic
