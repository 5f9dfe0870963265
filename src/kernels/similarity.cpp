#include "kernels/similarity.hpp"

#include <algorithm>
#include <cmath>

namespace kt::kernels {

double structural_similarity(const StructureFields& a, const StructureFields& b,
                             const double* tree_weight, SimilarityScratch& s,
                             const std::atomic<bool>* stop) {
    const int distance = tree_distance(a.tree, b.tree, s.tree, stop);
    if (distance < 0) return std::nan("");
    return structural_similarity(a, b, distance, tree_weight, s);
}

namespace {

double bonus_of(const StructureFields& a, const StructureFields& b) {
    double bonus = a.root_type == b.root_type ? 0.1 : 0.0;
    if (a.repeated_var == b.repeated_var) bonus += 0.05;
    if (a.unary_depth == b.unary_depth) bonus += 0.05;
    return bonus;
}

// The structural similarity from its terms, in the order the Python definition adds them.
double combine(double td_sim, double op_sim, double bonus) {
    return min_one_last(0.5 * td_sim + 0.4 * op_sim + bonus);
}

double operator_ratio(const StructureFields& a, const StructureFields& b, SequenceScratch& s) {
    return sequence_ratio(a.operators.data(), (int)a.operators.size(), b.operators.data(),
                          (int)b.operators.size(), s);
}

}  // namespace

double structural_similarity(const StructureFields& a, const StructureFields& b, int distance,
                             const double* tree_weight, SimilarityScratch& s) {
    return combine(tree_weight[distance], operator_ratio(a, b, s.sequence), bonus_of(a, b));
}

// The same argument with the cheapest lower bound and upper bound: the tree distance is at least
// the difference of the sizes (every node of the larger tree beyond the smaller's size is
// inserted or deleted), and at most min(la, lb) operators match.
double structural_bound_by_sizes(const StructureFields& a, const StructureFields& b,
                                 const double* tree_weight) {
    const int la = (int)a.operators.size(), lb = (int)b.operators.size();
    const double op_sim = la + lb == 0 ? 1.0 : 2.0 * (double)std::min(la, lb) / (double)(la + lb);
    return combine(tree_weight[std::abs(a.tree.size() - b.tree.size())], op_sim, bonus_of(a, b));
}

// Every term at its largest: op_sim is 2M/(la + lb) <= 1, and the bonus adds at most these
// same three numbers in this order; combine does not decrease in any of its terms.
double structural_ceiling(double tree_weight) {
    double bonus = 0.1;
    bonus += 0.05;
    bonus += 0.05;
    return combine(tree_weight, 1.0, bonus);
}

// Proof that the bound is never below the exact structural similarity:
//  - the tree distance d is at least tree_distance_lower_bound (proof beside it), and the
//    weights exp(-0.25 d) do not increase with d, so the weight of the bound is at least
//    tree_weight[d];
//  - the sequence ratio is 2M/(la + lb) with M matched items, M at most sequence_match_bound
//    (proof beside it), computed as 2.0 * M / (la + lb): the same operations on a larger M
//    cannot give a smaller double;
//  - the bonus is the exact one, and 0.5 * t + 0.4 * r + bonus and the min with 1 do not
//    decrease when t or r grows, under IEEE rounding.
double structural_bound(const StructureFields& a, const StructureFields& b,
                        const double* tree_weight) {
    const int la = (int)a.operators.size(), lb = (int)b.operators.size();
    const int matches = sequence_match_bound(a.operators.data(), la, b.operators.data(), lb);
    const double op_sim = la + lb == 0 ? 1.0 : 2.0 * (double)matches / (double)(la + lb);
    return combine(tree_weight[tree_distance_lower_bound(a.tree, b.tree)], op_sim, bonus_of(a, b));
}

// Why the threshold decides from a band: with alpha >= 0, the joint similarity J(d) of the
// pair at tree distance d does not increase with d. Each weight exp(-0.25 d) is about 0.78
// times the one before, a gap no rounding of exp can close, and every later operation
// (0.5 * t + 0.4 * r + bonus, the min with 1, alpha times it plus the fixed behavioural term) is
// non-decreasing in t under IEEE rounding. The budget is the largest d from the lower bound on
// with J(budget) >= threshold, every d in between checked: a distance within the budget
// reaches the threshold and one beyond it does not (J(d) <= J(budget + 1) < threshold).
double similarity_reaching(const StructureFields& a, const StructureFields& b, double behavioural,
                           double alpha, double beta, double threshold, const double* tree_weight,
                           int& distance, int& at_least, SimilarityScratch& s,
                           const std::atomic<bool>* stop) {
    const double nothing = std::nan("");
    const double op_sim = operator_ratio(a, b, s.sequence);
    const double bonus = bonus_of(a, b);
    auto joint = [&](int d) {
        return alpha * combine(tree_weight[d], op_sim, bonus) + beta * behavioural;
    };
    auto reaching = [&](int d) {
        const double value = joint(d);
        return value >= threshold ? value : nothing;
    };
    if (distance >= 0) return reaching(distance);
    if (!(alpha >= 0)) {  // the similarity may grow with the distance: measure it all
        const int d = tree_distance(a.tree, b.tree, s.tree, stop);
        if (d < 0) return nothing;
        distance = d;
        return reaching(d);
    }
    const int most = a.tree.size() + b.tree.size();  // deleting one tree, inserting the other
    int budget = std::max(at_least, tree_distance_lower_bound(a.tree, b.tree));
    if (!(joint(budget) >= threshold)) return nothing;
    while (budget < most && joint(budget + 1) >= threshold) ++budget;
    const int d = tree_distance_within(a.tree, b.tree, budget, s.tree, stop);
    if (d < 0) return nothing;  // stopped
    if (d > budget) {           // the distance exceeds the budget: it is at least budget + 1
        at_least = std::max(at_least, budget + 1);
        return nothing;
    }
    distance = d;
    return joint(d);
}

namespace {

bool constant(const double* v, long long n) {
    for (long long i = 1; i < n; ++i)
        if (!(v[i] == v[0])) return false;
    return v[0] == v[0];  // a NaN first value equals nothing, itself included
}

}  // namespace

double behavioural_similarity(const BehaviourFields& a, const BehaviourFields& b) {
    if (a.frac_invalid > 0.3 || b.frac_invalid > 0.3) return 0.3;
    if (!a.has_vector || !b.has_vector || a.length == 0 || b.length == 0) return 0.5;
    if (constant(a.vector, a.length) || constant(b.vector, b.length)) return 0.5;
    const long long n = std::min(a.length, b.length);
    double squares = 0.0;
    for (long long i = 0; i < n; ++i) {
        const double d = a.vector[i] - b.vector[i];
        squares += d * d;
    }
    const double vec_dist = std::sqrt(squares);
    const double growth = a.growth_class == b.growth_class ? 0.5 : 0.0;
    const double mono = a.monotone == b.monotone ? 0.15 : 0.0;
    const double bounded = a.bounded == b.bounded ? 0.15 : 0.0;
    const double periodic = a.periodic == b.periodic ? 0.2 : 0.0;
    const double base = std::exp(-0.5 * vec_dist);
    const double bonus = growth + mono + bounded + periodic;
    return std::clamp(min_one_first(base + bonus), 0.0, 1.0);
}

}  // namespace kt::kernels
