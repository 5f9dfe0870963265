// Runs a function over the pairs (i, j >= i) of n items on all cores with the GIL released,
// checking for signals (KeyboardInterrupt) every 50 ms on the calling thread.
#pragma once

#include <functional>

#include "module/py.hpp"

namespace kt {

// `visit(i, j)` must not touch Python objects. Throws nb::python_error when a signal
// handler raised; the workers have stopped by then.
void for_each_pair(int n, const std::function<void(int, int, int worker)>& visit,
                   int max_workers = 0);

// How many workers for_each_pair uses for n items.
int pair_workers(int n, int max_workers = 0);

}  // namespace kt
