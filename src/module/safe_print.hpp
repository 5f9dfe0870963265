// Print that falls back to UTF-8 bytes when the terminal cannot encode the text.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef safe_print_def;

}  // namespace kt
