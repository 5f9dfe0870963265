#include "runtime/symbols.hpp"

#include "runtime/rename.hpp"
#include "runtime/state.hpp"
#include "runtime/tree_walk.hpp"

namespace kt {

bool is_wildcard(handle expr) {
    return is_instance(expr, state().Symbol) && printed_starts_with(expr, "φ");
}

object rename_in_order(handle expr, bool (*keep)(handle symbol),
                       const std::function<std::string(size_t k)>& name) {
    object seen = new_list();
    Items nodes(preorder_nodes(expr));
    for (Py_ssize_t k = 0; k < nodes.size(); ++k) {
        handle node = nodes[k];
        if (!is_instance(node, state().Symbol) || keep(node)) continue;
        if (!check_status(PySequence_Contains(seen.ptr(), node.ptr()))) append(seen, node);
    }
    object mapping = check(PyDict_New());
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(seen.ptr()); ++k)
        check_status(PyDict_SetItem(mapping.ptr(), PyList_GET_ITEM(seen.ptr(), k),
                                    state().Symbol(pystr(name((size_t)k))).ptr()));
    return rename_symbols(expr, mapping);
}

}  // namespace kt
