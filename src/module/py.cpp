#include "module/py.hpp"

namespace kt {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

std::string_view utf8(handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, (size_t)size};
}

object class_name(handle h) { return check(PyType_GetName(Py_TYPE(h.ptr()))); }

std::string class_name_std(handle h) { return std::string(utf8(class_name(h))); }

bool str_starts_with(handle h, std::string_view prefix) {
    object s = str_of(h);
    std::string_view text = utf8(s);
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace kt
