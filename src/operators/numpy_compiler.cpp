#include "operators/numpy_compiler.hpp"

#include <cmath>
#include <string>

#include "operators/expression_check.hpp"
#include "runtime/function.hpp"
#include "runtime/numpy.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

// ---- erf and erfc, element-wise over float64 --------------------------------------------

object elementwise(handle x, double (*fn)(double)) {
    object arr = np_fn("array")(x, nb::arg("dtype") = np_fn("float64"));
    object out = np_fn("empty_like")(arr);
    if (length(arr.attr("shape")) == 0) return pyfloat(fn(as_double(arr)));
    object flat_in = np_fn("ascontiguousarray")(arr).attr("ravel")();
    object flat_out = out.attr("reshape")(-1);
    Float64View in(flat_in), to(flat_out, 1, true);
    if (!in.valid() || !to.valid()) raise(PyExc_SystemError, "float64 buffers expected");
    for (Py_ssize_t i = 0; i < in.size(); ++i) to.mutable_data()[i] = fn(in.data()[i]);
    return out;
}

struct X {
    handle x;
};

const FuncDef erf_def = Declaration<X>{
    .name = "erf",
    .params = {{"x", &X::x}},
    .doc = "The error function, element-wise (a float for a scalar, else a float64 array).",
    .body = [](const X& c) { return elementwise(c.x, [](double v) { return std::erf(v); }); },
};

const FuncDef erfc_def = Declaration<X>{
    .name = "erfc",
    .params = {{"x", &X::x}},
    .doc = "The complementary error function, element-wise.",
    .body = [](const X& c) { return elementwise(c.x, [](double v) { return std::erfc(v); }); },
};

object parse(handle numpy_expr) {
    return module_global("ast").attr("parse")(numpy_expr, nb::arg("mode") = "eval");
}

}  // namespace

void init_compiler_namespace(handle module) {
    object ns = import_module("types").attr("ModuleType")(pystr("numpy"));
    get_attr(ns, "__dict__").attr("update")(get_attr(state().np, "__dict__"));
    check_status(PyObject_SetAttrString(ns.ptr(), "erf", make_function(erf_def, module).ptr()));
    check_status(PyObject_SetAttrString(ns.ptr(), "erfc", make_function(erfc_def, module).ptr()));
    mutable_state().compiler_numpy = ns;
}

namespace numpy_compiler {

object math_funcs() {
    object names = check(PySet_New(nullptr));
    for (const char* name : {"exp", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh",
                             "tanh", "log", "sqrt", "abs", "floor", "ceil", "sign", "erf", "erfc"})
        check_status(PySet_Add(names.ptr(), pystr(name).ptr()));
    return names;
}

object constants() {
    object names = check(PyDict_New());
    check_status(PyDict_SetItemString(names.ptr(), "pi", pystr("np.pi").ptr()));
    check_status(PyDict_SetItemString(names.ptr(), "e", pystr("np.e").ptr()));
    return names;
}

object to_numpy_expr(handle cls, handle expr, handle op) {
    object re = module_global("re");
    object expanded = get_attr(op, "expand")(expr);
    object it = check(PyObject_GetIter(get_attr(cls, "MATH_FUNCS").ptr()));
    while (object func = nb::steal(PyIter_Next(it.ptr())))
        expanded = re.attr("sub")(concat({pystr("\\b"), func, pystr("\\b")}),
                                  concat({pystr("np."), func}), expanded);
    if (PyErr_Occurred()) throw nb::python_error();
    Items constants(check(PyDict_Items(get_attr(cls, "CONSTANTS").ptr())));
    for (Py_ssize_t i = 0; i < constants.size(); ++i) {
        auto [name, replacement] = unpack2(constants[i]);
        expanded =
            re.attr("sub")(concat({pystr("\\b"), name, pystr("\\b")}), replacement, expanded);
    }
    return expanded;
}

object extract_variables(handle cls, handle numpy_expr) {
    object tree = parse(numpy_expr);
    object ast = module_global("ast");
    object constants = get_attr(cls, "CONSTANTS");
    object names = check(PySet_New(nullptr));
    object name_type = ast.attr("Name");
    Items nodes(check(PySequence_List(ast.attr("walk")(tree).ptr())));
    for (Py_ssize_t i = 0; i < nodes.size(); ++i) {
        if (!is_instance(nodes[i], name_type)) continue;
        object id = get_attr(nodes[i], "id");
        if (equal(id, pystr("np")) || check_status(PySequence_Contains(constants.ptr(), id.ptr())))
            continue;
        check_status(PySet_Add(names.ptr(), id.ptr()));
    }
    object sorted = check(PySequence_List(names.ptr()));
    check_status(PyList_Sort(sorted.ptr()));
    return sorted;
}

object clean_result(handle result) {
    object np = module_global("np");
    object value = nb::borrow(result);
    const bool was_complex = truth(np.attr("iscomplexobj")(value));
    if (was_complex) value = np.attr("real")(value);
    object cleaned = np.attr("nan_to_num")(value, nb::arg("nan") = 0.0, nb::arg("posinf") = 1e30,
                                           nb::arg("neginf") = -1e30);
    return nb::make_tuple(cleaned, pybool(was_complex));
}

object compile(handle cls, handle expr, handle op) {
    object numpy_expr = get_attr(cls, "to_numpy_expr")(expr, op);
    check_literal_lengths(numpy_expr);
    object variables = get_attr(cls, "extract_variables")(numpy_expr);
    check_expression(cls, numpy_expr, parse(numpy_expr));
    object var_list = check(PyUnicode_Join(pystr(", ").ptr(), variables.ptr()));
    object code = concat(
        {pystr("def _func("), var_list,
         pystr("):\n    with np.errstate(over='ignore', invalid='ignore', divide='ignore'):\n"
               "        _raw = "),
         numpy_expr,
         pystr("\n        _cleaned, _ = _clean_result(_raw)\n        return _cleaned\n")});
    // Only numpy and the cleaner are in scope: no builtins for the expression to reach.
    object scope = check(PyDict_New());
    check_status(PyDict_SetItemString(scope.ptr(), "__builtins__", check(PyDict_New()).ptr()));
    check_status(PyDict_SetItemString(scope.ptr(), "np", state().compiler_numpy.ptr()));
    check_status(
        PyDict_SetItemString(scope.ptr(), "_clean_result", get_attr(cls, "_clean_result").ptr()));
    object compiled =
        check(Py_CompileString(utf8(code).c_str(), "<compiled composition>", Py_file_input));
    check(PyEval_EvalCode(compiled.ptr(), scope.ptr(), scope.ptr()));
    object func = nb::borrow(PyDict_GetItemString(scope.ptr(), "_func"));
    return nb::make_tuple(func, variables, numpy_expr);
}

object evaluate(handle cls, handle expr, handle op, handle kwargs) {
    object compiled = get_attr(cls, "compile")(expr, op);
    object func = item(compiled, 0);
    Items variables(item(compiled, 1));
    object args = check(PyTuple_New(variables.size()));
    for (Py_ssize_t i = 0; i < variables.size(); ++i)
        PyTuple_SET_ITEM(args.ptr(), i, item(kwargs, variables[i]).release().ptr());
    object np = module_global("np");
    object result = nb::steal(PyObject_Call(func.ptr(), args.ptr(), nullptr));
    if (!result.is_valid()) {
        if (!error_matches_any({PyExc_OverflowError, PyExc_ZeroDivisionError, PyExc_ValueError,
                                PyExc_TypeError, PyExc_NameError}))
            throw nb::python_error();
        PyErr_Clear();
        result = np.attr("nan");
    }
    if (truth(np.attr("iscomplexobj")(result)))
        result = np.attr("asarray")(result, nb::arg("dtype") = state().builtins.attr("complex"));
    object cleaned = item(get_attr(cls, "_clean_result")(result), 0);
    bool scalar = truth(np.attr("isscalar")(cleaned));
    if (!scalar) {
        object ndim = nb::steal(PyObject_GetAttrString(cleaned.ptr(), "ndim"));
        if (!ndim.is_valid()) PyErr_Clear();
        scalar = ndim.is_valid() && equal(ndim, pyint(0));
    }
    if (scalar) return check(PyNumber_Float(np.attr("asarray")(cleaned).attr("item")().ptr()));
    return cleaned;
}

}  // namespace numpy_compiler

}  // namespace kt
