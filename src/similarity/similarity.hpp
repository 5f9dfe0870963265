// Structural, behavioural and joint similarity of two expression descriptors: through the
// kernels for descriptors as `describe` builds them, field by field through the C API otherwise.
#pragma once

#include "runtime/py.hpp"

namespace kt {

double structural_sim(handle a, handle b);
double behavioral_sim(handle a, handle b);
// alpha * structural + beta * behavioural.
double similarity(handle a, handle b, double alpha, double beta);

}  // namespace kt
