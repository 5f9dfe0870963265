// Hooks into the native constructors: sympy's Add, Mul and Pow built on native trees, each
// result given back as a sympy expression with the number of constructions the oracle made,
// for the tests to compare with sympy's own; whole trees rebuilt through the builder; the
// assumptions the constructors ask, answered natively.
#include <chrono>
#include <string_view>
#include <unordered_map>

#include "runtime/function.hpp"
#include "symbolic/facts.hpp"
#include "symbolic/numbers.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

struct ArgsCall {
    handle args;
};

struct PowCall {
    handle base, exp;
};

struct ExprCall {
    handle expr;
};

struct FactCall {
    handle expr, fact;
};

struct TimeCall {
    handle exprs, repeats;
};

// (result, delegations): the result None where a tree cannot hold it or an argument.
object built(Workbench& w, const std::function<sym::Expr()>& make) {
    try {
        sym::Expr made = make();
        return nb::make_tuple(w.sympy(made), w.builder.delegated());
    } catch (const sym::Unsupported&) {
        return nb::make_tuple(none(), w.builder.delegated());
    }
}

object construct(handle args, sym::Op op) {
    Workbench w;
    Items items(args);
    std::vector<sym::Expr> trees;
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        auto t = w.read(items[k]);
        if (!t) return nb::make_tuple(none(), 0);
        trees.push_back(*t);
    }
    return built(w,
                 [&] { return op == sym::Op::Add ? w.builder.add(trees) : w.builder.mul(trees); });
}

// Every sum, product and power of the tree built again, bottom-up, from its rebuilt arguments.
struct Rebuild {
    explicit Rebuild(sym::Builder& builder) : builder(builder) {}

    sym::Builder& builder;
    long constructions = 0;
    std::unordered_map<sym::Expr, sym::Expr> done;

    sym::Expr operator()(sym::Expr e) {
        if (e->is_atom()) return e;
        if (auto found = done.find(e); found != done.end()) return found->second;
        std::vector<sym::Expr> args;
        for (sym::Expr a : e->args) args.push_back((*this)(a));
        sym::Expr made;
        switch (e->kind) {
            case sym::Kind::Add:
                ++constructions, made = builder.add(args);
                break;
            case sym::Kind::Mul:
                ++constructions, made = builder.mul(args);
                break;
            case sym::Kind::Pow:
                ++constructions, made = builder.pow(args[0], args[1]);
                break;
            default:
                made = builder.pool().function(e->fn, args[0]);
        }
        done.emplace(e, made);
        return made;
    }
};

const FuncDef add_hook = Declaration<ArgsCall>{
    .name = "tree_add",
    .params = {{"args", &ArgsCall::args, nullptr, Check::List}},
    .doc = "(Add(*args) built natively, delegations); the result None where a tree cannot hold "
           "it.",
    .body = [](const ArgsCall& c) { return construct(c.args, sym::Op::Add); },
};

const FuncDef mul_hook = Declaration<ArgsCall>{
    .name = "tree_mul",
    .params = {{"args", &ArgsCall::args, nullptr, Check::List}},
    .doc = "(Mul(*args) built natively, delegations); the result None where a tree cannot hold "
           "it.",
    .body = [](const ArgsCall& c) { return construct(c.args, sym::Op::Mul); },
};

const FuncDef pow_hook = Declaration<PowCall>{
    .name = "tree_pow",
    .params = {{"base", &PowCall::base}, {"exp", &PowCall::exp}},
    .doc = "(Pow(base, exp) built natively, delegations); the result None where a tree cannot "
           "hold it.",
    .body = [](const PowCall& c) -> object {
        Workbench w;
        auto b = w.read(c.base), e = w.read(c.exp);
        if (!b || !e) return nb::make_tuple(none(), 0);
        return built(w, [&] { return w.builder.pow(*b, *e); });
    },
};

const FuncDef rebuild_hook = Declaration<ExprCall>{
    .name = "tree_rebuild",
    .params = {{"expr", &ExprCall::expr}},
    .doc = "Every Add, Mul and Pow of the expression rebuilt bottom-up through the builder: "
           "{'expr', 'constructions', 'delegated', 'reasons'}; None where no tree holds it.",
    .body = [](const ExprCall& c) -> object {
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return none();
        Rebuild rebuild{w.builder};
        object result = none();
        try {
            result = w.sympy(rebuild(*tree));
        } catch (const sym::Unsupported&) {}
        object reasons = check(PyDict_New());
        for (const auto& [why, n] : w.builder.delegations())
            check_status(PyDict_SetItemString(reasons.ptr(), why.c_str(), pyint(n).ptr()));
        return dict_of({{"expr", result},
                        {"constructions", pyint(rebuild.constructions)},
                        {"delegated", pyint(w.builder.delegated())},
                        {"reasons", reasons}});
    },
};

const FuncDef fact_hook = Declaration<FactCall>{
    .name = "tree_fact",
    .params = {{"expr", &FactCall::expr}, {"fact", &FactCall::fact, nullptr, Check::Str}},
    .doc = "expr.is_<fact> answered natively: True, False, None, or 'undecided' where the "
           "native rules leave it to sympy; 'unheld' where no tree holds the expression.",
    .body = [](const FactCall& c) -> object {
        static const std::pair<std::string_view, sym::Fact> names[] = {
            {"zero", sym::Fact::zero},
            {"integer", sym::Fact::integer},
            {"even", sym::Fact::even},
            {"odd", sym::Fact::odd},
            {"positive", sym::Fact::positive},
            {"negative", sym::Fact::negative},
            {"extended_real", sym::Fact::extended_real},
            {"extended_positive", sym::Fact::extended_positive},
            {"extended_negative", sym::Fact::extended_negative},
            {"extended_nonnegative", sym::Fact::extended_nonnegative},
            {"finite", sym::Fact::finite},
            {"infinite", sym::Fact::infinite},
            {"imaginary", sym::Fact::imaginary},
            {"polar", sym::Fact::polar},
        };
        const std::string name = utf8(c.fact);
        const sym::Fact* fact = nullptr;
        for (const auto& [n, f] : names)
            if (n == name) fact = &f;
        if (!fact) throw nb::value_error("an unknown fact");
        Workbench w;
        auto tree = w.read(c.expr);
        if (!tree) return pystr("unheld");
        try {
            switch (sym::ask(*tree, *fact)) {
                case sym::Truth::True:
                    return pybool(true);
                case sym::Truth::False:
                    return pybool(false);
                default:
                    return none();
            }
        } catch (const sym::Undecided&) {
            return pystr("undecided");
        }
    },
};

const FuncDef time_hook = Declaration<TimeCall>{
    .name = "tree_rebuild_time",
    .params = {{"exprs", &TimeCall::exprs, nullptr, Check::List},
               {"repeats", &TimeCall::repeats, nullptr, Check::Int}},
    .doc = "(microseconds per expression, delegations): the expressions a tree holds rebuilt "
           "through the builder `repeats` times, reading them from sympy once.",
    .body = [](const TimeCall& c) -> object {
        Workbench w;
        Items items(c.exprs);
        std::vector<sym::Expr> trees;
        for (Py_ssize_t k = 0; k < items.size(); ++k)
            if (auto t = w.read(items[k])) trees.push_back(*t);
        const long repeats = PyLong_AsLong(c.repeats.ptr());
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r < repeats; ++r) {
            Rebuild rebuild{w.builder};
            for (sym::Expr t : trees) {
                rebuild.done.clear();
                try {
                    rebuild(t);
                } catch (const sym::Unsupported&) {}
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double per = trees.empty() ? 0.0 : seconds * 1e6 / (double)(trees.size() * repeats);
        return nb::make_tuple(pyfloat(per), w.builder.delegated());
    },
};

}  // namespace

void define_symbolic_build_hooks(handle module) {
    for (const FuncDef* def :
         {&add_hook, &mul_hook, &pow_hook, &rebuild_hook, &fact_hook, &time_hook})
        define(module, *def);
}

}  // namespace kt
