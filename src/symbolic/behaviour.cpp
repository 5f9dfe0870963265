#include "symbolic/behaviour.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "symbolic/legacy_random.hpp"

namespace kt::symbolic {

namespace {

// One track per symbol in symbol order, the uniform ones drawn in turn from one stream.
std::vector<Doubles> sample_tracks(const Backend& math, const BehaviourInput& in, std::size_t nsyms,
                                   std::size_t n) {
    const std::span<const double> stream = math.seeded_uniforms();
    std::size_t drawn = 0;
    auto uniform = [&](double lo, double hi) {
        const double range = hi - lo;
        if (!std::isfinite(range)) throw Unsupported("a sampling range numpy refuses");
        if (drawn + n > stream.size()) throw Unsupported("more draws than were taken");
        Doubles out(n);
        for (std::size_t k = 0; k < n; ++k) out[k] = lo + range * stream[drawn + k];
        drawn += n;
        return out;
    };
    std::vector<Doubles> tracks;
    for (std::size_t i = 0; i < nsyms; ++i) {
        const Range range = i < in.ranges.size() ? in.ranges[i] : std::nullopt;
        if (range) {
            auto [lo, hi] = *range;
            if (!std::isfinite(lo) || !std::isfinite(hi)) throw Unsupported("unbounded range");
            if (hi <= lo) hi = lo + 1.0;
            tracks.push_back(nsyms == 1 ? linspace(lo, hi, n) : uniform(lo, hi));
        } else if (nsyms == 1) {
            tracks.push_back(logspace(math, -1.0, 2.0, n));
        } else {
            const double bounds[] = {0.1, 100.0};
            double logs[2];
            for (int k = 0; k < 2; ++k) math.unary(Loop::log, &bounds[k], &logs[k], 1);
            Doubles u = uniform(logs[0], logs[1]);
            Doubles out(n);
            math.unary(Loop::exp, u.data(), out.data(), n);
            tracks.push_back(std::move(out));
        }
    }
    return tracks;
}

Doubles finite_or_zero(Doubles v) {
    for (double& x : v)
        if (!std::isfinite(x)) x = 0.0;
    return v;
}

}  // namespace

std::pair<Doubles, Doubles> eval_safe(Builder& builder, const Backend& math,
                                      const BehaviourInput& in) {
    const std::size_t n = in.grid.size();
    const std::vector<Expr> syms = sorted_symbols(in.expr);
    if (syms.empty()) {
        const auto value = in.constant_value(in.expr);
        if (!value) return {linspace(0.1, 2.0, n), in.grid};
        return {Doubles(n, *value), in.grid};
    }
    const std::vector<Doubles> tracks = sample_tracks(math, in, syms.size(), n);
    std::optional<Program> compiled;
    if (!in.program) compiled = Program::compile(builder, in.expr, syms);
    const Program* program = in.program ? in.program : compiled ? &*compiled : nullptr;
    if (!program) throw Unsupported("the formula does not compile");
    std::vector<std::span<const double>> arrays(tracks.begin(), tracks.end());
    auto value = program->run(math, arrays, n);
    if (!value) throw Unsupported("the generated code raises; sympy evaluates pointwise");
    Doubles vals = value->kind == Value::Array
                       ? std::move(value->array)
                       : Doubles(n, value->kind == Value::Int ? (double)value->i : value->x);
    vals = finite_or_zero(std::move(vals));
    const Doubles& first = tracks[0];
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return first[a] < first[b]; });
    for (std::size_t k = 1; k < n; ++k)
        if (!(first[order[k - 1]] < first[order[k]]))
            throw Unsupported("tied coordinates, which argsort may order either way");
    Doubles sorted_vals(n), coord(n);
    for (std::size_t k = 0; k < n; ++k) {
        sorted_vals[k] = vals[order[k]];
        coord[k] = first[order[k]];
    }
    return {std::move(sorted_vals), std::move(coord)};
}

std::string growth_class(std::span<const double> vals) {
    if (vals.size() < 8) return "undefined";
    double abs_max = 0.0;
    for (double x : vals) abs_max = std::max(abs_max, std::fabs(x));
    const double first = vals.front(), last = vals.back();
    const double span = std::fabs(last - first);
    const long changes = sign_changes(vals);
    const double curvature = mean(absolute(diff(diff(vals))));
    if (abs_max > 1000.0) return "exponential";
    if (changes >= 3) return "oscillatory";
    if (std::fabs(first) > 1.5 * std::fabs(last) && abs_max > 0.1) return "decaying";
    if (span < 0.05 * abs_max && abs_max < 100) return "bounded";
    if (curvature > 0.05) return "polynomial";
    return "linear";
}

Behaviour extract_behaviour(Builder& builder, const Backend& math, const BehaviourInput& in) {
    if (in.grid.size() < 3) throw Unsupported("a grid too short to describe natively");
    if (in.seed.empty()) throw Unsupported("no seed for the sensitivity noise");
    auto [vals, coord] = eval_safe(builder, math, in);
    const std::size_t n = vals.size();
    Behaviour out;

    std::size_t finite = 0;
    for (double x : vals) finite += std::isfinite(x);
    out.frac_invalid = 1.0 - (double)finite / (double)n;
    vals = finite_or_zero(std::move(vals));

    LegacyNormal normal(in.seed);
    Doubles noisy(n);
    for (std::size_t k = 0; k < n; ++k) {
        noisy[k] = vals[k] + 1e-6 * normal.gauss();
        if (!std::isfinite(noisy[k])) noisy[k] = vals[k];
    }

    // np.linalg.norm: the square root of BLAS's dot.
    const double squares = math.dot(vals.data(), vals.data(), n);
    double norm = 0.0;
    math.unary(Loop::sqrt, &squares, &norm, 1);
    const double scale = norm + 1e-9;
    out.behavior_vec.resize(n);
    for (std::size_t k = 0; k < n; ++k) out.behavior_vec[k] = vals[k] / scale;

    out.growth_class = growth_class(vals);
    out.is_periodic = sign_changes(vals) >= 3;

    // vals are finite: every value is valid.
    const Doubles diffs = diff(vals);
    const Doubles coord_steps = diff(coord);
    Doubles deriv(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) deriv[k] = diffs[k] / coord_steps[k];
    out.derivative_approx = nanmean(absolute(deriv));
    Doubles integral(n, 0.0), areas(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k)
        areas[k] = (vals[k] + vals[k + 1]) / 2.0 * coord_steps[k];
    const Doubles running = cumsum(areas);
    std::copy(running.begin(), running.end(), integral.begin() + 1);
    out.integral_approx = nanmean(absolute(integral));
    out.monotone_is_numpy = true;
    out.is_monotone = std::all_of(diffs.begin(), diffs.end(), [](double d) { return d >= 0; }) ||
                      std::all_of(diffs.begin(), diffs.end(), [](double d) { return d <= 0; });
    out.is_bounded =
        std::all_of(vals.begin(), vals.end(), [](double x) { return std::fabs(x) < 1e4; });
    out.variance = nanvar(vals);
    if (deriv.size() >= 2) {
        const Doubles dd = diff(deriv);
        Doubles second(dd.size()), ratio(dd.size());
        for (std::size_t k = 0; k < dd.size(); ++k) {
            second[k] = dd[k] / coord_steps[k];
            ratio[k] = std::fabs(second[k]) / (std::fabs(deriv[k]) + 1e-9);
        }
        const double curvature = nanmean(absolute(second));
        const double nonlinearity = nanmean(ratio);
        out.stability_score = -curvature / (nonlinearity + 1e-9);
    }
    Doubles relative(n);
    for (std::size_t k = 0; k < n; ++k)
        relative[k] = std::fabs(nan_to_num(noisy[k] - vals[k])) / (std::fabs(vals[k]) + 1e-9);
    out.sensitivity_perturbation = nanmean(relative);
    out.boundedness = out.is_bounded ? 1.0 : 0.0;
    return out;
}

}  // namespace kt::symbolic
