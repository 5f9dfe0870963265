"""Structural descriptor of one expression tree."""

import pytest
import sympy as sp
import zss

x, y, z, a, b, c = sp.symbols("x y z a b c")
phi1, phi2 = sp.Symbol("φ1"), sp.Symbol("φ2")


def zss_shape(node):
    return (node.label, [zss_shape(k) for k in node.children])


@pytest.mark.parametrize("leaf", [x, sp.Integer(3), sp.Rational(1, 2), sp.pi])
def test_leaves(m, leaf):
    assert m._depth(leaf) == 0 and m._unary_depth(leaf) == 0
    assert m._dfs_operators(leaf) == [] and m._repeated_var(leaf) is False
    assert zss_shape(m.to_zss(leaf)) == (str(leaf), [])
    assert m.extract_structure(leaf)["n_nodes"] == 1


@pytest.mark.parametrize(
    "expr, depth, unary, ops",
    [
        (x * y + x, 2, 0, ["Add", "Mul"]),
        (sp.sin(sp.exp(x)), 2, 2, ["sin", "exp"]),
        (sp.sin(x) + sp.exp(y), 2, 1, None),
        (sp.sqrt(x), 1, 0, ["Pow"]),
        (sp.exp(-(x**2) / 2) / sp.sqrt(2 * sp.pi), None, 1, None),
    ],
)
def test_depth_unary_and_operators(m, expr, depth, unary, ops):
    if depth is not None:
        assert m._depth(expr) == depth
    assert m._unary_depth(expr) == unary
    if ops is not None:
        assert m._dfs_operators(expr) == ops
    # One operator per internal node, in pre-order.
    internal = [type(n).__name__ for n in sp.preorder_traversal(expr) if n.args]
    assert m._dfs_operators(expr) == internal


@pytest.mark.parametrize(
    "expr, expected",
    [
        (x * y + x, True),
        (x * y + z, False),
        (sp.sin(x * x), False),
        (x, False),
        (sp.Function("f")(x, y, x + 1), True),
    ],
)
def test_repeated_var(m, expr, expected):
    assert m._repeated_var(expr) is expected


def test_is_unary_func(m):
    assert m._is_unary_func(sp.sin(x)) is True
    assert m._is_unary_func(sp.Function("f")(x, y)) is False
    assert m._is_unary_func(x**2) is False and m._is_unary_func(None) is False


def test_extract_structure_keys_in_order(m):
    s = m.extract_structure(x * y + x)
    assert list(s) == [
        "root_type",
        "depth",
        "n_nodes",
        "n_vars",
        "repeated_var",
        "unary_depth",
        "operators",
    ]
    assert s == {
        "root_type": "Add",
        "depth": 2,
        "n_nodes": 5,
        "n_vars": 2,
        "repeated_var": True,
        "unary_depth": 0,
        "operators": ["Add", "Mul"],
    }


@pytest.mark.parametrize(
    "source_id, names",
    [
        (None, ["v0", "v1", "v2"]),
        (0, ["__KLTN_0_v0", "__KLTN_0_v1", "__KLTN_0_v2"]),
        ("s", ["__KLTN_s_v0", "__KLTN_s_v1", "__KLTN_s_v2"]),
    ],
)
def test_canonicalize_names_in_preorder(m, source_id, names):
    v0, v1, v2 = (sp.Symbol(n) for n in names)
    assert m._canonicalize_expr(a + b * c, source_id=source_id) == v0 + v1 * v2
    # The first symbol met in pre-order gets index 0, whatever its name.
    order = [n for n in sp.preorder_traversal(z + y * x) if n.is_Symbol]
    expected = (z + y * x).xreplace(dict(zip(order, [v0, v1, v2])))
    assert m._canonicalize_expr(z + y * x, source_id) == expected


def test_canonicalize_keeps_wildcards_and_numbers(m):
    assert m._canonicalize_expr(phi1 * x + 3) == phi1 * sp.Symbol("v0") + 3
    assert m._canonicalize_expr(sp.Integer(7)) == 7
    # Assumptions of the original symbols are dropped: the new names are plain symbols.
    pos = sp.Symbol("p", positive=True)
    assert m._canonicalize_expr(pos) == sp.Symbol("v0")


def test_normalize_wildcards(m):
    expr = phi2 * x + phi1
    order = []
    for n in sp.preorder_traversal(expr):
        if n.is_Symbol and str(n).startswith("φ") and n not in order:
            order.append(n)
    expected = expr.xreplace({w: sp.Symbol(f"v{i}") for i, w in enumerate(order)})
    assert m._normalize_wildcards(expr) == expected
    assert m._normalize_wildcards(x + 1) == x + 1


@pytest.mark.parametrize(
    "formula, normalized",
    [
        ("v0*φ1", "v0*v1"),  # not v0**2: the formula's own v0 is taken
        ("φ1*exp(v0*φ2)", "v1*exp(v0*v2)"),  # first wildcard in pre-order, first free name
        ("v1*φ1 + v0 + φ3*φ1", "v1*v2 + v0 + v3*v2"),
        ("v2*φ1", "v2*v0"),  # free names below a taken one are used
    ],
)
def test_normalized_wildcards_never_take_the_formulas_own_names(m, formula, normalized):
    expr = sp.sympify(formula)
    assert m._normalize_wildcards(expr) == sp.sympify(normalized)
    assert len(m._normalize_wildcards(expr).free_symbols) == len(expr.free_symbols)


def test_to_zss_labels_and_distance(m):
    expr = sp.sin(x) + 2
    tree = m.to_zss(expr)
    assert isinstance(tree, zss.Node)
    # Children follow expr.args; leaves are labelled by their printed form.
    kids = [("2", []) if arg == 2 else ("sin", [("x", [])]) for arg in expr.args]
    assert zss_shape(tree) == ("Add", kids)
    assert zss.simple_distance(m.to_zss(x + y), m.to_zss(x + y)) == 0


DEEP = 5000


@pytest.fixture(scope="module")
def deep():
    e = x
    for _ in range(DEEP):
        e = sp.sin(e, evaluate=False)  # evaluation would itself recurse
    return e


@pytest.mark.parametrize(
    "name",
    [
        "_depth",
        "_unary_depth",
        "_dfs_operators",
        "to_zss",
        "extract_structure",
        "_canonicalize_expr",
    ],
)
def test_deep_nesting_raises_recursion_error(m, deep, name):
    with pytest.raises(RecursionError):
        getattr(m, name)(deep)


@pytest.mark.parametrize("bad", [None, 3, "x + y", 2.5, object()])
@pytest.mark.parametrize(
    "name",
    [
        "_depth",
        "_unary_depth",
        "_dfs_operators",
        "_repeated_var",
        "to_zss",
        "extract_structure",
        "_canonicalize_expr",
        "_normalize_wildcards",
    ],
)
def test_non_expressions_raise_python_errors(m, name, bad):
    with pytest.raises((AttributeError, TypeError)):
        getattr(m, name)(bad)
