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
            arrays.append(
                np.logspace(-1, 2, n)
                if len(syms) == 1
                else np.exp(rng.uniform(np.log(0.1), np.log(100.0), n))
            )
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
                out.append(
                    float(expr.subs({syms[i]: arrays[i][k] for i in range(len(syms))}).evalf())
                )
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
            ([0.0], np.cumsum((clean[:-1] + clean[1:]) / 2 * np.diff(valid_coord)))
        )
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
        "behavior_vec": bvec,
        "is_bounded": bounded,
        "boundedness": boundedness,
        "is_periodic": is_periodic,
        "is_monotone": is_mono,
        "variance": variance,
        "derivative_vec": [],
        "integral_vec": [],
        "derivative_approx": derivative_approx,
        "integral_approx": integral_approx,
        "stability_score": stability_score,
        "sensitivity_perturbation": sensitivity_perturbation,
        "growth_class": gc,
        "frac_invalid": frac_invalid,
    }


def to_zss(expr):
    import zss

    node = zss.Node(type(expr).__name__ if expr.args else str(expr))
    for a in expr.args:
        node.addkid(to_zss(a))
    return node


def structural_sim(a, b):
    from difflib import SequenceMatcher

    import zss

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


# ---- anti-unification -------------------------------------------------------------------
import itertools
import re


def is_wildcard(expr):
    return isinstance(expr, sp.Symbol) and str(expr).startswith("φ")


def is_source_variable(expr):
    if not isinstance(expr, sp.Symbol):
        return False
    name = str(expr)
    if name.startswith("__KLTN_"):
        return True
    return bool(re.fullmatch(r"v\d+", name))


def is_generalized_variable(expr):
    return isinstance(expr, sp.Symbol) and bool(re.fullmatch(r"v\d+", str(expr)))


def canonical_pair_key(a, b):
    sa, sb = sp.srepr(a), sp.srepr(b)
    return (a, b) if sa <= sb else (b, a)


MAX_POWER_FACTORS = 32  # larger powers are no products (src/antiunify/predicates.cpp)


def multiplicative_args(expr):
    if isinstance(expr, sp.Pow) and expr.exp.is_Integer and expr.exp.is_positive:
        if expr.exp > MAX_POWER_FACTORS:
            return None
        return [expr.base] * int(expr.exp)
    if isinstance(expr, sp.Mul):
        return list(expr.args)
    return None


def structural_score(a, b):
    if a == b:
        return 1000.0
    if is_wildcard(a) or is_wildcard(b):
        return 0.0
    a_num, b_num = a.is_number, b.is_number
    if a_num and b_num:
        return 25.0
    if a_num != b_num:
        return -100.0
    if isinstance(a, sp.Symbol) and isinstance(b, sp.Symbol):
        return 40.0
    if a.func != b.func:
        return 0.0
    score = 100.0
    if len(a.args) != len(b.args):
        return 10.0
    for x, y in zip(a.args, b.args):
        score += max(-50.0, structural_score(x, y)) * 0.5
    return score


def best_commutative_pairing(a_args, b_args):
    a_args, b_args = list(a_args), list(b_args)
    if len(a_args) != len(b_args):
        raise ValueError("Arguments must have equal length")
    n = len(a_args)
    if n == 0:
        return []
    if n <= 7:
        best_perm, best_score = None, float("-inf")
        for perm in itertools.permutations(range(n)):
            score = sum(structural_score(a_args[i], b_args[perm[i]]) for i in range(n))
            if score > best_score:
                best_score, best_perm = score, perm
        return [(a_args[i], b_args[best_perm[i]]) for i in range(n)]
    candidates = [
        (structural_score(a, b), i, j) for i, a in enumerate(a_args) for j, b in enumerate(b_args)
    ]
    candidates.sort(reverse=True)
    used_a, used_b, pairing = set(), set(), []
    for _, i, j in candidates:
        if i in used_a or j in used_b:
            continue
        pairing.append((i, j))
        used_a.add(i)
        used_b.add(j)
        if len(pairing) == n:
            break
    if len(pairing) != n:
        pairing.extend(
            zip([i for i in range(n) if i not in used_a], [j for j in range(n) if j not in used_b])
        )
    pairing.sort(key=lambda p: p[0])
    return [(a_args[i], b_args[j]) for i, j in pairing]


def anti_unify(a, b, counter, memo, variable_memo):
    if a == b:
        return a
    if is_wildcard(a):
        return a
    if is_wildcard(b):
        return b
    if is_generalized_variable(a) and is_source_variable(b):
        return a
    if is_source_variable(a) and is_generalized_variable(b):
        return b
    key = canonical_pair_key(a, b)
    if key in memo:
        return memo[key]
    a_factors, b_factors = multiplicative_args(a), multiplicative_args(b)
    if a_factors is not None and b_factors is not None and len(a_factors) == len(b_factors):
        pairing = best_commutative_pairing(a_factors, b_factors)
        result = sp.Mul(*[anti_unify(x, y, counter, memo, variable_memo) for x, y in pairing])
        memo[key] = result
        return result
    if a.func == b.func and a.func in (sp.Add, sp.Mul):
        a_args, b_args = list(a.args), list(b.args)
        candidates = [
            (structural_score(l, r), i, j)
            for i, l in enumerate(a_args)
            for j, r in enumerate(b_args)
            if structural_score(l, r) > 0
        ]
        candidates.sort()
        candidates.reverse()
        used_a, used_b, unified = set(), set(), []
        for _, i, j in candidates:
            if i in used_a or j in used_b:
                continue
            unified.append(anti_unify(a_args[i], b_args[j], counter, memo, variable_memo))
            used_a.add(i)
            used_b.add(j)
        unmatched = (len(a_args) - len(used_a)) + (len(b_args) - len(used_b))
        for _ in range(unmatched):
            counter[0] += 1
            unified.append(sp.Symbol("φ" + str(counter[0])))
        result = a.func(*unified)
        memo[key] = result
        return result
    if a.func == b.func and len(a.args) == len(b.args) and len(a.args) > 0:
        unified = [anti_unify(x, y, counter, memo, variable_memo) for x, y in zip(a.args, b.args)]
        try:
            result = a.func(*unified)
            memo[key] = result
            return result
        except Exception:
            pass
    if is_source_variable(a) and is_source_variable(b):
        sa, sb = sp.srepr(a), sp.srepr(b)
        pair_key = (sa, sb) if sa <= sb else (sb, sa)
        if pair_key in variable_memo:
            return variable_memo[pair_key]
        var = sp.Symbol("v" + str(len(variable_memo)))
        variable_memo[pair_key] = var
        memo[key] = var
        return var
    counter[0] += 1
    result = sp.Symbol("φ" + str(counter[0]))
    memo[key] = result
    return result


def canonicalize(expr, source_id=None):
    seen = []
    for node in sp.preorder_traversal(expr):
        if isinstance(node, sp.Symbol) and not str(node).startswith("φ") and node not in seen:
            seen.append(node)
    names = [
        "v%d" % i if source_id is None else "__KLTN_%s_v%d" % (source_id, i)
        for i in range(len(seen))
    ]
    return expr.xreplace({s: sp.Symbol(n) for s, n in zip(seen, names)})


def anti_unify_cluster(exprs):
    if not exprs:
        return None
    unique = list(dict.fromkeys(exprs))
    if len(unique) < 2:
        return None
    tagged = [canonicalize(e, source_id=i) for i, e in enumerate(unique)]
    counter, memo, variable_memo = [0], {}, {}
    result = tagged[0]
    for expr in tagged[1:]:
        result = anti_unify(result, expr, counter, memo, variable_memo)
    return result


# ---- candidate scores --------------------------------------------------------------------
import math


def normalize_wildcards(expr):
    """Wildcards renamed to the first v<k> names the formula's own symbols do not use."""
    nodes = list(sp.preorder_traversal(expr))
    taken = {str(n) for n in nodes if isinstance(n, sp.Symbol) and not str(n).startswith("φ")}
    mapping, counter = {}, [0]
    for node in nodes:
        if isinstance(node, sp.Symbol) and str(node).startswith("φ") and node not in mapping:
            while "v" + str(counter[0]) in taken:
                counter[0] += 1
            mapping[node] = sp.Symbol("v" + str(counter[0]))
            counter[0] += 1
    return expr.xreplace(mapping)


def compositionality_score(formula, lib_exprs):
    import zss

    if not lib_exprs:
        return 0.0
    norm = normalize_wildcards(formula)
    min_dist = float("inf")
    for le in lib_exprs:
        try:
            min_dist = min(min_dist, zss.simple_distance(to_zss(norm), to_zss(le)))
        except Exception:
            pass
    for a, b in itertools.combinations(lib_exprs, 2):
        for composed in (a + b, a * b):
            try:
                min_dist = min(min_dist, zss.simple_distance(to_zss(norm), to_zss(composed)))
            except Exception:
                pass
    if math.isinf(min_dist):
        return 0.0
    return float(max(0.0, min(1.0, math.exp(-0.25 * min_dist))))


def log_compress(x):
    x = float(x)
    if not np.isfinite(x):
        return 1.0
    sign = 1.0 if x >= 0 else -1.0
    return sign * np.log1p(abs(x))


def behavioral_distance(cluster, lib_descs, grid=GRID):
    if not lib_descs:
        return float("inf")
    bvecs = [d.behavior_vec for d in cluster if d.behavior_vec is not None]
    if not bvecs:
        return float("inf")
    normalized = []
    for b in bvecs:
        if np.ndim(b) == 0:
            normalized.append(np.full(grid.shape, float(b)))
        elif b.shape != grid.shape:
            try:
                normalized.append(np.broadcast_to(b, grid.shape))
            except Exception:
                normalized.append(np.full(grid.shape, float(np.mean(b)) if b.size else 0.0))
        else:
            normalized.append(b)
    cluster_bvec = np.nanmean(np.vstack(normalized), axis=0)
    cluster_deriv = float(np.nanmean([d.derivative_approx for d in cluster]))
    cluster_integ = float(np.nanmean([d.integral_approx for d in cluster]))
    cluster_stab = float(np.nanmean([d.stability_score for d in cluster]))
    cluster_sens = float(np.nanmean([d.sensitivity_perturbation for d in cluster]))
    cluster_growth = cluster[0].growth_class
    best = float("inf")
    for ld in lib_descs.values():
        try:
            vec_dist = float(np.linalg.norm(cluster_bvec - ld.behavior_vec))
        except Exception:
            vec_dist = float("inf")
        growth_pen = 0.0 if cluster_growth == ld.growth_class else 1.0
        d = (
            0.6 * log_compress(vec_dist)
            + 1.0 * log_compress(abs(cluster_deriv - ld.derivative_approx))
            + 0.6 * log_compress(abs(cluster_integ - ld.integral_approx))
            + 0.8 * log_compress(abs(cluster_stab - ld.stability_score))
            + 0.8 * log_compress(abs(cluster_sens - ld.sensitivity_perturbation))
            + 2.0 * growth_pen
        )
        best = min(best, d)
    return float(best)


def recurrence_strength(cluster, all_count):
    k = len(cluster)
    if k <= 1 or all_count <= 1:
        return 0.0
    sims = [similarity(cluster[i], cluster[j]) for i in range(k) for j in range(i + 1, k)]
    mean_sim = float(np.mean(sims)) if sims else 0.0
    return float(mean_sim * (k / float(all_count)) * k)


# ---- detection pipeline and filter (stages from the engine, distances through zss) --------
def detect_structure(
    m,
    bank,
    library,
    var_ranges_bank=None,
    sim_threshold=0.85,
    novelty_threshold=1.0,
    alpha=0.85,
    beta=0.15,
    scales=(10.0, 10.0, 10.0),
):
    import zss

    if not bank:
        return []
    exprs = [item[1] for item in bank] if isinstance(bank[0], tuple) else bank
    descriptors = [
        m.describe(e, var_ranges=var_ranges_bank[i] if var_ranges_bank else None)
        for i, e in enumerate(exprs)
    ]
    mat = m.pairwise_matrix(descriptors, alpha=alpha, beta=beta)
    lib_descs = {name: m.describe(e) for name, e in library.items()}
    lib_exprs = list(library.values())
    candidates = []
    for cluster in m.cluster_by_similarity(descriptors, mat, threshold=sim_threshold):
        tagged = [m._canonicalize_expr(d.expr, source_id=k) for k, d in enumerate(cluster)]
        formula = m.anti_unify_cluster(tagged)
        if formula is None or not m._is_valid_generalization(formula):
            continue
        formula = m._display_canonical_expr(formula)
        dists, names = [], []
        normalized = m._normalize_wildcards(formula)
        for name, le in library.items():
            try:
                dists.append(zss.simple_distance(m.to_zss(normalized), m.to_zss(le)))
                names.append(name)
            except Exception:
                pass
        if dists:
            structural, closest = float(min(dists)), names[int(np.argmin(dists))]
        else:
            structural, closest = float("inf"), "none"
        behavioral = m.behavioral_distance_between_cluster_and_library(cluster, lib_descs)
        irreducibility = 1.0 - m.compositionality_score(formula, lib_exprs)
        rec = m.recurrence_strength(cluster, len(descriptors))
        gain = m.compression_gain(cluster, formula)
        if math.isinf(structural):
            novelty = float("inf")
        else:
            novelty = (
                structural
                + behavioral
                + irreducibility / scales[0]
                + rec / scales[1]
                + gain / scales[2]
            )
        if novelty >= novelty_threshold:
            candidates.append(
                m.GeneralizedCandidate(
                    formula=formula,
                    members=[d.numeric_expr for d in cluster],
                    growth_class=cluster[0].growth_class,
                    novelty=novelty,
                    closest_lib=closest,
                )
            )
    return candidates


def min_composition_distance(m, formula, lib_exprs):
    import zss

    normalized = m._normalize_wildcards(formula)
    best = float("inf")
    for i, a in enumerate(lib_exprs):
        for b in lib_exprs[i:]:
            for composed in (a + b, a * b):
                try:
                    best = min(best, zss.simple_distance(m.to_zss(normalized), m.to_zss(composed)))
                except Exception:
                    pass
    return best


def filter_candidates(
    m,
    candidates,
    library,
    min_members=2,
    novel_threshold=6.0,
    repeated_threshold=1.0,
    composition_threshold=2.0,
    max_density=0.6,
):
    lib_exprs = list(library.values())
    novel, repeated, discarded = [], [], []
    for c in candidates:
        if len(c.members) < min_members:
            discarded.append(("too few members (not recurring)", c))
        elif isinstance(c.formula, sp.Symbol) and str(c.formula).startswith("φ"):
            discarded.append(("bare wildcard", c))
        elif m._wildcard_density(c.formula) > max_density:
            discarded.append(
                (f"too generic (wildcard density {m._wildcard_density(c.formula):.2f})", c)
            )
        elif min_composition_distance(m, c.formula, lib_exprs) < composition_threshold:
            discarded.append(("already expressible", c))
        elif c.novelty >= novel_threshold:
            novel.append(c)
        elif c.novelty >= repeated_threshold:
            repeated.append(c)
        else:
            discarded.append(("novelty too low", c))
    novel.sort(key=lambda c: c.novelty, reverse=True)
    repeated.sort(key=lambda c: c.novelty, reverse=True)
    return m.FilterResult(novel=novel, repeated=repeated, discarded=discarded)


def compression_gain(cluster, formula):
    total = sum(d.n_nodes for d in cluster)
    if total <= 0:
        return 0.0
    gain = (total - sum(1 for _ in sp.preorder_traversal(formula))) / total
    return float(max(0.0, min(1.0, gain)))


# ---- controlled composition (Python's global random generator) ---------------------------
import random as _random

ATOMS = [
    "x",
    "y",
    "z",
    "a",
    "b",
    "c",
    "t",
    "u",
    "w",
    "n",
    "m",
    "p",
    "q",
    "1",
    "2",
    "3",
    "4",
    "5",
    "-1",
    "-2",
    "-3",
    "-4",
    "-5",
    "0.5",
    "3.14",
    "2.71",
    "10",
    "-10",
]


def compose(op, max_level=2, seed=None, atoms=None, level_probs=None):
    if seed is not None:
        _random.seed(seed)
    atoms = atoms or list(ATOMS)
    level_probs = level_probs or [0.5, 0.5]

    def build(level):
        if level == 0:
            return _random.choice(atoms)
        args = []
        for _ in op.params:
            available = list(range(level))
            probs = level_probs[:level]
            probs = probs + [0.0] * (len(available) - len(probs))
            total = sum(probs)
            probs = (
                [1.0 / len(available)] * len(available)
                if total == 0
                else [p / total for p in probs]
            )
            args.append(build(_random.choices(available, weights=probs)[0]))
        return op.name + "(" + ", ".join(args) + ")"

    return build(max_level)


# ---- operator expansion (regular-expression replacement) ---------------------------------
def expand(op, expr):
    """SymbolicOperator.expand through re.sub; a call is not the tail of a longer name."""
    name = op.name

    def find_calls(s):
        calls, i = [], 0
        while i < len(s):
            if s.startswith(name + "(", i) and (
                i == 0 or not (s[i - 1].isalnum() or s[i - 1] == "_")
            ):
                start, i = i, i + len(name) + 1
                arg_start, depth = i, 1
                while i < len(s) and depth > 0:
                    depth += {"(": 1, ")": -1}.get(s[i], 0)
                    i += 1
                calls.append((start, i, s[arg_start : i - 1]))
            else:
                i += 1
        return calls

    while True:
        changed = False
        for start, end, arg_str in reversed(find_calls(expr)):
            args = op._split_args(arg_str)
            if len(args) != len(op.params):
                continue
            result = op.body
            for param, arg in zip(op.params, args):
                result = re.sub(r"\b" + re.escape(param) + r"\b", lambda _: "(" + arg + ")", result)
            expr = expr[:start] + "(" + result + ")" + expr[end:]
            changed = True
        if not changed:
            return expr
