// Which arguments of two operators anti-unify with which, decided on their structural scores
// alone: the rules the sympy fold and the native fold share. Pure C++; `score(i, j)` scores the
// i-th argument of one side against the j-th of the other.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels/python_sum.hpp"

namespace kt::pairs {

// The structural score's rules: equal expressions, a wildcard on either side, two numbers, a
// number and a non-number, two symbols, different heads, different arities, and the base of
// two nodes of one head and arity, to which each pair of arguments adds half its score floored
// at -50.
inline constexpr double kEqual = 1000.0, kWildcard = 0.0, kNumbers = 25.0, kNumberAndOther = -100.0,
                        kSymbols = 40.0, kOtherHeads = 0.0, kOtherArity = 10.0, kSameShape = 100.0;
inline double child_term(double child) { return std::max(-50.0, child) * 0.5; }

// Index pairs (i, j) of two argument lists of length n, ordered by i: the permutation with the
// highest sum of scores (summed as Python's `sum`; the first of equal sums) up to 7 arguments,
// greedy highest-score matching above. `rescore`: score the pairs of every permutation afresh
// rather than once each (the literal path, whose scoring runs Python methods, does).
template <class Score>
std::vector<std::pair<int, int>> best_pairing(int n, Score&& score, bool rescore = false) {
    std::vector<std::pair<int, int>> out;
    if (n == 0) return out;
    if (n <= 7) {
        std::vector<double> memo((size_t)n * n, std::numeric_limits<double>::quiet_NaN());
        auto pair_score = [&](int i, int j) {
            if (rescore) return score(i, j);
            double& s = memo[(size_t)i * n + j];
            if (std::isnan(s)) s = score(i, j);
            return s;
        };
        std::vector<int> perm(n), best;
        std::iota(perm.begin(), perm.end(), 0);
        double best_score = -std::numeric_limits<double>::infinity();
        do {
            kernels::PythonSum sum;
            for (int i = 0; i < n; ++i) sum.add(pair_score(i, perm[i]));
            const double total = sum.value();
            if (total > best_score) {
                best_score = total;
                best = perm;
            }
        } while (std::next_permutation(perm.begin(), perm.end()));
        for (int i = 0; i < n; ++i) out.emplace_back(i, best[i]);
        return out;
    }
    std::vector<std::tuple<double, int, int>> candidates;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) candidates.emplace_back(score(i, j), i, j);
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    std::vector<char> used_a(n, 0), used_b(n, 0);
    for (const auto& [s, i, j] : candidates) {
        if (used_a[i] || used_b[j]) continue;
        out.emplace_back(i, j);
        used_a[i] = used_b[j] = 1;
        if ((int)out.size() == n) break;
    }
    if ((int)out.size() != n) {
        // NaN scores sort anywhere: the arguments left are paired in order.
        std::vector<int> rest_a, rest_b;
        for (int i = 0; i < n; ++i) {
            if (!used_a[i]) rest_a.push_back(i);
            if (!used_b[i]) rest_b.push_back(i);
        }
        for (size_t k = 0; k < std::min(rest_a.size(), rest_b.size()); ++k)
            out.emplace_back(rest_a[k], rest_b[k]);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& p, const auto& q) { return p.first < q.first; });
    return out;
}

// The arguments of two sums (or products of different lengths) matched greedily: pairs of
// positive score, highest first (ties by the higher indices), each argument used once, in the
// order they were taken; and how many arguments of both sides are left over. `rescore` scores
// each kept pair a second time for its sort key (the literal path).
struct Matches {
    std::vector<std::pair<int, int>> pairs;
    int unmatched = 0;
};

template <class Score>
Matches match_commutative(int na, int nb, Score&& score, bool rescore = false) {
    std::vector<std::tuple<double, int, int>> candidates;
    for (int i = 0; i < na; ++i)
        for (int j = 0; j < nb; ++j) {
            const double s = score(i, j);
            if (s > 0) candidates.emplace_back(rescore ? score(i, j) : s, i, j);
        }
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    std::vector<char> used_a(na, 0), used_b(nb, 0);
    Matches m;
    for (const auto& [s, i, j] : candidates) {
        if (used_a[i] || used_b[j]) continue;
        m.pairs.emplace_back(i, j);
        used_a[i] = used_b[j] = 1;
    }
    const int used = (int)m.pairs.size();
    m.unmatched = (na - used) + (nb - used);
    return m;
}

}  // namespace kt::pairs
