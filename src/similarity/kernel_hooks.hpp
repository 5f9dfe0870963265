// A private class `_kernels` that exposes the pure C++ kernels on plain Python data, so that
// tests can compare them with their Python peers on random inputs.
#pragma once

#include "module/py.hpp"

namespace kt {

void define_kernel_hooks(handle module);

}  // namespace kt
