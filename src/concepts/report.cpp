#include "concepts/report.hpp"

#include "runtime/state.hpp"

namespace kt {

namespace {

[[noreturn]] void type_error(const char* text) { raise(PyExc_TypeError, text); }

// The formula of a text report: the first line numbered as "[3] ..." or "3 ...", else the text.
object formula_of_text(handle s) {
    object re = import_module("re");
    object pattern = pystr("^(?:\\[\\s*\\d+\\s*\\]|\\d+\\s)\\s*(.+)$");
    Items lines(s.attr("splitlines")());
    for (Py_ssize_t i = 0; i < lines.size(); ++i) {
        object line = lines[i].attr("strip")();
        if (!truth(line)) continue;
        object match = re.attr("match")(pattern, line);
        if (match.is_none()) continue;
        object cand = match.attr("group")(1).attr("strip")();
        if (!truth(cand) || truth(cand.attr("startswith")(pystr("\xe2\x94\x80\xe2\x94\x80"))))
            continue;
        return cand;
    }
    return nb::borrow(s);
}

}  // namespace

object parse_report(handle r) {
    object data;
    if (PyDict_Check(r.ptr())) {
        data = nb::borrow(r);
    } else if (PyObject_HasAttrString(r.ptr(), "formula")) {
        object formula = get_attr(r, "formula");
        object name =
            PyObject_HasAttrString(r.ptr(), "name") ? get_attr(r, "name") : pystr("concept");
        object names = check(PyList_New(0));
        object it = check(PyObject_GetIter(get_attr(formula, "free_symbols").ptr()));
        while (object s = nb::steal(PyIter_Next(it.ptr()))) append(names, str_of(s));
        if (PyErr_Occurred()) throw nb::python_error();
        check_status(PyList_Sort(names.ptr()));  // by name: set order changes between runs
        data = dict_of({{"name", name}, {"definition", str_of(formula)}, {"params", names}});
    } else if (PyUnicode_Check(r.ptr())) {
        object s = r.attr("strip")();
        if (!truth(s)) type_error("report string is empty");
        object json = import_module("json");
        if (!attempt([&] { data = json.attr("loads")(s); }))
            data = dict_of({{"name", pystr("concept")},
                            {"definition", formula_of_text(s)},
                            {"params", none()}});
    } else {
        type_error("report must be JSON string, dict, candidate object, or report string");
    }
    for (const char* key : {"definition", "name"})
        if (!check_status(PySequence_Contains(data.ptr(), pystr(key).ptr())))
            raise(PyExc_KeyError, "report must include 'name' and 'definition'");
    return data;
}

}  // namespace kt
