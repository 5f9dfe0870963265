// Expressions evaluated over float64 sample arrays without generating Python source: the
// expression is compiled once into a tree of the very operations the numpy code printer would
// write (the same operands, operators, numpy functions and order), and that tree is run with
// the interpreter's number protocol and numpy's functions, so every value and every warning is
// the one the generated function would give.
#pragma once

#include <memory>

#include "runtime/py.hpp"

namespace kt {

class NumericProgram {
public:
    // The program of `expr` over `syms` (in argument order), or nothing when some node is not
    // one it knows (unknown functions, Piecewise, complex or infinite constants, ...).
    static std::unique_ptr<NumericProgram> compile(handle expr, handle syms);
    // The same program over `syms` as they are, without first renaming them as the generated
    // function's arguments are named: the same values up to the order of the operations, which
    // that renaming decides, and much cheaper to build.
    static std::unique_ptr<NumericProgram> compile_as_given(handle expr, handle syms);

    // The expression's value for the given argument arrays (one per symbol).
    object run(handle arrays) const;

    struct Node;
    ~NumericProgram();

private:
    std::unique_ptr<Node> root_;
};

}  // namespace kt
