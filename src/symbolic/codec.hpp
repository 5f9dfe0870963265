// Trees as bytes: a compact pre-order encoding that workers send back and kept states hold,
// read again without evaluating anything (the tree was sympy's when it was written).
#pragma once

#include <string>
#include <string_view>

#include "symbolic/node.hpp"

namespace kt::symbolic {

std::string encode(Expr e);
// The tree of `bytes` made in `pool`; std::invalid_argument for bytes `encode` did not write.
Expr decode(Pool& pool, std::string_view bytes);

}  // namespace kt::symbolic
