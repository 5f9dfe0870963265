#include "descriptors/native_eval.hpp"

#include <optional>
#include <string>
#include <vector>

#include "runtime/rename.hpp"
#include "runtime/state.hpp"

namespace kt {

struct NumericProgram::Node {
    enum Kind { Value, Symbol, Neg, Add, Sub, Mul, Div, Pow, Call, Abs };
    explicit Node(Kind k, object v = object()) : kind(k), value(std::move(v)) {}
    Kind kind;
    object value;  // Value: the Python number; Call: the numpy function
    Py_ssize_t symbol = -1;
    std::vector<Node> kids;
};

namespace {

using Node = NumericProgram::Node;

Node leaf(handle value) { return Node(Node::Value, nb::borrow(value)); }
Node binary(Node::Kind kind, Node a, Node b) {
    Node n(kind);
    n.kids.push_back(std::move(a));
    n.kids.push_back(std::move(b));
    return n;
}
Node unary(Node::Kind kind, Node a, handle fn = handle()) {
    Node n(kind, fn.is_valid() ? nb::borrow(fn) : object());
    n.kids.push_back(std::move(a));
    return n;
}

// numpy's name for each supported one-argument sympy function.
const char* numpy_name(const std::string& cls) {
    static const std::pair<const char*, const char*> table[] = {
        {"exp", "exp"},       {"log", "log"},       {"sin", "sin"},     {"cos", "cos"},
        {"tan", "tan"},       {"asin", "arcsin"},   {"acos", "arccos"}, {"atan", "arctan"},
        {"sinh", "sinh"},     {"cosh", "cosh"},     {"tanh", "tanh"},   {"asinh", "arcsinh"},
        {"acosh", "arccosh"}, {"atanh", "arctanh"}, {"sign", "sign"},   {"floor", "floor"},
        {"ceiling", "ceil"}};
    for (auto [from, to] : table)
        if (cls == from) return to;
    return nullptr;
}

class Compiler {
public:
    explicit Compiler(handle syms) : index_(check(PyDict_New())) {
        Items items(syms);
        for (Py_ssize_t i = 0; i < items.size(); ++i)
            check_status(PyDict_SetItem(index_.ptr(), items[i].ptr(), pyint(i).ptr()));
        keep_coeff_ = import_module("sympy.core.mul").attr("_keep_coeff");
    }

    std::optional<Node> expr(handle e) {
        RecursionGuard guard(" while compiling an expression");
        const std::string cls = class_name_std(e);
        if (cls == "Symbol" || cls == "Dummy") {
            PyObject* at = PyDict_GetItemWithError(index_.ptr(), e.ptr());
            if (!at) {
                if (PyErr_Occurred()) throw nb::python_error();
                return std::nullopt;
            }
            Node n(Node::Symbol);
            n.symbol = PyLong_AsSsize_t(at);
            return n;
        }
        if (cls == "Integer" || cls == "One" || cls == "Zero" || cls == "NegativeOne")
            return leaf(check(PyNumber_Long(e.ptr())));
        if (cls == "Rational" || cls == "Half") return rational(e);
        if (cls == "Float") return leaf(check(PyNumber_Float(e.ptr())));
        if (cls == "Pi") return leaf(state().np.attr("pi"));
        if (cls == "Exp1") return leaf(state().np.attr("e"));
        if (cls == "Add") return add(e);
        if (cls == "Mul") return mul(e);
        if (cls == "Pow") return power(get_attr(e, "base"), get_attr(e, "exp"));
        Items args(get_attr(e, state().s_args));
        if (args.size() != 1) return std::nullopt;
        if (cls == "Abs") {
            auto arg = expr(args[0]);
            if (!arg) return std::nullopt;
            return unary(Node::Abs, std::move(*arg));
        }
        if (const char* name = numpy_name(cls)) {
            if (!is_instance(e, state().Function)) return std::nullopt;
            auto arg = expr(args[0]);
            if (!arg) return std::nullopt;
            return unary(Node::Call, std::move(*arg), state().np.attr(name));
        }
        return std::nullopt;
    }

private:
    Node rational(handle e) {
        return binary(Node::Div, leaf(get_attr(e, "p")), leaf(get_attr(e, "q")));
    }

    static bool flag(handle e, const char* name) { return get_attr(e, name).ptr() == Py_True; }

    // An exponent as the printer writes it: integers as ints, rationals as p/q, floats as floats.
    std::optional<Node> exponent(handle e) {
        const std::string cls = class_name_std(e);
        if (cls == "Rational" || cls == "Half") return rational(e);
        return expr(e);
    }

    std::optional<Node> power(handle base, handle exp) {
        object half = state().sp.attr("S").attr("Half");
        if (flag(exp, "is_integer") && flag(exp, "is_negative")) {
            // Negative integer exponents are written as floats (x**(-2.0)).
            auto b = expr(base);
            std::optional<Node> x =
                flag(exp, "is_Number") ? std::optional<Node>(leaf(check(PyNumber_Float(exp.ptr()))))
                                       : expr(get_attr(exp, "evalf")());
            if (!b || !x) return std::nullopt;
            return binary(Node::Pow, std::move(*b), std::move(*x));
        }
        if (equal(exp, half)) {
            auto b = expr(base);
            if (!b) return std::nullopt;
            return unary(Node::Call, std::move(*b), state().np.attr("sqrt"));
        }
        if (equal(check(PyNumber_Negative(exp.ptr())), half)) {
            auto b = expr(base);
            if (!b) return std::nullopt;
            return binary(Node::Div, leaf(pyint(1)),
                          unary(Node::Call, std::move(*b), state().np.attr("sqrt")));
        }
        auto b = expr(base);
        auto x = exponent(exp);
        if (!b || !x) return std::nullopt;
        return binary(Node::Pow, std::move(*b), std::move(*x));
    }

    // A product as `[-]a0*a1*.../b0` or `/(b0*b1*...)`: negative rational powers go below.
    std::optional<Node> mul(handle e) {
        bool negative = false;
        auto unsigned_part = mul_unsigned(e, negative);
        if (!unsigned_part) return std::nullopt;
        return negative ? unary(Node::Neg, std::move(*unsigned_part)) : std::move(*unsigned_part);
    }

    std::optional<Node> mul_unsigned(handle e, bool& negative) {
        auto [c, rest] = unpack2(get_attr(e, "as_coeff_Mul")());
        object product = nb::borrow(e);
        negative = truth(compare(c, pyint(0), Py_LT));
        if (negative) product = keep_coeff_(check(PyNumber_Negative(c.ptr())), rest);
        Items factors(get_attr(product, "as_ordered_factors")());
        std::vector<Node> above, below;
        for (Py_ssize_t i = 0; i < factors.size(); ++i) {
            handle f = factors[i];
            object fexp = flag(f, "is_Pow") ? get_attr(f, "exp") : object();
            if (fexp.is_valid() && flag(f, "is_commutative") && flag(fexp, "is_Rational") &&
                flag(fexp, "is_negative")) {
                object positive = check(PyNumber_Negative(fexp.ptr()));
                std::optional<Node> d = equal(fexp, pyint(-1))
                                            ? expr(get_attr(f, "base"))
                                            : power(get_attr(f, "base"), positive);
                if (!d) return std::nullopt;
                below.push_back(std::move(*d));
                continue;
            }
            auto n = expr(f);
            if (!n) return std::nullopt;
            above.push_back(std::move(*n));
        }
        if (above.empty()) above.push_back(leaf(pyint(1)));
        Node num = std::move(above[0]);
        for (size_t k = 1; k < above.size(); ++k)
            num = binary(Node::Mul, std::move(num), std::move(above[k]));
        if (below.empty()) return num;
        Node den = std::move(below[0]);
        for (size_t k = 1; k < below.size(); ++k)
            den = binary(Node::Mul, std::move(den), std::move(below[k]));
        return binary(Node::Div, std::move(num), std::move(den));
    }

    // Terms in printing order; a term printed with a leading minus is subtracted.
    std::optional<Node> add(handle e) {
        Items terms(get_attr(e, "as_ordered_terms")());
        std::optional<Node> total;
        for (Py_ssize_t i = 0; i < terms.size(); ++i) {
            handle t = terms[i];
            bool negative = false;
            std::optional<Node> n;
            if (flag(t, "is_Mul")) {
                n = mul_unsigned(t, negative);
            } else if (flag(t, "is_Number") && truth(compare(t, pyint(0), Py_LT))) {
                negative = true;
                n = expr(check(PyNumber_Negative(t.ptr())));
            } else {
                n = expr(t);
            }
            if (!n) return std::nullopt;
            if (!total)
                total = negative ? unary(Node::Neg, std::move(*n)) : std::move(*n);
            else
                total = binary(negative ? Node::Sub : Node::Add, std::move(*total), std::move(*n));
        }
        return total;
    }

    object index_;
    object keep_coeff_;
};

object evaluate(const Node& n, handle arrays) {
    switch (n.kind) {
        case Node::Value:
            return n.value;
        case Node::Symbol:
            return nb::borrow(PyTuple_GET_ITEM(arrays.ptr(), n.symbol));
        case Node::Neg:
            return check(PyNumber_Negative(evaluate(n.kids[0], arrays).ptr()));
        case Node::Abs:
            return check(PyNumber_Absolute(evaluate(n.kids[0], arrays).ptr()));
        case Node::Call:
            return n.value(evaluate(n.kids[0], arrays));
        default:
            break;
    }
    object a = evaluate(n.kids[0], arrays), b = evaluate(n.kids[1], arrays);
    switch (n.kind) {
        case Node::Add:
            return check(PyNumber_Add(a.ptr(), b.ptr()));
        case Node::Sub:
            return check(PyNumber_Subtract(a.ptr(), b.ptr()));
        case Node::Mul:
            return check(PyNumber_Multiply(a.ptr(), b.ptr()));
        case Node::Div:
            return check(PyNumber_TrueDivide(a.ptr(), b.ptr()));
        default:
            return check(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
    }
}

}  // namespace

NumericProgram::~NumericProgram() = default;

std::unique_ptr<NumericProgram> NumericProgram::compile(handle expr, handle syms) {
    std::optional<Node> root;
    const bool compiled = attempt([&] {
        // The generated function sees its arguments as fresh symbols named Dummy_<n>, numbered
        // from the last argument to the first; their order decides the order of terms and
        // factors, so it is reproduced (with fixed numbers, so that sympy's cache serves them).
        Items given(syms);
        object mapping = check(PyDict_New());
        object dummies = check(PyList_New(given.size()));
        object taken = check(PySet_New(nullptr));
        object it = check(PyObject_GetIter(get_attr(expr, state().s_free_symbols).ptr()));
        while (object s = nb::steal(PyIter_Next(it.ptr())))
            check_status(PySet_Add(taken.ptr(), str_of(s).ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < given.size(); ++i) {
            object name = pystr(numbered("Dummy_", 10000 + given.size() - 1 - i));
            if (check_status(PySet_Contains(taken.ptr(), name.ptr())))
                raise(PyExc_ValueError, "name clash");
            object d = state().Symbol(name);
            check_status(PyDict_SetItem(mapping.ptr(), given[i].ptr(), d.ptr()));
            PyList_SET_ITEM(dummies.ptr(), i, d.release().ptr());
        }
        Compiler compiler(dummies);
        root = compiler.expr(rename_symbols(expr, mapping));
    });
    if (!compiled || !root) return nullptr;
    auto program = std::make_unique<NumericProgram>();
    program->root_ = std::make_unique<Node>(std::move(*root));
    return program;
}

std::unique_ptr<NumericProgram> NumericProgram::compile_as_given(handle expr, handle syms) {
    std::optional<Node> root;
    const bool compiled = attempt([&] {
        Compiler compiler(syms);
        root = compiler.expr(expr);
    });
    if (!compiled || !root) return nullptr;
    auto program = std::make_unique<NumericProgram>();
    program->root_ = std::make_unique<Node>(std::move(*root));
    return program;
}

object NumericProgram::run(handle arrays) const {
    object args = check(PySequence_Tuple(arrays.ptr()));
    return evaluate(*root_, args);
}

}  // namespace kt
