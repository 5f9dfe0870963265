#include "concepts/discover.hpp"

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "concepts/helpers.hpp"
#include "concepts/llm_client.hpp"
#include "runtime/classes.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const RecordDef invariant_record{
    "Invariant",
    {
        {"op_type", "str"},
        {"wrt", "Optional[str]"},
        {"rule", "sp.Expr"},
        {"canonical", "str"},
        {"is_operator_form", "bool", true},
        {"coefficient", "Optional[sp.Expr]", kNone},
        {"operator_variant", "Optional[sp.Expr]", kNone},
        {"closure_type", "str", "none"},
        {"parameter_shift", "Optional[int]", kNone},
        {"semantic_group", "Optional[str]", kNone},
    },
};

const RecordDef concept_record{
    "Concept",
    {
        {"name", "str"},
        {"operator_definition", "sp.Expr"},
        {"params", "List[sp.Symbol]"},
        {"invariants", "List[Invariant]"},
        {"families", "Dict[str, Dict[str, Any]]"},
        {"closure_properties", "List[str]"},
        {"concept_summary", "str"},
    },
};

const char* const kGroupingPrompt =
    "Group these invariants by their mathematical meaning, ignoring trivial repetitions.\n"
    "\n"
    "Provide ONLY valid JSON with the top-level key 'groups'. Each group must be an object with keys:\n"
    " - name: short group name (string)\n"
    " - summary: one-sentence summary (string)\n"
    " - rules: list of the original invariant rule strings that belong to this group (must match exactly).\n"
    "\n"
    "Invariants:\n";

object builtin(const char* name) { return get_attr(state().builtins, name); }
object kwargs_dict(std::initializer_list<std::pair<const char*, handle>> items) {
    object d = check(PyDict_New());
    for (auto [k, v] : items) check_status(PyDict_SetItemString(d.ptr(), k, v.ptr()));
    return d;
}

// ---- report forms -------------------------------------------------------------------------

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
        if (!truth(cand) || truth(cand.attr("startswith")(pystr("\xe2\x94\x80\xe2\x94\x80")))) continue;
        return cand;
    }
    return nb::borrow(s);
}

object parse_report(handle r) {
    object data;
    if (PyDict_Check(r.ptr())) {
        data = nb::borrow(r);
    } else if (PyObject_HasAttrString(r.ptr(), "formula")) {
        object formula = get_attr(r, "formula");
        object name = PyObject_HasAttrString(r.ptr(), "name") ? get_attr(r, "name") : pystr("concept");
        object names = check(PyList_New(0));
        object it = check(PyObject_GetIter(get_attr(formula, "free_symbols").ptr()));
        while (object s = nb::steal(PyIter_Next(it.ptr()))) append(names, str_of(s));
        if (PyErr_Occurred()) throw nb::python_error();
        check_status(PyList_Sort(names.ptr()));  // by name: set order changes between runs
        data = kwargs_dict({{"name", name}, {"definition", str_of(formula)}, {"params", names}});
    } else if (PyUnicode_Check(r.ptr())) {
        object s = r.attr("strip")();
        if (!truth(s)) type_error("report string is empty");
        object json = import_module("json");
        if (!attempt([&] { data = json.attr("loads")(s); }))
            data = kwargs_dict({{"name", pystr("concept")}, {"definition", formula_of_text(s)}, {"params", none()}});
    } else {
        type_error("report must be JSON string, dict, candidate object, or report string");
    }
    for (const char* key : {"definition", "name"})
        if (!check_status(PySequence_Contains(data.ptr(), pystr(key).ptr())))
            raise(PyExc_KeyError, "report must include 'name' and 'definition'");
    return data;
}

// ---- invariants ---------------------------------------------------------------------------

struct Generation {
    object Invariant, Op;
    object op_expr;
    object params;  // list of symbols
    bool verbose;
    object invariants = check(PyList_New(0));

    object op_applied() const { return call(Op, params); }
    static object call(handle f, handle args_list) {
        object args = check(PySequence_Tuple(args_list.ptr()));
        return check(PyObject_Call(f.ptr(), args.ptr(), nullptr));
    }
    void add(std::initializer_list<std::pair<const char*, handle>> fields) {
        object kw = kwargs_dict(fields);
        object noargs = check(PyTuple_New(0));
        append(invariants, check(PyObject_Call(Invariant.ptr(), noargs.ptr(), kw.ptr())));
    }
    object canonical_limited(handle rule) const {
        try {
            return run_with_timeout(state().canonicalize_variables, 2, nb::make_tuple(rule));
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TimeoutError)) throw;
            return str_of(rule);
        }
    }
    object wrt_of(handle p) const { return str_of(p); }

    void operator_rule(handle lhs, handle coeff, handle variant, const char* op_type, handle wrt,
                       const char* closure = "closed", handle shift = handle()) {
        const bool applied = is_instance(variant, sp_attr("Function"));
        object rhs = applied ? check(PyNumber_Multiply(coeff.ptr(), call(Op, get_attr(variant, "args")).ptr()))
                             : check(PyNumber_Multiply(coeff.ptr(), variant.ptr()));
        object rule = sp_attr("Eq")(lhs, rhs);
        add({{"op_type", pystr(op_type)}, {"wrt", wrt}, {"rule", rule}, {"canonical", canonical_limited(rule)},
             {"is_operator_form", pybool(true)}, {"coefficient", safe_simplify(coeff)},
             {"operator_variant", applied ? nb::borrow(variant) : none()}, {"closure_type", pystr(closure)},
             {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    void direct_rule(handle lhs, handle coeff, const char* op_type, handle wrt, handle shift = handle()) {
        object rhs = check(PyNumber_Multiply(coeff.ptr(), op_applied().ptr()));
        object rule = sp_attr("Eq")(lhs, rhs);
        add({{"op_type", pystr(op_type)}, {"wrt", wrt}, {"rule", rule}, {"canonical", canonical_limited(rule)},
             {"is_operator_form", pybool(true)}, {"coefficient", coeff}, {"operator_variant", op_applied()},
             {"closure_type", pystr("closed")}, {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    void plain(const char* op_type, handle wrt, handle rule, handle canonical, handle shift = handle()) {
        add({{"op_type", pystr(op_type)}, {"wrt", wrt}, {"rule", rule}, {"canonical", canonical},
             {"is_operator_form", pybool(false)}, {"closure_type", pystr("open")},
             {"parameter_shift", shift.is_valid() ? nb::borrow(shift) : none()}});
    }

    // The parameters with the one equal to `p` replaced by `value`.
    object params_with(handle p, handle value) const {
        object out = check(PyList_New(0));
        Items ps(params);
        for (Py_ssize_t i = 0; i < ps.size(); ++i) append(out, equal(ps[i], p) ? value : ps[i]);
        return out;
    }

    // Runs one family item; a failure or time-out is reported with `verbose` and skipped.
    template <class F>
    void family(F&& body, const std::function<object()>& message) {
        if (!attempt(body) && verbose) builtin("print")(message());
    }

    object fit(handle result) const {
        return run_with_timeout(state().anti_unify_with_operator, 3,
                                nb::make_tuple(result, op_expr, params));
    }
};

object dedupe(handle items) {
    object by_key = check(PyDict_New());
    Items all(items);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        object key = get_attr(all[i], "canonical");
        if (!check_status(PyDict_Contains(by_key.ptr(), key.ptr())))
            check_status(PyDict_SetItem(by_key.ptr(), key.ptr(), all[i].ptr()));
    }
    return check(PySequence_List(check(PyDict_Values(by_key.ptr())).ptr()));
}

void short_path(Generation& g) {
    Items ps(g.params);
    object derivative = sp_attr("Derivative");
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        attempt([&] {
            object d1 = sp_attr("diff")(g.op_expr, ps[i]);
            if (equal(d1, pyint(0))) return;
            g.direct_rule(derivative(g.op_applied(), ps[i]), fast_coeff(d1, g.op_expr), "derivative", str_of(ps[i]));
        });
    }
    object pow = sp_attr("Pow");
    object nodes = check(PyList_New(0));
    {
        object it = check(PyObject_GetIter(sp_attr("preorder_traversal")(g.op_expr).ptr()));
        while (object node = nb::steal(PyIter_Next(it.ptr())))
            if (is_instance(node, pow)) append(nodes, node);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    Items powers(nodes);
    for (Py_ssize_t k = 0; k < powers.size(); ++k) {
        object exponent = get_attr(powers[k], "exp");
        if (!is_instance(exponent, sp_attr("Symbol")) ||
            !check_status(PySequence_Contains(g.params.ptr(), exponent.ptr())))
            continue;
        object base = get_attr(powers[k], "base");
        for (int s : {-1, 1}) {
            attempt([&] {
                object shifted = check(PyNumber_Add(exponent.ptr(), pyint(s).ptr()));
                object lhs = Generation::call(g.Op, g.params_with(exponent, shifted));
                g.direct_rule(lhs, check(PyNumber_Power(base.ptr(), pyint(s).ptr(), Py_None)), "parameter_recursion",
                              str_of(exponent), pyint(s));
            });
        }
    }
    attempt([&] {
        object squared = check(PyNumber_Power(g.op_applied().ptr(), pyint(2).ptr(), Py_None));
        object rule = sp_attr("Eq")(squared, pow(g.op_expr, 2, nb::arg("evaluate") = false));
        g.plain("power_2", none(), rule, canonicalize_variables(rule));
    });
}

void full_path(Generation& g) {
    Items ps(g.params);
    object simplify = sp_attr("simplify");
    auto message = [](const char* head, handle p, const char* tail) {
        return [=]() { return concat({pystr(head), str_of(p), pystr(tail)}); };
    };
    // First derivatives.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family([&] {
            object d1 = run_with_timeout(sp_attr("diff"), 3, nb::make_tuple(g.op_expr, p));
            object fitted = g.fit(d1);
            object lhs = sp_attr("Derivative")(g.op_applied(), p);
            if (!truth(item(fitted, 0))) {
                g.plain("derivative", str_of(p), sp_attr("Eq")(lhs, d1), str_of(sp_attr("Eq")(lhs, d1)));
                return;
            }
            object coeff = item(fitted, 1), variant = item(fitted, 2);
            object shift = none();
            if (!coeff.is_none() && !variant.is_none()) {
                for (Py_ssize_t j = 0; j < ps.size(); ++j) {
                    if (!is_phi_like(ps[j])) continue;
                    for (int s : {-2, -1, 1, 2}) {
                        bool matched = false;
                        attempt([&] {
                            object mapping = check(PyDict_New());
                            check_status(PyDict_SetItem(mapping.ptr(), ps[j].ptr(),
                                                        check(PyNumber_Add(ps[j].ptr(), pyint(s).ptr())).ptr()));
                            object diff = check(PyNumber_Subtract(
                                variant.ptr(), get_attr(g.op_expr, "xreplace")(mapping).ptr()));
                            matched = equal(run_with_timeout(simplify, 1, nb::make_tuple(diff)), pyint(0));
                        });
                        if (matched) {
                            shift = pyint(s);
                            break;
                        }
                    }
                }
            }
            g.operator_rule(lhs, coeff, variant, "derivative", str_of(p), "closed", shift);
        }, message("Derivative w.r.t ", p, " timed out or failed"));
    }
    // Second derivatives and integrals: fitted, or kept as plain expressions.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family([&] {
            object d2 = run_with_timeout(sp_attr("diff"), 3, nb::make_tuple(g.op_expr, p, 2));
            object fitted = g.fit(d2);
            object lhs = sp_attr("Derivative")(g.op_applied(), p, 2);
            if (truth(item(fitted, 0)))
                g.operator_rule(lhs, item(fitted, 1), item(fitted, 2), "second_derivative", str_of(p));
            else
                g.plain("second_derivative", str_of(p), sp_attr("Eq")(lhs, d2), str_of(sp_attr("Eq")(lhs, d2)));
        }, message("Second derivative w.r.t ", p, " timed out or failed"));
    }
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        g.family([&] {
            object i1 = run_with_timeout(sp_attr("integrate"), 3, nb::make_tuple(g.op_expr, p));
            object fitted = g.fit(i1);
            object lhs = sp_attr("Integral")(g.op_applied(), nb::make_tuple(p));
            if (truth(item(fitted, 0)))
                g.operator_rule(lhs, item(fitted, 1), item(fitted, 2), "integral_closure", str_of(p));
            else
                g.plain("integral", str_of(p), sp_attr("Eq")(lhs, i1), str_of(sp_attr("Eq")(lhs, i1)));
        }, message("Integral w.r.t ", p, " timed out or failed"));
    }
    // Product and power closure: does Op(p)·Op(p), or Op(p)², equal Op(p²)?
    object squared_params = check(PyList_New(0));
    object square_map = check(PyDict_New());
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        object sq = check(PyNumber_Power(ps[i].ptr(), pyint(2).ptr(), Py_None));
        append(squared_params, sq);
        check_status(PyDict_SetItem(square_map.ptr(), ps[i].ptr(), sq.ptr()));
    }
    struct Closure {
        const char* closed_type;
        const char* open_type;
        const char* failure;
        bool product;
    };
    for (const Closure& c : {Closure{"composition_closure", "product", "Product closure timed out or failed", true},
                             Closure{"operator_scaling", "power_2", "Power closure timed out or failed", false}}) {
        g.family([&] {
            object value = c.product ? check(PyNumber_Multiply(g.op_expr.ptr(), g.op_expr.ptr()))
                                     : check(PyNumber_Power(g.op_expr.ptr(), pyint(2).ptr(), Py_None));
            object simplified = run_with_timeout(state().safe_simplify, 3, nb::make_tuple(value));
            object test = get_attr(g.op_expr, "xreplace")(square_map);
            object lhs = c.product ? check(PyNumber_Multiply(g.op_applied().ptr(), g.op_applied().ptr()))
                                   : check(PyNumber_Power(g.op_applied().ptr(), pyint(2).ptr(), Py_None));
            if (equal(safe_simplify(check(PyNumber_Subtract(test.ptr(), simplified.ptr()))), pyint(0))) {
                object rule = sp_attr("Eq")(lhs, Generation::call(g.Op, squared_params));
                g.add({{"op_type", pystr(c.closed_type)}, {"wrt", none()}, {"rule", rule},
                       {"canonical", canonicalize_variables(rule)}, {"is_operator_form", pybool(true)},
                       {"closure_type", pystr("closed")}});
            } else {
                object rule = sp_attr("Eq")(lhs, simplified);
                g.plain(c.open_type, none(), rule, str_of(rule));
            }
        }, [&]() { return pystr(c.failure); });
    }
    // Parameter recursion: a wildcard parameter shifted by one.
    for (Py_ssize_t i = 0; i < ps.size(); ++i) {
        handle p = ps[i];
        if (!is_phi_like(p)) continue;
        for (int s : {-1, 1}) {
            g.family([&] {
                object moved = check(PyNumber_Add(p.ptr(), pyint(s).ptr()));
                object mapping = check(PyDict_New());
                check_status(PyDict_SetItem(mapping.ptr(), p.ptr(), moved.ptr()));
                object shifted = get_attr(g.op_expr, "xreplace")(mapping);
                object fitted = g.fit(shifted);
                object lhs = Generation::call(g.Op, g.params_with(p, moved));
                if (truth(item(fitted, 0))) {
                    g.operator_rule(lhs, item(fitted, 1), item(fitted, 2), "parameter_recursion", str_of(p), "closed",
                                    pyint(s));
                } else {
                    object rule = sp_attr("Eq")(lhs, shifted);
                    g.plain("parameter_recursion", str_of(p), rule, str_of(rule), pyint(s));
                }
            }, [&]() {
                return concat({pystr("Parameter shift "), str_of(p), pystr("\xc2\xb1"), str_of(pyint(s)),
                               pystr(" timed out or failed")});
            });
        }
    }
}

object generate_invariants(Generation& g) {
    g.Op = sp_attr("Function")(pystr("Op"));
    if (has_symbolic_power(g.op_expr))
        short_path(g);
    else
        full_path(g);
    return dedupe(g.invariants);
}

// ---- grouping -----------------------------------------------------------------------------

object deterministic_groups(handle invariants) {
    object groups = check(PyDict_New());
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        object key = item(get_attr(all[i], "op_type").attr("split")(pystr("_")), 0);
        PyObject* group = PyDict_GetItemWithError(groups.ptr(), key.ptr());
        if (!group) {
            if (PyErr_Occurred()) throw nb::python_error();
            object fresh = kwargs_dict({{"group_name", key.attr("capitalize")()}, {"summary", pystr("")},
                                        {"examples", check(PyList_New(0))}});
            check_status(PyDict_SetItem(groups.ptr(), key.ptr(), fresh.ptr()));
            group = fresh.ptr();
        }
        append(item(group, pystr("examples")), str_of(get_attr(all[i], "rule")));
    }
    Items keys(check(PyDict_Keys(groups.ptr())));
    for (Py_ssize_t i = 0; i < keys.size(); ++i) {
        const std::string key = utf8(keys[i]);
        object summary = key == "derivative" ? pystr("Differentiation produces scaled/self-similar operator variants.")
                         : key == "power"    ? pystr("Powers map to parameter-scaled variants when possible.")
                         : key == "product"  ? pystr("Products/compositions may close to operator-like families.")
                                             : concat({pystr("Family for "), keys[i], pystr(" invariants.")});
        check_status(PyObject_SetItem(item(groups, keys[i]).ptr(), pystr("summary").ptr(), summary.ptr()));
    }
    return groups;
}

object grouping_prompt(handle invariants) {
    object items = check(PyList_New(0));
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i)
        append(items, kwargs_dict({{"op_type", get_attr(all[i], "op_type")}, {"wrt", get_attr(all[i], "wrt")},
                                   {"rule", str_of(get_attr(all[i], "rule"))},
                                   {"canonical", str_of(get_attr(all[i], "canonical"))}}));
    object rules = check(PyList_New(0));
    if (PyList_GET_SIZE(items.ptr()) > 0) append(rules, item(PyList_GET_ITEM(items.ptr(), 0), pystr("rule")));
    object group = kwargs_dict({{"name", pystr("Derivative family")},
                                {"summary", pystr("Derivatives that produce scaled versions of the operator")},
                                {"rules", rules}});
    object groups = check(PyList_New(0));
    append(groups, group);
    object example = kwargs_dict({{"groups", groups}});
    object parts = check(PyList_New(0));
    append(parts, pystr(kGroupingPrompt));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        handle it = PyList_GET_ITEM(items.ptr(), i);
        append(parts, concat({pystr("["), str_of(pyint(i)), pystr("] op_type="), str_of(item(it, pystr("op_type"))),
                              pystr("; wrt="), str_of(item(it, pystr("wrt"))), pystr("; rule="),
                              str_of(item(it, pystr("rule"))), pystr("\n")}));
    }
    object json = import_module("json");
    append(parts, concat({pystr("\nExample output:\n"), json.attr("dumps")(example, nb::arg("indent") = 2),
                          pystr("\n\nRespond with JSON only.")}));
    return check(PyUnicode_Join(pystr("").ptr(), parts.ptr()));
}

// The object or array span of a model answer (an object preferred), or "".
object answer_json(handle text) {
    object cleaned = strip_fences(text);
    for (auto [opener, closer] : {std::pair{"{", "}"}, std::pair{"[", "]"}}) {
        object start = cleaned.attr("find")(pystr(opener)), end = cleaned.attr("rfind")(pystr(closer));
        if (!equal(start, pyint(-1)) && !equal(end, pyint(-1)) && truth(compare(end, start, Py_GT)))
            return item(cleaned, check(PySlice_New(start.ptr(), check(PyNumber_Add(end.ptr(), pyint(1).ptr())).ptr(), nullptr)));
    }
    return pystr("");
}

object model_groups(handle invariants, handle llm_client) {
    object cleaned = answer_json(llm_client(grouping_prompt(invariants)));
    if (!truth(cleaned.attr("strip")())) raise(PyExc_ValueError, "Empty response");
    object data = PyUnicode_Check(cleaned.ptr()) ? import_module("json").attr("loads")(cleaned) : cleaned;
    object groups = data.attr("get")(pystr("groups"));
    if (!truth(groups)) groups = check(PyList_New(0));
    object semantic = check(PyDict_New()), rule_to_group = check(PyDict_New());
    object it = check(PyObject_GetIter(groups.ptr()));
    while (object g = nb::steal(PyIter_Next(it.ptr()))) {
        object gname = g.attr("get")(pystr("name"));
        // A family key must be a name: without one the answer is unusable.
        if (!PyUnicode_Check(gname.ptr())) raise(PyExc_ValueError, "a group has no 'name'");
        object rules = g.attr("get")(pystr("rules"), check(PyList_New(0)));
        check_status(PyDict_SetItem(semantic.ptr(), gname.ptr(),
                                    kwargs_dict({{"group_name", gname}, {"summary", g.attr("get")(pystr("summary"), pystr(""))},
                                                 {"examples", rules}}).ptr()));
        object rit = check(PyObject_GetIter(g.attr("get")(pystr("rules"), check(PyList_New(0))).ptr()));
        while (object r = nb::steal(PyIter_Next(rit.ptr())))
            check_status(PyDict_SetItem(rule_to_group.ptr(), str_of(r).ptr(), gname.ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        PyObject* group = PyDict_GetItemWithError(rule_to_group.ptr(), str_of(get_attr(all[i], "rule")).ptr());
        if (group) check_status(PyObject_SetAttrString(all[i].ptr(), "semantic_group", group));
        else if (PyErr_Occurred()) throw nb::python_error();
    }
    return semantic;
}

// ---- summary and report -------------------------------------------------------------------

object summary_text(handle name, handle invariants, handle semantic) {
    long n_operator = 0, n_closed = 0, n_recursion = 0;
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        n_operator += truth(get_attr(all[i], "is_operator_form"));
        n_closed += equal(get_attr(all[i], "closure_type"), pystr("closed"));
        n_recursion += equal(get_attr(all[i], "op_type"), pystr("parameter_recursion"));
    }
    object parts = check(PyList_New(0));
    append(parts, concat({pystr("Concept "), str_of(name), pystr(": discovered "), str_of(pyint(all.size())),
                          pystr(" invariants across "), str_of(pyint(length(semantic))), pystr(" families.")}));
    if (n_operator) append(parts, concat({str_of(pyint(n_operator)), pystr(" invariants expressed as operator laws.")}));
    if (n_closed) append(parts, concat({pystr("Closed under "), str_of(pyint(n_closed)), pystr(" operations.")}));
    if (n_recursion) append(parts, concat({str_of(pyint(n_recursion)), pystr(" parameter recursion patterns.")}));
    return check(PyUnicode_Join(pystr(" ").ptr(), parts.ptr()));
}

object closure_keys(handle semantic) {
    object out = check(PyList_New(0));
    Items keys(check(PyDict_Keys(semantic.ptr())));
    for (Py_ssize_t i = 0; i < keys.size(); ++i) {
        object lower = keys[i].attr("lower")();
        for (const char* word : {"product", "composition", "power", "shift", "closure"})
            if (check_status(PySequence_Contains(lower.ptr(), pystr(word).ptr()))) {
                append(out, keys[i]);
                break;
            }
    }
    return out;
}

// `print(*args)`; false when the console cannot encode the text.
bool print_encodable(std::initializer_list<handle> args) {
    try {
        print(args);
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        return false;
    }
}

void print_report(handle concept_obj) {
    object params = get_attr(concept_obj, "params");
    object names = check(PyList_New(0));
    Items ps(params);
    for (Py_ssize_t i = 0; i < ps.size(); ++i) append(names, str_of(ps[i]));
    print_encodable({get_attr(concept_obj, "concept_summary")}) &&
        print_encodable({concat({pystr("Operator definition: "), str_of(get_attr(concept_obj, "operator_definition"))})}) &&
        print_encodable({concat({pystr("Parameters: "), str_of(names)})});
    print({pystr("Families:")});
    Items families(check(PyDict_Items(get_attr(concept_obj, "families").ptr())));
    for (Py_ssize_t i = 0; i < families.size(); ++i) {
        auto [key, info] = unpack2(families[i]);
        print({concat({pystr("  - "), str_of(key), pystr(": "), str_of(info.attr("get")(pystr("summary"), pystr("")))})});
        Items examples(info.attr("get")(pystr("examples"), check(PyList_New(0))));
        for (Py_ssize_t k = 0; k < examples.size(); ++k) print({concat({pystr("      * "), str_of(examples[k])})});
    }
    print({pystr("Invariants (operator form prioritised):")});
    object key = check(PyRun_String("lambda x: (not x.is_operator_form, x.op_type)", Py_eval_input,
                                    state().module_dict.ptr(), state().module_dict.ptr()));
    Items ordered(builtin("sorted")(get_attr(concept_obj, "invariants"), nb::arg("key") = key));
    for (Py_ssize_t i = 0; i < ordered.size(); ++i) {
        handle inv = ordered[i];
        object closure = get_attr(inv, "closure_type"), shift = get_attr(inv, "parameter_shift");
        object wrt = get_attr(inv, "wrt");
        print({concat({pystr(truth(get_attr(inv, "is_operator_form")) ? "  [OP] " : "  [EXP] "),
                       format(get_attr(inv, "op_type"), "20s"), pystr(" wrt="),
                       format(truth(wrt) ? wrt : pystr("None"), "6s"),
                       equal(closure, pystr("none")) ? pystr("") : concat({pystr(" ["), str_of(closure), pystr("]")}),
                       shift.is_none() ? pystr("") : concat({pystr(" (shift: "), str_of(shift), pystr(")")})})});
        object rule = str_of(get_attr(inv, "rule"));
        if (!print_encodable({concat({pystr("      "), rule})})) {
            object safe = rule.attr("encode")(pystr("utf-8"), nb::arg("errors") = "replace").attr("decode")();
            print({concat({pystr("      "), safe})});
        }
    }
    print({concat({pystr("Closure properties: "), str_of(get_attr(concept_obj, "closure_properties"))})});
}

object discover(handle report, handle llm_client, bool verbose) {
    print({report});
    object module = state().module;
    object Invariant = make_record(module, invariant_record, "discover_concept.<locals>.Invariant");
    object Concept = make_record(module, concept_record, "discover_concept.<locals>.Concept");

    object data = parse_report(report);
    object name = item(data, pystr("name")), definition = item(data, pystr("definition"));
    object param_names = data.attr("get")(pystr("params"));
    object op_expr = PyUnicode_Check(definition.ptr())         ? parse_expression(definition)
                     : is_instance(definition, sp_attr("Expr")) ? definition
                                                                : parse_expression(str_of(definition));
    object params;
    if (param_names.is_none()) {
        object key = check(PyRun_String("lambda s: str(s)", Py_eval_input, state().module_dict.ptr(), state().module_dict.ptr()));
        params = builtin("sorted")(get_attr(op_expr, "free_symbols"), nb::arg("key") = key);
    } else {
        params = check(PyList_New(0));
        Items names(param_names);
        for (Py_ssize_t i = 0; i < names.size(); ++i) {
            // A colon asks `symbols` for a range of names ("x0:100000000"): refused, as a
            // report may come from a file.
            if (PyUnicode_Check(names[i].ptr()) && PyUnicode_FindChar(names[i].ptr(), ':', 0, PY_SSIZE_T_MAX, 1) >= 0)
                raise(PyExc_ValueError, "parameter name '" + utf8(names[i]) + "' holds a range (':'), which is not allowed");
            append(params, sp_attr("symbols")(names[i]));
        }
    }

    Generation g{Invariant, none(), op_expr, params, verbose};
    object invariants = generate_invariants(g);

    object semantic;
    if (llm_client.is_none()) {
        semantic = deterministic_groups(invariants);
    } else {
        try {
            semantic = model_groups(invariants, llm_client);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (verbose) builtin("print")(concat({pystr("LLM grouping failed, falling back: "), str_of(e.value())}));
            semantic = deterministic_groups(invariants);
        }
    }
    object concept_obj = Concept(nb::arg("name") = name, nb::arg("operator_definition") = op_expr,
                                 nb::arg("params") = params, nb::arg("invariants") = invariants,
                                 nb::arg("families") = semantic, nb::arg("closure_properties") = closure_keys(semantic),
                                 nb::arg("concept_summary") = summary_text(name, invariants, semantic));
    print_report(concept_obj);
    return concept_obj;
}

// Every time-limited step of the call, nested ones included, is stopped and joined before the
// call returns or raises.
}  // namespace

object discover_concept(handle report, handle llm_client, handle verbose) {
    StepScope steps;
    object concept_obj;
    try {
        concept_obj = discover(report, llm_client, truth(verbose));
    } catch (nb::python_error&) {
        steps.close();
        throw;
    } catch (std::exception&) {
        steps.close();
        throw;
    }
    steps.close();
    return concept_obj;
}

}  // namespace kt
