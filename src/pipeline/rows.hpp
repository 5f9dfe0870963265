// A bank's rows read natively, a block at a time: each formula parsed, printed, brought to its
// canonical numeric form, described and, with a library, measured against its laws (the form
// it matches and the laws it fits), with no sympy object made. A row the native path does not
// decide is None, and the Python path reads it.
#pragma once

#include "runtime/py.hpp"

namespace kt {

struct RowsCall {
    handle texts, bounds, seed;
    double snap;
    handle library, forms;
    double threshold;
};

// For each row: None, or (lhs or None, formula as printed, descriptor record, packed descriptor,
// (core as printed, intercept, scale, changes, core's tree), judged or None), where judged is
// (form match as written or None, form match of the core or None, [(form, r2, a, b,
// mapping)], the core's variables as the mappings index them), a form match being (law, kind,
// {our variable: law variable}).
object read_rows(const RowsCall& call);

}  // namespace kt
