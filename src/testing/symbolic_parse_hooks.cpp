// Hooks into the native bank parser and the native elementary functions: formula text read
// into a tree and a function applied to an expression, each given back as sympy (or None where
// the native path leaves the text or the expression to sympy), with the count of constructions
// the oracle made, for the tests to compare with the Python parser and sympy's own classes.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <string>
#include <vector>

#include "runtime/function.hpp"
#include "symbolic/parse.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

// CPU seconds of this thread: the time the machine's other work takes does not count.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

struct TextCall {
    handle text;
};

struct TextsCall {
    handle texts;
};

struct FunctionCall {
    handle name, arg;
};

// sympy's oracle, counting the constructions asked of it by kind (function calls apart from
// the arithmetic constructors another part of the builder decides) and remembering each, so that
// a second reading of the same texts in the same pool asks sympy nothing: its time is the native
// work alone.
class CountingOracle : public sym::Oracle {
public:
    sym::Expr construct(sym::Pool& pool, sym::Op op, sym::Fn fn,
                        std::span<const sym::Expr> args) override {
        if (counting) ++(op == sym::Op::Call ? calls : arithmetic);
        std::vector<sym::Expr> key{(sym::Expr)(std::uintptr_t)op, (sym::Expr)(std::uintptr_t)fn};
        key.insert(key.end(), args.begin(), args.end());
        auto found = made_.find(key);
        if (found != made_.end()) return found->second;
        const sym::Expr made = sympy.construct(pool, op, fn, args);
        made_.emplace(std::move(key), made);
        return made;
    }
    std::string str(sym::Expr e) override { return sympy.str(e); }
    std::optional<double> number_value(sym::Expr e) override { return sympy.number_value(e); }
    std::vector<sym::Expr> ordered_terms(sym::Pool& pool, sym::Expr add) override {
        return sympy.ordered_terms(pool, add);
    }
    std::vector<sym::Expr> ordered_factors(sym::Pool& pool, sym::Expr mul) override {
        return sympy.ordered_factors(pool, mul);
    }

    SympyOracle sympy;
    bool counting = true;
    long calls = 0, arithmetic = 0;

private:
    struct KeyHash {
        std::size_t operator()(const std::vector<sym::Expr>& key) const {
            std::size_t h = 0;
            for (sym::Expr e : key) h = h * 1000003u ^ std::hash<const void*>()(e);
            return h;
        }
    };
    std::unordered_map<std::vector<sym::Expr>, sym::Expr, KeyHash> made_;
};

struct CountingBench {
    sym::Pool pool;
    CountingOracle oracle;
    sym::Builder builder{pool, oracle};
};

const FuncDef parse_hook = Declaration<TextCall>{
    .name = "tree_parse",
    .params = {{"text", &TextCall::text, "str", Check::Str}},
    .doc = "(lhs, expression) of the bank formula text read natively; None where the native "
           "parser\nleaves the text to the Python parser.",
    .body = [](const TextCall& c) -> object {
        Workbench w;
        auto parsed = sym::parse_bank_formula(w.builder, utf8(c.text));
        if (!parsed) return none();
        object lhs = parsed->lhs ? pystr(*parsed->lhs) : none();
        object expr = w.sympy(parsed->expr);
        return check(PyTuple_Pack(2, lhs.ptr(), expr.ptr()));
    },
};

const FuncDef parse_run_hook = Declaration<TextsCall>{
    .name = "tree_parse_run",
    .params = {{"texts", &TextsCall::texts, "list[str]", Check::List}},
    .doc =
        "(texts read natively, function calls delegated, other constructions delegated, "
        "CPU seconds)\nof reading every text in one pool, as a worker reads a bank: the counts of "
        "a first reading,\nthe least time of later ones, which find every delegated "
        "construction made already.",
    .body = [](const TextsCall& c) -> object {
        Items items(c.texts);
        std::vector<std::string> texts;
        for (Py_ssize_t k = 0; k < items.size(); ++k) texts.push_back(utf8(items[k]));
        CountingBench w;
        long handled = 0;
        for (const std::string& text : texts)
            if (sym::parse_bank_formula(w.builder, text)) ++handled;
        w.oracle.counting = false;
        double took = 0;  // the least of a few readings: others' work on the machine adds
        for (int round = 0; round < 5; ++round) {
            const double start = cpu_seconds();
            for (const std::string& text : texts) (void)sym::parse_bank_formula(w.builder, text);
            const double t = cpu_seconds() - start;
            took = round == 0 ? t : std::min(took, t);
        }
        return check(PyTuple_Pack(4, pyint(handled).ptr(), pyint(w.oracle.calls).ptr(),
                                  pyint(w.oracle.arithmetic).ptr(), pyfloat(took).ptr()));
    },
};

const FuncDef call_hook = Declaration<FunctionCall>{
    .name = "tree_call",
    .params = {{"name", &FunctionCall::name, "str", Check::Str}, {"arg", &FunctionCall::arg}},
    .doc = "(fn(arg) built natively, function calls delegated) for the function of sympy class "
           "`name`;\nNone where no tree holds the argument or the result.",
    .body = [](const FunctionCall& c) -> object {
        auto fn = sym::function_named(utf8(c.name));
        if (!fn) raise(PyExc_ValueError, "not a native function: " + utf8(c.name));
        CountingBench w;
        sym::Expr arg, made;
        try {
            arg = from_sympy(w.pool, c.arg);
            made = w.builder.call(*fn, arg);
        } catch (const sym::Unsupported&) {
            return none();
        }
        object expr = w.oracle.sympy.trees()(made);
        return check(PyTuple_Pack(2, expr.ptr(), pyint(w.oracle.calls).ptr()));
    },
};

}  // namespace

void define_symbolic_parse_hooks(handle module) {
    for (const FuncDef* def : {&parse_hook, &parse_run_hook, &call_hook}) define(module, *def);
}

}  // namespace kt
