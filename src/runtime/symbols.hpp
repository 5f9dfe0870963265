// The names this system gives symbols: φ-wildcards made by anti-unification, v<k> canonical
// variables, and the one renaming that gives variables canonical names.
#pragma once

#include <functional>
#include <string>

#include "runtime/py.hpp"

namespace kt {

// A wildcard: a sympy Symbol whose printed name starts with "φ".
bool is_wildcard(handle expr);

// `expr` with its symbols renamed in order of first appearance in pre-order: the k-th distinct
// symbol that `keep` does not keep becomes Symbol(name(k)). Two expressions that differ only in
// the names of their variables come out equal.
object rename_in_order(handle expr, bool (*keep)(handle symbol),
                       const std::function<std::string(size_t k)>& name);

}  // namespace kt
