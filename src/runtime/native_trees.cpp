#include "runtime/native_trees.hpp"

#include <climits>
#include <cmath>
#include <vector>

#include "runtime/state.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

enum class Tag { Integer, Rational, Float, Pi, Exp1, Symbol, Add, Mul, Pow, Function };

// sympy's classes of the nodes a tree holds, by type object: read once, never freed (as the
// module state).
struct Classes {
    std::unordered_map<PyTypeObject*, Tag> tags;
    std::unordered_map<PyTypeObject*, sym::Fn> functions;
    object fn_classes[sym::kFunctionCount];
    object Integer, Rational, Float, Symbol, Add, Mul, Pow, pi, e, from_args_add, from_args_mul;
    object evaluate_false;
};

const Classes& classes() {
    static Classes* c = [] {
        auto* c = new Classes();
        handle sp = state().sp;
        object numbers = import_module("sympy.core.numbers");
        auto type_of = [](handle cls) { return (PyTypeObject*)cls.ptr(); };
        for (const char* name : {"Integer", "Zero", "One", "NegativeOne"})
            c->tags[type_of(numbers.attr(name))] = Tag::Integer;
        for (const char* name : {"Rational", "Half"})
            c->tags[type_of(numbers.attr(name))] = Tag::Rational;
        c->tags[type_of(numbers.attr("Float"))] = Tag::Float;
        c->tags[type_of(numbers.attr("Pi"))] = Tag::Pi;
        c->tags[type_of(numbers.attr("Exp1"))] = Tag::Exp1;
        c->tags[type_of(sp.attr("Symbol"))] = Tag::Symbol;
        c->tags[type_of(sp.attr("Add"))] = Tag::Add;
        c->tags[type_of(sp.attr("Mul"))] = Tag::Mul;
        c->tags[type_of(sp.attr("Pow"))] = Tag::Pow;
        for (int k = 0; k < sym::kFunctionCount; ++k) {
            object cls = sp.attr(sym::function_name((sym::Fn)k));
            c->tags[type_of(cls)] = Tag::Function;
            c->functions[type_of(cls)] = (sym::Fn)k;
            c->fn_classes[k] = cls;
        }
        c->Integer = sp.attr("Integer");
        c->Rational = sp.attr("Rational");
        c->Float = sp.attr("Float");
        c->Symbol = sp.attr("Symbol");
        c->Add = sp.attr("Add");
        c->Mul = sp.attr("Mul");
        c->Pow = sp.attr("Pow");
        c->pi = sp.attr("pi");
        c->e = sp.attr("E");
        c->from_args_add = c->Add.attr("_from_args");
        c->from_args_mul = c->Mul.attr("_from_args");
        c->evaluate_false = dict_of({{"evaluate", Py_False}});
        return c;
    }();
    return *c;
}

std::int64_t int64_of(handle number) {
    object value = check(PyNumber_Long(number.ptr()));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || v == LLONG_MIN) throw sym::Unsupported("an integer beyond 64 bits");
    return v;
}

sym::Expr tree_of(sym::Pool& pool, handle e) {
    RecursionGuard guard(" while reading an expression");
    const Classes& c = classes();
    auto found = c.tags.find(Py_TYPE(e.ptr()));
    if (found == c.tags.end()) throw sym::Unsupported("a class native trees do not hold");
    switch (found->second) {
        case Tag::Integer:
            return pool.integer(int64_of(e));
        case Tag::Rational:
            return pool.rational(int64_of(get_attr(e, "p")), int64_of(get_attr(e, "q")));
        case Tag::Float: {
            if (PyLong_AsLong(get_attr(e, "_prec").ptr()) != 53)
                throw sym::Unsupported("a Float of other than 53 bits");
            const double v = as_double(e);
            if (!std::isfinite(v) || (v != 0.0 && std::fabs(v) < 2.2250738585072014e-308) ||
                (v == 0.0 && truth(e)))
                throw sym::Unsupported("a Float beyond the range of doubles");
            return pool.real(v);
        }
        case Tag::Pi:
            return pool.pi();
        case Tag::Exp1:
            return pool.e();
        case Tag::Symbol:
            if (!equal(get_attr(e, state().s_assumptions0), state().plain_assumptions))
                throw sym::Unsupported("a symbol with assumptions");
            return pool.symbol(utf8(get_attr(e, state().s_name)));
        default:
            break;
    }
    Items args(get_attr(e, state().s_args));
    std::vector<sym::Expr> kids;
    kids.reserve(args.size());
    for (Py_ssize_t k = 0; k < args.size(); ++k) kids.push_back(tree_of(pool, args[k]));
    switch (found->second) {
        case Tag::Add:
            return pool.make(sym::Kind::Add, kids);
        case Tag::Mul:
            return pool.make(sym::Kind::Mul, kids);
        case Tag::Pow:
            return pool.make(sym::Kind::Pow, kids);
        default:
            if (kids.size() != 1) throw sym::Unsupported("a function of several arguments");
            return pool.function(c.functions.at(Py_TYPE(e.ptr())), kids[0]);
    }
}

object tuple_of(std::vector<object>& items) {
    object t = check(PyTuple_New((Py_ssize_t)items.size()));
    for (size_t k = 0; k < items.size(); ++k)
        PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)k, items[k].release().ptr());
    return t;
}

}  // namespace

handle function_class(sym::Fn fn) { return classes().fn_classes[(int)fn]; }

sym::Expr from_sympy(sym::Pool& pool, handle expr) { return tree_of(pool, expr); }

object SympyTrees::operator()(sym::Expr e) {
    auto found = made_.find(e);
    if (found != made_.end()) return found->second;
    const Classes& c = classes();
    object made;
    switch (e->kind) {
        case sym::Kind::Integer:
            made = c.Integer(pyint(e->p));
            break;
        case sym::Kind::Rational:
            made = c.Rational(pyint(e->p), pyint(e->q));
            break;
        case sym::Kind::Float:
            made = c.Float(pyfloat(e->value));
            break;
        case sym::Kind::Pi:
            made = c.pi;
            break;
        case sym::Kind::Exp1:
            made = c.e;
            break;
        case sym::Kind::Symbol:
            made = c.Symbol(pystr(*e->name));
            break;
        default: {
            RecursionGuard guard(" while building an expression");
            std::vector<object> args;
            for (sym::Expr a : e->args) args.push_back((*this)(a));
            object t = tuple_of(args);
            if (e->kind == sym::Kind::Add)
                made = c.from_args_add(t);
            else if (e->kind == sym::Kind::Mul)
                made = c.from_args_mul(t);
            else if (e->kind == sym::Kind::Pow)
                made = check(PyObject_Call(c.Pow.ptr(), t.ptr(), c.evaluate_false.ptr()));
            else
                made = check(
                    PyObject_Call(function_class(e->fn).ptr(), t.ptr(), c.evaluate_false.ptr()));
        }
    }
    made_.emplace(e, made);
    return made;
}

sym::Expr SympyOracle::construct(sym::Pool& pool, sym::Op op, sym::Fn fn,
                                 std::span<const sym::Expr> args) {
    const Classes& c = classes();
    std::vector<object> given;
    given.reserve(args.size());
    for (sym::Expr a : args) given.push_back(trees_(a));
    object t = tuple_of(given);
    handle cls = op == sym::Op::Add   ? handle(c.Add)
                 : op == sym::Op::Mul ? handle(c.Mul)
                 : op == sym::Op::Pow ? handle(c.Pow)
                                      : function_class(fn);
    object result;
    if (!attempt([&] { result = check(PyObject_CallObject(cls.ptr(), t.ptr())); }))
        throw sym::Unsupported("sympy refused the construction");
    sym::Expr made = tree_of(pool, result);
    trees_.keep(made, result);
    return made;
}

std::string SympyOracle::str(sym::Expr e) { return utf8(str_of(trees_(e))); }

std::optional<double> SympyOracle::number_value(sym::Expr e) {
    object value = nb::steal(PyNumber_Float(trees_(e).ptr()));
    if (value.is_valid()) return PyFloat_AS_DOUBLE(value.ptr());
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
}

namespace {

std::vector<sym::Expr> trees_of(sym::Pool& pool, SympyTrees& trees, handle seq) {
    Items items(seq);
    std::vector<sym::Expr> out;
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        sym::Expr t = tree_of(pool, items[k]);
        trees.keep(t, items[k]);
        out.push_back(t);
    }
    return out;
}

}  // namespace

std::vector<sym::Expr> SympyOracle::ordered_terms(sym::Pool& pool, sym::Expr add) {
    return trees_of(pool, trees_, get_attr(trees_(add), "as_ordered_terms")());
}

std::vector<sym::Expr> SympyOracle::ordered_factors(sym::Pool& pool, sym::Expr mul) {
    return trees_of(pool, trees_, get_attr(trees_(mul), "as_ordered_factors")());
}

}  // namespace kt
