#include "runtime/rename.hpp"

#include <vector>

#include "runtime/state.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

namespace {

bool attr_is(handle h, handle name, PyObject* value) { return get_attr(h, name).ptr() == value; }
bool is_number(handle h) { return is_instance(h, state().Number); }

// A symbol with no assumption beyond commutativity, a rational, a finite float or a named
// constant such as pi.
bool plain_leaf(handle leaf) {
    const State& c = state();
    if (is_type(leaf, c.Symbol))
        return equal(get_attr(leaf, c.s_assumptions0), c.plain_assumptions);
    if (is_instance(leaf, c.Rational) || is_instance(leaf, c.NumberSymbol)) return true;
    return is_instance(leaf, c.Float) && attr_is(leaf, c.s_is_finite, Py_True);
}

// What a walk over a tree found besides plainness.
struct Found {
    bool symbolic = false;  // a leaf is a symbol
    bool logs = false;      // a node is a logarithm
};

// Whether `node` is a sympy tree whose nodes rebuild through Basic's own xreplace and whose
// leaves are all plain or keys of `renamed`.
bool plain_tree(handle node, NodeTypes& types, Found& found, handle renamed = handle()) {
    RecursionGuard guard(" while renaming symbols");
    const NodeType info = types(node);
    if (!info.basic || info.own_xreplace) return false;
    found.logs = found.logs || info.log;
    object args = node_args(node, types);
    if (!PyTuple_CheckExact(args.ptr())) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    if (n == 0) {
        found.symbolic = found.symbolic || is_type(node, state().Symbol);
        if (renamed.is_valid() && check_status(PyDict_Contains(renamed.ptr(), node.ptr())))
            return true;
        return plain_leaf(node);
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!plain_tree(PyTuple_GET_ITEM(args.ptr(), i), types, found, renamed)) return false;
    return true;
}

// sympy evaluates, distributes numbers over sums and keeps exp as a function: the defaults the
// direct constructions assume.
bool default_evaluation() {
    const State& c = state();
    return attr_is(c.global_parameters, c.s_evaluate, Py_True) &&
           attr_is(c.global_parameters, c.s_distribute, Py_True) &&
           attr_is(c.global_parameters, c.s_exp_is_pow, Py_False);
}

// A renamed subtree. `stable`: untouched and in a form its constructor keeps (a leaf or a
// constant power); `plain`: all leaves plain; `symbolic`: some leaf is a symbol; `logs`: it may
// hold a logarithm.
struct Rebuilt {
    object expr;
    bool changed = false;
    bool leaf = false;
    bool stable = false;
    bool plain = true;
    bool symbolic = false;
    bool logs = false;
};

class Renamer {
public:
    // `keys_plain`: the renamed symbols are plain too, so a subtree's facts do not change.
    Renamer(handle mapping, bool keys_plain) : mapping_(mapping), keys_plain_(keys_plain) {}

    Rebuilt rebuild(handle node) {
        RecursionGuard guard(" while renaming symbols");
        const State& c = state();
        PyObject* hit = PyDict_GetItemWithError(mapping_.ptr(), node.ptr());
        if (hit) return {nb::borrow(hit), true, true, false, true, true, false};
        if (PyErr_Occurred()) throw nb::python_error();
        object args = args_of(node);
        const Py_ssize_t n = size(args);
        if (n == 0)
            return {nb::borrow(node), false, true, true, true, is_type(node, c.Symbol), false};

        std::vector<Rebuilt> kids;
        kids.reserve((size_t)n);
        bool changed = false, settled = true;
        Found found;
        for (Py_ssize_t i = 0; i < n; ++i) {
            kids.push_back(rebuild(at(args, i)));
            const Rebuilt& kid = kids.back();
            changed = changed || kid.changed;
            // An untouched subtree may be in a form its constructor would change (built with
            // evaluate=False); only leaves and constant powers are taken as they are.
            settled = settled && kid.plain && (kid.changed || kid.stable);
            found.symbolic = found.symbolic || kid.symbolic;
            found.logs = found.logs || kid.logs;
        }
        if (!changed) {
            const bool stable = stable_power(node);
            return {nb::borrow(node), false, false, stable, true, false, !stable};
        }

        if (settled) {
            object direct;
            if (is_type(node, c.Add) && sum_ready(kids))
                direct = sorted_op(c.Add, kids);
            else if (is_type(node, c.Mul) && product_ready(kids))
                direct = sorted_op(c.Mul, kids);
            else if (is_type(node, c.Pow) && power_ready(kids))
                direct = unevaluated(c.Pow, kids);
            else if (function_ready(node, kids))
                direct = unevaluated(handle((PyObject*)Py_TYPE(node.ptr())), kids);
            const bool logs = found.logs || is_type(node, c.log);
            if (direct.is_valid()) return {direct, true, false, false, true, found.symbolic, logs};
        }
        object built =
            check(PyObject_CallObject(get_attr(node, state().s_func).ptr(), tuple_of(kids).ptr()));
        Rebuilt out{built, true};
        Found in_built;
        out.plain = plain_tree(built, types_, in_built);
        out.symbolic = in_built.symbolic;
        out.logs = in_built.logs || !out.plain;
        if (out.plain) out.leaf = size(args_of(built)) == 0;
        return out;
    }

private:
    handle mapping_;
    bool keys_plain_;
    NodeTypes types_;

    // A node's arguments as a tuple: Python code run since the tree was checked may have
    // changed what a class reports.
    object args_of(handle node) {
        object args = node_args(node, types_);
        return PyTuple_CheckExact(args.ptr()) ? args : check(PySequence_Tuple(args.ptr()));
    }
    static Py_ssize_t size(handle tuple) { return PyTuple_GET_SIZE(tuple.ptr()); }
    static handle at(handle tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple.ptr(), i); }

    object tuple_of(const std::vector<Rebuilt>& kids) {
        object t = check(PyTuple_New((Py_ssize_t)kids.size()));
        for (size_t i = 0; i < kids.size(); ++i)
            PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, kids[i].expr.inc_ref().ptr());
        return t;
    }

    bool commutative(handle h) { return attr_is(h, state().s_is_commutative, Py_True); }

    bool nonzero_coefficient(handle h) {
        return h.ptr() != state().zero.ptr() && h.ptr() != state().one.ptr() && truth(h);
    }

    // Counts a number among the arguments of a sum or product, where flatten keeps one
    // coefficient as it is: one that is not zero, and for a product not one either.
    static bool lone_coefficient(handle number, int& numbers, bool product) {
        const State& c = state();
        if (++numbers > 1 || number.ptr() == c.zero.ptr() || !truth(number)) return false;
        return !product || number.ptr() != c.one.ptr();
    }

    // pi**(-1) and the like: a named constant whose class leaves powers alone, raised to a
    // rational other than 0 and 1, which the Pow constructor returns unchanged.
    bool stable_power(handle h) {
        const State& c = state();
        if (!is_type(h, c.Pow)) return false;
        object args = args_of(h);
        if (size(args) != 2) return false;
        handle base = at(args, 0), e = at(args, 1);
        return is_instance(base, c.NumberSymbol) && is_instance(e, c.Rational) &&
               e.ptr() != c.zero.ptr() && e.ptr() != c.one.ptr() &&
               class_lookup(Py_TYPE(base.ptr()), c.s_eval_power) == c.expr_eval_power.ptr();
    }

    // Add.flatten keeps these terms as they are and only sorts them: at most one number
    // (nonzero), no nested sum, no number raised to a power it would evaluate, and no two
    // terms that differ only in their numeric coefficient.
    bool sum_ready(const std::vector<Rebuilt>& kids) {
        const State& c = state();
        object terms = check(PySet_New(nullptr));
        int numbers = 0;
        for (const Rebuilt& kid : kids) {
            handle o = kid.expr;
            if (!commutative(o)) return false;
            if (is_number(o)) {
                if (!lone_coefficient(o, numbers, false)) return false;
                continue;
            }
            object key;
            if (is_type(o, c.Mul)) {
                key = product_term(o);
                if (!key.is_valid()) return false;
            } else if (is_type(o, c.Pow)) {
                object args = args_of(o);
                if (size(args) != 2 || is_number(at(args, 0))) return false;
                key = nb::make_tuple(o);
            } else if (is_type(o, c.Symbol) || is_instance(o, c.NumberSymbol) ||
                       attr_is(o, c.s_is_Function, Py_True)) {
                key = nb::make_tuple(o);
            } else {
                return false;
            }
            if (check_status(PySet_Contains(terms.ptr(), key.ptr()))) return false;
            check_status(PySet_Add(terms.ptr(), key.ptr()));
        }
        return true;
    }

    // The factors of a product after its numeric coefficient: the term a sum collects
    // coefficients by. Empty when the product is not in the shape Mul builds.
    object product_term(handle product) {
        object args = args_of(product);
        const Py_ssize_t n = size(args);
        if (n < 2) return object();
        Py_ssize_t start = 0;
        if (is_number(at(args, 0))) {
            if (!nonzero_coefficient(at(args, 0))) return object();
            start = 1;
        }
        for (Py_ssize_t i = start; i < n; ++i) {
            handle factor = at(args, i);
            if (is_number(factor) || is_instance(factor, state().Mul)) return object();
        }
        return check(PyTuple_GetSlice(args.ptr(), start, n));
    }

    // Mul.flatten keeps these factors as they are and only sorts them: at most one number
    // (not 0 or 1), no nested product, no number-over-sum pair it would distribute, no base
    // that is a number, and no two factors with the same base. An exponent must be a leaf, or
    // the argument of exp holding a symbol, so that it is never found to be zero.
    bool product_ready(const std::vector<Rebuilt>& kids) {
        const State& c = state();
        if (kids.size() == 2) {
            bool number = false, sum = false;
            for (const Rebuilt& kid : kids) {
                number = number || is_number(kid.expr);
                sum = sum || is_instance(kid.expr, c.Add);
            }
            if (number && sum) return false;
        }
        object bases = check(PySet_New(nullptr));
        int numbers = 0;
        for (const Rebuilt& kid : kids) {
            handle o = kid.expr;
            if (!commutative(o)) return false;
            if (is_number(o)) {
                if (!lone_coefficient(o, numbers, true)) return false;
                continue;
            }
            object base;
            if (is_type(o, c.Symbol) || is_type(o, c.Add)) {
                base = nb::borrow(o);
            } else if (is_type(o, c.Pow) || is_instance(o, c.NumberSymbol) ||
                       attr_is(o, c.s_is_Function, Py_True)) {
                auto [b, e] =
                    unpack2(check(PyObject_CallMethodNoArgs(o.ptr(), c.s_as_base_exp.ptr())));
                if (is_number(b) || e.ptr() == c.zero.ptr()) return false;
                const bool leaf_exponent = is_instance(e, c.Basic) && size(args_of(e)) == 0;
                if (!leaf_exponent && !(is_type(o, c.exp) && kid.symbolic)) return false;
                base = b;
            } else {
                return false;
            }
            if (check_status(PySet_Contains(bases.ptr(), base.ptr()))) return false;
            check_status(PySet_Add(bases.ptr(), base.ptr()));
        }
        return true;
    }

    // Pow(b, e) stays unevaluated for a symbol or sum base and a leaf exponent other than 0
    // and 1: neither base class evaluates such powers of plain trees.
    bool power_ready(const std::vector<Rebuilt>& kids) {
        const State& c = state();
        if (kids.size() != 2) return false;
        handle base = kids[0].expr, e = kids[1].expr;
        const bool base_ok =
            (is_type(base, c.Symbol) && c.symbol_has_plain_power) || is_type(base, c.Add);
        return base_ok && kids[1].leaf && e.ptr() != c.zero.ptr() && e.ptr() != c.one.ptr();
    }

    // sin, cos and exp of a plain symbol, and of a plain product that their eval leaves alone:
    // sin and cos pull out a negative coefficient and reduce multiples of pi; exp folds a
    // logarithm into a power. None of them changes a symbol, which holds no I, no pi and no
    // sign to extract.
    bool function_ready(handle node, const std::vector<Rebuilt>& kids) {
        const State& c = state();
        if (is_type(node, c.log)) return log_ready(node, kids);
        const bool exp = is_type(node, c.exp);
        if (!exp && !is_type(node, c.sin) && !is_type(node, c.cos)) return false;
        if (kids.size() != 1 || !kids[0].symbolic) return false;
        handle arg = kids[0].expr;
        if (is_type(arg, c.Symbol)) return true;
        if (!is_type(arg, c.Mul)) return false;
        if (exp) return !kids[0].logs;
        object factors = args_of(arg);
        if (size(factors) < 2) return false;
        handle first = at(factors, 0);
        if (is_number(first) && !attr_is(first, c.s_is_negative, Py_False)) return false;
        for (Py_ssize_t i = 0; i < size(factors); ++i)
            if (at(factors, i).ptr() == c.pi.ptr()) return false;
        return true;
    }

    // log of a symbol, or of a sum, product or power (of no named constant) holding one: its
    // eval returns such a call unchanged unless the argument is zero. Renaming plain symbols to
    // plain symbols changes no fact, so the original argument answers that, from the facts
    // sympy has kept on it when it was built with evaluation.
    bool log_ready(handle node, const std::vector<Rebuilt>& kids) {
        const State& c = state();
        if (!keys_plain_ || kids.size() != 1 || !kids[0].symbolic) return false;
        handle arg = kids[0].expr;
        if (is_type(arg, c.Pow)) {
            object args = args_of(arg);
            if (size(args) != 2 || is_instance(at(args, 0), c.NumberSymbol)) return false;
        } else if (!is_type(arg, c.Symbol) && !is_type(arg, c.Add) && !is_type(arg, c.Mul)) {
            return false;
        }
        if (!attr_is(arg, c.s_is_number, Py_False)) return false;
        object original = args_of(node);
        return size(original) == 1 && !attr_is(at(original, 0), c.s_is_zero, Py_True);
    }

    // `cls(*kids, evaluate=False)`: what the constructor returns when evaluation changes nothing.
    object unevaluated(handle cls, const std::vector<Rebuilt>& kids) {
        std::vector<PyObject*> call_args;
        for (const Rebuilt& kid : kids) call_args.push_back(kid.expr.ptr());
        call_args.push_back(Py_False);
        return check(PyObject_Vectorcall(cls.ptr(), call_args.data(), kids.size(),
                                         state().evaluate_only.ptr()));
    }

    // What the Add and Mul constructors return once flatten keeps the arguments: the number
    // first, the rest in sympy's canonical order.
    object sorted_op(handle cls, const std::vector<Rebuilt>& kids) {
        const State& c = state();
        object first = new_list(), rest = new_list();
        for (const Rebuilt& kid : kids) append(is_number(kid.expr) ? first : rest, kid.expr);
        PyObject* sort_args[] = {rest.ptr(), c.args_sortkey.ptr()};
        check(PyObject_VectorcallMethod(c.s_sort.ptr(), sort_args, 1, c.key_only.ptr()));
        check_status(PyList_SetSlice(first.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, rest.ptr()));
        object built = get_attr(cls, c.s_from_args)(first, true);
        return get_attr(cls, c.s_postprocess)(built);
    }
};

bool plain_symbol(handle h) {
    return equal(get_attr(h, state().s_assumptions0), state().plain_assumptions);
}

// The mapping's keys are plain symbols.
bool plain_keys(handle mapping) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping.ptr(), &pos, &key, &value))
        if (!is_type(key, state().Symbol) || !plain_symbol(key)) return false;
    return true;
}

// The mapping sends symbols to plain symbols.
bool plain_mapping(handle mapping) {
    if (!PyDict_CheckExact(mapping.ptr())) return false;
    const State& c = state();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
        if (!is_instance(key, c.Symbol) || !is_type(value, c.Symbol)) return false;
        if (!plain_symbol(value)) return false;
    }
    return true;
}

// The root's own xreplace is Basic's, or Atom's (a lookup in the mapping).
bool standard_xreplace(handle expr) {
    const State& c = state();
    PyObject* method = class_lookup(Py_TYPE(expr.ptr()), state().s_xreplace);
    return method == c.basic_xreplace.ptr() || method == c.atom_xreplace.ptr();
}

}  // namespace

object rename_symbols(handle expr, handle mapping) {
    if (default_evaluation() && plain_mapping(mapping) && standard_xreplace(expr)) {
        NodeTypes types;
        Found found;
        if (plain_tree(expr, types, found, mapping))
            return Renamer(mapping, plain_keys(mapping)).rebuild(expr).expr;
    }
    return get_attr(expr, state().s_xreplace)(mapping);
}

}  // namespace kt
