// A bank row's descriptor as the native reading pass leaves it: its fields and its two trees
// (the canonical renaming and the formula itself) in a few hundred bytes, read back into the
// fields of an ExprDescriptor, and each tree into a sympy expression, only where something
// looks at them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/py.hpp"
#include "symbolic/describe.hpp"

namespace kt {

std::string row_record(const symbolic::Description& d, symbolic::Expr formula);

// A record read back, its trees still encoded; views into the record's bytes.
struct RecordContents {
    std::string_view canonical, formula;
    std::string_view root_type;
    std::uint64_t depth = 0, n_nodes = 0, n_vars = 0, unary_depth = 0;
    bool repeated_var = false;
    std::vector<std::string_view> operators;
    std::vector<double> behavior_vec;
    unsigned char flags = 0;
    double boundedness = 0, variance = 0, derivative_approx = 0, integral_approx = 0,
           stability_score = 0, sensitivity_perturbation = 0, frac_invalid = 0;
    std::string_view growth_class;
};
// Throws std::invalid_argument for bytes `row_record` did not write.
RecordContents read_record(std::string_view bytes);
// The descriptor's fields but its two expressions, as a dict by field name.
object record_fields(handle record);
// Its `expr` (the canonical renaming) or, with `numeric`, its `numeric_expr`.
object record_expression(handle record, bool numeric);
// The expression of an encoded tree (symbolic/codec.hpp).
object tree_expression(handle tree);
// The encoded tree of a record's `expr` or, with `numeric`, of its `numeric_expr`;
// std::invalid_argument for bytes `row_record` did not write.
std::string_view record_tree(std::string_view record, bool numeric);

}  // namespace kt
