// Hooks into the native kernels and reference paths on plain Python data, so that tests and
// benchmarks can compare them with their Python peers and with the fast paths.
#pragma once

#include "runtime/py.hpp"

namespace kt {

void define_hooks(handle module);
// The hooks into the native expression trees (symbolic_hooks.cpp).
void define_symbolic_hooks(handle module);

}  // namespace kt
