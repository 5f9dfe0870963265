"""Known or new: matching structures against a library of laws, and the bindings of members."""

import random
import time

import _brenmoor_testing as kernels
import pytest
import sympy as sp
import zss
from banks import random_bank

from source.bank.laws import load_library
from source.bank.parsing import parse_formula as P

LAWS = load_library()
phi1, phi2, phi3 = sp.symbols("φ1 φ2 φ3")
v0, v1, v2 = sp.symbols("v0 v1 v2")


def candidate(m, formula, members):
    return m.GeneralizedCandidate(
        formula=formula, members=members, growth_class="", novelty=0.0, closest_lib="none"
    )


@pytest.mark.parametrize(
    "text, law, kind",
    [
        ("Q*q/(4*pi*eps0*d**2)", "coulomb_law", "identical"),  # a renaming, capitals sorting first
        ("A*exp(-b*t)", "exponential_decay", "identical"),
        ("s*T**4", "stefan_boltzmann", "identical"),
        ("3*m*v**2", "kinetic_energy", "scaled"),  # a constant factor
        ("m*v**2/2 + 7", "kinetic_energy", "scaled"),  # an added constant
        ("-B*mom*cos(theta)", "work", "scaled"),  # the sign is a factor
        ("2*pi*sqrt(L/g)*1.5", "pendulum_period", "scaled"),
        ("exp(-E/(2*k*T))", "boltzmann_factor", "near"),  # a rescaled variable
    ],
)
def test_renamings_factors_and_constants(m, text, law, kind):
    found = m.match_library(P(text), LAWS)
    assert (found.law, found.kind) == (law, kind)
    assert (found.distance == 0.0) == (kind == "identical")


def test_mapping_renames_our_variables_to_the_laws(m):
    found = m.match_library(P("Q*q/(4*pi*eps0*d**2)"), LAWS)
    mapping = {P(k): P(v) for k, v in found.mapping.items()}
    assert P("Q*q/(4*pi*eps0*d**2)").xreplace(mapping) == LAWS["coulomb_law"]


def test_every_law_renamed_is_known_as_itself_or_a_twin(m):
    rng = random.Random(3)
    for name, law in LAWS.items():
        symbols = sorted(law.free_symbols, key=str)
        fresh = rng.sample([f"w{k}" for k in range(40)], len(symbols))
        renamed = law.xreplace({s: sp.Symbol(n) for s, n in zip(symbols, fresh)})
        found = m.match_library(renamed, LAWS)
        assert found is not None and found.kind == "identical", name
        twin = m.match_library(LAWS[found.law], {name: law})
        assert twin is not None and twin.kind == "identical", (name, found.law)


@pytest.mark.parametrize(
    "text",
    [
        "A*sin(omega*t + phi)",  # same shape, another function
        "A*cos(omega*t)",  # a term left out
        "m*v**2/r",  # same operators, another shape
        "q1*q2/(4*pi*epsilon*r)",  # another power
        "sin(x)*y",
        "x + y + z",
    ],
)
def test_look_alikes_do_not_match(m, text):
    library = {
        k: LAWS[k]
        for k in ("harmonic_oscillator", "kinetic_energy", "coulomb_law", "damped_oscillator")
    }
    assert m.match_library(P(text), library) is None


def test_laws_as_instances_of_a_generalised_formula(m):
    formula = phi1 * v0 * v1**2
    members = [P("a*z*b**2"), P("c*w*d**2")]  # no member is a law itself
    found = m.match_library(candidate(m, formula, members), LAWS)
    assert (found.law, found.kind) == ("kinetic_energy", "instance")
    assert found.mapping in ({"v0": "m", "v1": "v"},)
    # A wildcard that stood for numbers in every member does not swallow a law's variables.
    decay = candidate(
        m, v0 * phi1 * sp.exp(phi2 * v1 * v2), [P("2*N*exp(-a*t)"), P("3*N*exp(-b*s)")]
    )
    found = m.match_library(decay, {"damped_oscillator": LAWS["damped_oscillator"]})
    assert found is None


@pytest.mark.parametrize("formula", [phi1, phi1 * phi2, phi1**phi2, phi1 + phi2 * phi3])
def test_wildcard_only_formulas_match_nothing(m, formula):
    assert m.match_library(formula, LAWS) is None
    assert m.match_library(candidate(m, formula, []), LAWS) is None


def test_empty_library_and_members_that_are_laws(m):
    assert m.match_library(P("m*v**2/2"), {}) is None
    structure = candidate(m, phi1 * v0 * v1, [P("m*a"), P("2*x*y")])
    found = m.match_library(structure, {"newton_second_law": LAWS["newton_second_law"]})
    assert (found.law, found.kind) == ("newton_second_law", "identical")


def test_hard_matches_end_within_the_step_budget(m):
    # Twelve structured terms against fourteen: the search for a one-to-one pairing is bounded.
    xs = sp.symbols("x0:14")
    law = sum(xs[i] * xs[(i + 1) % 14] ** 2 for i in range(14))
    formula = sum(sp.Symbol(f"v{i}") * sp.Symbol(f"v{i + 1}") ** 2 for i in range(12)) + phi1
    start = time.perf_counter()
    m.match_library(candidate(m, formula, [law]), {"law": law})
    m.bind(formula, law)
    assert time.perf_counter() - start < 5  # unbounded, this search would take hours


def test_bindings_rebuild_the_member(m):
    exprs = random_bank(300, seed=9, depth=3)
    bound = 0
    for a, b in zip(exprs[0::2], exprs[1::2]):
        formula = m.anti_unify_cluster([a, b])
        if formula is None:
            continue
        formula = m._display_canonical_expr(formula)
        for member in (a, b):
            bindings = m.bind(formula, member)
            if bindings is None:
                continue
            bound += 1
            assert sp.simplify(formula.xreplace(bindings) - member) == 0, (
                formula,
                member,
                bindings,
            )
            assert all(
                not str(k).startswith("φ")
                or not isinstance(v, sp.Symbol)
                or v in member.free_symbols
                for k, v in bindings.items()
            )
    assert bound > 200  # most members bind; the rest are reported as None, never wrongly


def test_bind_refuses_what_is_not_an_instance(m):
    assert m.bind(phi1 * sp.sin(v0), P("x*cos(y)")) is None
    assert m.bind(v0 * v1, P("x*x")) is None  # two variables cannot both be x
    assert m.bind(phi1 * v0 + phi2, P("3*x")) == {v0: sp.Symbol("x"), phi1: 3, phi2: 0}


# ---- the kernel against zss with the same costs -------------------------------------------------

WILD = "<wild>"


def zss_wildcard_distance(a, b):
    def children(node):
        return node[1]

    def update(x, y):
        if x[0] == y[0]:
            return 0
        if x[1] or y[1]:
            return 2
        return 0 if WILD in (x[0], y[0]) else 1

    return zss.distance(a, b, children, lambda n: 1, lambda n: 1, update)


def random_tree(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return (rng.choice(["x", "y", "1", "2", WILD]), [])
    return (
        rng.choice(["Add", "Mul", "Pow", "sin"]),
        [random_tree(rng, depth - 1) for _ in range(rng.randint(1, 3))],
    )


def test_wildcard_distance_kernel_equals_zss_with_the_same_costs(m):
    rng = random.Random(5)
    for _ in range(300):
        a, b = random_tree(rng, rng.randint(0, 4)), random_tree(rng, rng.randint(0, 4))
        want = zss_wildcard_distance(a, b)
        assert kernels.tree_distance_wildcard(a, b, WILD) == want
        assert kernels.tree_distance_wildcard(b, a, WILD) == want


@pytest.mark.parametrize(
    "formula, law",
    [
        (phi1 * v0 * v1, "momentum"),  # the factor binds 1
        (v0 * v1 + phi1, "momentum"),  # the term binds 0
        (phi1 * v0 * v1**2 + phi2, "kinetic_energy"),  # 1/2, and no added constant
    ],
)
def test_a_wildcard_of_a_structure_may_bind_one_or_zero(m, formula, law):
    library = {law: LAWS[law], "coulomb_law": LAWS["coulomb_law"]}
    found = m.match_library(candidate(m, formula, []), library)  # no member to match by itself
    assert found is not None and (found.law, found.kind) == (law, "instance")
