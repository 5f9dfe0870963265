"""Plain-Python transcriptions of the engine's documented steps.

The tests compare the compiled module with these, number for number; the benchmarks use
them as the plain-Python baseline.
"""
import numpy as np
import sympy as sp

GRID = np.logspace(-1, 2, 64)
GRID_LINEAR = np.linspace(0.1, 20.0, 64)


def growth_class(vals):
    if vals is None:
        return "undefined"
    vals = vals[~np.isnan(vals)]
    if len(vals) < 8:
        return "undefined"
    finite_mask = np.isfinite(vals)
    if not finite_mask.any():
        return "undefined"
    if not finite_mask.all():
        return "exponential"
    abs_max = np.max(np.abs(vals))
    span = abs(vals[-1] - vals[0])
    sign_changes = int(np.sum(np.diff(np.sign(vals)) != 0))
    curvature = float(np.mean(np.abs(np.diff(np.diff(vals)))))
    if abs_max > 1000.0:
        return "exponential"
    if sign_changes >= 3:
        return "oscillatory"
    if abs(vals[0]) > 1.5 * abs(vals[-1]) and abs_max > 0.1:
        return "decaying"
    if span < 0.05 * abs_max and abs_max < 100:
        return "bounded"
    if curvature > 0.05:
        return "polynomial"
    return "linear"


def eval_safe(expr, grid, var_ranges=None, seed=0):
    syms = sorted(expr.free_symbols, key=str)
    n = len(grid)
    if not syms:
        try:
            return np.full_like(grid, float(expr)), grid.copy()
        except Exception:
            return np.linspace(0.1, 2.0, n), grid.copy()
    rng = np.random.default_rng(seed)
    arrays = []
    for i, _ in enumerate(syms):
        if var_ranges and i in var_ranges:
            lo, hi = var_ranges[i]
            if hi <= lo:
                hi = lo + 1.0
            arrays.append(np.linspace(lo, hi, n) if len(syms) == 1 else rng.uniform(lo, hi, n))
        else:
            arrays.append(np.logspace(-1, 2, n) if len(syms) == 1
                          else np.exp(rng.uniform(np.log(0.1), np.log(100.0), n)))
    try:
        f = sp.lambdify(syms, expr, modules=["numpy"], dummify=True)
        vals = np.array(f(*arrays), dtype=float)
        if vals.ndim == 0:
            vals = np.full_like(grid, vals)
        if np.iscomplexobj(vals):
            vals = vals.real
        vals = np.where(np.isfinite(vals), vals, 0.0)
    except Exception:
        try:
            out = []
            for k in range(n):
                out.append(float(expr.subs({syms[i]: arrays[i][k] for i in range(len(syms))}).evalf()))
            vals = np.array(out)
            vals = np.where(np.isfinite(vals), vals, 0.0)
        except Exception:
            return np.linspace(0.1, 2.0, n), grid.copy()
    order = np.argsort(arrays[0])
    return vals[order], arrays[0][order]


def extract_behavior(expr, var_ranges=None, grid=GRID, grid_linear=GRID_LINEAR):
    vals, coord = eval_safe(expr, grid, var_ranges=var_ranges)
    vals_linear, _ = eval_safe(expr, grid_linear, var_ranges=var_ranges)
    finite = np.isfinite(vals)
    frac_invalid = 1.0 - np.sum(finite) / len(vals)
    vals = np.where(finite, vals, 0.0)
    noisy_vals = vals + 1e-6 * np.random.randn(len(vals))
    noisy_vals = np.where(np.isfinite(noisy_vals), noisy_vals, vals)
    bvec = np.nan_to_num(vals, nan=0.0)
    if bvec.shape != grid.shape:
        try:
            bvec = np.broadcast_to(bvec, grid.shape)
        except Exception:
            bvec = np.full(len(grid), float(np.mean(bvec)) if bvec.size else 0.0)
    bvec = bvec / (np.linalg.norm(bvec) + 1e-9)
    try:
        gc = growth_class(vals)
    except Exception:
        gc = "unknown"
    try:
        lin_valid = vals_linear[~np.isnan(vals_linear)]
        changes = int(np.sum(np.diff(np.sign(lin_valid)) != 0)) if len(lin_valid) >= 2 else 0
        is_periodic = changes >= 3
    except Exception:
        is_periodic = gc == "oscillatory"
    derivative_approx = integral_approx = stability_score = 0.0
    sensitivity_perturbation = variance = boundedness = 0.0
    is_mono = False
    bounded = False
    valid = ~np.isnan(vals)
    clean = vals[valid]
    valid_coord = coord[valid]
    if len(clean) >= 2:
        diffs = np.diff(clean)
        deriv = np.diff(clean) / np.diff(valid_coord)
        derivative_approx = float(np.nanmean(np.abs(deriv)))
        integral_vec = np.concatenate(
            ([0.0], np.cumsum((clean[:-1] + clean[1:]) / 2 * np.diff(valid_coord))))
        integral_approx = float(np.nanmean(np.abs(integral_vec)))
        is_mono = len(diffs) > 0 and (np.all(diffs >= 0) or np.all(diffs <= 0))
        bounded = bool(np.all(np.abs(clean) < 1e4))
        variance = float(np.nanvar(clean))
        if len(deriv) >= 2:
            second_deriv = np.diff(deriv) / np.diff(valid_coord[:-1])
            curvature = float(np.nanmean(np.abs(second_deriv)))
            nonlinearity = float(np.nanmean(np.abs(second_deriv) / (np.abs(deriv[:-1]) + 1e-9)))
            stability_score = -curvature / (nonlinearity + 1e-9)
        diff = np.nan_to_num(noisy_vals - vals, nan=0.0)
        sensitivity_perturbation = float(np.nanmean(np.abs(diff) / (np.abs(vals) + 1e-9)))
        boundedness = 1.0 if bounded else 0.0
    elif len(clean) == 1:
        bounded = abs(clean[0]) < 1e4
        boundedness = 1.0 if bounded else 0.0
    return {
        "behavior_vec": bvec, "is_bounded": bounded, "boundedness": boundedness,
        "is_periodic": is_periodic, "is_monotone": is_mono, "variance": variance,
        "derivative_vec": [], "integral_vec": [], "derivative_approx": derivative_approx,
        "integral_approx": integral_approx, "stability_score": stability_score,
        "sensitivity_perturbation": sensitivity_perturbation, "growth_class": gc,
        "frac_invalid": frac_invalid,
    }


def to_zss(expr):
    import zss
    node = zss.Node(type(expr).__name__ if expr.args else str(expr))
    for a in expr.args:
        node.addkid(to_zss(a))
    return node


def structural_sim(a, b):
    import zss
    from difflib import SequenceMatcher
    td = zss.simple_distance(to_zss(a.expr), to_zss(b.expr))
    td_sim = float(np.exp(-0.25 * td))
    op_sim = SequenceMatcher(None, a.operators, b.operators).ratio()
    bonus = 0.1 if a.root_type == b.root_type else 0.0
    if a.repeated_var == b.repeated_var:
        bonus += 0.05
    if a.unary_depth == b.unary_depth:
        bonus += 0.05
    return min(0.5 * td_sim + 0.4 * op_sim + bonus, 1.0)


def behavioral_sim(a, b):
    if a.frac_invalid > 0.3 or b.frac_invalid > 0.3:
        return 0.3
    vec_a, vec_b = a.behavior_vec, b.behavior_vec
    if vec_a is None or vec_b is None or len(vec_a) == 0 or len(vec_b) == 0:
        return 0.5
    if np.all(vec_a == vec_a[0]):
        return 0.5
    if np.all(vec_b == vec_b[0]):
        return 0.5
    if len(vec_a) != len(vec_b):
        min_len = min(len(vec_a), len(vec_b))
        vec_a, vec_b = vec_a[:min_len], vec_b[:min_len]
    vec_dist = np.linalg.norm(vec_a - vec_b)
    growth_bonus = 0.5 if a.growth_class == b.growth_class else 0.0
    mono_bonus = 0.15 if a.is_monotone == b.is_monotone else 0.0
    bounded_bonus = 0.15 if a.is_bounded == b.is_bounded else 0.0
    periodic_bonus = 0.2 if a.is_periodic == b.is_periodic else 0.0
    base_sim = np.exp(-0.5 * vec_dist)
    bonus = growth_bonus + mono_bonus + bounded_bonus + periodic_bonus
    sim = min(1.0, base_sim + bonus)
    return float(np.clip(sim, 0.0, 1.0))


def similarity(a, b, alpha=0.85, beta=0.15):
    return alpha * structural_sim(a, b) + beta * behavioral_sim(a, b)
