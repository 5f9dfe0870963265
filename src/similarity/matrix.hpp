// The all-pairs similarity matrix of a bank of descriptors.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// `pairwise_matrix(descriptors, **kwargs)`; `intern_trees` false measures every pair's trees
// even where the bank repeats them (the reference the interned path is checked against).
object pairwise_matrix(handle descriptors, handle kwargs, bool intern_trees);

}  // namespace kt
