// Walking sympy trees natively: per-call facts about node classes, the arguments of a node,
// the pre-order node list and the node count.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// What a walk needs to know of a node's class.
struct NodeType {
    PyTypeObject* type;
    bool basic;          // a sympy Basic
    bool own_args;       // overrides Basic's `args` property
    bool own_xreplace;   // overrides the per-node step of xreplace
    bool argset;         // the class has `_argset`, which preorder_traversal walks instead
                         // (looked up only by a table made for pre-order walks)
    bool instance_dict;  // instances may carry their own `_argset`
    bool log;            // a logarithm
};

// Facts about node classes. They are remembered across calls under the class's version tag,
// which Python changes whenever the class or a base is modified; the table keeps a reference
// to each class so that its address is never reused.
class NodeTypes {
public:
    explicit NodeTypes(bool with_argset = false) : with_argset_(with_argset) {}
    NodeType operator()(handle node);

private:
    bool with_argset_;
};

// The attribute `name` that instances of `type` find in the class hierarchy, borrowed; null
// when no class defines it. Unlike `getattr(type, name)` this never sees the metaclass (sympy's
// function classes answer `xreplace` themselves) and runs no Python code.
PyObject* class_lookup(PyTypeObject* type, handle name);

// `node.args`, read from the `_args` slot when the class keeps Basic's own property.
object node_args(handle node, NodeTypes& types);

// `list(sympy.preorder_traversal(expr))`, walked natively when every node is a sympy object.
object preorder_nodes(handle expr);

// `sum(1 for _ in sympy.preorder_traversal(expr))`.
long long count_nodes(handle expr);

}  // namespace kt
