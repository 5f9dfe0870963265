#include "runtime/tree_walk.hpp"

#include <vector>

#include "runtime/state.hpp"

namespace kt {

namespace {

// `hasattr(h, name)`, with errors other than AttributeError raised.
bool has_attr(handle h, handle name) {
    PyObject* value = PyObject_GetAttr(h.ptr(), name.ptr());
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}

bool preorder_walk(handle node, NodeTypes& types, handle out) {
    RecursionGuard guard(" while walking an expression");
    append(out, node);
    const NodeType type = types(node);
    if (!type.basic || type.argset) return false;
    if (type.instance_dict && has_attr(node, state().s_argset)) return false;
    object args = node_args(node, types);
    if (!PyTuple_CheckExact(args.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); ++i)
        if (!preorder_walk(PyTuple_GET_ITEM(args.ptr(), i), types, out)) return false;
    return true;
}

// Counting needs no `_argset` check: the set holds the same arguments as `args`.
bool count_walk(handle node, NodeTypes& types, long long& count) {
    RecursionGuard guard(" while counting nodes");
    if (!types(node).basic) return false;
    ++count;
    object args = node_args(node, types);
    if (!PyTuple_CheckExact(args.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); ++i)
        if (!count_walk(PyTuple_GET_ITEM(args.ptr(), i), types, count)) return false;
    return true;
}

}  // namespace

namespace {

struct Known {
    object cls;
    unsigned int version;
    NodeType facts;
    bool argset_known;
};

constexpr size_t kMaxKnown = 256;
std::vector<Known>* g_known = nullptr;  // never freed, like the module's own tables

NodeType facts_of(handle node) {
    const State& n = state();
    PyTypeObject* type = Py_TYPE(node.ptr());
    NodeType facts{type,  is_instance(node, state().Basic), false, false,
                   false, type->tp_dictoffset != 0,         false};
    if (facts.basic) {
        facts.own_args = class_lookup(type, state().s_args) != n.basic_args.ptr();
        facts.own_xreplace = class_lookup(type, n.s_xreplace_step) != n.basic_xreplace_step.ptr();
        facts.log = is_instance(node, n.log);
    }
    return facts;
}

}  // namespace

PyObject* class_lookup(PyTypeObject* type, handle name) { return _PyType_Lookup(type, name.ptr()); }

NodeType NodeTypes::operator()(handle node) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    const unsigned int version = type->tp_version_tag;
    if (!g_known) g_known = new std::vector<Known>();
    // Looked up afresh after any call into Python, which may add entries and move the table.
    auto find = [type]() -> Known* {
        for (Known& known : *g_known)
            if ((PyTypeObject*)known.cls.ptr() == type) return &known;
        return nullptr;
    };
    if (const Known* known = find(); known && tagged && known->version == version &&
                                     (known->argset_known || !with_argset_ || !known->facts.basic))
        return known->facts;

    NodeType facts = facts_of(node);
    if (with_argset_ && facts.basic) facts.argset = class_lookup(type, state().s_argset) != nullptr;
    if (!tagged) return facts;
    if (Known* known = find()) {
        *known = {known->cls, version, facts, with_argset_};
    } else if (g_known->size() < kMaxKnown) {
        g_known->push_back({nb::borrow(handle((PyObject*)type)), version, facts, with_argset_});
    }
    return facts;
}

object node_args(handle node, NodeTypes& types) {
    const NodeType type = types(node);
    return get_attr(node, type.basic && !type.own_args ? state().s_args_slot : state().s_args);
}

object preorder_nodes(handle expr) {
    NodeTypes types(true);
    object out = new_list();
    if (preorder_walk(expr, types, out)) return out;
    return check(PySequence_List(state().preorder_traversal(expr).ptr()));
}

long long count_nodes(handle expr) {
    NodeTypes types;
    long long count = 0;
    if (count_walk(expr, types, count)) return count;
    count = 0;
    object it = check(PyObject_GetIter(state().preorder_traversal(expr).ptr()));
    while (object node = nb::steal(PyIter_Next(it.ptr()))) ++count;
    if (PyErr_Occurred()) throw nb::python_error();
    return count;
}

}  // namespace kt
