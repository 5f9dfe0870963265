// An expression read once into plain data for structural matching: each node's kind, label and
// children, and a hash of its shape that ignores variable names and the order of the arguments
// of sums and products (which sympy sorts by name). Read from a sympy expression or from a
// native tree of the same expression: both readers make the same tree.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernels/flat_tree.hpp"
#include "runtime/labels.hpp"
#include "symbolic/node.hpp"
#include "symbolic/oracle.hpp"

namespace kt {

struct ExprNode {
    enum Kind : std::uint8_t { Var, Wild, Atom, Op };
    Kind kind;
    bool commutative;     // a sum or product: its arguments match in any order
    bool has_symbols;     // a variable or wildcard below (else the node is a number)
    int label;  // Atom, Op: interned printed form or class name; Var, Wild: symbol index
    int first, count;  // children, in `ExprTree::kids`
    int size;  // nodes of the subtree
    std::uint64_t shape;  // name-blind hash of the subtree
};

struct ExprTree {
    std::vector<ExprNode> nodes;  // post-order (children first, in argument order): root last
    std::vector<int> kids;
    std::vector<std::string> names;  // variable and wildcard index -> the symbol's str()
    // Read from sympy only: the sympy object of each node, and each symbol's.
    std::vector<object> objects;
    std::vector<object> symbols;
    int add_label = -1, mul_label = -1, pow_label = -1;

    int root() const { return (int)nodes.size() - 1; }
    const int* children(int n) const { return kids.data() + nodes[n].first; }
    int wildcards() const;

    // The readers' steps, children before their parent; each returns the new node's index.
    int add_symbol(int index, bool wildcard);
    int add_atom(int label);
    int add_op(int label, bool commutative, std::span<const int> children);
    // The labels of the operations the matching code singles out, once the tree is read.
    void finish(Labels& labels);
};

// A symbol named φ... (a wildcard of a generalised formula, where wildcards are read).
bool is_wildcard_name(std::string_view name);

// Reads `expr`; with `wildcards`, symbols named φ... are wildcards, else every symbol is a
// variable. Labels are interned in `labels`, so trees read with one table compare.
ExprTree read_tree(handle expr, Labels& labels, bool wildcards);

// The same tree read from the native tree of the expression: a number labelled with its str()
// as `symbolic::str` prints it, an operation with its sympy class name. A tree deeper than
// `kMaxNativeDepth` throws symbolic::Unsupported: the sympy reader, bounded by Python's
// recursion limit, decides it.
constexpr int kMaxNativeDepth = 256;
ExprTree read_tree(symbolic::Expr expr, Labels& labels, bool wildcards, symbolic::Pool& pool,
                   symbolic::Oracle& oracle);

// The children of a sum (or product) at the root that hold symbols, and the name-blind hash of
// their sum (product): the root's shape once constant terms (factors) are set aside. For a root
// of another kind: the root itself.
struct Rest {
    std::vector<int> nodes;
    std::uint64_t shape = 0;
};
Rest rest_without_constants(const ExprTree& t, bool sum);

// Exact structural equality of two subtrees of one tree (same symbols, same order).
bool same_subtree(const ExprTree& t, int a, int b);

// The tree for edit distance in which every variable has one label and every wildcard another,
// and a power to a number is one node labelled with the exponent.
kernels::FlatTree name_blind_tree(const ExprTree& t, Labels& labels, int variable_label,
                                  int wildcard_label);

}  // namespace kt
