#include "antiunify/cluster.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "antiunify/anti_unify.hpp"
#include "descriptors/structure.hpp"
#include "runtime/rename.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

object anti_unify_cluster(handle exprs, bool literal_scores) {
    if (length(exprs) == 0) return none();
    object unique =
        check(PySequence_List(state().builtins.attr("dict").attr("fromkeys")(exprs).ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(unique.ptr());
    if (n < 2) return none();
    std::vector<object> tagged;
    for (Py_ssize_t i = 0; i < n; ++i)
        tagged.push_back(canonicalize_expr(PyList_GET_ITEM(unique.ptr(), i), pyint(i)));
    object counter = check(PyList_New(0));
    check_status(PyList_Append(counter.ptr(), pyint(0).ptr()));
    object memo = check(PyDict_New()), variable_memo = check(PyDict_New());
    Scorer score(literal_scores);
    Fold fold{counter, memo, variable_memo, score};
    fold.private_memo = true;  // the memo dict never leaves this call
    object result = tagged[0];
    for (size_t i = 1; i < tagged.size(); ++i) result = anti_unify(result, tagged[i], fold);
    return result;
}

double wildcard_density(handle expr) {
    object nodes = preorder_nodes(expr);
    const Py_ssize_t n = PyList_GET_SIZE(nodes.ptr());
    if (n == 0) return 0.0;
    Py_ssize_t wildcards = 0;
    for (Py_ssize_t i = 0; i < n; ++i) wildcards += is_wildcard(PyList_GET_ITEM(nodes.ptr(), i));
    return (double)wildcards / (double)n;
}

object display_canonical_expr(handle expr) {
    object mapping = check(PyDict_New());
    object it = check(PyObject_GetIter(get_attr(expr, state().s_free_symbols).ptr()));
    while (object sym = nb::steal(PyIter_Next(it.ptr()))) {
        object name = printed(sym);
        std::string text = utf8(name);
        if (text.substr(0, 7) != "__KLTN_") continue;
        const size_t at = text.rfind("_v");
        if (at == std::string_view::npos) continue;
        object index = pystr(text.substr(at + 2));
        if (!truth(index.attr("isdigit")())) continue;
        object fresh = state().Symbol(check(PyUnicode_Concat(pystr("v").ptr(), index.ptr())));
        check_status(PyDict_SetItem(mapping.ptr(), sym.ptr(), fresh.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return rename_symbols(expr, mapping);
}

namespace {

object merged(handle expr) {
    RecursionGuard guard(" while merging wildcards");
    Items args(get_attr(expr, state().s_args));
    if (args.size() == 0) return nb::borrow(expr);
    const std::string cls = class_name_std(expr);
    const bool joins = cls == "Add" || cls == "Mul";
    std::vector<object> parts;
    bool changed = false, wildcard_kept = false;
    for (Py_ssize_t i = 0; i < args.size(); ++i) {
        object part = merged(args[i]);
        changed |= part.ptr() != args[i].ptr();
        if (joins && is_wildcard(part)) {
            if (wildcard_kept) {
                changed = true;
                continue;
            }
            wildcard_kept = true;
        }
        parts.push_back(std::move(part));
    }
    if (!changed) return nb::borrow(expr);
    object args_tuple = check(PyTuple_New((Py_ssize_t)parts.size()));
    for (size_t k = 0; k < parts.size(); ++k)
        PyTuple_SET_ITEM(args_tuple.ptr(), (Py_ssize_t)k, Py_NewRef(parts[k].ptr()));
    return check(PyObject_CallObject(get_attr(expr, "func").ptr(), args_tuple.ptr()));
}

// The wildcards renamed φ1, φ2, ... in the order of their numbers.
object renumbered(handle expr) {
    std::vector<std::pair<long long, object>> wildcards;
    object it = check(PyObject_GetIter(get_attr(expr, state().s_free_symbols).ptr()));
    while (object sym = nb::steal(PyIter_Next(it.ptr()))) {
        if (!is_wildcard(sym)) continue;
        const std::string name = utf8(printed(sym));
        const std::string digits = name.substr(std::string("\u03c6").size());
        long long k = 0;
        for (char ch : digits)
            k = ch >= '0' && ch <= '9' && k < (1LL << 40) ? k * 10 + (ch - '0') : k;
        wildcards.emplace_back(k, std::move(sym));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    std::sort(wildcards.begin(), wildcards.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    object mapping = check(PyDict_New());
    for (size_t i = 0; i < wildcards.size(); ++i)
        check_status(
            PyDict_SetItem(mapping.ptr(), wildcards[i].second.ptr(),
                           state().Symbol(pystr(numbered("\u03c6", (long long)i + 1))).ptr()));
    return rename_symbols(expr, mapping);
}

}  // namespace

object merge_wildcards(handle expr) { return renumbered(merged(expr)); }

bool is_valid_generalization(handle expr, double max_wildcard_density) {
    return !is_wildcard(expr) && !(wildcard_density(expr) > max_wildcard_density);
}

}  // namespace kt
