#include "pipeline/formula_behaviour.hpp"

#include "runtime/native_trees.hpp"
#include "runtime/numpy.hpp"
#include "runtime/numpy_loops.hpp"
#include "runtime/state.hpp"
#include "symbolic/describe.hpp"

namespace kt {

namespace sym = symbolic;

std::optional<sym::Behaviour> seeded_behaviour(handle formula, std::uint32_t seed,
                                               const std::string& text) {
    const NumpyLoops& math = numpy_loops();
    if (!math.complete()) return std::nullopt;
    Float64View grid(module_global("GRID"));
    if (!grid.valid()) return std::nullopt;
    sym::Pool pool;
    SympyOracle oracle;
    sym::Builder builder(pool, oracle);
    try {
        sym::BehaviourInput in;
        in.expr = from_sympy(pool, formula);
        oracle.trees().keep(in.expr, formula);
        if (!sym::has_symbols(in.expr)) return std::nullopt;  // a constant: sympy describes it
        in.grid.assign(grid.data(), grid.data() + grid.size());
        in.seed = sym::formula_seed(seed, text);
        in.constant_value = [&](sym::Expr c) { return oracle.number_value(c); };
        return sym::extract_behaviour(builder, math, in);
    } catch (const sym::Unsupported&) {
        return std::nullopt;
    }
}

}  // namespace kt
