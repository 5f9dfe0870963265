// Variable range dicts for evaluation: from a bank's symbol names, or from a data matrix.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef get_ranges_for_bank_def, get_var_ranges_def;

}  // namespace kt
