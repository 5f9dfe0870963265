// Structural, behavioural and joint similarity of two expression descriptors.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef structural_sim_def, behavioral_sim_def, similarity_def;

}  // namespace kt
