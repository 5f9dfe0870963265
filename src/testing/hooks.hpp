// Hooks into the native kernels and reference paths on plain Python data, so that tests and
// benchmarks can compare them with their Python peers and with the fast paths.
#pragma once

#include "runtime/py.hpp"

namespace kt {

void define_hooks(handle module);
// The hooks into the native expression trees (symbolic_hooks.cpp), their printing, building,
// parsing and describing (symbolic_<area>_hooks.cpp).
void define_symbolic_hooks(handle module);
void define_symbolic_print_hooks(handle module);
void define_symbolic_build_hooks(handle module);
void define_symbolic_parse_hooks(handle module);
void define_symbolic_describe_hooks(handle module);
// The hooks into the native form match and law fits of a formula's verdict (judge_hooks.cpp).
void define_judge_hooks(handle module);
// The hooks into the native scoring of clusters (scoring_hooks.cpp).
void define_scoring_hooks(handle module);

}  // namespace kt
