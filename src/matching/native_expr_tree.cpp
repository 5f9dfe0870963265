// The matching tree of a native expression tree: node for node what `read_tree` makes of the
// sympy expression the native tree stands for, without a Python object.
#include <unordered_map>

#include "matching/expr_tree.hpp"
#include "symbolic/print.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

struct NativeReader {
    ExprTree& t;
    Labels& labels;
    bool wildcards;
    sym::Pool& pool;
    sym::Oracle& oracle;
    std::unordered_map<sym::Expr, int> symbol_index;  // symbols are interned: one node per name
    std::unordered_map<sym::Expr, int> number_label;  // a number printed once per tree

    int read(sym::Expr e, int depth) {
        if (depth > kMaxNativeDepth) throw sym::Unsupported("a tree too deep to match natively");
        if (e->kind == sym::Kind::Symbol) {
            auto [it, added] = symbol_index.try_emplace(e, (int)t.names.size());
            if (added) t.names.push_back(*e->name);
            return t.add_symbol(it->second, wildcards && is_wildcard_name(*e->name));
        }
        if (e->is_atom()) {
            auto [it, added] = number_label.try_emplace(e, 0);
            if (added) it->second = labels.of(sym::str(pool, oracle, e));
            return t.add_atom(it->second);
        }
        std::vector<int> children;
        children.reserve(e->args.size());
        for (sym::Expr a : e->args) children.push_back(read(a, depth + 1));
        const bool commutative = e->kind == sym::Kind::Add || e->kind == sym::Kind::Mul;
        return t.add_op(labels.of(sym::class_name(e)), commutative, children);
    }
};

}  // namespace

ExprTree read_tree(sym::Expr expr, Labels& labels, bool wildcards, sym::Pool& pool,
                   sym::Oracle& oracle) {
    ExprTree t;
    NativeReader{t, labels, wildcards, pool, oracle, {}, {}}.read(expr, 0);
    t.finish(labels);
    return t;
}

}  // namespace kt
