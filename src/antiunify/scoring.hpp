// Structural compatibility scores of two expressions, the guide of anti-unification.
//
// A fold mirrors every distinct sub-expression it meets once into a node table (keyed by the
// expression itself, so that expressions sympy deems equal share one id) and memoises the
// score of every pair of ids; the permutation search then never calls back into Python.
// The same recursion over the C API, with no table (the literal path), scores anything that is
// not a sympy tree; tests check the table against it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "runtime/py.hpp"

namespace kt {

// The score by recursion over the C API, with no table: 1000 for equal expressions, 0 with a
// wildcard, 25 for two numbers, -100 for a number and a non-number, 40 for two symbols, 0 for
// different heads, 10 for different arities, else 100 plus, for each pair of arguments, half its
// score floored at -50.
double structural_score_literal(handle a, handle b);

class ExprTable {
public:
    // The id of `expr`, or -1 when it (or a node below it) is not a sympy expression.
    int intern(handle expr);
    double score(int a, int b);
    // `sp.srepr` of a node, computed once.
    handle srepr(int id);

private:
    struct Node {
        object expr;
        int head;               // interned `expr.func`
        signed char number;     // `expr.is_number`: -1 until first asked
        bool symbol, wildcard;
        std::vector<int> kids;
        object srepr;
    };
    bool is_number(int id);
    int intern_node(handle expr);

    object ids_ = check(PyDict_New());
    object heads_ = check(PyDict_New());
    std::vector<Node> nodes_;
    std::unordered_map<uint64_t, double> scores_;
};

// Scores pairs through the table where both sides are sympy trees, literally otherwise (or
// always, when asked to: the reference the fast path is measured against).
class Scorer {
public:
    explicit Scorer(bool literal_only = false) : literal_only_(literal_only) {}
    double operator()(handle a, handle b);
    ExprTable& table() { return table_; }
    bool literal_only() const { return literal_only_; }

private:
    ExprTable table_;
    bool literal_only_;
};

}  // namespace kt
