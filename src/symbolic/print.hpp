// Trees printed as sympy's `str` prints them: the text reports show, seeds are made of and
// kept states hold.
#pragma once

#include <string>

#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

// `str(expr)`.
std::string str(Pool& pool, Oracle& oracle, Expr e);

}  // namespace kt::symbolic
