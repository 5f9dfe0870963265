// law_fit.py's `_affine` on numpy arrays, through the native kernel (kernels/affine_fit.hpp), so
// that its fits are the native law fits' to the last bit.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// (r2, a, b), one float64 array each, of every row of z (rows x points) against y (points).
// ValueError where y or z is not a float64 array of those shapes.
object affine_fit_arrays(handle y, handle z, double min_valid);

}  // namespace kt
