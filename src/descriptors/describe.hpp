// One expression (or its text) to a full ExprDescriptor.
#pragma once

#include "runtime/py.hpp"

namespace kt {

object describe(handle expr, handle var_ranges, handle source_id);

}  // namespace kt
