#include "antiunify/predicates.hpp"

#include "runtime/state.hpp"
#include "runtime/symbols.hpp"

namespace kt {

bool is_v_name(handle name) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    if (n < 2 || PyUnicode_READ_CHAR(name.ptr(), 0) != 'v') return false;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (!Py_UNICODE_ISDECIMAL(PyUnicode_READ_CHAR(name.ptr(), i))) return false;
    return true;
}

bool is_source_variable(handle expr) {
    if (!is_instance(expr, state().Symbol)) return false;
    object name = printed(expr);
    return utf8(name).substr(0, 7) == "__KLTN_" || is_v_name(name);
}

bool is_generalized_variable(handle expr) {
    return is_instance(expr, state().Symbol) && is_v_name(printed(expr));
}

object canonical_pair_key(handle a, handle b, handle srepr_a, handle srepr_b) {
    object sa = srepr_a.is_valid() ? nb::borrow(srepr_a) : state().srepr(a);
    object sb = srepr_b.is_valid() ? nb::borrow(srepr_b) : state().srepr(b);
    if (truth(compare(sa, sb, Py_LE))) return nb::make_tuple(a, b);
    return nb::make_tuple(b, a);
}

object multiplicative_args(handle expr) {
    if (is_instance(expr, state().Pow)) {
        object exp = expr.attr("exp");
        if (truth(exp.attr("is_Integer")) && truth(exp.attr("is_positive"))) {
            int overflow = 0;
            const long long count =
                PyLong_AsLongLongAndOverflow(check(PyNumber_Long(exp.ptr())).ptr(), &overflow);
            if (count == -1 && PyErr_Occurred()) throw nb::python_error();
            if (overflow || count > kMaxPowerFactors) return none();
            object factors = check(PyList_New((Py_ssize_t)count));
            object base = expr.attr("base");
            for (long long i = 0; i < count; ++i)
                PyList_SET_ITEM(factors.ptr(), (Py_ssize_t)i, Py_NewRef(base.ptr()));
            return factors;
        }
    }
    if (is_instance(expr, state().Mul))
        return check(PySequence_List(get_attr(expr, state().s_args).ptr()));
    return none();
}

}  // namespace kt
