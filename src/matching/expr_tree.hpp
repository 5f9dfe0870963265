// An expression read once into plain data for structural matching: each node's kind, label and
// children, and a hash of its shape that ignores variable names and the order of the arguments
// of sums and products (which sympy sorts by name).
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/flat_tree.hpp"
#include "runtime/labels.hpp"

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
    std::vector<object> objects;  // the sympy object of each node
    std::vector<object> symbols;  // variable and wildcard index -> Symbol
    int add_label = -1, mul_label = -1, pow_label = -1;

    int root() const { return (int)nodes.size() - 1; }
    const int* children(int n) const { return kids.data() + nodes[n].first; }
    int wildcards() const;
};

// Reads `expr`; with `wildcards`, symbols named φ... are wildcards, else every symbol is a
// variable. Labels are interned in `labels`, so trees read with one table compare.
ExprTree read_tree(handle expr, Labels& labels, bool wildcards);

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
