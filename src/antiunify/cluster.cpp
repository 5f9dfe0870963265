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

bool is_valid_generalization(handle expr, double max_wildcard_density) {
    return !is_wildcard(expr) && !(wildcard_density(expr) > max_wildcard_density);
}

}  // namespace kt
