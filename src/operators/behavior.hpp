// The one-call driver: detection, filtering, and for each kept structure its report with ten
// compiled compositions.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef behavior_def;

}  // namespace kt
