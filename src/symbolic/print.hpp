// Trees printed as sympy's `str` prints them (StrPrinter with its default settings): the text
// reports show, seeds are made of and kept states hold.
#pragma once

#include <string>

#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt::symbolic {

// `str(expr)`. Printed natively; a tree whose printing would need an evaluation the native
// rules do not make is printed whole by the oracle, and counted.
std::string str(Pool& pool, Oracle& oracle, Expr e);

// How many trees this thread had the oracle print, in all calls so far.
long str_fallbacks();

}  // namespace kt::symbolic
