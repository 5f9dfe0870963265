"""The native function type: metadata, argument binding, method binding."""

import inspect
import pickle

import pytest
import sympy as sp


def test_functions_are_native_and_compiled(m):
    assert m.__file__.endswith(".so")
    native = type(m.extract_structure)
    assert native.__name__ == "native_function" and native.__module__ == "source._brenmoor"
    assert not inspect.isfunction(m.extract_structure)
    assert all(type(getattr(m, n)) is native for n in ("_depth", "to_zss", "_safe_print"))


@pytest.mark.parametrize(
    "name, signature",
    [
        ("_canonicalize_expr", "(expr: 'sp.Expr', source_id=None) -> 'sp.Expr'"),
        ("_is_unary_func", "(expr) -> 'bool'"),
        ("_dfs_operators", "(expr: 'sp.Expr') -> 'list[str]'"),
        ("to_zss", "(expr: 'sp.Expr') -> 'zss.Node'"),
        ("_safe_print", "(*args, **kwargs)"),
    ],
)
def test_signature(m, name, signature):
    assert str(inspect.signature(getattr(m, name))) == signature


def test_metadata(m):
    f = m._canonicalize_expr
    assert f.__name__ == f.__qualname__ == "_canonicalize_expr"
    assert f.__module__ == "source._brenmoor"
    assert f.__defaults__ == (None,) and f.__kwdefaults__ is None
    assert f.__annotations__ == {"expr": "sp.Expr", "return": "sp.Expr"}
    assert m._depth.__defaults__ is None
    assert m._depth.__doc__ is None
    assert (
        m._safe_print.__doc__
        == "Print safely with UTF-8 encoding, bypassing terminal codec issues."
    )
    assert inspect.getdoc(f).splitlines()[:3] == [
        "Canonicalize an expression for structural comparison.",
        "",
        "Numeric constants remain numeric.",
    ]
    assert repr(f).startswith("<function _canonicalize_expr at 0x")
    assert "Canonicalize an expression" in pydoc_text(f)


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m._depth(), "_depth() missing 1 required positional argument: 'expr'"),
        (lambda m: m._depth(1, 2), "_depth() takes 1 positional argument but 2 were given"),
        (
            lambda m: m._canonicalize_expr(1, 2, 3),
            "_canonicalize_expr() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda m: m._canonicalize_expr(sp.Symbol("x"), expr=1),
            "_canonicalize_expr() got multiple values for argument 'expr'",
        ),
        (
            lambda m: m._canonicalize_expr(sp.Symbol("x"), sourceid=1),
            "_canonicalize_expr() got an unexpected keyword argument 'sourceid'",
        ),
        (
            lambda m: m._canonicalize_expr(source_id=1),
            "_canonicalize_expr() missing 1 required positional argument: 'expr'",
        ),
    ],
)
def test_binding_errors_match_python(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == message


def test_keyword_and_positional_binding_agree(m):
    x, y = sp.symbols("x y")
    e = x + y
    assert m._canonicalize_expr(e, 3) == m._canonicalize_expr(source_id=3, expr=e)
    assert m._canonicalize_expr(**{"expr": e}) == m._canonicalize_expr(e)
    # Keyword names built at run time (not interned) still match.
    key = "".join(["source", "_id"])
    assert m._canonicalize_expr(e, **{key: 3}) == m._canonicalize_expr(e, 3)


def test_binds_as_method_and_classmethod(m, capsys):
    class Holder:
        depth = m._depth
        show = classmethod(m._safe_print)

    assert Holder.depth is m._depth  # class access gives the function itself
    with pytest.raises(AttributeError):
        Holder().depth()  # instance access binds the instance as `expr`, which has no .args
    Holder.show("x", sep="|")
    assert capsys.readouterr().out == f"{Holder!r}|x\n"
    x = sp.Symbol("x")
    bound = m._depth.__get__(sp.sin(x))
    assert bound() == 1 and bound.__self__ == sp.sin(x)
    assert str(inspect.signature(bound)) == "() -> 'int'"


def test_pickles_by_reference(m):
    assert pickle.loads(pickle.dumps(m.extract_structure)) is m.extract_structure


def test_attribute_dict(m):
    m.to_zss.note = "kept"
    try:
        assert m.to_zss.__dict__["note"] == "kept"
    finally:
        del m.to_zss.note
