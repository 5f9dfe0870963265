// The end-to-end detection call: describe the bank, measure and cluster it, generalise each
// cluster and score the formula against the library.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef detect_structure_def, candidate_of_cluster_def;

}  // namespace kt
