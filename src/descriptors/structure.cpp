#include "descriptors/structure.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/rename.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

namespace {

Items children(handle expr) {
    return Items(get_attr(expr, state().s_args), "expr.args is not a sequence");
}

// v<index>, or __KLTN_<source id>_v<index> in the namespace of one source expression.
std::string canonical_name(handle source_id, size_t index) {
    if (source_id.is_none()) return numbered("v", (long long)index);
    object formatted = check(PyObject_Format(source_id.ptr(), nullptr));
    return "__KLTN_" + std::string(utf8(formatted)) + "_" + numbered("v", (long long)index);
}

object new_symbol(const std::string& name) { return state().Symbol(pystr(name)); }

}  // namespace

long depth(handle expr) {
    RecursionGuard guard(" while computing the depth of an expression");
    Items args = children(expr);
    if (args.size() == 0) return 0;
    long deepest = 0;
    for (Py_ssize_t i = 0; i < args.size(); ++i) deepest = std::max(deepest, depth(args[i]));
    return 1 + deepest;
}

bool is_unary_func(handle expr) {
    if (!is_instance(expr, state().Function)) return false;
    object args = get_attr(expr, state().s_args);
    return length(args) == 1;
}

long unary_depth(handle expr) {
    RecursionGuard guard(" while computing the unary depth of an expression");
    Items args = children(expr);
    long deepest = 0;
    for (Py_ssize_t i = 0; i < args.size(); ++i) deepest = std::max(deepest, unary_depth(args[i]));
    return is_unary_func(expr) ? 1 + deepest : deepest;
}

static void collect_operators(handle expr, handle out) {
    RecursionGuard guard(" while listing the operators of an expression");
    Items args = children(expr);
    if (args.size() > 0) check_status(PyList_Append(out.ptr(), class_name(expr).ptr()));
    for (Py_ssize_t i = 0; i < args.size(); ++i) collect_operators(args[i], out);
}

object dfs_operators(handle expr) {
    object out = check(PyList_New(0));
    collect_operators(expr, out);
    return out;
}

bool repeated_var(handle expr) {
    object args = get_attr(expr, state().s_args);
    if (length(args) < 2) return false;
    Items items(args);
    std::vector<object> symbols;
    for (Py_ssize_t i = 0; i < items.size(); ++i)
        symbols.push_back(get_attr(items[i], state().s_free_symbols));
    for (size_t i = 0; i < symbols.size(); ++i)
        for (size_t j = i + 1; j < symbols.size(); ++j)
            if (truth(check(PyNumber_And(symbols[i].ptr(), symbols[j].ptr())))) return true;
    return false;
}

object canonicalize_expr(handle expr, handle source_id) {
    return rename_in_order(expr, is_wildcard,
                           [&](size_t k) { return canonical_name(source_id, k); });
}

object extract_structure(handle expr) {
    object nodes = preorder_nodes(expr);
    object out = check(PyDict_New());
    auto put = [&](const char* key, const object& value) {
        check_status(PyDict_SetItemString(out.ptr(), key, value.ptr()));
    };
    put("root_type", class_name(expr));
    put("depth", pyint(depth(expr)));
    put("n_nodes", pyint(PyList_GET_SIZE(nodes.ptr())));
    put("n_vars", pyint(length(get_attr(expr, state().s_free_symbols))));
    put("repeated_var", pybool(repeated_var(expr)));
    put("unary_depth", pyint(unary_depth(expr)));
    put("operators", dfs_operators(expr));
    return out;
}

object to_zss(handle expr) {
    RecursionGuard guard(" while building a labelled tree");
    Items args = children(expr);
    object label = args.size() > 0 ? class_name(expr) : printed(expr);
    object node = state().zss.attr("Node")(label);
    object addkid = node.attr("addkid");
    for (Py_ssize_t i = 0; i < args.size(); ++i) addkid(to_zss(args[i]));
    return node;
}

// Wildcards take the first v<k> names that no symbol of the formula already has: a formula
// whose variables are v0, v1 must not turn v0*φ1 into v0**2.
object normalize_wildcards(handle expr) {
    object mapping = check(PyDict_New());
    Items nodes(preorder_nodes(expr));
    object taken = check(PySet_New(nullptr));
    for (Py_ssize_t k = 0; k < nodes.size(); ++k)
        if (is_instance(nodes[k], state().Symbol) && !is_wildcard(nodes[k]))
            check_status(PySet_Add(taken.ptr(), printed(nodes[k]).ptr()));
    size_t counter = 0;
    for (Py_ssize_t k = 0; k < nodes.size(); ++k) {
        handle node = nodes[k];
        if (!is_wildcard(node)) continue;
        if (check_status(PyDict_Contains(mapping.ptr(), node.ptr()))) continue;
        while (check_status(
            PySet_Contains(taken.ptr(), pystr(numbered("v", (long long)counter)).ptr())))
            ++counter;
        check_status(PyDict_SetItem(mapping.ptr(), node.ptr(),
                                    new_symbol(numbered("v", (long long)counter++)).ptr()));
    }
    return rename_symbols(expr, mapping);
}

}  // namespace kt
