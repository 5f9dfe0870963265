#include "antiunify/pairing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>

#include "kernels/python_sum.hpp"

namespace kt {

namespace {

std::vector<std::pair<int, int>> exhaustive(const Items& a, const Items& b, Scorer& score) {
    const int n = (int)a.size();
    // Each permutation sums the scores of its pairs. The table scores a pair once, when a
    // permutation first needs it; the literal path, whose scoring runs the operands' own Python
    // methods, scores the pairs of every permutation afresh.
    std::vector<double> memo((size_t)n * n, std::numeric_limits<double>::quiet_NaN());
    auto pair_score = [&](int i, int j) {
        if (score.literal_only()) return score(a[i], b[j]);
        double& s = memo[(size_t)i * n + j];
        if (std::isnan(s)) s = score(a[i], b[j]);
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
    std::vector<std::pair<int, int>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(i, best[i]);
    return out;
}

std::vector<std::pair<int, int>> greedy(const Items& a, const Items& b, Scorer& score) {
    const int n = (int)a.size();
    std::vector<std::tuple<double, int, int>> candidates;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) candidates.emplace_back(score(a[i], b[j]), i, j);
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    std::vector<char> used_a(n, 0), used_b(n, 0);
    std::vector<std::pair<int, int>> pairing;
    for (const auto& [s, i, j] : candidates) {
        if (used_a[i] || used_b[j]) continue;
        pairing.emplace_back(i, j);
        used_a[i] = used_b[j] = 1;
        if ((int)pairing.size() == n) break;
    }
    if ((int)pairing.size() != n) {
        std::vector<int> rest_a, rest_b;
        for (int i = 0; i < n; ++i) {
            if (!used_a[i]) rest_a.push_back(i);
            if (!used_b[i]) rest_b.push_back(i);
        }
        for (size_t k = 0; k < std::min(rest_a.size(), rest_b.size()); ++k)
            pairing.emplace_back(rest_a[k], rest_b[k]);
    }
    std::stable_sort(pairing.begin(), pairing.end(),
                     [](const auto& p, const auto& q) { return p.first < q.first; });
    return pairing;
}

object pairs_of(const Items& a, const Items& b, const std::vector<std::pair<int, int>>& pairing) {
    object out = check(PyList_New(0));
    for (auto [i, j] : pairing)
        check_status(PyList_Append(out.ptr(), nb::make_tuple(a[i], b[j]).ptr()));
    return out;
}

}  // namespace

std::vector<std::pair<int, int>> best_pairing(const Items& a, const Items& b, Scorer& score) {
    if (a.size() != b.size()) raise(PyExc_ValueError, "Arguments must have equal length");
    if (a.size() == 0) return {};
    return a.size() <= 7 ? exhaustive(a, b, score) : greedy(a, b, score);
}

double structural_score(handle a, handle b) {
    Scorer score;
    return score(a, b);
}

object best_commutative_pairing(handle a_args, handle b_args) {
    Items xs(check(PySequence_List(a_args.ptr()))), ys(check(PySequence_List(b_args.ptr())));
    Scorer score;
    return pairs_of(xs, ys, best_pairing(xs, ys, score));
}

}  // namespace kt
