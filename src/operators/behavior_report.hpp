// The one-call driver: detection, filtering, and for each kept structure its report with ten
// compiled compositions.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The arguments of `behavior`, passed on to the stages as given.
struct BehaviorCall {
    handle bank, alpha, beta, library, var_ranges_bank, sim_threshold, novelty_threshold, verbose,
        category, index;
};

// All blocks, the blocks of one category ('novel' or 'repeated'), or one block of it.
object behavior(const BehaviorCall& call);

}  // namespace kt
