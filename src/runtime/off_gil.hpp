// Native work run off the GIL: over the pairs of n items on all cores, or one long task on a
// worker thread. The calling thread checks for signals every 50 ms; a pending
// KeyboardInterrupt sets the stop flag, which the work polls, and is raised once the workers
// have returned. Other Python threads run meanwhile.
#pragma once

#include <atomic>
#include <functional>

#include "kernels/tree_distance.hpp"
#include "runtime/py.hpp"

namespace kt {

using Stop = std::atomic<bool>;

// Runs `work(worker, stop)` on `workers` threads with the GIL released. `work` must not touch
// Python objects. Throws nb::python_error for a signal, or MemoryError when a worker ran out
// of memory.
void run_released(int workers, const std::function<void(int worker, const Stop& stop)>& work);

// `visit(i, j, worker, stop)` for every pair j >= i; small batches run inline with the GIL
// held unless `heavy` says single pairs may take long.
void for_each_pair(int n, const std::function<void(int, int, int worker, const Stop&)>& visit,
                   int max_workers = 0, bool heavy = false);

// How many workers for_each_pair uses for n items.
int pair_workers(int n, int max_workers = 0, bool heavy = false);

// Tree sizes whose product is above this take long enough to be run off the GIL.
constexpr long long kLongTreePair = 40000;

// The tree edit distance, computed off the GIL when the trees are large.
int tree_distance_released(const kernels::FlatTree& a, const kernels::FlatTree& b,
                           kernels::TreeDistanceScratch& scratch);

}  // namespace kt
