#include "concepts/helpers.hpp"

#include <string>

#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"

namespace kt {

namespace {

struct SafeSimplifyCall {
    handle e, max_ops;
};
struct CanonicalizeCall {
    handle expr;
};
struct OperatorFitCall {
    handle result, operator_expr, params;
};

const FuncDef safe_simplify_def = Declaration<SafeSimplifyCall>{
    .name = "_safe_simplify",
    .params = {{"e", &SafeSimplifyCall::e}, {"max_ops", &SafeSimplifyCall::max_ops, nullptr, 240}},
    .body = [](const SafeSimplifyCall& c) { return safe_simplify(c.e, c.max_ops); },
    .qualname = "discover_concept.<locals>._safe_simplify",
};

const FuncDef canonicalize_def = Declaration<CanonicalizeCall>{
    .name = "_canonicalize_expr",
    .params = {{"expr", &CanonicalizeCall::expr, "sp.Expr"}},
    .returns = "sp.Expr",
    .body = [](const CanonicalizeCall& c) { return canonicalize_variables(c.expr); },
    .qualname = "discover_concept.<locals>._canonicalize_expr",
};

const FuncDef anti_unify_with_operator_def = Declaration<OperatorFitCall>{
    .name = "_anti_unify_with_operator",
    .params = {{"result", &OperatorFitCall::result},
               {"operator_expr", &OperatorFitCall::operator_expr},
               {"params", &OperatorFitCall::params}},
    .body =
        [](const OperatorFitCall& c) {
            return anti_unify_with_operator(c.result, c.operator_expr, c.params);
        },
    .qualname = "discover_concept.<locals>._anti_unify_with_operator",
};

bool has_unbounded(handle e) {
    object oo = sp_attr("oo");
    object minus_oo = check(PyNumber_Negative(oo.ptr()));
    return truth(e.attr("has")(sp_attr("nan"), oo, minus_oo));
}

}  // namespace

void init_concept_helpers(handle module) {
    State& s = mutable_state();
    s.safe_simplify = make_function(safe_simplify_def, module);
    s.canonicalize_variables = make_function(canonicalize_def, module);
    s.anti_unify_with_operator = make_function(anti_unify_with_operator_def, module);
    init_workers(module);
}

object safe_simplify(handle e, handle max_ops) {
    object out;
    const bool ok = attempt([&] {
        object ops = sp_attr("count_ops")(e);
        object limit = max_ops.is_valid() ? nb::borrow(max_ops) : pyint(240);
        out = truth(compare(ops, limit, Py_GT)) ? nb::borrow(e) : sp_attr("simplify")(e);
    });
    return ok ? out : nb::borrow(e);
}

bool is_phi_like(handle sym) {
    object text = str_of(sym);
    return truth(text.attr("startswith")(nb::make_tuple(pystr("\xcf\x86"), pystr("phi"))));
}

bool has_symbolic_power(handle e) {
    object it = check(PyObject_GetIter(sp_attr("preorder_traversal")(e).ptr()));
    object pow = sp_attr("Pow");
    while (object node = nb::steal(PyIter_Next(it.ptr()))) {
        if (is_instance(node, pow) && truth(get_attr(get_attr(node, "exp"), "free_symbols")))
            return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

object canonicalize_variables(handle expr) {
    return rename_in_order(expr, is_phi_like, [](size_t k) { return numbered("v", (long long)k); });
}

object fast_coeff(handle d1, handle op_expr) {
    object quotient = check(PyNumber_TrueDivide(d1.ptr(), op_expr.ptr()));
    object out;
    if (attempt([&] {
            out = sp_attr("cancel")(sp_attr("powsimp")(quotient, nb::arg("force") = true));
        }))
        return out;
    return quotient;
}

object anti_unify_with_operator(handle result, handle operator_expr, handle params) {
    object simplify = sp_attr("simplify");
    object no = nb::make_tuple(pybool(false), sp_attr("Integer")(0), sp_attr("Integer")(0));
    object result_s;
    try {
        result_s = run_with_timeout(simplify, 2, nb::make_tuple(result));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TimeoutError)) throw;
        return no;
    }
    Items ps(params);
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        if (!is_phi_like(ps[i])) continue;
        for (int delta : {-2, -1, 1, 2}) {
            object found;
            attempt([&] {
                object mapping = check(PyDict_New());
                object shifted = check(PyNumber_Add(ps[i].ptr(), pyint(delta).ptr()));
                check_status(PyDict_SetItem(mapping.ptr(), ps[i].ptr(), shifted.ptr()));
                object variant = get_attr(operator_expr, "xreplace")(mapping);
                object quotient = check(PyNumber_TrueDivide(result_s.ptr(), variant.ptr()));
                object ratio = run_with_timeout(simplify, 2, nb::make_tuple(quotient));
                if (!ratio.is_none() && !has_unbounded(ratio))
                    found =
                        nb::make_tuple(pybool(true), safe_simplify(ratio), safe_simplify(variant));
            });
            if (found.is_valid()) return found;
        }
    }
    object matched;
    attempt([&] {
        object wild_map = check(PyDict_New());
        for (Py_ssize_t i = 0; i < ps.size(); ++i)
            check_status(PyDict_SetItem(wild_map.ptr(), ps[i].ptr(),
                                        sp_attr("Wild")(pystr(numbered("W_", i))).ptr()));
        object pattern = get_attr(operator_expr, "xreplace")(wild_map);
        object m = run_with_timeout(get_attr(result_s, "match"), 2, nb::make_tuple(pattern));
        if (truth(m)) {
            object quotient = check(PyNumber_TrueDivide(result_s.ptr(), operator_expr.ptr()));
            object coefficient = run_with_timeout(simplify, 2, nb::make_tuple(quotient));
            matched = nb::make_tuple(pybool(true), coefficient, operator_expr);
        }
    });
    return matched.is_valid() ? matched : no;
}

}  // namespace kt
