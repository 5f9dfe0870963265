#include "matching/law_fits.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "kernels/affine_fit.hpp"

namespace kt {

const Mappings& permutations(int n) {
    static const std::array<Mappings, kMaxFullSearch + 1> all = [] {
        std::array<Mappings, kMaxFullSearch + 1> out;
        for (int k = 0; k <= kMaxFullSearch; ++k) {
            std::vector<int> p((size_t)k);
            std::iota(p.begin(), p.end(), 0);
            out[(size_t)k].width = k;
            do {
                out[(size_t)k].index.insert(out[(size_t)k].index.end(), p.begin(), p.end());
                ++out[(size_t)k].rows;
            } while (std::next_permutation(p.begin(), p.end()));
        }
        return out;
    }();
    if (n < 0 || n > kMaxFullSearch) throw std::invalid_argument("permutations of 0 to 6 only");
    return all[(size_t)n];
}

namespace {

// `_best_fit`: among the accepted rows, the first whose R² equals the best up to rounding
// (mappings equal up to the order of factors give R² that differ in their last bits).
std::optional<FormFit> best_fit(int form, const FitForm& f,
                                const std::vector<kernels::AffineFit>& fits,
                                const FitSettings& settings, const Mappings& mappings) {
    std::vector<double> scores(fits.size());
    bool any = false;
    for (size_t r = 0; r < fits.size(); ++r) {
        bool ok = fits[r].r2 >= settings.threshold;
        if (f.room) ok = ok && std::fabs(fits[r].a - 1.0) <= *f.room;
        scores[r] = ok ? fits[r].r2 : -1.0;
        any |= ok;
    }
    if (!any) return std::nullopt;
    const double top = *std::max_element(scores.begin(), scores.end());
    const double cut = top - 1e-12 * std::max(1.0, std::fabs(top));
    const size_t best =
        (size_t)(std::find_if(scores.begin(), scores.end(), [&](double s) { return s >= cut; }) -
                 scores.begin());
    const std::span<const int> row = mappings.row((int)best);
    return FormFit{form, fits[best].r2, fits[best].a, fits[best].b, {row.begin(), row.end()}};
}

// Whether y varies: its finite values spread beyond 1e-12 of the largest magnitude.
bool varies(std::span<const double> y) {
    double lo = INFINITY, hi = -INFINITY, largest = 0.0;
    for (double v : y) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        largest = std::max(largest, std::fabs(v));
    }
    return hi - lo > 1e-12 * std::max(largest, 1e-300);
}

}  // namespace

std::optional<std::vector<FormFit>>
law_fits(std::span<const double> y, std::span<const std::span<const double>> columns,
         std::span<const FitForm> forms, const FitSettings& settings, const FormValues& values) {
    const int n = (int)columns.size();
    if (n > kMaxFullSearch) return std::nullopt;
    std::vector<FormFit> out;
    if (n == 0) return out;
    if (y.empty()) throw std::invalid_argument("a formula's values at no points");
    for (const auto& c : columns)
        if (c.size() != y.size())
            throw std::invalid_argument("a variable's column is not as long as the values");
    const long finite =
        std::count_if(y.begin(), y.end(), [](double v) { return std::isfinite(v); });
    if ((double)finite < settings.min_valid * (double)y.size() || !varies(y)) return out;

    const Mappings& mappings = permutations(n);
    kernels::AffineFitter fitter(y, settings.min_valid);
    std::vector<double> z((size_t)mappings.rows * y.size());
    std::vector<kernels::AffineFit> fits((size_t)mappings.rows);
    for (int k = 0; k < (int)forms.size(); ++k) {
        if (forms[(size_t)k].symbols != n || !values(k, mappings, z)) continue;
        for (int r = 0; r < mappings.rows; ++r)
            fits[(size_t)r] = fitter({z.data() + (size_t)r * y.size(), y.size()});
        if (auto best = best_fit(k, forms[(size_t)k], fits, settings, mappings))
            out.push_back(std::move(*best));
    }
    return out;
}

}  // namespace kt
