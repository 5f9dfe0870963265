#include "antiunify/pairing.hpp"

#include "antiunify/pairs.hpp"

namespace kt {

namespace {

object pairs_of(const Items& a, const Items& b, const std::vector<std::pair<int, int>>& pairing) {
    object out = check(PyList_New(0));
    for (auto [i, j] : pairing)
        check_status(PyList_Append(out.ptr(), nb::make_tuple(a[i], b[j]).ptr()));
    return out;
}

}  // namespace

std::vector<std::pair<int, int>> best_pairing(const Items& a, const Items& b, Scorer& score) {
    if (a.size() != b.size()) raise(PyExc_ValueError, "Arguments must have equal length");
    return pairs::best_pairing((int)a.size(), [&](int i, int j) { return score(a[i], b[j]); },
                               score.literal_only());
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
