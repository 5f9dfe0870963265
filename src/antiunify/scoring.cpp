#include "antiunify/scoring.hpp"

#include "antiunify/pairs.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"

namespace kt {

namespace {

bool number_of(handle expr) { return truth(get_attr(expr, state().s_is_number)); }

using pairs::child_term;

}  // namespace

double structural_score_literal(handle a, handle b) {
    RecursionGuard guard(" while scoring expressions");
    if (equal(a, b)) return pairs::kEqual;
    if (is_wildcard(a) || is_wildcard(b)) return pairs::kWildcard;
    const bool a_num = number_of(a), b_num = number_of(b);
    if (a_num && b_num) return pairs::kNumbers;
    if (a_num != b_num) return pairs::kNumberAndOther;
    if (is_instance(a, state().Symbol) && is_instance(b, state().Symbol)) return pairs::kSymbols;
    if (!equal(get_attr(a, state().s_func), get_attr(b, state().s_func))) return pairs::kOtherHeads;
    Items xs(get_attr(a, state().s_args)), ys(get_attr(b, state().s_args));
    if (xs.size() != ys.size()) return pairs::kOtherArity;
    double score = pairs::kSameShape;
    for (Py_ssize_t k = 0; k < xs.size(); ++k)
        score += child_term(structural_score_literal(xs[k], ys[k]));
    return score;
}

int ExprTable::intern(handle expr) {
    PyObject* found = PyDict_GetItemWithError(ids_.ptr(), expr.ptr());
    if (found) return (int)PyLong_AsLong(found);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();  // unhashable: not a sympy expression
        return -1;
    }
    if (!is_instance(expr, state().sp.attr("Basic"))) return -1;
    return intern_node(expr);
}

int ExprTable::intern_node(handle expr) {
    RecursionGuard guard(" while indexing an expression");
    Node node{nb::borrow(expr), 0, -1, false, false, {}, object()};
    Items args(get_attr(expr, state().s_args));
    for (Py_ssize_t k = 0; k < args.size(); ++k) {
        int kid = intern(args[k]);
        if (kid < 0) return -1;
        node.kids.push_back(kid);
    }
    object func = get_attr(expr, state().s_func);
    PyObject* head = PyDict_GetItemWithError(heads_.ptr(), func.ptr());
    if (head) {
        node.head = (int)PyLong_AsLong(head);
    } else {
        if (PyErr_Occurred()) throw nb::python_error();
        node.head = (int)PyDict_GET_SIZE(heads_.ptr());
        check_status(PyDict_SetItem(heads_.ptr(), func.ptr(), pyint(node.head).ptr()));
    }
    node.symbol = is_instance(expr, state().Symbol);
    node.wildcard = node.symbol && printed_starts_with(expr, "φ");
    const int id = (int)nodes_.size();
    nodes_.push_back(std::move(node));
    check_status(PyDict_SetItem(ids_.ptr(), expr.ptr(), pyint(id).ptr()));
    return id;
}

bool ExprTable::is_number(int id) {
    Node& n = nodes_[id];
    if (n.number < 0) n.number = number_of(n.expr) ? 1 : 0;
    return n.number == 1;
}

handle ExprTable::srepr(int id) {
    Node& n = nodes_[id];
    if (!n.srepr.is_valid()) n.srepr = state().srepr(n.expr);
    return n.srepr;
}

double ExprTable::score(int a, int b) {
    if (a == b) return pairs::kEqual;
    const uint64_t key = (uint64_t)(uint32_t)a << 32 | (uint32_t)b;
    auto it = scores_.find(key);
    if (it != scores_.end()) return it->second;
    double result;
    const Node &na = nodes_[a], &nb = nodes_[b];
    if (na.wildcard || nb.wildcard) {
        result = pairs::kWildcard;
    } else {
        const bool a_num = is_number(a), b_num = is_number(b);
        if (a_num && b_num) {
            result = pairs::kNumbers;
        } else if (a_num != b_num) {
            result = pairs::kNumberAndOther;
        } else if (na.symbol && nb.symbol) {
            result = pairs::kSymbols;
        } else if (na.head != nb.head) {
            result = pairs::kOtherHeads;
        } else if (na.kids.size() != nb.kids.size()) {
            result = pairs::kOtherArity;
        } else {
            result = pairs::kSameShape;
            for (size_t k = 0; k < na.kids.size(); ++k)
                result += child_term(score(nodes_[a].kids[k], nodes_[b].kids[k]));
        }
    }
    scores_.emplace(key, result);
    return result;
}

double Scorer::operator()(handle a, handle b) {
    if (!literal_only_) {
        const int ia = table_.intern(a);
        const int ib = ia < 0 ? -1 : table_.intern(b);
        if (ia >= 0 && ib >= 0) return table_.score(ia, ib);
    }
    return structural_score_literal(a, b);
}

}  // namespace kt
