// One expression (or its text) to a full ExprDescriptor.
#pragma once

#include "runtime/function.hpp"

namespace kt {

object describe(handle expr, handle var_ranges, handle source_id);

extern const FuncDef describe_def;

}  // namespace kt
