#include "operators/text.hpp"

namespace kt {

std::u32string code_points(handle str) {
    if (!PyUnicode_Check(str.ptr()))
        raise(PyExc_TypeError, "expected a str, got " + class_name_std(str));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str.ptr());
    std::u32string out(n, U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyUnicode_READ_CHAR(str.ptr(), i);
    return out;
}

object from_code_points(std::u32string_view text) {
    return check(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), (Py_ssize_t)text.size()));
}

bool is_identifier_char(char32_t c) { return c == U'_' || Py_UNICODE_ISALNUM((Py_UCS4)c); }

}  // namespace kt
