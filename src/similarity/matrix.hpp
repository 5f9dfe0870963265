// The all-pairs similarity matrix of a bank of descriptors, and complete-linkage clustering.
#pragma once

#include "module/function.hpp"

namespace kt {

extern const FuncDef pairwise_matrix_def, cluster_by_similarity_def;

}  // namespace kt
