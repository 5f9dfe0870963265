// Formula text of a bank file read natively into a tree: the tree the Python bank parser
// (source/bank/parsing.py, `parse_equation`) makes of the same text, built by the same
// operations in the same order through the builder. Text the native reader does not take (other
// functions, comparisons, keywords as names, anything near the Python parser's bounds) gives
// nothing, and the caller reads it with the Python parser, which gives its exact result or error.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "symbolic/build.hpp"

namespace kt::symbolic {

struct Parsed {
    std::optional<std::string> lhs;  // of `lhs = rhs`, as the Python parser gives it
    Expr expr;
};

// Bounds well inside those of the Python parser (source/bank/vocabulary.py), so that what is
// read natively is never what the Python parser refuses for its size.
inline constexpr std::size_t kMaxNativeText = 950;  // characters; the source stays below 2,000
inline constexpr int kMaxNativeSigns = 450;  // `+` and `-`: the long-sum path starts at 500
inline constexpr int kMaxNativeDepth = 100;  // MAX_DEPTH is 200
inline constexpr double kMaxNativeExponent = 500;  // MAX_EXPONENT is 1,000
inline constexpr double kMaxNativeBits = 13000;  // 4,000 digits are 13,287.7 bits
inline constexpr std::size_t kMaxNativeWork = 200000;  // MAX_WORK is 250,000

std::optional<Parsed> parse_bank_formula(Builder& builder, std::string_view text);

}  // namespace kt::symbolic
