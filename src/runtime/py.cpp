#include "runtime/py.hpp"

namespace kt {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

std::string utf8(handle str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size)) return {data, (size_t)size};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    // Lone surrogates (names made from undecodable bytes) keep their code points.
    object bytes = check(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    return {PyBytes_AS_STRING(bytes.ptr()), (size_t)PyBytes_GET_SIZE(bytes.ptr())};
}

object concat(std::initializer_list<handle> parts) {
    object tuple = check(PyTuple_New((Py_ssize_t)parts.size()));
    Py_ssize_t i = 0;
    for (handle part : parts) PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(part).release().ptr());
    object empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.ptr(), tuple.ptr()));
}

object class_name(handle h) { return check(PyType_GetName(Py_TYPE(h.ptr()))); }

std::string class_name_std(handle h) { return std::string(utf8(class_name(h))); }

object slice(Py_ssize_t start, Py_ssize_t stop) {
    object lo = start == kOpen ? none() : pyint(start);
    object hi = stop == kOpen ? none() : pyint(stop);
    return check(PySlice_New(lo.ptr(), hi.ptr(), nullptr));
}

std::pair<object, object> unpack2(handle value) {
    object it = nb::steal(PyObject_GetIter(value.ptr()));
    if (!it.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable " + class_name_std(value) + " object");
    }
    object got[2];
    for (int k = 0; k < 2; ++k) {
        got[k] = nb::steal(PyIter_Next(it.ptr()));
        if (!got[k].is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError,
                  "not enough values to unpack (expected 2, got " + std::to_string(k) + ")");
        }
    }
    object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw nb::python_error();
    return {got[0], got[1]};
}

}  // namespace kt
