#include "antiunify/cluster.hpp"

#include "antiunify/anti_unify.hpp"
#include "descriptors/structure.hpp"
#include "runtime/rename.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

object anti_unify_cluster(handle exprs, bool literal_scores) {
    if (length(exprs) == 0) return none();
    object unique = check(PySequence_List(
        state().builtins.attr("dict").attr("fromkeys")(exprs).ptr()));
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

const FuncDef wildcard_density_def{
    .name = "_wildcard_density",
    .params = {{"expr", "sp.Expr"}},
    .returns = "float",
    .doc = "\n"
           "    Fraction of an expression's nodes that are bare \xcf\x86-wildcards.\n"
           "    A formula close to 1.0 here carries almost no real structure \xe2\x80\x94\n"
           "    e.g. \xcf\x86" "1**\xcf\x86" "2 says nothing beyond 'something to the power of something'.\n"
           "    Used by BOTH _is_valid_generalization (pre-filter inside detect_structure)\n"
           "    and filter_candidates (gate 3) \xe2\x80\x94 see the threshold note below.\n"
           "    ",
    .impl = [](Args& a) { return pyfloat(wildcard_density(a[0])); },
};

const FuncDef is_valid_generalization_def{
    .name = "_is_valid_generalization",
    .params = {{"expr", "sp.Expr"},
               {"max_wildcard_density", "float", Check::Float, "MAX_WILDCARD_DENSITY"}},
    .returns = "bool",
    .doc = "\n"
           "    Reject obviously useless anti-unifications before behavioral testing.\n"
           "    This is a cheap PRE-filter inside detect_structure \xe2\x80\x94 it uses the same\n"
           "    threshold as filter_candidates's gate 3 so the two don't silently\n"
           "    disagree about what counts as \"too generic.\"\n"
           "    ",
    .impl = [](Args& a) {
        if (is_wildcard(a[0])) return pybool(false);
        return pybool(!(wildcard_density(a[0]) > a.real(1)));
    },
};

const FuncDef display_canonical_expr_def{
    .name = "_display_canonical_expr",
    .params = {{"expr", "sp.Expr"}},
    .returns = "sp.Expr",
    .doc = "\n"
           "    Convert internal source-specific variable names back to the\n"
           "    human-readable v0, v1, ... representation.\n"
           "    ",
    .impl = [](Args& a) { return display_canonical_expr(a[0]); },
};

const FuncDef anti_unify_cluster_def{
    .name = "anti_unify_cluster",
    .params = {{"exprs", "list[sp.Expr]", Check::List}},
    .returns = "sp.Expr | None",
    .impl = [](Args& a) { return anti_unify_cluster(a[0]); },
};

}  // namespace kt
