// A Float of 53 bits as sympy's `str` prints it: mpmath's `to_str` at 15 digits, which truncates
// to 18 digits and then rounds up on the 16th alone, with trailing zeros stripped inside an
// expression ("0.5") and kept at the top level ("0.500000000000000").
#pragma once

#include <string>

namespace kt::symbolic {

std::string float_text(double value, bool strip_zeros);

}  // namespace kt::symbolic
