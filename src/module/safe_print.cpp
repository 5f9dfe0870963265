// `_safe_print`: print that falls back to UTF-8 bytes when the terminal cannot encode the text.
#include "module/declarations.hpp"

#include "runtime/state.hpp"

namespace kt {

namespace {

struct PrintCall {
    handle args, kwargs;
};

object safe_print(handle args, handle kwargs) {
    object kw = check(PyDict_Copy(kwargs.ptr()));
    object print = state().builtins.attr("print");
    PyObject* printed = PyObject_Call(print.ptr(), args.ptr(), kw.ptr());
    if (printed) {
        Py_DECREF(printed);
        return none();
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    // Fallback: one space between the arguments, one newline, raw UTF-8 to stdout's buffer.
    object parts = check(PyList_New(0));
    Items items(args);
    for (Py_ssize_t i = 0; i < items.size(); ++i)
        check_status(PyList_Append(parts.ptr(), str_of(items[i]).ptr()));
    object text = check(PyUnicode_Join(pystr(" ").ptr(), parts.ptr()));
    text = check(PyUnicode_Concat(text.ptr(), pystr("\n").ptr()));
    object data = check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
    object sys = import_module("sys");
    sys.attr("stdout").attr("buffer").attr("write")(data);
    return none();
}

}  // namespace

const Section frame_section{
    Declaration<PrintCall>{
        .name = "_safe_print",
        .params = {{"args", &PrintCall::args, nullptr, Check::Any, {}, Kind::VarArgs},
                   {"kwargs", &PrintCall::kwargs, nullptr, Check::Any, {}, Kind::VarKw}},
        .doc = "Print safely with UTF-8 encoding, bypassing terminal codec issues.",
        .body = [](const PrintCall& c) { return safe_print(c.args, c.kwargs); },
    },
};

}  // namespace kt
