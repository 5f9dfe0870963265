"""Module frame: import-time configuration, constants, Groq client set-up, _safe_print."""

import io
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest


def run_with_config(tmp_path, m, config_body, fake_groq=None):
    """Imports the built module in a fresh interpreter against a config of our own."""
    pkg = tmp_path / "source"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "config.py").write_text(textwrap.dedent(config_body))
    (pkg / pathlib.Path(m.__file__).name).symlink_to(m.__file__)
    if fake_groq is not None:
        (tmp_path / "groq.py").write_text(textwrap.dedent(fake_groq))
    probe = textwrap.dedent("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import source._brenmoor as m
        print(repr([str(w.message) for w in caught]))
        print(m.groq_client is None, len(m.GRID), m.GRID[0], m.GRID[-1],
              len(m.GRID_LINEAR), m.GRID_LINEAR[-1], m.MAX_WILDCARD_DENSITY, m.LLM_MAX_RETRIES)
        print(hasattr(m, "e"))
    """)
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    return subprocess.run(
        [sys.executable, "-c", probe], cwd=tmp_path, env=env, capture_output=True, text=True
    )


ODD_CONFIG = """
    GRID_LOGSPACE = [1, 2, 3]
    GRID_LINEAR = None
    DEFAULT_VAR_RANGE = (0, 1)
    MAX_WILDCARD_DENSITY = 0.99
    GROQ_API_KEY = {key!r}
    GROQ_MODEL = "some-model"
    LLM_MAX_RETRIES = 7
"""


def test_import_without_key_warns_once_and_fixes_constants(tmp_path, m):
    out = run_with_config(tmp_path, m, ODD_CONFIG.format(key=""))
    assert out.returncode == 0, out.stderr
    warnings_line, values, leaked = out.stdout.splitlines()
    assert eval(warnings_line) == [
        "GROQ_API_KEY not set. Set it via: export GROQ_API_KEY='your-key'\n"
        "LLM-based concept discovery will be unavailable."
    ]
    # The config's grid and density values have no lasting effect.
    assert values.split() == ["True", "64", "0.1", "100.0", "64", "20.0", "0.6", "7"]
    assert leaked == "False"


def test_import_with_failing_client_warns_and_continues(tmp_path, m):
    fake = """
        class Groq:
            def __init__(self, api_key):
                raise RuntimeError("bad key " + api_key)
    """
    out = run_with_config(tmp_path, m, ODD_CONFIG.format(key="k-123"), fake_groq=fake)
    assert out.returncode == 0, out.stderr
    warnings_line, values, leaked = out.stdout.splitlines()
    assert eval(warnings_line) == [
        "Failed to initialize Groq client: bad key k-123. LLM features will be unavailable."
    ]
    assert values.startswith("True ")
    assert leaked == "False"  # the handler's exception name does not leak into the module


def test_import_with_working_client_keeps_it(tmp_path, m):
    fake = """
        class Groq:
            def __init__(self, api_key):
                self.api_key = api_key
    """
    out = run_with_config(tmp_path, m, ODD_CONFIG.format(key="k-1"), fake_groq=fake)
    assert out.returncode == 0, out.stderr
    assert eval(out.stdout.splitlines()[0]) == []
    assert out.stdout.splitlines()[1].startswith("False ")


def test_missing_config_name_fails_import(tmp_path, m):
    body = ODD_CONFIG.format(key="").replace('GROQ_MODEL = "some-model"', "")
    out = run_with_config(tmp_path, m, body)
    assert out.returncode != 0
    assert "ImportError: cannot import name 'GROQ_MODEL' from 'source.config'" in out.stderr


def test_module_attributes(m):
    import dataclasses
    import difflib
    import itertools
    import math
    import typing

    import sympy
    import zss

    assert m.sp is sympy and m.np is np and m.zss is zss
    assert m.dataclass is dataclasses.dataclass and m.SequenceMatcher is difflib.SequenceMatcher
    assert m.math is math and m.itertools is itertools and m.Optional is typing.Optional
    assert m.Tuple is typing.Tuple and m.Callable is typing.Callable
    assert m.__test__ == {}
    np.testing.assert_array_equal(m.GRID, np.logspace(-1, 2, 64))
    np.testing.assert_array_equal(m.GRID_LINEAR, np.linspace(0.1, 20.0, 64))
    assert type(m.MAX_WILDCARD_DENSITY) is float and m.MAX_WILDCARD_DENSITY == 0.6
    for name in (
        "GRID_LOGSPACE",
        "DEFAULT_VAR_RANGE",
        "GROQ_API_KEY",
        "GROQ_MODEL",
        "LLM_MAX_RETRIES",
        "groq_client",
    ):
        assert hasattr(m, name)


def test_module_docstring(m):
    lines = m.__doc__.split("\n")
    assert lines[0] == "" and lines[-1] == ""
    body = lines[1:-1]
    assert len(body) == 16
    assert body[0] == "KELTRAN — Structure Detection v4"
    assert body[1] == "-" * 33
    assert body[7] == "  S(a, b) = α · S_structure(a, b) + β · S_behavior(a, b)"
    assert body[15] == "  Everything else is discarded."


def _ascii_stdout():
    """A stdout whose codec cannot encode non-ASCII text."""
    return io.TextIOWrapper(io.BytesIO(), encoding="ascii", errors="strict")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("a", "b"), {"sep": "-"}, "a-b\n"),
        ((), {}, "\n"),
        ((1, None), {"end": "!"}, "1 None!"),
    ],
)
def test_safe_print_prints_through_print(m, capsys, args, kwargs, expected):
    assert m._safe_print(*args, **kwargs) is None
    assert capsys.readouterr().out == expected


def test_safe_print_falls_back_to_utf8_bytes(m, monkeypatch):
    fake = _ascii_stdout()
    monkeypatch.setattr(sys, "stdout", fake)
    kwargs = {"sep": "-", "end": ""}
    m._safe_print("α", "b", **kwargs)
    fake.flush()
    assert fake.buffer.getvalue() == "α b\n".encode("utf-8")
    assert kwargs == {"sep": "-", "end": ""}  # the caller's dict is not touched


def test_safe_print_propagates_other_errors(m):
    with pytest.raises(TypeError):
        m._safe_print("a", no_such_keyword=1)
