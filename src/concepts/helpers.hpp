// What the stages of concept discovery share: small expression helpers, each also a callable
// that the time-limited call runner (concepts/workers.hpp) can take.
#pragma once

#include "concepts/workers.hpp"
#include "runtime/py.hpp"

namespace kt {

// Makes the helpers callables of `module` (the state's safe_simplify, canonicalize_variables and
// anti_unify_with_operator), for time-limited steps to run.
void init_concept_helpers(handle module);

// `e` simplified, or `e` itself when it has more than `max_ops` (240) operations or fails.
object safe_simplify(handle e, handle max_ops = handle());
bool is_phi_like(handle sym);
bool has_symbolic_power(handle e);
object canonicalize_variables(handle expr);
object fast_coeff(handle d1, handle op_expr);

// `(found, coefficient, variant)`: `result` written as a coefficient times the operator or a
// copy of it with one wildcard parameter shifted by -2..2.
object anti_unify_with_operator(handle result, handle operator_expr, handle params);

}  // namespace kt
