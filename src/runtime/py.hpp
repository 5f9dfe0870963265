// Small helpers every binding file uses to talk to Python: error raising, checked C API
// results, truth values, type names and the recursion guard.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <string_view>

namespace kt {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// Sets a Python exception of `type` and throws it as a C++ exception.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Turns a new reference from the C API into an owned object; NULL means a Python error is set.
inline object check(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// Throws the pending Python error when a C API status code reports failure.
inline int check_status(int status) {
    if (status < 0) throw nb::python_error();
    return status;
}

inline bool truth(handle h) { return check_status(PyObject_IsTrue(h.ptr())) != 0; }
// `type(h) is cls`.
inline bool is_type(handle h, handle cls) { return (PyObject*)Py_TYPE(h.ptr()) == cls.ptr(); }
inline bool is_instance(handle h, handle cls) {
    return check_status(PyObject_IsInstance(h.ptr(), cls.ptr())) != 0;
}
inline Py_ssize_t length(handle h) {
    Py_ssize_t n = PyObject_Size(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}
inline object get_attr(handle h, handle name) {
    return check(PyObject_GetAttr(h.ptr(), name.ptr()));
}
inline object get_attr(handle h, const char* name) {
    return check(PyObject_GetAttrString(h.ptr(), name));
}
// `float(h)` as a double, for values that are floats or convert to them.
inline double as_double(handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}
inline object str_of(handle h) { return check(PyObject_Str(h.ptr())); }

inline object repr_of(handle h) { return check(PyObject_Repr(h.ptr())); }
// `import name`: the module itself, for dotted names too.
inline object import_module(const char* name) { return check(PyImport_ImportModule(name)); }
// An interned str, for attribute names looked up often.
inline object interned(const char* name) { return check(PyUnicode_InternFromString(name)); }
inline object pystr(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "surrogatepass"));
}
// `format(h, spec)`: what an f-string field `{h:spec}` produces.
inline object format(handle h, std::string_view spec = {}) {
    return check(PyObject_Format(h.ptr(), pystr(spec).ptr()));
}
inline object pyfloat(double v) { return check(PyFloat_FromDouble(v)); }
inline object pyint(long long v) { return check(PyLong_FromLongLong(v)); }
inline object pybool(bool v) { return nb::borrow(v ? Py_True : Py_False); }
inline object none() { return nb::none(); }
inline bool equal(handle a, handle b) {
    return check_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0;
}

// `prefix` followed by the number (built by appending: GCC 12 warns falsely on
// `"p" + std::to_string(k)`).
inline std::string numbered(std::string_view prefix, long long k) {
    std::string text(prefix);
    text += std::to_string(k);
    return text;
}

// A dict of str keys, in the given order.
inline object dict_of(std::initializer_list<std::pair<const char*, handle>> items) {
    object d = check(PyDict_New());
    for (auto [key, value] : items) check_status(PyDict_SetItemString(d.ptr(), key, value.ptr()));
    return d;
}

// A new empty list, and `list.append(value)`.
inline object new_list() { return check(PyList_New(0)); }
inline void append(handle list, handle value) {
    check_status(PyList_Append(list.ptr(), value.ptr()));
}

// Whether the pending Python error is one of `types` (the error stays set).
inline bool error_matches_any(std::initializer_list<PyObject*> types) {
    for (PyObject* type : types)
        if (PyErr_ExceptionMatches(type)) return true;
    return false;
}

// The concatenation of str objects.
object concat(std::initializer_list<handle> parts);

// Python-level operators that return objects (element-wise on arrays).
inline object compare(handle a, handle b, int op) {
    return check(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
inline object item(handle container, handle key) {
    return check(PyObject_GetItem(container.ptr(), key.ptr()));
}
inline object item(handle container, Py_ssize_t index) {
    return check(PySequence_GetItem(container.ptr(), index));
}
// A slice object; PY_SSIZE_T_MIN stands for an omitted bound.
object slice(Py_ssize_t start, Py_ssize_t stop);
constexpr Py_ssize_t kOpen = PY_SSIZE_T_MIN;

// `a, b = value`, with the interpreter's errors for the wrong number of items.
std::pair<object, object> unpack2(handle value);

// Runs `body`; an `Exception` it raises is swallowed and reported as false. Anything else
// (KeyboardInterrupt, SystemExit) propagates.
template <class F>
bool attempt(F&& body) {
    try {
        body();
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The UTF-8 bytes of a Python str; a lone surrogate is kept as its three bytes, as
// `pystr` reads it back.
std::string utf8(handle str);

// `type(h).__name__`, as a Python str and as UTF-8.
object class_name(handle h);
std::string class_name_std(handle h);

// A sequence's items as they are now, for indexed access. A list is copied: Python code run
// while the items are walked may change the list and free an item still in use.
class Items {
public:
    explicit Items(handle seq, const char* what = "expected a sequence")
        : seq_(check(PySequence_Fast(seq.ptr(), what))) {
        if (seq_.ptr() == seq.ptr() && PyList_Check(seq_.ptr()))
            seq_ = check(PyList_AsTuple(seq_.ptr()));
    }
    Py_ssize_t size() const { return PySequence_Fast_GET_SIZE(seq_.ptr()); }
    handle operator[](Py_ssize_t i) const { return PySequence_Fast_GET_ITEM(seq_.ptr(), i); }
    handle object() const { return seq_; }

private:
    nb::object seq_;
};

// Guards native recursion over Python-owned trees: past the interpreter's limit it raises
// RecursionError instead of exhausting the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace kt
