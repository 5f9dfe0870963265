#include "matching/expr_tree.hpp"

#include <algorithm>
#include <tuple>

#include "runtime/state.hpp"
#include "runtime/symbols.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

namespace {

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
    // splitmix64 over the running hash and the next value
    std::uint64_t z = h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t kVarShape = 0x7661726961626c65ULL, kWildShape = 0x77696c6463617264ULL;

// The hash of an operation with the given children: in order, or as a multiset.
std::uint64_t op_shape(int label, std::vector<std::uint64_t> child_shapes, bool commutative) {
    if (commutative) std::sort(child_shapes.begin(), child_shapes.end());
    std::uint64_t h = mix(0x6f70ULL, (std::uint64_t)label);
    for (std::uint64_t c : child_shapes) h = mix(h, c);
    return h;
}

struct Reader {
    ExprTree& t;
    Labels& labels;
    bool wildcards;
    NodeTypes types{false};
    object symbol_index = check(PyDict_New());  // Symbol -> index

    int read(handle expr) {
        RecursionGuard guard(" while reading an expression tree");
        object args = node_args(expr, types);
        Items items(args, "expr.args is not a sequence");
        std::vector<int> children;
        for (Py_ssize_t i = 0; i < items.size(); ++i) children.push_back(read(items[i]));
        int n;
        if (!children.empty())
            n = t.add_op(labels.of_type(expr),
                         is_instance(expr, state().Add) || is_instance(expr, state().Mul),
                         children);
        else if (is_instance(expr, state().Symbol))
            n = t.add_symbol(symbol(expr), wildcards && is_wildcard(expr));
        else
            n = t.add_atom(labels.of_leaf(expr));
        t.objects.push_back(nb::borrow(expr));
        return n;
    }

    int symbol(handle s) {
        PyObject* found = PyDict_GetItemWithError(symbol_index.ptr(), s.ptr());
        if (found) return (int)PyLong_AsLong(found);
        if (PyErr_Occurred()) throw nb::python_error();
        const int index = (int)t.symbols.size();
        check_status(PyDict_SetItem(symbol_index.ptr(), s.ptr(), pyint(index).ptr()));
        t.symbols.push_back(nb::borrow(s));
        t.names.push_back(utf8(printed(s)));
        return index;
    }
};

}  // namespace

int ExprTree::wildcards() const {
    int n = 0;
    for (const ExprNode& node : nodes) n += node.kind == ExprNode::Wild;
    return n;
}

int ExprTree::add_symbol(int index, bool wildcard) {
    ExprNode n{};
    n.kind = wildcard ? ExprNode::Wild : ExprNode::Var;
    n.label = index;
    n.has_symbols = true;
    n.first = (int)kids.size();
    n.size = 1;
    n.shape = wildcard ? kWildShape : kVarShape;
    nodes.push_back(n);
    return (int)nodes.size() - 1;
}

int ExprTree::add_atom(int label) {
    ExprNode n{};
    n.kind = ExprNode::Atom;
    n.label = label;
    n.first = (int)kids.size();
    n.size = 1;
    n.shape = mix(0x61746f6dULL, (std::uint64_t)label);
    nodes.push_back(n);
    return (int)nodes.size() - 1;
}

int ExprTree::add_op(int label, bool commutative, std::span<const int> children) {
    ExprNode n{};
    n.kind = ExprNode::Op;
    n.label = label;
    n.commutative = commutative;
    n.first = (int)kids.size();
    n.count = (int)children.size();
    n.size = 1;
    kids.insert(kids.end(), children.begin(), children.end());
    std::vector<std::uint64_t> shapes;
    shapes.reserve(children.size());
    for (int c : children) {
        n.size += nodes[c].size;
        n.has_symbols |= nodes[c].has_symbols;
        shapes.push_back(nodes[c].shape);
    }
    n.shape = op_shape(label, std::move(shapes), commutative);
    nodes.push_back(n);
    return (int)nodes.size() - 1;
}

void ExprTree::finish(Labels& labels) {
    add_label = labels.of("Add");
    mul_label = labels.of("Mul");
    pow_label = labels.of("Pow");
}

bool is_wildcard_name(std::string_view name) { return name.starts_with("φ"); }

ExprTree read_tree(handle expr, Labels& labels, bool wildcards) {
    ExprTree t;
    Reader{t, labels, wildcards}.read(expr);
    t.finish(labels);
    return t;
}

Rest rest_without_constants(const ExprTree& t, bool sum) {
    Rest rest;
    const int root = t.root();
    const ExprNode& r = t.nodes[root];
    const int op = sum ? t.add_label : t.mul_label;
    if (r.kind != ExprNode::Op || !r.commutative || r.label != op) {
        rest.nodes = {root};
        rest.shape = r.shape;
        return rest;
    }
    std::vector<std::uint64_t> shapes;
    for (int k = 0; k < r.count; ++k) {
        const int c = t.children(root)[k];
        if (!t.nodes[c].has_symbols) continue;
        rest.nodes.push_back(c);
        shapes.push_back(t.nodes[c].shape);
    }
    rest.shape = rest.nodes.size() == 1 ? shapes[0] : op_shape(op, std::move(shapes), true);
    return rest;
}

bool same_subtree(const ExprTree& t, int a, int b) {
    const ExprNode &x = t.nodes[a], &y = t.nodes[b];
    if (x.kind != y.kind || x.label != y.label || x.count != y.count || x.shape != y.shape)
        return false;
    for (int k = 0; k < x.count; ++k)
        if (!same_subtree(t, t.children(a)[k], t.children(b)[k])) return false;
    return true;
}

namespace {

int add_blind(const ExprTree& t, int n, Labels& labels, int variable_label, int wildcard_label,
              kernels::FlatTreeBuilder& builder) {
    const ExprNode& node = t.nodes[n];
    if (node.kind == ExprNode::Var) return builder.finish(variable_label, -1);
    if (node.kind == ExprNode::Wild) return builder.finish(wildcard_label, -1);
    if (node.kind == ExprNode::Atom) return builder.finish(node.label, -1);
    const int* kids = t.children(n);
    int label = node.label;
    int count = node.count;
    // A power to a number is one operation on its base: x**2 and x**3 differ as sin and cos do.
    if (count == 2 && node.label == t.pow_label && t.nodes[kids[1]].kind == ExprNode::Atom) {
        std::string text = "Pow^";
        text += labels.text(t.nodes[kids[1]].label);
        label = labels.of(text);
        count = 1;
    }
    // The arguments of a sum or product in an order that does not depend on names (sympy's
    // does): constants and wildcards, then variables, then operations, like with like.
    std::vector<int> order(kids, kids + count);
    if (node.commutative) {
        auto key = [&](int c) {
            const ExprNode& k = t.nodes[c];
            const int group = k.kind == ExprNode::Var ? 1 : k.kind == ExprNode::Op ? 2 : 0;
            return std::make_tuple(group, group == 2 ? k.label : 0, k.size, k.shape);
        };
        std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return key(x) < key(y); });
    }
    int first = -1;
    for (int k = 0; k < count; ++k) {
        const int child =
            add_blind(t, order[(size_t)k], labels, variable_label, wildcard_label, builder);
        if (k == 0) first = child;
    }
    return builder.finish(label, first);
}

}  // namespace

kernels::FlatTree name_blind_tree(const ExprTree& t, Labels& labels, int variable_label,
                                  int wildcard_label) {
    kernels::FlatTreeBuilder builder;
    add_blind(t, t.root(), labels, variable_label, wildcard_label, builder);
    return builder.take();
}

}  // namespace kt
