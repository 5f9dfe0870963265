// A bank row's descriptor as the native reading pass leaves it: its fields and its two trees
// (the canonical renaming and the formula itself) in a few hundred bytes, read back into the
// fields of an ExprDescriptor, and each tree into a sympy expression, only where something
// looks at them.
#pragma once

#include <string>

#include "runtime/py.hpp"
#include "symbolic/describe.hpp"

namespace kt {

std::string row_record(const symbolic::Description& d, symbolic::Expr formula);
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
