"""Every formula's verdict: canonical forms, numeric equality with a law, and the structure's
verdict from its members'."""

import itertools

import numpy as np
import pytest
import sympy as sp

from source.bank.laws import load_library
from source.bank.parsing import parse_formula
from source.judge import canonical, law_fit
from source.judge.verdicts import Judge, Verdict, form_classes, structure_verdict

RANGES = {f"X{k}": (1.0, 5.0) for k in range(1, 6)}
KINETIC = {"capacitor_energy", "electric_power", "kinetic_energy", "mass_energy", "spring_energy"}


@pytest.fixture(scope="module")
def library():
    return load_library()


@pytest.fixture(scope="module")
def judge(library):
    return Judge(library)


# What engines print for laws the library holds: intercept and scale, folded constants, numbers
# a hair off, terms fitted to noise, an approximation with another tree.
@pytest.mark.parametrize(
    "text, laws",
    [
        ("0.5*X1*X2**2 + 3e-6", KINETIC),
        ("(0.000123 + (0.4999 * ((X1 * X2) * X2)))", KINETIC),
        ("X1**1.9998*X2*0.5", KINETIC),
        ("0.5*X1*X2**2 + 0.0003*X2", KINETIC),
        ("13757*exp(3.6e-5*X1*X2**2) - 13757", KINETIC),
        ("8.98e9*X1*X2/X3**2", {"coulomb_law"}),
        ("(1.5 + (8.9875e9 * (X2 * (X1 / (X3 * X3)))))", {"coulomb_law"}),
        ("6.674e-11*X1*X2/X3**2", {"newton_gravitation"}),
        ("(-0.02 + (3.001 * (X1 * cos((0.9993 * X2 * X3) + X4))))", {"harmonic_oscillator"}),
        ("X3*X1*X2/X4", {"ideal_gas_pressure", "gravitational_potential"}),
        ("(0.3 + 8.3147 * (X1 * X2 / X3))", {"ideal_gas_pressure"}),
        ("8.98755e16*X1", {"mass_energy"}),
        ("9.8066*X1*X2", {"potential_energy_gravity", "hydrostatic_pressure"}),
    ],
)
def test_engine_output_of_a_library_law_is_known(judge, text, laws):
    v = judge.verdict(parse_formula(text), RANGES)
    assert v.verdict == "known" and v.law in laws, v.text()
    assert set(v.laws) >= laws and v.law == v.laws[0] and v.law in laws
    assert 0.999 <= v.closeness <= 1.0


@pytest.mark.parametrize(
    "text",
    [
        "X1*X2**3",  # not a law
        "sin(X1)*X2",
        "X1/X2 + X2",
        "0.5*X1**2",  # kinetic energy without its mass: a variable short
        "5*X1*X2/X3**2",  # inverse square without the factor of a folded constant
        "exp(-X1*X2)*X1",
        "3.7",  # a constant is no law
        "X1*X2*X3*X4*X5",
        "8.4*X1",  # a resistance is no gas constant: Ohm's law keeps its R
        "3 + 8.2*X1",
        "8.3*X1**2",
        "2*sqrt(X1)",  # the pendulum with g folded in leaves one variable: too easily met
        "6.9e-24*X1**2",  # nor is a spring constant Boltzmann's
        "-1.380649e-23*X1",
        "8.4*X1*X2/X3",  # a factor 1 % from the gas constant's
        "X1/0",  # undefined: no values, no law
        "X1*X2 + X1/0",
    ],
)
def test_formulas_of_no_law_are_new(judge, text):
    v = judge.verdict(parse_formula(text), RANGES)
    assert v.verdict == "new" and v.law is None and v.laws == [], v.text()


def test_folded_constants_are_named(judge):
    v = judge.verdict(parse_formula("8.98e9*X1*X2/X3**2"), RANGES)
    assert v.kind == "numeric" and "epsilon" in v.folded and "vacuum permittivity" in v.folded
    assert v.mapping["X3"] == "r" and {v.mapping["X1"], v.mapping["X2"]} == {"q1", "q2"}


def test_the_named_law_does_not_follow_library_order(library):
    backwards = dict(reversed(list(library.items())))
    for text in ["X1*X2", "2.5*X1*X2**2"]:
        a = Judge(library).verdict(parse_formula(text), RANGES)
        b = Judge(backwards).verdict(parse_formula(text), RANGES)
        assert a.law == b.law and sorted(a.laws) == sorted(b.laws) and len(a.laws) >= 5


def test_form_classes_group_laws_of_one_form(library):
    classes = form_classes(library)
    assert set(classes["kinetic_energy"]) == KINETIC
    assert {"momentum", "ohm_law", "photon_energy", "wave_speed", "newton_second_law"} <= set(
        classes["momentum"]
    )
    assert classes["coulomb_law"] == ["coulomb_law"]
    assert all(name in members for name, members in classes.items())


@pytest.mark.parametrize(
    "value, want",
    [
        (0.999, 1),
        (1.9998, 2),
        (0.33335, sp.Rational(1, 3)),
        (6.2831, 2 * sp.pi),
        (-0.5002, sp.Rational(-1, 2)),
        (0.7, None),
        (8.98e9, None),
        (1e-4, None),
        (0.0, None),
    ],
)
def test_numbers_snap_to_simple_values_only_within_the_tolerance(value, want):
    assert canonical.simple_value(value, 0.005) == want


def test_the_canonical_form_says_each_change():
    x1, x2 = sp.symbols("X1 X2")
    c = canonical.canonical_form(
        parse_formula("(0.25 + (2.5 * ((X1 * X2**1.9997) + 0.0001*X1)))"), RANGES
    )
    assert (
        c.core == x1 * x2**2
        and c.scale == pytest.approx(2.5)
        and c.intercept == pytest.approx(0.25, abs=1e-3)
    )
    said = " | ".join(c.changes)
    assert (
        "intercept" in said
        and "factor 2.5" in said
        and "1.9997 \u2192 2" in said
        and "dropped" in said
    )
    # Without a tolerance nothing is snapped or dropped: only intercept and factor are split off.
    c = canonical.canonical_form(parse_formula("0.25 + 2.5*X1*X2**1.9997"), RANGES, tolerance=0)
    assert c.core == x1 * x2 ** sp.Float(1.9997) and len(c.changes) == 2


def test_affine_fit_matches_least_squares():
    rng = np.random.default_rng(3)
    y = rng.normal(size=200)
    z = np.vstack([y * 3 + 1 + rng.normal(scale=s, size=200) for s in (0.0, 0.1, 1.0, 10.0)])
    z[2, :7] = np.nan  # undefined points are left out of the fit
    r2, a, b = law_fit._affine(y, z)
    for row in range(len(z)):
        ok = np.isfinite(z[row])
        slope, icept = np.polyfit(z[row, ok], y[ok], 1)
        want = np.corrcoef(z[row, ok], y[ok])[0, 1] ** 2
        assert r2[row] == pytest.approx(want, rel=1e-9) and a[row] == pytest.approx(slope, rel=1e-9)
        assert b[row] == pytest.approx(icept, rel=1e-7, abs=1e-9)
    flat = law_fit._affine(y, np.ones((1, 200)))[0]
    assert flat[0] == 0.0  # a law that does not vary fits nothing


def test_every_mapping_is_tried_and_above_the_bound_a_search_finds_the_law():
    names = sp.symbols("a b c d e f g")
    law = names[0] * names[1] ** 2 * sp.sqrt(names[2]) / (
        names[3] + names[4] * names[5] ** 3
    ) + sp.log(names[6])
    forms = law_fit.law_forms({"seven": law})
    xs = sp.symbols("X1:8")
    order = [3, 6, 0, 5, 1, 2, 4]  # the formula's variables, shuffled against the law's
    formula = law.xreplace({names[i]: xs[order[i]] for i in range(7)})
    arrays = canonical.sample(list(xs), {str(s): (1, 3) for s in xs})
    y = canonical.values(formula, list(xs), arrays)
    at = lambda cols: canonical.values(formula, list(xs), list(cols))
    found = law_fit.fits(y, list(xs), arrays, forms, formula_at=at)
    assert found and found[0].law == "seven" and found[0].r2 > 0.999999
    assert found[0].mapping == {str(xs[order[i]]): str(names[i]) for i in range(7)}
    small = law_fit.fits(y, list(xs), arrays, forms, threshold=1.01, formula_at=at)
    assert small == []


def verdict(law, laws=None):
    return Verdict("known", law, laws or [law], "numeric", 1.0) if law else Verdict("new")


@pytest.mark.parametrize(
    "members, text, known",
    [
        (
            [verdict("coulomb_law")] * 31 + [verdict(None)] * 9,
            "known: coulomb_law, 31 of 40 members (9 new)",
            True,
        ),
        (
            [verdict("electric_power")] * 3 + [verdict(None)] * 563,
            "new (3 of 566 members are known laws: electric_power 3)",
            False,
        ),
        (
            [verdict("momentum")] * 3 + [verdict("work")] * 3,
            "new (6 of 6 members are known laws: momentum 3, work 3)",
            False,
        ),
        (
            [verdict("a", ["a", "b"]), verdict("b", ["a", "b"]), verdict("b", ["a", "b"])],
            "known: b, 3 of 3 members",
            True,
        ),
        ([verdict(None)] * 4, "new", False),
    ],
)
def test_a_structure_is_the_law_most_of_its_members_are(members, text, known):
    found = structure_verdict(members)
    assert found.text() == text and (found.verdict == "known") == known


def test_density_limit_reaches_the_validity_check_of_detection(m):
    x, y, z = sp.symbols("x y z")
    cluster = [m.describe(e) for e in [x + y + z, sp.sin(x) + y, x * y + sp.exp(z)]]
    library = {"line": x}
    lib_descs = {"line": m.describe(x)}
    default = m._score_cluster(cluster, library, lib_descs, 10, -1e9)
    loose = m._score_cluster(cluster, library, lib_descs, 10, -1e9, max_wildcard_density=1.0)
    assert default["formula"] is not None and not default["kept"]
    assert loose["kept"] and loose["candidate"] is not None
    strict = m._score_cluster(
        [m.describe(e) for e in [x * y, 2 * x * y]],
        library,
        {"line": m.describe(x)},
        10,
        -1e9,
        max_wildcard_density=0.0,
    )
    assert not strict["kept"]


def test_permutations_cover_every_mapping():
    got = law_fit._permutations(4)
    assert len(got) == 24 and {tuple(p) for p in got} == set(itertools.permutations(range(4)))


@pytest.mark.parametrize(
    "given, want",
    [
        (
            "exp(v0*φ7*φ12*φ3) + φ40 + φ41 + v1",
            "exp(v0*φ1) + φ2 + v1",
        ),  # products and sums of wildcards
        ("v0*φ7 + v1", "v0*φ1 + v1"),  # nothing to merge: numbered anew
        ("sin(φ2*φ5)*cos(v0*φ9)", "sin(φ1)*cos(v0*φ2)"),
        ("v0**φ2*φ1", "v0**φ2*φ1"),  # a power's wildcards stay apart
        ("v0 + v1", "v0 + v1"),
    ],
)
def test_wildcards_of_one_sum_or_product_merge_into_one(m, given, want):
    names = {f"φ{k}": sp.Symbol(f"φ{k}") for k in range(1, 60)} | {
        "v0": sp.Symbol("v0"),
        "v1": sp.Symbol("v1"),
    }
    got = m._merge_wildcards(sp.sympify(given, locals=names))
    assert got == sp.sympify(want, locals=names)
    assert m._wildcard_density(got) <= m._wildcard_density(sp.sympify(given, locals=names))


@pytest.mark.parametrize("order", [["rel", "prod"], ["prod", "rel"]])
def test_a_formula_of_a_laws_own_form_is_named_for_it_not_for_an_approximation(order):
    """x*y is the law Nn*mu itself; relativistic momentum with c folded in equals it only as an
    approximation on these ranges (v far below c), and stands beside it, not in its place."""
    from source.judge.verdicts import judge_of

    laws = {"rel": parse_formula("m_0*v/sqrt(1 - v**2/c**2)"), "prod": parse_formula("Nn*mu")}
    library = {name: laws[name] for name in order}
    v = judge_of(library, 0.005, 0.999).verdict(parse_formula("a*b"), {"a": (1, 5), "b": (1, 5)})
    assert (v.law, v.kind) == ("prod", "identical") and "rel" in v.laws
