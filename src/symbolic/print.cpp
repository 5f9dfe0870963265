#include "symbolic/print.hpp"

namespace kt::symbolic {

std::string str(Pool&, Oracle& oracle, Expr e) { return oracle.str(e); }

}  // namespace kt::symbolic
