#include "descriptors/numeric_behavior.hpp"

#include "descriptors/native_eval.hpp"
#include "runtime/numpy.hpp"

namespace kt {

namespace {

// `sorted(expr.free_symbols, key=str)`.
object sorted_symbols(handle expr) {
    object sorted = state().builtins.attr("sorted");
    return sorted(get_attr(expr, state().s_free_symbols),
                  nb::arg("key") = state().builtins.attr("str"));
}

object substitute_curve(handle grid, Py_ssize_t n) {
    return nb::make_tuple(np_fn("linspace")(0.1, 2.0, n), grid.attr("copy")());
}

object finite_or_zero(handle vals) { return np_fn("where")(np_fn("isfinite")(vals), vals, 0.0); }

// One sample track per symbol, drawn in symbol order from one generator.
object sample_tracks(handle syms, Py_ssize_t n, handle var_ranges, handle seed) {
    object rng = state().np.attr("random").attr("default_rng")(seed);
    const Py_ssize_t nsyms = length(syms);
    const bool ranged = !var_ranges.is_none() && truth(var_ranges);
    object arrays = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < nsyms; ++i) {
        object index = pyint(i);
        object track;
        if (ranged && check_status(PySequence_Contains(var_ranges.ptr(), index.ptr()))) {
            auto [lo, hi] = unpack2(item(var_ranges, index));
            if (truth(compare(hi, lo, Py_LE))) hi = lo + pyfloat(1.0);
            track = nsyms == 1 ? np_fn("linspace")(lo, hi, n) : rng.attr("uniform")(lo, hi, n);
        } else if (nsyms == 1) {
            track = np_fn("logspace")(-1, 2, n);
        } else {
            object log = np_fn("log");
            track = np_fn("exp")(rng.attr("uniform")(log(0.1), log(100.0), n));
        }
        check_status(PyList_Append(arrays.ptr(), track.ptr()));
    }
    return arrays;
}

// The generated numpy function's value, computed by the compiled program where every node of
// the expression is one it knows, else by the generated function itself.
object lambdified_value(handle expr, handle syms, handle arrays) {
    if (auto program = NumericProgram::compile(expr, syms)) return program->run(arrays);
    object modules = check(PyList_New(0));
    check_status(PyList_Append(modules.ptr(), pystr("numpy").ptr()));
    object f = state().sp.attr("lambdify")(syms, expr, nb::arg("modules") = modules,
                                           nb::arg("dummify") = true);
    return check(PyObject_CallObject(f.ptr(), check(PySequence_Tuple(arrays.ptr())).ptr()));
}

object evaluate_vectorised(handle expr, handle syms, handle arrays, handle grid) {
    object raw = lambdified_value(expr, syms, arrays);
    object vals = np_fn("array")(raw, nb::arg("dtype") = state().builtins.attr("float"));
    if (PyLong_AsLong(vals.attr("ndim").ptr()) == 0) vals = np_fn("full_like")(grid, vals);
    if (PyErr_Occurred()) throw nb::python_error();
    if (truth(np_fn("iscomplexobj")(vals))) vals = vals.attr("real");
    return finite_or_zero(vals);
}

object evaluate_pointwise(handle expr, handle syms, handle arrays, Py_ssize_t n) {
    const Py_ssize_t nsyms = length(syms);
    object values = check(PyList_New(0));
    for (Py_ssize_t k = 0; k < n; ++k) {
        object substitution = check(PyDict_New());
        for (Py_ssize_t i = 0; i < nsyms; ++i)
            check_status(PyDict_SetItem(substitution.ptr(), item(syms, i).ptr(),
                                        item(item(arrays, i), k).ptr()));
        object point = expr.attr("subs")(substitution).attr("evalf")();
        check_status(PyList_Append(values.ptr(), check(PyNumber_Float(point.ptr())).ptr()));
    }
    return finite_or_zero(np_fn("array")(values));
}

}  // namespace

object eval_safe(handle expr, handle grid, handle var_ranges, handle seed) {
    object syms = sorted_symbols(expr);
    const Py_ssize_t n = length(grid);
    if (length(syms) == 0) {
        object result;
        bool ok = attempt([&] {
            object value = check(PyNumber_Float(expr.ptr()));
            result = nb::make_tuple(np_fn("full_like")(grid, value), grid.attr("copy")());
        });
        return ok ? result : substitute_curve(grid, n);
    }
    object arrays = sample_tracks(syms, n, var_ranges, seed);
    object vals;
    if (!attempt([&] { vals = evaluate_vectorised(expr, syms, arrays, grid); }) &&
        !attempt([&] { vals = evaluate_pointwise(expr, syms, arrays, n); }))
        return substitute_curve(grid, n);
    object first = item(arrays, 0);
    object order = np_fn("argsort")(first);
    return nb::make_tuple(item(vals, order), item(first, order));
}

object growth_class(handle given) {
    if (given.is_none()) return pystr("undefined");
    object vals = item(given, ~np_fn("isnan")(given));
    if (length(vals) < 8) return pystr("undefined");
    object finite_mask = np_fn("isfinite")(vals);
    if (!truth(np_fn("any")(finite_mask))) return pystr("undefined");
    if (!truth(np_fn("all")(finite_mask))) return pystr("exponential");
    object abs = np_fn("abs"), diff = np_fn("diff");
    object first = item(vals, 0), last = item(vals, -1);
    object abs_max = np_fn("max")(abs(vals));
    object span = check(PyNumber_Absolute((last - first).ptr()));
    object sign_steps = compare(diff(np_fn("sign")(vals)), pyint(0), Py_NE);
    long sign_changes = PyLong_AsLong(check(PyNumber_Long(np_fn("sum")(sign_steps).ptr())).ptr());
    object curvature = check(PyNumber_Float(np_fn("mean")(abs(diff(diff(vals)))).ptr()));
    auto gt = [](handle a, handle b) { return truth(compare(a, b, Py_GT)); };
    auto lt = [](handle a, handle b) { return truth(compare(a, b, Py_LT)); };
    if (gt(abs_max, pyfloat(1000.0))) return pystr("exponential");
    if (sign_changes >= 3) return pystr("oscillatory");
    if (gt(check(PyNumber_Absolute(first.ptr())),
           pyfloat(1.5) * check(PyNumber_Absolute(last.ptr()))) &&
        gt(abs_max, pyfloat(0.1)))
        return pystr("decaying");
    if (lt(span, pyfloat(0.05) * abs_max) && lt(abs_max, pyint(100))) return pystr("bounded");
    if (gt(curvature, pyfloat(0.05))) return pystr("polynomial");
    return pystr("linear");
}

namespace {

// Both evaluations sample identically when the grids agree in shape and dtype: only the
// grid's length enters the sampling, and its dtype only the constant and scalar results.
bool same_sampling(handle grid, handle grid_linear) {
    handle ndarray = state().np.attr("ndarray");
    if (!is_instance(grid, ndarray) || !is_instance(grid_linear, ndarray)) return false;
    return equal(grid.attr("shape"), grid_linear.attr("shape")) &&
           equal(grid.attr("dtype"), grid_linear.attr("dtype"));
}

}  // namespace

object extract_behavior(handle expr, handle var_ranges) {
    object grid = module_global("GRID");
    object grid_linear = module_global("GRID_LINEAR");
    object first = eval_safe(expr, grid, var_ranges, pyint(0));
    object vals = item(first, 0), coord = item(first, 1);
    object vals_linear = same_sampling(grid, grid_linear)
                             ? vals
                             : item(eval_safe(expr, grid_linear, var_ranges, pyint(0)), 0);

    object abs = np_fn("abs"), diff = np_fn("diff"), nanmean = np_fn("nanmean");
    object isfinite = np_fn("isfinite"), where = np_fn("where");

    object finite = isfinite(vals);
    object count = pyint(length(vals));
    object frac_invalid =
        pyfloat(1.0) - check(PyNumber_TrueDivide(np_fn("sum")(finite).ptr(), count.ptr()));
    vals = where(finite, vals, 0.0);

    object noise = state().np.attr("random").attr("randn")(count);
    object noisy = vals + pyfloat(1e-6) * noise;
    noisy = where(isfinite(noisy), noisy, vals);

    object bvec = np_fn("nan_to_num")(vals, nb::arg("nan") = 0.0);
    if (!equal(bvec.attr("shape"), grid.attr("shape"))) {
        if (!attempt([&] { bvec = np_fn("broadcast_to")(bvec, grid.attr("shape")); })) {
            object fill = truth(bvec.attr("size"))
                              ? check(PyNumber_Float(np_fn("mean")(bvec).ptr()))
                              : pyfloat(0.0);
            bvec = np_fn("full")(length(grid), fill);
        }
    }
    bvec = bvec / (state().np.attr("linalg").attr("norm")(bvec) + pyfloat(1e-9));

    object gc;
    if (!attempt([&] { gc = growth_class(vals); })) gc = pystr("unknown");

    object is_periodic;
    if (!attempt([&] {
            object lin_valid = item(vals_linear, ~np_fn("isnan")(vals_linear));
            long changes = 0;
            if (length(lin_valid) >= 2) {
                object steps = compare(diff(np_fn("sign")(lin_valid)), pyint(0), Py_NE);
                changes = PyLong_AsLong(check(PyNumber_Long(np_fn("sum")(steps).ptr())).ptr());
            }
            is_periodic = pybool(changes >= 3);
        }))
        is_periodic = pybool(equal(gc, pystr("oscillatory")));

    object derivative_approx = pyfloat(0.0), integral_approx = pyfloat(0.0);
    object stability_score = pyfloat(0.0), sensitivity = pyfloat(0.0);
    object variance = pyfloat(0.0), boundedness = pyfloat(0.0);
    object is_mono = pybool(false), bounded = pybool(false);

    object valid = ~np_fn("isnan")(vals);
    object clean = item(vals, valid);
    object valid_coord = item(coord, valid);
    const Py_ssize_t n_clean = length(clean);
    if (n_clean >= 2) {
        object diffs = diff(clean);
        object coord_steps = diff(valid_coord);
        object deriv = diff(clean) / coord_steps;
        derivative_approx = check(PyNumber_Float(nanmean(abs(deriv)).ptr()));
        object head = item(clean, slice(kOpen, -1)), tail = item(clean, slice(1, kOpen));
        object areas = (head + tail) / pyint(2) * coord_steps;
        object starts = check(PyList_New(0));
        check_status(PyList_Append(starts.ptr(), pyfloat(0.0).ptr()));
        object integral_vec = np_fn("concatenate")(nb::make_tuple(starts, np_fn("cumsum")(areas)));
        integral_approx = check(PyNumber_Float(nanmean(abs(integral_vec)).ptr()));
        if (length(diffs) > 0) {
            object rising = np_fn("all")(compare(diffs, pyint(0), Py_GE));
            is_mono = truth(rising) ? rising : np_fn("all")(compare(diffs, pyint(0), Py_LE));
        }
        bounded = pybool(truth(np_fn("all")(compare(abs(clean), pyfloat(1e4), Py_LT))));
        variance = check(PyNumber_Float(np_fn("nanvar")(clean).ptr()));
        if (length(deriv) >= 2) {
            object second = diff(deriv) / diff(item(valid_coord, slice(kOpen, -1)));
            double curvature = as_double(nanmean(abs(second)));
            object ratio = abs(second) / (abs(item(deriv, slice(kOpen, -1))) + pyfloat(1e-9));
            double nonlinearity = as_double(nanmean(ratio));
            stability_score = pyfloat(-curvature / (nonlinearity + 1e-9));
        }
        object change = np_fn("nan_to_num")(noisy - vals, nb::arg("nan") = 0.0);
        sensitivity =
            check(PyNumber_Float(nanmean(abs(change) / (abs(vals) + pyfloat(1e-9))).ptr()));
    } else if (n_clean == 1) {
        bounded = compare(check(PyNumber_Absolute(item(clean, 0).ptr())), pyfloat(1e4), Py_LT);
    }
    if (n_clean >= 1) boundedness = pyfloat(truth(bounded) ? 1.0 : 0.0);

    object out = check(PyDict_New());
    auto put = [&](const char* key, handle value) {
        check_status(PyDict_SetItemString(out.ptr(), key, value.ptr()));
    };
    put("behavior_vec", bvec);
    put("is_bounded", bounded);
    put("boundedness", boundedness);
    put("is_periodic", is_periodic);
    put("is_monotone", is_mono);
    put("variance", variance);
    put("derivative_vec", check(PyList_New(0)));
    put("integral_vec", check(PyList_New(0)));
    put("derivative_approx", derivative_approx);
    put("integral_approx", integral_approx);
    put("stability_score", stability_score);
    put("sensitivity_perturbation", sensitivity);
    put("growth_class", gc);
    put("frac_invalid", frac_invalid);
    return out;
}

object numeric_values(handle expr, handle syms, handle arrays) {
    Items symbols(syms), values(arrays);
    if (symbols.size() != values.size()) raise(PyExc_ValueError, "one array per symbol");
    if (auto program = NumericProgram::compile_as_given(expr, syms)) return program->run(arrays);
    return lambdified_value(expr, syms, arrays);
}

}  // namespace kt
