#include "antiunify/anti_unify.hpp"

#include <algorithm>

#include "antiunify/pairing.hpp"
#include "antiunify/pairs.hpp"
#include "antiunify/predicates.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"

namespace kt {

namespace {

handle srepr_of(handle expr, Fold& fold, object& holder) {
    const int id = fold.score.table().intern(expr);
    if (id >= 0) return fold.score.table().srepr(id);
    holder = state().srepr(expr);
    return holder;
}

object pair_key(handle a, handle b, Fold& fold) {
    object ha, hb;
    handle sa = srepr_of(a, fold, ha);
    handle sb = srepr_of(b, fold, hb);
    return canonical_pair_key(a, b, sa, sb);
}

// counter[0] += 1; the new wildcard φ<counter[0]>.
object fresh_wildcard(handle counter) {
    object zero = pyint(0);
    object next = check(PyNumber_InPlaceAdd(item(counter, zero).ptr(), pyint(1).ptr()));
    check_status(PyObject_SetItem(counter.ptr(), zero.ptr(), next.ptr()));
    object name = check(PyUnicode_Concat(pystr("φ").ptr(), str_of(item(counter, zero)).ptr()));
    return state().Symbol(name);
}

// Where a pair's generalisation is remembered: the caller's dict, or the fold's id table.
struct MemoSlot {
    object key;        // canonical pair key, when the dict is used
    uint64_t ids = 0;  // ordered node-id pair otherwise
};

MemoSlot memo_slot(handle a, handle b, Fold& fold) {
    if (fold.private_memo) {
        const int ia = fold.score.table().intern(a);
        const int ib = ia < 0 ? -1 : fold.score.table().intern(b);
        if (ia >= 0 && ib >= 0) {
            const auto [lo, hi] = std::minmax(ia, ib);
            return {object(), (uint64_t)(uint32_t)lo << 32 | (uint32_t)hi};
        }
    }
    return {pair_key(a, b, fold), 0};
}

handle recall(const MemoSlot& slot, Fold& fold) {
    if (!slot.key.is_valid()) {
        auto it = fold.memo_by_ids.find(slot.ids);
        return it == fold.memo_by_ids.end() ? handle() : handle(it->second);
    }
    PyObject* known = PyDict_GetItemWithError(fold.memo.ptr(), slot.key.ptr());
    if (!known && PyErr_Occurred()) throw nb::python_error();
    return known;
}

object remember(const MemoSlot& slot, Fold& fold, object result) {
    if (slot.key.is_valid())
        check_status(PyObject_SetItem(fold.memo.ptr(), slot.key.ptr(), result.ptr()));
    else
        fold.memo_by_ids[slot.ids] = result;
    return result;
}

object rebuild(handle func, const std::vector<object>& parts) {
    object args = check(PyTuple_New((Py_ssize_t)parts.size()));
    for (size_t k = 0; k < parts.size(); ++k)
        PyTuple_SET_ITEM(args.ptr(), k, Py_NewRef(parts[k].ptr()));
    return check(PyObject_CallObject(func.ptr(), args.ptr()));
}

// Sums, and products whose factor lists differ in length: arguments matched greedily by
// positive score, leftovers on either side becoming fresh wildcards.
object unify_commutative(handle a, handle b, handle func, Fold& fold) {
    Items xs(check(PySequence_List(get_attr(a, state().s_args).ptr())));
    Items ys(check(PySequence_List(get_attr(b, state().s_args).ptr())));
    // Scores are pure, so the table answers a pair's second scoring from its memo; the literal
    // path, whose scoring runs the operands' own Python methods, scores the pair again.
    const pairs::Matches matches = pairs::match_commutative(
        (int)xs.size(), (int)ys.size(), [&](int i, int j) { return fold.score(xs[i], ys[j]); },
        fold.score.literal_only());
    std::vector<object> unified;
    for (auto [i, j] : matches.pairs) unified.push_back(anti_unify(xs[i], ys[j], fold));
    for (int k = 0; k < matches.unmatched; ++k) unified.push_back(fresh_wildcard(fold.counter));
    return rebuild(func, unified);
}

// `a == b`; inside a fold's private memo the node table answers (equal expressions share an id).
bool same_expr(handle a, handle b, Fold& fold) {
    if (fold.private_memo) {
        const int ia = fold.score.table().intern(a);
        const int ib = ia < 0 ? -1 : fold.score.table().intern(b);
        if (ia >= 0 && ib >= 0) return ia == ib;
    }
    return equal(a, b);
}

}  // namespace

object anti_unify(handle a, handle b, Fold& fold) {
    RecursionGuard guard(" while anti-unifying expressions");
    if (same_expr(a, b, fold)) return nb::borrow(a);
    if (is_wildcard(a)) return nb::borrow(a);
    if (is_wildcard(b)) return nb::borrow(b);
    if (is_generalized_variable(a) && is_source_variable(b)) return nb::borrow(a);
    if (is_source_variable(a) && is_generalized_variable(b)) return nb::borrow(b);

    const MemoSlot key = memo_slot(a, b, fold);
    if (handle known = recall(key, fold)) return nb::borrow(known);

    object a_factors = multiplicative_args(a), b_factors = multiplicative_args(b);
    if (!a_factors.is_none() && !b_factors.is_none() && length(a_factors) == length(b_factors)) {
        Items xs(a_factors), ys(b_factors);
        std::vector<object> unified;
        for (auto [i, j] : best_pairing(xs, ys, fold.score))
            unified.push_back(anti_unify(xs[i], ys[j], fold));
        return remember(key, fold, rebuild(state().Mul, unified));
    }

    object func = get_attr(a, state().s_func);
    const bool same_head = equal(func, get_attr(b, state().s_func));
    if (same_head && (equal(func, state().Add) || equal(func, state().Mul)))
        return remember(key, fold, unify_commutative(a, b, func, fold));

    if (same_head) {
        Items xs(get_attr(a, state().s_args)), ys(get_attr(b, state().s_args));
        if (xs.size() == ys.size() && xs.size() > 0) {
            std::vector<object> unified;
            for (Py_ssize_t k = 0; k < xs.size(); ++k)
                unified.push_back(anti_unify(xs[k], ys[k], fold));
            object result;
            // A rebuild the operator rejects falls through to the variable and wildcard rules.
            if (attempt([&] { result = remember(key, fold, rebuild(func, unified)); }))
                return result;
        }
    }

    if (is_source_variable(a) && is_source_variable(b)) {
        object ha, hb;
        object sa = nb::borrow(srepr_of(a, fold, ha)), sb = nb::borrow(srepr_of(b, fold, hb));
        object variables_key =
            truth(compare(sa, sb, Py_LE)) ? nb::make_tuple(sa, sb) : nb::make_tuple(sb, sa);
        PyObject* var = PyDict_GetItemWithError(fold.variable_memo.ptr(), variables_key.ptr());
        if (var) return nb::borrow(var);
        if (PyErr_Occurred()) throw nb::python_error();
        object name =
            check(PyUnicode_FromFormat("v%zd", PyDict_GET_SIZE(fold.variable_memo.ptr())));
        object fresh = state().Symbol(name);
        check_status(PyDict_SetItem(fold.variable_memo.ptr(), variables_key.ptr(), fresh.ptr()));
        return remember(key, fold, fresh);
    }
    return remember(key, fold, fresh_wildcard(fold.counter));
}

object anti_unify(handle a, handle b, handle counter, handle memo, handle variable_memo) {
    Scorer score;
    Fold fold{counter, memo, variable_memo, score};
    return anti_unify(a, b, fold);
}

}  // namespace kt
