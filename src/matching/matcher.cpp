#include "matching/matcher.hpp"

namespace kt {

// What is left to match once the current step succeeds: a reference to a callable that lives
// until the call that receives it returns.
class Matcher::Next {
public:
    template <class F>
    Next(const F& f)
        : obj_(&f), call_([](const void* o) { return (*static_cast<const F*>(o))(); }) {}
    bool operator()() const { return call_(obj_); }

private:
    const void* obj_;
    bool (*call_)(const void*);
};

namespace {

std::vector<int> without(const std::vector<int>& v, size_t at) {
    std::vector<int> out;
    out.reserve(v.size() - 1);
    for (size_t i = 0; i < v.size(); ++i)
        if (i != at) out.push_back(v[i]);
    return out;
}

std::vector<int> children_of(const ExprTree& t, int n) {
    return std::vector<int>(t.children(n), t.children(n) + t.nodes[n].count);
}

}  // namespace

Matcher::Matcher(const ExprTree& pattern, const ExprTree& target, long budget)
    : P(pattern), T(target), budget_(budget), var_to_(pattern.names.size(), -1),
      var_from_(target.names.size(), -1), wild_to_(pattern.names.size()) {}

bool Matcher::match() {
    return node(P.root(), T.root(), [] { return true; });
}

bool Matcher::match_bags(const std::vector<int>& ps, const std::vector<int>& ts, bool sum) {
    return bag(ps, ts, sum ? P.add_label : P.mul_label, [] { return true; });
}

bool Matcher::unbound_wildcard(int p) const {
    const ExprNode& n = P.nodes[p];
    return n.kind == ExprNode::Wild && !wild_to_[n.label].bound;
}

bool Matcher::node(int p, int t, const Next& k) {
    if (--budget_ < 0) return false;
    const ExprNode& a = P.nodes[p];
    const ExprNode& b = T.nodes[t];
    switch (a.kind) {
        case ExprNode::Wild: {
            Binding& w = wild_to_[a.label];
            if (w.bound) return w.op_label < 0 && same_subtree(T, w.nodes[0], t) && k();
            if (!numeric_only_.empty() && numeric_only_[a.label] && b.has_symbols) return false;
            w = Binding{{t}, -1, true};
            if (k()) return true;
            w = Binding{};
            return false;
        }
        case ExprNode::Var: {
            if (b.kind != ExprNode::Var) return false;
            int& to = var_to_[a.label];
            if (to >= 0) return to == b.label && k();
            if (var_from_[b.label] >= 0) return false;  // one to one
            to = b.label;
            var_from_[b.label] = a.label;
            if (k()) return true;
            to = var_from_[b.label] = -1;
            return false;
        }
        case ExprNode::Atom:
            return b.kind == ExprNode::Atom && a.label == b.label && k();
        case ExprNode::Op:
            if (b.kind != ExprNode::Op || a.label != b.label) return identity_fallback(p, t, k);
            if (a.commutative) return bag(children_of(P, p), children_of(T, t), a.label, k);
            return a.count == b.count && sequence(P.children(p), T.children(t), a.count, k);
    }
    return false;
}

bool Matcher::sequence(const int* ps, const int* ts, int n, const Next& k) {
    if (n == 0) return k();
    return node(ps[0], ts[0], [&] { return sequence(ps + 1, ts + 1, n - 1, k); });
}

// A sum (product) in the pattern whose arguments are all unbound wildcards but one: with the
// wildcards at 0 (1), the pattern is that one argument, which may match a target of another
// kind (φ1*x + φ2 against 3*x).
bool Matcher::identity_fallback(int p, int t, const Next& k) {
    const ExprNode& a = P.nodes[p];
    if ((strict_ && !identity_) || a.kind != ExprNode::Op || !a.commutative) return false;
    int kept = -1;
    std::vector<int> wilds;
    for (int i = 0; i < a.count; ++i) {
        const int c = P.children(p)[i];
        if (unbound_wildcard(c)) {
            wilds.push_back(P.nodes[c].label);
        } else {
            if (kept >= 0) return false;
            kept = c;
        }
    }
    if (kept < 0 || wilds.empty()) return false;
    for (int w : wilds) wild_to_[w] = Binding{{}, a.label, true};
    if (node(kept, t, k)) return true;
    for (int w : wilds) wild_to_[w] = Binding{};
    return false;
}

bool Matcher::bag(std::vector<int> ps, std::vector<int> ts, int op_label, const Next& k) {
    if (--budget_ < 0) return false;
    if (ps.empty()) return ts.empty() && k();
    // A pattern argument with structure first: it narrows the search most.
    for (size_t i = 0; i < ps.size(); ++i) {
        if (unbound_wildcard(ps[i])) continue;
        const int p = ps[i];
        const std::vector<int> rest = without(ps, i);
        for (size_t j = 0; j < ts.size(); ++j) {
            const std::vector<int> others = without(ts, j);
            if (node(p, ts[j], [&] { return bag(rest, others, op_label, k); })) return true;
            if (exhausted()) return false;
        }
        return false;
    }
    // Only unbound wildcards are left. The last takes whatever remains (one argument, several
    // joined by the operation, or none); an earlier one takes one argument or none.
    const int wild = P.nodes[ps[0]].label;
    Binding& w = wild_to_[wild];
    if (strict_ && !identity_ && ps.size() > ts.size()) return false;
    if (ps.size() == 1) {
        if (strict_ && ts.size() > 1) return false;
        if (strict_ && !identity_ && ts.empty()) return false;
        if (!numeric_only_.empty() && numeric_only_[wild])
            for (int t : ts)
                if (T.nodes[t].has_symbols) return false;
        w = ts.size() == 1 ? Binding{{ts[0]}, -1, true} : Binding{ts, op_label, true};
        if (k()) return true;
        w = Binding{};
        return false;
    }
    const std::vector<int> rest(ps.begin() + 1, ps.end());
    for (size_t j = 0; j < ts.size(); ++j) {
        if (!numeric_only_.empty() && numeric_only_[wild] && T.nodes[ts[j]].has_symbols) continue;
        w = Binding{{ts[j]}, -1, true};
        if (bag(rest, without(ts, j), op_label, k)) return true;
        w = Binding{};
        if (exhausted()) return false;
    }
    if (strict_ && !identity_) return false;
    w = Binding{{}, op_label, true};
    if (bag(rest, ts, op_label, k)) return true;
    w = Binding{};
    return false;
}

}  // namespace kt
