#include "matching/library_match.hpp"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>

#include "matching/form_match.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

// Which wildcards of the formula stand only for numbers in every member that is an instance
// of it; empty when no member is.
std::vector<bool> numeric_wildcards(const Shaped& formula, const std::deque<Shaped>& members) {
    std::vector<bool> numeric(formula.tree.names.size(), true);
    bool bound_any = false;
    for (const Shaped& m : members) {
        Matcher binding(formula.tree, m.tree);
        if (!binding.match()) continue;
        bound_any = true;
        for (size_t s = 0; s < numeric.size(); ++s)
            for (int n : binding.wildcards()[s].nodes)
                if (m.tree.nodes[(size_t)n].has_symbols) numeric[s] = false;
    }
    if (!bound_any) numeric.clear();
    return numeric;
}

// Whether a formula says enough to be compared with laws: not a bare wildcard, a variable in
// it, and no more of its nodes bare wildcards than a valid generalisation may have.
bool specific_enough(const Shaped& formula) {
    const int wild = formula.tree.wildcards();
    if (wild == 0) return true;
    if (formula.tree.nodes.size() == 1) return false;
    const bool variable = std::any_of(formula.tree.nodes.begin(), formula.tree.nodes.end(),
                                      [](const ExprNode& n) { return n.kind == ExprNode::Var; });
    if (!variable) return false;  // wildcards and numbers only
    const double limit = as_double(module_global("MAX_WILDCARD_DENSITY"));
    return (double)wild / (double)formula.tree.nodes.size() <= limit;
}

// Instance matches of the generalised formula. A wildcard binds to one sub-expression of the
// law, or to nothing (a factor 1, a term 0), and only to a number where it stood for numbers in
// every member (`numeric_only`, by symbol index; empty when unknown): a wildcard that only ever
// covered constant factors must not swallow cos(omega*t).
void match_instances(const Shaped& formula, const std::vector<bool>& numeric_only,
                     const PreparedLibrary& lib, std::vector<Hit>& hits) {
    const int wild = formula.tree.wildcards();
    if (wild == 0 || !specific_enough(formula)) return;
    for (size_t k = 0; k < lib.laws.size(); ++k) {
        const auto& law = lib.laws[k];
        if (!law ||
            (int)formula.tree.nodes.size() - wild - formula.removable > (int)law->tree.nodes.size())
            continue;
        if (!formula.ops_within(*law)) continue;
        Matcher m(formula.tree, law->tree);
        m.set_strict(true);
        m.set_identity(true);
        m.set_numeric_only(numeric_only);
        if (!m.match()) continue;
        record(hits,
               {MatchKind::Instance, (int)k, blind_distance(formula, *law, lib.wildcard_label),
                mapping_of(m, formula.tree, law->tree, false)});
    }
}

// Near matches: the smallest name-blind distance from any of `trees` to each law. A tree whose
// sizes alone put it beyond the threshold, or no closer than the best so far, is not measured
// (the distance is at least the difference of the sizes over the larger): the same matches.
void match_near(const std::vector<const Shaped*>& trees, const PreparedLibrary& lib,
                double near_threshold, std::vector<Hit>& hits) {
    std::vector<const Shaped*> specific;
    for (const Shaped* t : trees)
        if (specific_enough(*t)) specific.push_back(t);
    for (size_t k = 0; k < lib.laws.size(); ++k) {
        if (!lib.laws[k]) continue;
        const int law_size = lib.laws[k]->blind.size();
        double best = 2.0;
        for (const Shaped* t : specific) {
            const int size = t->blind.size();
            const double bound =
                (double)std::abs(size - law_size) / (double)std::max(size, law_size);
            if (bound > near_threshold || bound >= best) continue;
            best = std::min(best, blind_distance(*t, *lib.laws[k], lib.wildcard_label));
        }
        if (best <= near_threshold) record(hits, {MatchKind::Near, (int)k, best, std::nullopt});
    }
}

object mapping_dict(const Mapping& mapping) {
    object out = check(PyDict_New());
    for (const auto& [ours, theirs] : mapping)
        check_status(PyDict_SetItem(out.ptr(), pystr(ours).ptr(), pystr(theirs).ptr()));
    return out;
}

}  // namespace

object match_record(const PreparedLibrary& lib, const std::optional<Hit>& hit) {
    return hit ? match_record(lib, *hit) : none();
}

object match_record(const PreparedLibrary& lib, const Hit& hit) {
    return module_global("LibraryMatch")(
        nb::arg("law") = lib.names[(size_t)hit.law], nb::arg("kind") = pystr(kind_name(hit.kind)),
        nb::arg("distance") = pyfloat(hit.distance),
        nb::arg("mapping") = hit.mapping ? mapping_dict(*hit.mapping) : none());
}

std::optional<Hit> structure_hit(const PreparedLibrary& lib, const Shaped& formula,
                                 const std::deque<Shaped>& members, double near_threshold) {
    std::vector<Hit> hits;
    for (const Shaped& m : members) match_member(m, lib, hits);
    if (hits.empty()) match_instances(formula, numeric_wildcards(formula, members), lib, hits);
    // Near is measured on the members: with its wildcards free to match any leaf, a
    // generalised formula lies near every law of its size and operators.
    std::vector<const Shaped*> near_sources;
    for (const Shaped& m : members) near_sources.push_back(&m);
    if (hits.empty()) match_near(near_sources, lib, near_threshold, hits);
    if (hits.empty()) return std::nullopt;
    return *std::min_element(hits.begin(), hits.end(), better);
}

std::optional<Hit> formula_hit(const PreparedLibrary& lib, const Shaped& formula,
                               double near_threshold) {
    std::vector<Hit> hits;
    if (formula.tree.wildcards() == 0) match_member(formula, lib, hits);
    if (hits.empty()) match_instances(formula, {}, lib, hits);
    if (hits.empty()) match_near({&formula}, lib, near_threshold, hits);
    if (hits.empty()) return std::nullopt;
    return *std::min_element(hits.begin(), hits.end(), better);
}

object match_library(handle given, handle library, double near_threshold) {
    std::shared_ptr<const PreparedLibrary> lib = prepared(library);
    Labels labels(&lib->labels);
    const bool candidate = PyObject_HasAttrString(given.ptr(), "formula") &&
                           PyObject_HasAttrString(given.ptr(), "members");
    object formula = candidate ? get_attr(given, "formula") : nb::borrow(given);
    Shaped shaped(read_tree(formula, labels, true), labels, lib->variable_label,
                  lib->wildcard_label);
    if (!candidate) return match_record(*lib, formula_hit(*lib, shaped, near_threshold));

    // The distinct members, each compared with the laws; one that cannot be read is left out.
    std::deque<Shaped> members;
    object seen = check(PySet_New(nullptr));
    Items items(get_attr(given, "members"));
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        if (check_status(PySet_Contains(seen.ptr(), items[i].ptr()))) continue;
        check_status(PySet_Add(seen.ptr(), items[i].ptr()));
        attempt([&] {
            members.emplace_back(read_tree(items[i], labels, false), labels, lib->variable_label,
                                 lib->wildcard_label);
        });
    }
    return match_record(*lib, structure_hit(*lib, shaped, members, near_threshold));
}

std::vector<size_t> binding_order(const ExprTree& pattern, const Matcher& m) {
    std::vector<size_t> order(pattern.names.size());
    for (size_t s = 0; s < order.size(); ++s) order[s] = s;
    auto key = [&](size_t s) {
        const std::string& name = pattern.names[s];
        return std::make_tuple(m.wildcards()[s].bound, name.size(), std::string_view(name));
    };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    return order;
}

namespace {

// The value a wildcard was bound to, as an expression of the target.
object bound_value(const Matcher::Binding& b, const ExprTree& target) {
    if (b.op_label < 0) return target.objects[(size_t)b.nodes[0]];
    const bool sum = b.op_label == target.add_label;
    object args = check(PyTuple_New((Py_ssize_t)b.nodes.size()));
    for (size_t i = 0; i < b.nodes.size(); ++i)
        PyTuple_SET_ITEM(args.ptr(), (Py_ssize_t)i,
                         target.objects[(size_t)b.nodes[i]].inc_ref().ptr());
    return check(PyObject_Call((sum ? state().Add : state().Mul).ptr(), args.ptr(), nullptr));
}

}  // namespace

object bind(handle formula, handle expression) {
    Labels labels;
    const ExprTree pattern = read_tree(formula, labels, true);
    const ExprTree target = read_tree(expression, labels, false);
    Matcher m(pattern, target);
    if (!m.match()) return none();
    object out = check(PyDict_New());
    for (size_t s : binding_order(pattern, m)) {
        const Matcher::Binding& w = m.wildcards()[s];
        object value;
        if (w.bound)
            value = bound_value(w, target);
        else if (m.variables()[s] >= 0)
            value = target.symbols[(size_t)m.variables()[s]];
        else
            continue;
        check_status(PyDict_SetItem(out.ptr(), pattern.symbols[s].ptr(), value.ptr()));
    }
    return out;
}

}  // namespace kt
