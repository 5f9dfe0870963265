#include "operators/expression_check.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "operators/text.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

[[noreturn]] void refuse(handle numpy_expr, const std::string& what) {
    object shown = length(numpy_expr) > 200
                       ? concat({item(numpy_expr, slice(0, 100)), pystr("...")})
                       : nb::borrow(numpy_expr);
    raise(PyExc_ValueError, "cannot compile '" + utf8(shown) + "': " + what + " is not allowed");
}

// The bounds of the package's formula parser, so that text refused there is refused here too.
long long max_exponent() { return text_limits().max_exponent; }
long long max_digits() { return text_limits().max_integer_digits; }
std::string digits_limit() { return "MAX_INTEGER_DIGITS = " + std::to_string(max_digits()); }
std::string exponent_limit() { return "MAX_EXPONENT = " + std::to_string(max_exponent()); }

bool one_of(const std::string& s, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (s == n) return true;
    return false;
}

// ---- node kinds, names and attributes -----------------------------------------------------

// Numbers, names, arithmetic and comparisons, calls of names, and np.<name> for the
// rewritten math functions and constants: nothing else runs.
void check_kinds(handle cls, handle numpy_expr, handle tree) {
    object ast = module_global("ast");
    std::set<std::string> np_names;
    {
        object it = check(PyObject_GetIter(get_attr(cls, "MATH_FUNCS").ptr()));
        while (object n = nb::steal(PyIter_Next(it.ptr()))) np_names.insert(utf8(str_of(n)));
        if (PyErr_Occurred()) throw nb::python_error();
        Items values(check(PyDict_Values(get_attr(cls, "CONSTANTS").ptr())));
        for (Py_ssize_t i = 0; i < values.size(); ++i) {
            std::string v = utf8(str_of(values[i]));
            if (v.rfind("np.", 0) == 0) np_names.insert(v.substr(3));
        }
    }
    Items nodes(check(PySequence_List(ast.attr("walk")(tree).ptr())));
    for (Py_ssize_t i = 0; i < nodes.size(); ++i) {
        handle node = nodes[i];
        const std::string kind = class_name_std(node);
        if (one_of(kind, {"Expression", "BinOp", "UnaryOp",  "Compare", "Load", "Add",  "Sub",
                          "Mult",       "Div",   "FloorDiv", "Mod",     "Pow",  "USub", "UAdd",
                          "Eq",         "NotEq", "Lt",       "LtE",     "Gt",   "GtE"}))
            continue;
        if (kind == "Constant") {
            object value = get_attr(node, "value");
            if (PyBool_Check(value.ptr()) ||
                !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) ||
                  PyComplex_Check(value.ptr())))
                refuse(numpy_expr, "the constant " + utf8(repr_of(value)));
            continue;
        }
        if (kind == "Name") {
            std::string id = utf8(get_attr(node, "id"));
            if (id.rfind("__", 0) == 0) refuse(numpy_expr, "the name " + id);
            continue;
        }
        if (kind == "Call") {
            if (length(get_attr(node, "keywords")) > 0)
                refuse(numpy_expr, "a call with keyword arguments");
            const std::string callee = class_name_std(get_attr(node, "func"));
            if (callee != "Name" && callee != "Attribute")
                refuse(numpy_expr, "calling the result of " + callee);
            Items args(get_attr(node, "args"));
            for (Py_ssize_t k = 0; k < args.size(); ++k)
                if (class_name_std(args[k]) == "Starred") refuse(numpy_expr, "a starred argument");
            continue;
        }
        if (kind == "Attribute") {
            object value = get_attr(node, "value");
            const std::string attr = utf8(get_attr(node, "attr"));
            const bool on_np =
                class_name_std(value) == "Name" && utf8(get_attr(value, "id")) == "np";
            if (!on_np || !np_names.count(attr)) refuse(numpy_expr, "the attribute ." + attr);
            continue;
        }
        refuse(numpy_expr, "the construct " + kind);
    }
}

// ---- integer sizes ------------------------------------------------------------------------

// What the check knows of a sub-expression whose value is a Python int: |value| < 2**log2,
// and the value itself when it is a constant. Floats, arrays and the variables' values count
// as no int: float and numpy arithmetic overflow instead of growing.
struct IntInfo {
    bool is_int = false;
    double log2 = 0.0;
    object value;
};

// Folds the constant integer sub-expressions of a checked tree, refusing any that would
// exceed the parser's MAX_INTEGER_DIGITS (judged from sizes before anything is computed) and any
// power whose integer exponent may exceed its MAX_EXPONENT in absolute value.
class IntegerSizes {
public:
    explicit IntegerSizes(handle numpy_expr)
        : expr_(numpy_expr),
          limit_(check(PyNumber_Power(pyint(10).ptr(), pyint(max_digits()).ptr(), Py_None))) {}

    IntInfo fold(handle node) {
        RecursionGuard guard(" while checking an expression");
        const std::string kind = class_name_std(node);
        if (kind == "Expression") return fold(get_attr(node, "body"));
        if (kind == "Constant") {
            object v = get_attr(node, "value");
            return PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()) ? known(v) : IntInfo{};
        }
        if (kind == "UnaryOp") {
            IntInfo a = fold(get_attr(node, "operand"));
            if (a.is_int && a.value.is_valid() && class_name_std(get_attr(node, "op")) == "USub")
                a.value = check(PyNumber_Negative(a.value.ptr()));
            return a;  // unary minus or plus: the kind check allows no other
        }
        if (kind == "BinOp") return binary(node);
        if (kind == "Compare") {
            fold(get_attr(node, "left"));
            fold_all(get_attr(node, "comparators"));
            return {true, 1.0, {}};  // a bool
        }
        if (kind == "Call") {
            // np.abs keeps a Python int as it is; the other functions give floats or signs.
            const double most = fold_all(get_attr(node, "args"));
            return most >= 0 ? IntInfo{true, most, {}} : IntInfo{};
        }
        return {};  // a name or np.<name>
    }

private:
    // Folds each node; the largest log2 of those that are ints, or -1 when none is.
    double fold_all(handle nodes) {
        Items all(nodes);
        double most = -1.0;
        for (Py_ssize_t i = 0; i < all.size(); ++i) {
            IntInfo a = fold(all[i]);
            if (a.is_int) most = std::max(most, a.log2);
        }
        return most;
    }

    IntInfo binary(handle node) {
        IntInfo a = fold(get_attr(node, "left")), b = fold(get_attr(node, "right"));
        const std::string op = class_name_std(get_attr(node, "op"));
        if (op == "Pow") return power(a, b);
        if (!a.is_int || !b.is_int) return {};
        const bool b_zero = b.value.is_valid() && !truth(b.value);
        if (op == "Add") return combine(std::max(a.log2, b.log2) + 1, PyNumber_Add, a, b);
        if (op == "Sub") return combine(std::max(a.log2, b.log2) + 1, PyNumber_Subtract, a, b);
        if (op == "Mult") return combine(a.log2 + b.log2, PyNumber_Multiply, a, b);
        // |a // b| <= |a| and |a % b| < |b|; a zero divisor fails when the function runs.
        if (op == "FloorDiv")
            return b_zero ? IntInfo{true, a.log2, {}} : combine(a.log2, PyNumber_FloorDivide, a, b);
        if (op == "Mod")
            return b_zero ? IntInfo{true, b.log2, {}} : combine(b.log2, PyNumber_Remainder, a, b);
        return {};  // true division gives a float
    }

    IntInfo power(const IntInfo& base, const IntInfo& exponent) {
        if (!exponent.is_int) return {};  // a float or array exponent: float arithmetic
        if (exponent.value.is_valid()) {
            object size = check(PyNumber_Absolute(exponent.value.ptr()));
            if (truth(compare(size, pyint(max_exponent()), Py_GT)))
                refuse(expr_, "the exponent " + shown(exponent) + " (beyond " + exponent_limit() +
                                  " in absolute value)");
            if (truth(compare(exponent.value, pyint(0), Py_LT))) return {};  // a float
        } else if (exponent.log2 > std::log2((double)max_exponent() + 1)) {
            refuse(expr_, "an exponent that may exceed " + exponent_limit() + " in absolute value");
        }
        if (!base.is_int) return {};
        const double largest = exponent.value.is_valid()
                                   ? std::fabs(PyLong_AsDouble(exponent.value.ptr()))
                                   : std::exp2(exponent.log2);
        return combine(
            largest * base.log2,
            [](PyObject* x, PyObject* y) { return PyNumber_Power(x, y, Py_None); }, base, exponent);
    }

    // The int `log2` bounds; computed by `op` when both operands are constants.
    IntInfo combine(double log2, PyObject* (*op)(PyObject*, PyObject*), const IntInfo& a,
                    const IntInfo& b) {
        // One digit of slack: the estimate of a constant's size is rounded, the exact test follows.
        if (log2 * std::log10(2.0) > (double)max_digits() + 1) too_large();
        if (!a.value.is_valid() || !b.value.is_valid()) return {true, log2, {}};
        return known(check(op(a.value.ptr(), b.value.ptr())));
    }

    IntInfo known(handle v) {
        object size = check(PyNumber_Absolute(v.ptr()));
        if (!truth(compare(size, limit_, Py_LT))) too_large();
        const long long bits = PyLong_AsLongLong(get_attr(v, "bit_length")().ptr());
        // Exact enough below 2**1000; above, the bit length bounds it within a thousandth.
        const double log2 = bits == 0      ? 0.0
                            : bits <= 1000 ? std::log2(PyLong_AsDouble(size.ptr()))
                                           : (double)bits;
        return {true, log2, nb::borrow(v)};
    }

    static std::string shown(const IntInfo& a) {
        if (a.log2 < 64) return utf8(str_of(a.value));
        return "of about " + std::to_string((long long)(a.log2 * std::log10(2.0)) + 1) + " digits";
    }

    [[noreturn]] void too_large() {
        refuse(expr_, "an integer of more than " + digits_limit() + " digits");
    }

    handle expr_;
    object limit_;  // 10**MAX_INTEGER_DIGITS: every allowed integer is smaller in absolute value
};

}  // namespace

void check_literal_lengths(handle numpy_expr) {
    const std::u32string s = code_points(numpy_expr);
    const auto digit = [](char32_t c) { return c >= U'0' && c <= U'9'; };
    for (size_t i = 0; i < s.size();) {
        if (digit(s[i])) {
            long long digits = 0;
            for (; i < s.size() && (digit(s[i]) || s[i] == U'_'); ++i) digits += digit(s[i]);
            if (digits > max_digits())
                refuse(numpy_expr, "a number literal of more than " + digits_limit() + " digits");
        } else if (is_identifier_char(s[i])) {
            while (i < s.size() && is_identifier_char(s[i])) ++i;  // a name, digits and all
        } else {
            ++i;
        }
    }
}

void check_expression(handle cls, handle numpy_expr, handle tree) {
    check_kinds(cls, numpy_expr, tree);
    IntegerSizes(numpy_expr).fold(tree);
}

}  // namespace kt
