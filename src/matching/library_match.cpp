#include "matching/library_match.hpp"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

#include "kernels/tree_distance.hpp"
#include "matching/matcher.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

enum Kind { Identical, Scaled, Instance, Near };
const char* const kKindNames[] = {"identical", "scaled", "instance", "near"};

// A tree with what matching reads of it again and again.
struct Shaped {
    ExprTree tree;
    kernels::FlatTree blind;
    Rest product_rest, sum_rest;
    std::vector<std::pair<int, int>> ops;  // (operator label, count), by label, of nodes that stay
    int removable = 0;  // sums and products that vanish when their wildcards bind nothing

    Shaped(handle expr, Labels& labels, bool wildcards, int variable_label, int wildcard_label)
        : tree(read_tree(expr, labels, wildcards)),
          blind(name_blind_tree(tree, labels, variable_label, wildcard_label)),
          product_rest(rest_without_constants(tree, false)),
          sum_rest(rest_without_constants(tree, true)) {
        std::unordered_map<int, int> counts;
        for (int k = 0; k < (int)tree.nodes.size(); ++k) {
            const ExprNode& n = tree.nodes[(size_t)k];
            if (n.kind != ExprNode::Op) continue;
            if (vanishes(k)) {
                ++removable;
                continue;
            }
            ++counts[n.label];
        }
        ops.assign(counts.begin(), counts.end());
        std::sort(ops.begin(), ops.end());
    }

    // A sum or product of wildcards and at most one other argument: with its wildcards bound to
    // nothing it is that argument, and its operator need not occur in a law it matches.
    bool vanishes(int k) const {
        const ExprNode& n = tree.nodes[(size_t)k];
        if (!n.commutative) return false;
        int others = 0, wild = 0;
        for (int i = 0; i < n.count; ++i)
            (tree.nodes[(size_t)tree.children(k)[i]].kind == ExprNode::Wild ? wild : others)++;
        return wild > 0 && others <= 1;
    }

    // Every operator of `this` occurs in `other` at least as often.
    bool ops_within(const Shaped& other) const {
        size_t j = 0;
        for (auto [label, count] : ops) {
            while (j < other.ops.size() && other.ops[j].first < label) ++j;
            if (j == other.ops.size() || other.ops[j].first != label || other.ops[j].second < count)
                return false;
        }
        return true;
    }
};

// The library read once; never changed after it is built, so calls share it.
struct PreparedLibrary {
    std::vector<object> names, exprs;  // the cache key, by identity
    Labels labels;
    int variable_label, wildcard_label;
    std::vector<std::optional<Shaped>> laws;  // absent where the expression could not be read
    std::unordered_multimap<std::uint64_t, int> by_shape, by_product_rest, by_sum_rest;
};

using Cache = std::deque<std::shared_ptr<const PreparedLibrary>>;

Cache& cache() {  // only touched with the GIL held and without calling Python in between
    static auto* entries = new Cache();
    return *entries;
}

std::shared_ptr<const PreparedLibrary> prepared(handle library) {
    constexpr size_t kKept = 4;
    std::vector<object> names, exprs;
    Items items(check(PyDict_Items(library.ptr())));
    for (Py_ssize_t i = 0; i < items.size(); ++i) {
        auto [name, expr] = unpack2(items[i]);
        names.push_back(name);
        exprs.push_back(expr);
    }
    auto same = [&](const PreparedLibrary& p) {
        if (p.exprs.size() != exprs.size()) return false;
        for (size_t i = 0; i < exprs.size(); ++i)
            if (p.exprs[i].ptr() != exprs[i].ptr() || p.names[i].ptr() != names[i].ptr())
                return false;
        return true;
    };
    for (auto it = cache().begin(); it != cache().end(); ++it) {
        if (!same(**it)) continue;
        auto hit = *it;
        cache().erase(it);
        cache().push_front(hit);
        return hit;
    }
    auto lib = std::make_shared<PreparedLibrary>();
    lib->variable_label = lib->labels.of("<variable>");
    lib->wildcard_label = lib->labels.of("<wildcard>");
    for (size_t k = 0; k < exprs.size(); ++k) {
        std::optional<Shaped> law;
        attempt([&] {
            law.emplace(exprs[k], lib->labels, false, lib->variable_label, lib->wildcard_label);
        });
        if (law) {
            lib->by_shape.emplace(law->tree.nodes.back().shape, (int)k);
            lib->by_product_rest.emplace(law->product_rest.shape, (int)k);
            lib->by_sum_rest.emplace(law->sum_rest.shape, (int)k);
        }
        lib->laws.push_back(std::move(law));
    }
    lib->names = std::move(names);
    lib->exprs = std::move(exprs);
    cache().push_front(lib);
    if (cache().size() > kKept) cache().pop_back();
    return lib;
}

double blind_distance(const Shaped& a, const Shaped& b, int wildcard_label) {
    kernels::TreeDistanceScratch scratch;
    const int d = kernels::tree_distance_wildcard(a.blind, b.blind, wildcard_label, scratch);
    return (double)d / (double)std::max(a.blind.size(), b.blind.size());
}

// {our variable: law variable} from a match of the law (pattern) against our tree (target),
// or of our tree (pattern) against the law (target).
object mapping_of(const Matcher& m, const ExprTree& pattern, const ExprTree& target,
                  bool law_is_pattern) {
    object mapping = check(PyDict_New());
    const std::vector<int>& to = m.variables();
    for (size_t s = 0; s < to.size(); ++s) {
        if (to[s] < 0) continue;
        handle p = pattern.symbols[s], t = target.symbols[(size_t)to[s]];
        handle ours = law_is_pattern ? t : p, theirs = law_is_pattern ? p : t;
        check_status(PyDict_SetItem(mapping.ptr(), printed(ours).ptr(), printed(theirs).ptr()));
    }
    return mapping;
}

struct Hit {
    Kind kind;
    int law;
    double distance;
    object mapping;
    int support = 1;  // members that matched this law this way
};

bool better(const Hit& a, const Hit& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    if (a.support != b.support) return a.support > b.support;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.law < b.law;
}

void record(std::vector<Hit>& hits, Hit hit) {
    for (Hit& h : hits)
        if (h.kind == hit.kind && h.law == hit.law) {
            ++h.support;
            h.distance = std::min(h.distance, hit.distance);
            return;
        }
    hits.push_back(std::move(hit));
}

// Identical and scaled matches of one member.
void match_member(const Shaped& member, const PreparedLibrary& lib, std::vector<Hit>& hits) {
    auto [first, last] = lib.by_shape.equal_range(member.tree.nodes.back().shape);
    bool identical = false;
    for (auto it = first; it != last; ++it) {
        const Shaped& law = *lib.laws[(size_t)it->second];
        Matcher m(law.tree, member.tree);
        if (!m.match()) continue;
        record(hits, {Identical, it->second, 0.0, mapping_of(m, law.tree, member.tree, true)});
        identical = true;
    }
    if (identical) return;
    for (bool sum : {false, true}) {
        const Rest& ours = sum ? member.sum_rest : member.product_rest;
        const auto& index = sum ? lib.by_sum_rest : lib.by_product_rest;
        auto [lo, hi] = index.equal_range(ours.shape);
        for (auto it = lo; it != hi; ++it) {
            const Shaped& law = *lib.laws[(size_t)it->second];
            Matcher m(law.tree, member.tree);
            if (!m.match_bags(sum ? law.sum_rest.nodes : law.product_rest.nodes, ours.nodes, sum))
                continue;
            record(hits, {Scaled, it->second, blind_distance(member, law, lib.wildcard_label),
                          mapping_of(m, law.tree, member.tree, true)});
        }
    }
}

// Which wildcards of the formula stand only for numbers in every member that is an instance
// of it; empty when no member is.
std::vector<bool> numeric_wildcards(const Shaped& formula, const std::deque<Shaped>& members) {
    std::vector<bool> numeric(formula.tree.symbols.size(), true);
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
        record(hits, {Instance, (int)k, blind_distance(formula, *law, lib.wildcard_label),
                      mapping_of(m, formula.tree, law->tree, false)});
    }
}

// Near matches: the smallest name-blind distance from any of `trees` to each law.
void match_near(const std::vector<const Shaped*>& trees, const PreparedLibrary& lib,
                double near_threshold, std::vector<Hit>& hits) {
    for (size_t k = 0; k < lib.laws.size(); ++k) {
        if (!lib.laws[k]) continue;
        double best = 2.0;
        for (const Shaped* t : trees)
            if (specific_enough(*t))
                best = std::min(best, blind_distance(*t, *lib.laws[k], lib.wildcard_label));
        if (best <= near_threshold) record(hits, {Near, (int)k, best, none()});
    }
}

}  // namespace

object match_library(handle given, handle library, double near_threshold) {
    std::shared_ptr<const PreparedLibrary> lib = prepared(library);
    Labels labels(&lib->labels);
    const bool candidate = PyObject_HasAttrString(given.ptr(), "formula") &&
                           PyObject_HasAttrString(given.ptr(), "members");
    object formula = candidate ? get_attr(given, "formula") : nb::borrow(given);
    Shaped shaped(formula, labels, true, lib->variable_label, lib->wildcard_label);

    // The expressions compared with laws one by one: the members, or a formula given alone.
    std::deque<Shaped> members;
    std::vector<const Shaped*> near_sources;
    if (candidate) {
        object seen = check(PySet_New(nullptr));
        Items items(get_attr(given, "members"));
        for (Py_ssize_t i = 0; i < items.size(); ++i) {
            if (check_status(PySet_Contains(seen.ptr(), items[i].ptr()))) continue;
            check_status(PySet_Add(seen.ptr(), items[i].ptr()));
            attempt([&] {
                members.emplace_back(items[i], labels, false, lib->variable_label,
                                     lib->wildcard_label);
            });
        }
        // Near is measured on the members: with its wildcards free to match any leaf, a
        // generalised formula lies near every law of its size and operators.
        for (const Shaped& m : members) near_sources.push_back(&m);
    } else {
        near_sources.push_back(&shaped);
    }
    std::vector<Hit> hits;
    for (const Shaped& m : members) match_member(m, *lib, hits);
    if (!candidate && shaped.tree.wildcards() == 0) match_member(shaped, *lib, hits);
    if (hits.empty()) match_instances(shaped, numeric_wildcards(shaped, members), *lib, hits);
    if (hits.empty()) match_near(near_sources, *lib, near_threshold, hits);
    if (hits.empty()) return none();
    const Hit& best = *std::min_element(hits.begin(), hits.end(), better);
    return module_global("LibraryMatch")(nb::arg("law") = lib->names[(size_t)best.law],
                                         nb::arg("kind") = pystr(kKindNames[best.kind]),
                                         nb::arg("distance") = pyfloat(best.distance),
                                         nb::arg("mapping") = best.mapping);
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
    // Variables first, then wildcards, each in the order they appear in the formula's text.
    std::vector<size_t> order(pattern.symbols.size());
    for (size_t s = 0; s < order.size(); ++s) order[s] = s;
    auto key = [&](size_t s) {
        const std::string name = utf8(printed(pattern.symbols[s]));
        return std::make_tuple(m.wildcards()[s].bound, name.size(), name);
    };
    std::vector<std::tuple<bool, size_t, std::string>> keys;
    for (size_t s : order) keys.push_back(key(s));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    object out = check(PyDict_New());
    for (size_t s : order) {
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
