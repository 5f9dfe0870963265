#include "concepts/invariants.hpp"

#include <functional>

#include "concepts/helpers.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

struct Generation {
    object Invariant, Op;
    object op_expr;
    object params;  // list of symbols
    bool verbose;
    object invariants = check(PyList_New(0));

    object op_applied() const { return call(Op, params); }
    static object call(handle f, handle args_list) {
        object args = check(PySequence_Tuple(args_list.ptr()));
        return check(PyObject_Call(f.ptr(), args.ptr(), nullptr));
    }
    void add(std::initializer_list<std::pair<const char*, handle>> fields) {
        object kw = dict_of(fields);
        object noargs = check(PyTuple_New(0));
        append(invariants, check(PyObject_Call(Invariant.ptr(), noargs.ptr(), kw.ptr())));
    }
    object canonical_limited(handle rule) const {
        try {
            return run_with_timeout(state().canonicalize_variables, 2, nb::make_tuple(rule));
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TimeoutError)) throw;
            return str_of(rule);
        }
    }
    object wrt_of(handle p) const { return str_of(p); }

    void operator_rule(handle lhs, handle coeff, handle variant, const char* op_type, handle wrt,
                       const char* closure = "closed", handle shift = handle()) {
        const bool applied = is_instance(variant, sp_attr("Function"));
        object rhs =
            applied
                ? check(PyNumber_Multiply(coeff.ptr(), call(Op, get_attr(variant, "args")).ptr()))
                : check(PyNumber_Multiply(coeff.ptr(), variant.ptr()));
        object rule = sp_attr("Eq")(lhs, rhs);
        add({{"op_type", pystr(op_type)},
             {"wrt", wrt},
             {"rule", rule},
             {"canonical", canonical_limited(rule)},
             {"is_operator_form", pybool(true)},
             {"coefficient", safe_simplify(coeff)},
             {"operator_variant", applied ? nb::borrow(variant) : none()},
             {"closure_type", pystr(closure)},
             {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    void direct_rule(handle lhs, handle coeff, const char* op_type, handle wrt,
                     handle shift = handle()) {
        object rhs = check(PyNumber_Multiply(coeff.ptr(), op_applied().ptr()));
        object rule = sp_attr("Eq")(lhs, rhs);
        add({{"op_type", pystr(op_type)},
             {"wrt", wrt},
             {"rule", rule},
             {"canonical", canonical_limited(rule)},
             {"is_operator_form", pybool(true)},
             {"coefficient", coeff},
             {"operator_variant", op_applied()},
             {"closure_type", pystr("closed")},
             {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    void plain(const char* op_type, handle wrt, handle rule, handle canonical,
               handle shift = handle()) {
        add({{"op_type", pystr(op_type)},
             {"wrt", wrt},
             {"rule", rule},
             {"canonical", canonical},
             {"is_operator_form", pybool(false)},
             {"closure_type", pystr("open")},
             {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    // The parameters with the one equal to `p` replaced by `value`.
    object params_with(handle p, handle value) const {
        object out = check(PyList_New(0));
        Items ps(params);
        for (Py_ssize_t i = 0; i < ps.size(); ++i) append(out, equal(ps[i], p) ? value : ps[i]);
        return out;
    }

    // Runs one family item; a failure or time-out is reported with `verbose` and skipped.
    template <class F>
    void family(F&& body, const std::function<object()>& message) {
        if (!attempt(body) && verbose) builtin("print")(message());
    }

    object fit(handle result) const {
        return run_with_timeout(state().anti_unify_with_operator, 3,
                                nb::make_tuple(result, op_expr, params));
    }
};

object dedupe(handle items) {
    object by_key = check(PyDict_New());
    Items all(items);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        object key = get_attr(all[i], "canonical");
        if (!check_status(PyDict_Contains(by_key.ptr(), key.ptr())))
            check_status(PyDict_SetItem(by_key.ptr(), key.ptr(), all[i].ptr()));
    }
    return check(PySequence_List(check(PyDict_Values(by_key.ptr())).ptr()));
}

void short_path(Generation& g) {
    Items ps(g.params);
    object derivative = sp_attr("Derivative");
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        attempt([&] {
            object d1 = sp_attr("diff")(g.op_expr, ps[i]);
            if (equal(d1, pyint(0))) return;
            g.direct_rule(derivative(g.op_applied(), ps[i]), fast_coeff(d1, g.op_expr),
                          "derivative", str_of(ps[i]));
        });
    }
    object pow = sp_attr("Pow");
    object nodes = check(PyList_New(0));
    {
        object it = check(PyObject_GetIter(sp_attr("preorder_traversal")(g.op_expr).ptr()));
        while (object node = nb::steal(PyIter_Next(it.ptr())))
            if (is_instance(node, pow)) append(nodes, node);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    Items powers(nodes);
    for (Py_ssize_t k = 0; k < powers.size(); ++k) {
        object exponent = get_attr(powers[k], "exp");
        if (!is_instance(exponent, sp_attr("Symbol")) ||
            !check_status(PySequence_Contains(g.params.ptr(), exponent.ptr())))
            continue;
        object base = get_attr(powers[k], "base");
        for (int s : {-1, 1}) {
            attempt([&] {
                object shifted = check(PyNumber_Add(exponent.ptr(), pyint(s).ptr()));
                object lhs = Generation::call(g.Op, g.params_with(exponent, shifted));
                g.direct_rule(lhs, check(PyNumber_Power(base.ptr(), pyint(s).ptr(), Py_None)),
                              "parameter_recursion", str_of(exponent), pyint(s));
            });
        }
    }
    attempt([&] {
        object squared = check(PyNumber_Power(g.op_applied().ptr(), pyint(2).ptr(), Py_None));
        object rule = sp_attr("Eq")(squared, pow(g.op_expr, 2, nb::arg("evaluate") = false));
        g.plain("power_2", none(), rule, canonicalize_variables(rule));
    });
}

void full_path(Generation& g) {
    Items ps(g.params);
    object simplify = sp_attr("simplify");
    auto message = [](const char* head, handle p, const char* tail) {
        return [=]() { return concat({pystr(head), str_of(p), pystr(tail)}); };
    };
    // First derivatives.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family(
            [&] {
                object d1 = run_with_timeout(sp_attr("diff"), 3, nb::make_tuple(g.op_expr, p));
                object fitted = g.fit(d1);
                object lhs = sp_attr("Derivative")(g.op_applied(), p);
                if (!truth(item(fitted, 0))) {
                    g.plain("derivative", str_of(p), sp_attr("Eq")(lhs, d1),
                            str_of(sp_attr("Eq")(lhs, d1)));
                    return;
                }
                object coeff = item(fitted, 1), variant = item(fitted, 2);
                object shift = none();
                if (!coeff.is_none() && !variant.is_none()) {
                    for (Py_ssize_t j = 0; j < ps.size(); ++j) {
                        if (!is_phi_like(ps[j])) continue;
                        for (int s : {-2, -1, 1, 2}) {
                            bool matched = false;
                            attempt([&] {
                                object mapping = check(PyDict_New());
                                check_status(PyDict_SetItem(
                                    mapping.ptr(), ps[j].ptr(),
                                    check(PyNumber_Add(ps[j].ptr(), pyint(s).ptr())).ptr()));
                                object diff = check(PyNumber_Subtract(
                                    variant.ptr(), get_attr(g.op_expr, "xreplace")(mapping).ptr()));
                                matched = equal(run_with_timeout(simplify, 1, nb::make_tuple(diff)),
                                                pyint(0));
                            });
                            if (matched) {
                                shift = pyint(s);
                                break;
                            }
                        }
                    }
                }
                g.operator_rule(lhs, coeff, variant, "derivative", str_of(p), "closed", shift);
            },
            message("Derivative w.r.t ", p, " timed out or failed"));
    }
    // Second derivatives and integrals: fitted, or kept as plain expressions.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family(
            [&] {
                object d2 = run_with_timeout(sp_attr("diff"), 3, nb::make_tuple(g.op_expr, p, 2));
                object fitted = g.fit(d2);
                object lhs = sp_attr("Derivative")(g.op_applied(), p, 2);
                if (truth(item(fitted, 0)))
                    g.operator_rule(lhs, item(fitted, 1), item(fitted, 2), "second_derivative",
                                    str_of(p));
                else
                    g.plain("second_derivative", str_of(p), sp_attr("Eq")(lhs, d2),
                            str_of(sp_attr("Eq")(lhs, d2)));
            },
            message("Second derivative w.r.t ", p, " timed out or failed"));
    }
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family(
            [&] {
                object i1 = run_with_timeout(sp_attr("integrate"), 3, nb::make_tuple(g.op_expr, p));
                object fitted = g.fit(i1);
                object lhs = sp_attr("Integral")(g.op_applied(), nb::make_tuple(p));
                if (truth(item(fitted, 0)))
                    g.operator_rule(lhs, item(fitted, 1), item(fitted, 2), "integral_closure",
                                    str_of(p));
                else
                    g.plain("integral", str_of(p), sp_attr("Eq")(lhs, i1),
                            str_of(sp_attr("Eq")(lhs, i1)));
            },
            message("Integral w.r.t ", p, " timed out or failed"));
    }
    // Product and power closure: does Op(p)·Op(p), or Op(p)², equal Op(p²)?
    object squared_params = check(PyList_New(0));
    object square_map = check(PyDict_New());
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        object sq = check(PyNumber_Power(ps[i].ptr(), pyint(2).ptr(), Py_None));
        append(squared_params, sq);
        check_status(PyDict_SetItem(square_map.ptr(), ps[i].ptr(), sq.ptr()));
    }
    struct Closure {
        const char* closed_type;
        const char* open_type;
        const char* failure;
        bool product;
    };
    for (const Closure& c :
         {Closure{"composition_closure", "product", "Product closure timed out or failed", true},
          Closure{"operator_scaling", "power_2", "Power closure timed out or failed", false}}) {
        g.family(
            [&] {
                object value =
                    c.product ? check(PyNumber_Multiply(g.op_expr.ptr(), g.op_expr.ptr()))
                              : check(PyNumber_Power(g.op_expr.ptr(), pyint(2).ptr(), Py_None));
                object simplified =
                    run_with_timeout(state().safe_simplify, 3, nb::make_tuple(value));
                object test = get_attr(g.op_expr, "xreplace")(square_map);
                object lhs =
                    c.product
                        ? check(PyNumber_Multiply(g.op_applied().ptr(), g.op_applied().ptr()))
                        : check(PyNumber_Power(g.op_applied().ptr(), pyint(2).ptr(), Py_None));
                if (equal(safe_simplify(check(PyNumber_Subtract(test.ptr(), simplified.ptr()))),
                          pyint(0))) {
                    object rule = sp_attr("Eq")(lhs, Generation::call(g.Op, squared_params));
                    g.add({{"op_type", pystr(c.closed_type)},
                           {"wrt", none()},
                           {"rule", rule},
                           {"canonical", canonicalize_variables(rule)},
                           {"is_operator_form", pybool(true)},
                           {"closure_type", pystr("closed")}});
                } else {
                    object rule = sp_attr("Eq")(lhs, simplified);
                    g.plain(c.open_type, none(), rule, str_of(rule));
                }
            },
            [&]() { return pystr(c.failure); });
    }
    // Parameter recursion: a wildcard parameter shifted by one.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        if (!is_phi_like(p)) continue;
        for (int s : {-1, 1}) {
            g.family(
                [&] {
                    object moved = check(PyNumber_Add(p.ptr(), pyint(s).ptr()));
                    object mapping = check(PyDict_New());
                    check_status(PyDict_SetItem(mapping.ptr(), p.ptr(), moved.ptr()));
                    object shifted = get_attr(g.op_expr, "xreplace")(mapping);
                    object fitted = g.fit(shifted);
                    object lhs = Generation::call(g.Op, g.params_with(p, moved));
                    if (truth(item(fitted, 0))) {
                        g.operator_rule(lhs, item(fitted, 1), item(fitted, 2),
                                        "parameter_recursion", str_of(p), "closed", pyint(s));
                    } else {
                        object rule = sp_attr("Eq")(lhs, shifted);
                        g.plain("parameter_recursion", str_of(p), rule, str_of(rule), pyint(s));
                    }
                },
                [&]() {
                    return concat({pystr("Parameter shift "), str_of(p), pystr("\xc2\xb1"),
                                   str_of(pyint(s)), pystr(" timed out or failed")});
                });
        }
    }
}

}  // namespace

object generate_invariants(handle invariant_class, handle op_expr, handle params, bool verbose) {
    Generation g{nb::borrow(invariant_class), none(), nb::borrow(op_expr), nb::borrow(params),
                 verbose};
    g.Op = sp_attr("Function")(pystr("Op"));
    if (has_symbolic_power(g.op_expr))
        short_path(g);
    else
        full_path(g);
    return dedupe(g.invariants);
}

}  // namespace kt
