// The elementary functions applied to an argument, as their classes evaluate them.
#include "symbolic/build.hpp"

namespace kt::symbolic {

Expr Builder::call(Fn fn, Expr arg) { return ask(Op::Call, fn, std::span<const Expr>(&arg, 1)); }

}  // namespace kt::symbolic
