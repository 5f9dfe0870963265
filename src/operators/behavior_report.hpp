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

// The blocks `behavior` renders for a filter result's kept structures, novel first, then
// repeated (or those of one category, None or 'all' for both): a header, the candidate's report
// and ten compiled compositions, each candidate's drawn from a generator seeded with 42.
object behavior_blocks(handle result, handle category);

}  // namespace kt
