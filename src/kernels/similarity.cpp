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

double structural_similarity(const StructureFields& a, const StructureFields& b, int distance,
                             const double* tree_weight, SimilarityScratch& s) {
    const double td_sim = tree_weight[distance];
    const double op_sim = sequence_ratio(a.operators.data(), (int)a.operators.size(),
                                         b.operators.data(), (int)b.operators.size(), s.sequence);
    double bonus = a.root_type == b.root_type ? 0.1 : 0.0;
    if (a.repeated_var == b.repeated_var) bonus += 0.05;
    if (a.unary_depth == b.unary_depth) bonus += 0.05;
    return min_one_last(0.5 * td_sim + 0.4 * op_sim + bonus);
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
