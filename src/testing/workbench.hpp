// A pool of native trees with its oracle and builder, for one hook call; sympy expressions read
// into it (nothing where no tree holds them) and trees given back as sympy expressions.
#pragma once

#include <optional>

#include "runtime/native_trees.hpp"
#include "symbolic/build.hpp"

namespace kt {

struct Workbench {
    symbolic::Pool pool;
    SympyOracle oracle;
    symbolic::Builder builder{pool, oracle};

    std::optional<symbolic::Expr> read(handle expr) {
        try {
            return from_sympy(pool, expr);
        } catch (const symbolic::Unsupported&) {
            return std::nullopt;
        }
    }

    object sympy(symbolic::Expr e) { return oracle.trees()(e); }
};

}  // namespace kt
