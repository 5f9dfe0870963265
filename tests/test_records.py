"""The shared records are real dataclasses of the module."""

import dataclasses

import pytest

FIELDS_22 = dict(
    expr=1,
    numeric_expr=2,
    root_type="Add",
    depth=1,
    n_nodes=3,
    n_vars=1,
    repeated_var=False,
    unary_depth=0,
    operators=["Add"],
    behavior_vec=None,
    is_bounded=True,
    boundedness=1.0,
    is_periodic=False,
    is_monotone=True,
    variance=0.0,
    derivative_vec=[],
    integral_vec=[],
    derivative_approx=0.0,
    integral_approx=0.0,
    stability_score=0.0,
    sensitivity_perturbation=0.0,
    growth_class="linear",
)


@pytest.mark.parametrize(
    "name, n_fields", [("ExprDescriptor", 23), ("GeneralizedCandidate", 5), ("FilterResult", 3)]
)
def test_records_are_module_dataclasses(m, name, n_fields):
    cls = getattr(m, name)
    assert dataclasses.is_dataclass(cls)
    assert cls.__module__ == "source._brenmoor" and cls.__qualname__ == name
    assert len(dataclasses.fields(cls)) == n_fields
    assert cls.__match_args__ == tuple(f.name for f in dataclasses.fields(cls))
    assert cls.__hash__ is None


def test_annotations_are_literal_strings(m):
    assert m.ExprDescriptor.__annotations__["operators"] == "list[str]"
    assert m.ExprDescriptor.__annotations__["behavior_vec"] == "np.ndarray"
    assert m.FilterResult.__annotations__["discarded"] == "list[tuple[str, GeneralizedCandidate]]"
    assert [f.type for f in dataclasses.fields(m.GeneralizedCandidate)] == [
        "sp.Expr",
        "list[sp.Expr]",
        "str",
        "float",
        "str",
    ]


def test_expr_descriptor_defaults_and_missing(m):
    d = m.ExprDescriptor(*FIELDS_22.values())
    assert d.frac_invalid == 0.0 and d == m.ExprDescriptor(**FIELDS_22)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'growth_class'"):
        m.ExprDescriptor(*list(FIELDS_22.values())[:21])


def test_behaviour_of_instances(m):
    r = m.FilterResult(novel=[], repeated=[1], discarded=[("why", 2)])
    assert repr(r) == "FilterResult(novel=[], repeated=[1], discarded=[('why', 2)])"
    assert r == m.FilterResult([], [1], [("why", 2)]) and r != m.FilterResult([], [], [])
    with pytest.raises(TypeError, match="unhashable"):
        hash(r)
    r.novel.append(3)  # mutable, nothing frozen
    assert r.novel == [3]
    match r:
        case m.FilterResult(novel, repeated, discarded):
            assert discarded == [("why", 2)]
        case _:
            pytest.fail("positional match failed")
    c = m.GeneralizedCandidate(
        formula=1, members=[], growth_class="linear", novelty=float("inf"), closest_lib="none"
    )
    assert repr(c).startswith("GeneralizedCandidate(formula=1, members=[]")
