#include "matching/native_bind.hpp"

#include "matching/library_match.hpp"
#include "matching/matcher.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

// The subtrees of `e` in the order the native reader numbers its nodes: post-order, children
// in argument order, every occurrence of a shared subtree again.
void post_order(sym::Expr e, std::vector<sym::Expr>& out) {
    for (sym::Expr a : e->args) post_order(a, out);
    out.push_back(e);
}

}  // namespace

std::optional<TreeBinding> bind_tree(const ExprTree& pattern, sym::Expr target, Labels& labels,
                                     sym::Builder& builder) {
    sym::Pool& pool = builder.pool();
    const ExprTree tree = read_tree(target, labels, false, pool, builder.oracle());
    Matcher m(pattern, tree);
    if (!m.match()) return std::nullopt;
    std::vector<sym::Expr> nodes;
    nodes.reserve(tree.nodes.size());
    post_order(target, nodes);  // as deep as the reader went: it refuses deeper trees
    TreeBinding out;
    for (size_t s : binding_order(pattern, m)) {
        const Matcher::Binding& w = m.wildcards()[s];
        if (w.bound && w.op_label < 0) {
            out.emplace_back(s, nodes[(size_t)w.nodes[0]]);
        } else if (w.bound) {
            // Add(*args) or Mul(*args) of the arguments it stands for; of none, the identity.
            const bool sum = w.op_label == tree.add_label;
            std::vector<sym::Expr> args;
            for (int n : w.nodes) args.push_back(nodes[(size_t)n]);
            sym::Expr value = args.empty() ? pool.integer(sum ? 0 : 1)
                              : sum        ? builder.add(args)
                                           : builder.mul(args);
            out.emplace_back(s, value);
        } else if (m.variables()[s] >= 0) {
            out.emplace_back(s, pool.symbol(tree.names[(size_t)m.variables()[s]]));
        }
    }
    return out;
}

}  // namespace kt
