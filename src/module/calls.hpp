// Argument structs several declarations share.
#pragma once

#include "runtime/py.hpp"

namespace kt {

struct ExprCall {
    handle expr;
};

struct PairCall {
    handle a, b;
};

}  // namespace kt
