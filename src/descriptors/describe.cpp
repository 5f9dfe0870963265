#include "descriptors/describe.hpp"

#include "descriptors/numeric_behavior.hpp"
#include "descriptors/structure.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kStructureFields[] = {"root_type",    "depth",       "n_nodes",  "n_vars",
                                        "repeated_var", "unary_depth", "operators"};
const char* const kBehaviourFields[] = {
    "behavior_vec",      "is_bounded",      "boundedness",     "is_periodic",
    "is_monotone",       "variance",        "derivative_vec",  "integral_vec",
    "derivative_approx", "integral_approx", "stability_score", "sensitivity_perturbation",
    "growth_class",      "frac_invalid"};

object parse(handle text) {
    object parsed;
    try {
        parsed = parse_expression(text);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        object cause = nb::borrow(e.value());
        object message = check(PyUnicode_FromFormat(
            "Cannot parse expression '%U': %U", check(PyObject_Format(text.ptr(), nullptr)).ptr(),
            check(PyObject_Format(cause.ptr(), nullptr)).ptr()));
        object error = check(PyObject_CallOneArg(PyExc_ValueError, message.ptr()));
        PyException_SetContext(error.ptr(), cause.release().ptr());  // raised while handling it
        PyErr_SetRaisedException(error.release().ptr());
        throw nb::python_error();
    }
    return parsed;
}

void copy_fields(handle into, handle from, const char* const* keys, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        PyObject* value = PyDict_GetItemString(from.ptr(), keys[i]);  // borrowed
        if (!value) raise(PyExc_KeyError, keys[i]);
        check_status(PyDict_SetItemString(into.ptr(), keys[i], value));
    }
}

}  // namespace

object describe(handle given, handle var_ranges, handle source_id) {
    object expr = PyUnicode_Check(given.ptr()) ? parse(given) : nb::borrow(given);
    object norm = canonicalize_expr(expr, source_id);
    object structure = extract_structure(norm);
    object behaviour = extract_behavior(expr, var_ranges);
    object fields = check(PyDict_New());
    check_status(PyDict_SetItemString(fields.ptr(), "expr", norm.ptr()));
    check_status(PyDict_SetItemString(fields.ptr(), "numeric_expr", expr.ptr()));
    copy_fields(fields, structure, kStructureFields, std::size(kStructureFields));
    copy_fields(fields, behaviour, kBehaviourFields, std::size(kBehaviourFields));
    object noargs = check(PyTuple_New(0));
    return check(PyObject_Call(module_global("ExprDescriptor").ptr(), noargs.ptr(), fields.ptr()));
}

}  // namespace kt
