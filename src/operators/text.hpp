// Code-point access to Python strings for the text-level operator algorithms.
#pragma once

#include <string>

#include "runtime/py.hpp"

namespace kt {

std::u32string code_points(handle str);
object from_code_points(std::u32string_view text);

// `str(value)` as code points.
inline std::u32string printed_code_points(handle value) { return code_points(str_of(value)); }

// Characters that may continue a Python identifier.
bool is_identifier_char(char32_t c);

}  // namespace kt
