#include "descriptors/ranges.hpp"

#include <string_view>

#include "runtime/state.hpp"

namespace kt {

object get_ranges_for_bank(handle given_bank, handle default_range) {
    object bank = nb::borrow(given_bank);
    if (truth(bank) && PyTuple_Check(item(bank, 0).ptr())) {
        object seconds = check(PyList_New(0));
        object it = check(PyObject_GetIter(bank.ptr()));
        while (object entry = nb::steal(PyIter_Next(it.ptr())))
            check_status(PyList_Append(seconds.ptr(), item(entry, 1).ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
        bank = seconds;
    }
    object sorted = state().builtins.attr("sorted");
    object by_name = state().builtins.attr("str");
    object theta_range = nb::make_tuple(0.01, 1.0);
    object named_range = nb::make_tuple(0.1, 10.0);
    object result = check(PyList_New(0));
    object it = check(PyObject_GetIter(bank.ptr()));
    while (object expr = nb::steal(PyIter_Next(it.ptr()))) {
        object syms = sorted(get_attr(expr, state().s_free_symbols), nb::arg("key") = by_name);
        object ranges = check(PyDict_New());
        for (Py_ssize_t i = 0; i < length(syms); ++i) {
            object name_obj = str_of(item(syms, i));
            std::string name = utf8(name_obj);
            handle range = default_range;
            if (name == "theta")
                range = theta_range;
            else if (name == "v" || name == "c" || name == "m" || name == "x")
                range = named_range;
            check_status(PyDict_SetItem(ranges.ptr(), pyint(i).ptr(), range.ptr()));
        }
        check_status(PyList_Append(result.ptr(), ranges.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return result;
}

object get_var_ranges(handle X, handle n_vars) {
    object out = check(PyDict_New());
    object indices = check(PyObject_CallOneArg(state().builtins.attr("range").ptr(), n_vars.ptr()));
    object it = check(PyObject_GetIter(indices.ptr()));
    object all_rows = slice(kOpen, kOpen);
    while (object i = nb::steal(PyIter_Next(it.ptr()))) {
        object column = item(X, nb::make_tuple(all_rows, i));
        object lo = check(PyNumber_Float(column.attr("min")().ptr()));
        object hi = check(PyNumber_Float(column.attr("max")().ptr()));
        check_status(PyDict_SetItem(out.ptr(), i.ptr(), nb::make_tuple(lo, hi).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

}  // namespace kt
