"""The descriptor computed natively from a tree is describe's, field by field: numpy's own loops
called on plain buffers give numpy's bits, the compiled program gives the generated function's
values, the reductions, sequences and legacy normal deviates are numpy's, and the whole
descriptor and its packed bytes equal `describe` and `pack_descriptors` under the same seed."""

import warnings

import formulas
import numpy as np
import pytest
import sympy as sp

from source.bank.feynman import load_bank
from source.bank.parsing import FormulaError, parse_formula

kernels = pytest.importorskip("_brenmoor_testing")

UNARY = ["exp", "log", "sin", "cos", "tan", "arcsin", "arccos", "arctan", "sinh", "cosh"]
UNARY += ["tanh", "arcsinh", "arccosh", "arctanh", "sqrt", "absolute", "negative", "square"]
UNARY += ["reciprocal"]
SPECIAL = [0.0, -0.0, np.nan, np.inf, -np.inf, 1.0, -1.0, 1e-310, 5e-324, 1.7e308, 710.0, -745.5]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def same_bits(a, b):
    """Every value bit for bit, NaN with NaN's own sign and payload."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(bits(a), bits(b))


def samples(rng, n=4096):
    """Values over many scales and signs, the special values among them."""
    scale = 10.0 ** rng.uniform(-8, 3, n)
    x = rng.choice([-1.0, 1.0], n) * scale * rng.random(n)
    return np.concatenate([x, rng.uniform(-1, 1, 500), SPECIAL])


@pytest.mark.parametrize("name", UNARY)
def test_backend_loops_are_numpy_bit_for_bit(name):
    x = samples(np.random.default_rng(len(name)))
    with np.errstate(all="ignore"):
        want = getattr(np, name)(x)
        for n in (len(x), 1, 7, 64):
            assert same_bits(kernels.numpy_loop(name, x[:n]), want[:n]), (name, n)


def test_power_loop_with_arrays_and_scalar_operands():
    rng = np.random.default_rng(5)
    base, exp = samples(rng), rng.uniform(-6, 6, len(samples(rng)))
    exp[::7] = np.round(exp[::7])
    with np.errstate(all="ignore"):
        assert same_bits(kernels.numpy_loop("power", base, exp), np.power(base, exp))
        for s in [3.0, -2.0, 0.3333333333333333, 1.5, -0.5]:
            assert same_bits(kernels.numpy_loop("power", base, s), np.power(base, s)), s
            assert same_bits(kernels.numpy_loop("power", s, exp), np.power(s, exp)), s


@pytest.mark.parametrize("n", [1, 3, 17, 64, 1000])
def test_dot_is_numpys_norm_square(n):
    x = np.random.default_rng(n).normal(size=n) * 1e3
    assert same_bits(kernels.numpy_loop("dot", x), x.dot(x))


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 63, 64, 129, 300, 1025])
def test_reductions_are_numpys(n, m):
    rng = np.random.default_rng(n)
    x = rng.normal(size=n) * 10.0 ** rng.integers(-5, 5, n)
    if n > 4:
        x[rng.integers(0, n, n // 4)] = np.nan
    finite = np.where(np.isnan(x), 1.0, x)
    got, got_finite = kernels.native_stats(x), kernels.native_stats(finite)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert same_bits(got_finite["sum"], np.sum(finite))
        assert same_bits(got_finite["mean"], np.mean(finite))
        assert same_bits(got_finite["cumsum"], np.cumsum(finite))
        assert same_bits(got["nanmean"], np.nanmean(x))
        assert same_bits(got["nanvar"], np.nanvar(x))
    if n >= 8:
        assert got_finite["growth_class"] == m._growth_class(finite)


@pytest.mark.parametrize("lo, hi", [(0.1, 10.0), (-1, 2), (3.0, 3.0), (1e-3, 7.77), (-5.5, -0.25)])
@pytest.mark.parametrize("n", [2, 64, 101])
def test_spaces_are_numpys(lo, hi, n):
    assert same_bits(kernels.native_space(lo, hi, n), np.linspace(lo, hi, n))
    assert same_bits(kernels.native_space(lo, hi, n, log=True), np.logspace(lo, hi, n))


@pytest.mark.parametrize("seed", [[0], [1, 2, 3], [42, 4294967295, 7], [2**31, 5] * 400])
def test_legacy_normal_deviates_are_numpys(seed):
    np.random.seed(seed)
    want = np.random.randn(1001)
    assert same_bits(kernels.legacy_randn(seed, 1001), want)


def parsed(texts):
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in texts:
            try:
                out.append(parse_formula(t))
            except FormulaError:
                pass
    return out


CORPUS = {
    "feynman": lambda: parsed(formulas.feynman()),
    "regression": lambda: parsed(formulas.regression(step=29)),
    "variants": lambda: parsed(formulas.variants(120)),
    "random": lambda: parsed(formulas.random_texts(120)),
}


def tracks(syms, seed):
    rng = np.random.default_rng(seed)
    return [rng.uniform(-3.0, 8.0, 64) for _ in syms]


@pytest.mark.parametrize("corpus", list(CORPUS))
def test_program_values_are_the_generated_functions(corpus, m):
    ran = 0
    for k, e in enumerate(CORPUS[corpus]()[:150]):
        syms = sorted(e.free_symbols, key=str)
        arrays = tracks(syms, k)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = kernels.native_program(e, syms, arrays, as_given=True)
            renamed = kernels.native_program(e, syms, arrays)
            if got is None:
                continue
            ran += 1
            assert same_bits(got, m._numeric_values(e, syms, arrays)), e
            assert renamed is not None, e
            assert same_bits(renamed, kernels.numeric_program(e, syms, arrays)), e
    assert ran > 0


def feynman_cases():
    return [(f.expr, f.var_ranges()) for f in load_bank()]


def random_ranges(exprs, seed):
    rng = np.random.default_rng(seed)
    out = []
    for e in exprs:
        n = len(e.free_symbols)
        lo = rng.uniform(-5, 5, n)
        out.append((e, {i: (float(lo[i]), float(lo[i] + rng.uniform(0, 9))) for i in range(n)}))
    return out


CASES = {
    "feynman-ranges": feynman_cases,
    "feynman-none": lambda: [(e, None) for e, _ in feynman_cases()],
    "regression-none": lambda: [(e, None) for e in CORPUS["regression"]()[:60]],
    "variants-random": lambda: random_ranges(CORPUS["variants"]()[:60], 1),
    "random-random": lambda: random_ranges(CORPUS["random"]()[:60], 2),
}

STRUCTURE = ["root_type", "depth", "n_nodes", "n_vars", "repeated_var", "unary_depth"]
STRUCTURE += ["operators", "growth_class", "derivative_vec", "integral_vec"]
FLAGS = ["is_bounded", "is_periodic", "is_monotone"]
FLOATS = ["boundedness", "variance", "derivative_approx", "integral_approx", "stability_score"]
FLOATS += ["sensitivity_perturbation", "frac_invalid"]


def assert_same_descriptor(got, packed, want, m):
    assert sp.srepr(got.expr) == sp.srepr(want.expr)
    assert got.numeric_expr == want.numeric_expr
    for f in STRUCTURE:
        assert getattr(got, f) == getattr(want, f), f
    for f in FLAGS:
        assert bool(getattr(got, f)) == bool(getattr(want, f)), f
    for f in FLOATS:
        assert same_bits(getattr(got, f), getattr(want, f)), f
    assert same_bits(got.behavior_vec, want.behavior_vec)
    assert packed == m.pack_descriptors([want])


def describe_native(e, ranges, seed, m, source_id=None):
    """(descriptor, packed) natively, the descriptor the record describe returns; or None."""
    assert m.GRID.shape == m.GRID_LINEAR.shape  # describe samples once
    got = kernels.describe_native(e, ranges, seed, m.GRID, source_id)
    return None if got is None else (m.ExprDescriptor(**got[0]), got[1])


def describe_both(e, ranges, seed, m, source_id=None):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        native = describe_native(e, ranges, seed, m, source_id)
        np.random.seed(seed)
        want = m.describe(e, var_ranges=ranges, source_id=source_id)
    return native, want


@pytest.mark.parametrize("case", list(CASES))
def test_native_descriptor_is_describes(case, m):
    exprs = CASES[case]()
    native_count = 0
    for k, (e, ranges) in enumerate(exprs):
        seed = [7, k, 12345]
        native, want = describe_both(e, ranges, seed, m)
        if native is None:
            continue
        native_count += 1
        assert_same_descriptor(*native, want, m)
    assert native_count >= 0.8 * len(exprs), (native_count, len(exprs))


x, y = sp.symbols("x y")


@pytest.mark.parametrize(
    "e, ranges",
    [
        (sp.Integer(3), None),
        (2 * sp.pi, None),
        (sp.exp(sp.Integer(800)), None),
        (sp.log(x), {0: (-5.0, 5.0)}),
        (1 / (x - 1), {0: (0.0, 2.0)}),
        (sp.sqrt(x - y), {0: (-1.0, 1.0), 1: (-1.0, 1.0)}),
        (sp.acosh(x) * y, {0: (-3.0, 3.0)}),
        (x**3 - 2 * x + sp.Rational(1, 3), {0: (2.0, 2.0)}),
        (sp.exp(x**2), {0: (0.0, 40.0)}),
        (sp.sin(x) / x, None),
        (-x / (y + 1) ** 2, {1: (-1.0, 1.0)}),
    ],
)
def test_constants_and_formulas_undefined_somewhere(e, ranges, m):
    native, want = describe_both(e, ranges, [3, 1, 4], m, source_id="s7")
    assert native is not None, e
    assert_same_descriptor(*native, want, m)


@pytest.mark.parametrize("source_id", [None, 7, "bank-3"])
def test_wildcards_keep_their_names_and_sources_name_the_rest(source_id, m):
    e = sp.Symbol("φ1") * sp.exp(-y) + x**2 - sp.Symbol("v0")
    native, want = describe_both(e, {0: (0.5, 2.0)}, [9, 9], m, source_id=source_id)
    assert native is not None
    assert_same_descriptor(*native, want, m)


@pytest.mark.parametrize(
    "e",
    [
        sp.Pow(-1, sp.Rational(1, 3)) * x,  # a Python power that turns complex
        sp.Symbol("Dummy_10001") + x,  # a symbol named as the generated arguments are
    ],
)
def test_what_the_generated_code_cannot_run_is_left_to_sympy(e, m):
    assert kernels.tree_roundtrip(e) is not None
    native, want = describe_both(e, None, [1], m)
    assert native is None
    assert want.growth_class  # describe itself still describes it


@pytest.mark.parametrize(
    "text",
    ["", "x", "x**2 + sin(theta)/m_1", "φ1*exp(-v0)", "a" * 127, "b" * 128, "c" * 129, "d" * 300],
)
def test_formula_seed_is_the_runs(text):
    from source.run.describe import formula_seed

    for seed in (0, 7, 2**32 - 1):
        assert kernels.native_formula_seed(seed, text) == formula_seed(seed, None, text)


@pytest.mark.parametrize(
    "e",
    [
        x * sp.sqrt(2) * sp.pi,  # a numpy scalar times Python floats
        x ** sp.Rational(1, 3) + 2 ** sp.Rational(1, 3),  # Python int ** float
        sp.exp(2) * x - sp.log(3) ** 2,  # numpy scalars raised by libm's pow
        x / (3 * sp.pi) + sp.Rational(-7, 3) * y,
        x**-2 + 1 / sp.sqrt(y) + y**-1,  # float powers, 1/np.sqrt, reciprocal
        x ** sp.Float(0.5) + x**2 + x**3,  # sqrt, square and the power loop
        sp.Abs(x - 3) * sp.atan(y) / sp.cosh(x * y),
        sp.E**x + sp.pi**y,  # a Python float base over an array
        (x + 1) ** (y - 2),
    ],
)
def test_python_and_numpy_scalars_mix_as_in_the_generated_code(e, m):
    syms = sorted(e.free_symbols, key=str)
    arrays = tracks(syms, 3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = kernels.native_program(e, syms, arrays, as_given=True)
        assert got is not None
        assert same_bits(got, m._numeric_values(e, syms, arrays)), e
