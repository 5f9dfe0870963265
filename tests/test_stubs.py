"""The type stubs list every public name of the module with its parameters."""

import ast
import importlib.util
import inspect
import os
import pathlib
import runpy
import subprocess
import sys

import pytest

import source

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "source" / "_brenmoor.pyi"
SCRIPT = ROOT / "scripts" / "make_stubs.py"


def make_stubs(*args):
    """scripts/make_stubs.py as `make stubs` runs it."""
    return subprocess.run(
        [sys.executable, "-P", str(SCRIPT), *map(str, args)], capture_output=True, text=True
    )


def test_stub_is_what_the_module_generates(m):
    render = runpy.run_path(str(ROOT / "scripts" / "make_stubs.py"))["render"]
    assert STUB.read_text() == render(m), "run `make stubs` after changing a signature"


def stale(text):
    return text.replace("def describe(", "def describe_(", 1)


@pytest.mark.parametrize("start", ["committed", "stale", "missing"])
def test_make_stubs_writes_the_committed_stub_and_check_tells_a_stale_one(tmp_path, start):
    stub = tmp_path / "_brenmoor.pyi"
    committed = STUB.read_text()
    assert stale(committed) != committed
    if start != "missing":
        stub.write_text(committed if start == "committed" else stale(committed))
        os.utime(stub, (1_000_000_000, 1_000_000_000))
    checked = make_stubs("--check", stub)
    assert checked.returncode == (0 if start == "committed" else 1), checked.stderr
    written = make_stubs(stub)
    assert written.returncode == 0, written.stderr
    assert stub.read_text() == committed
    # An up-to-date stub keeps its time stamp: `make` would otherwise reinstall the package.
    assert (stub.stat().st_mtime == 1_000_000_000) == (start == "committed")
    assert make_stubs("--check", stub).returncode == 0


def test_mypy_accepts_the_stub(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (the test extra pins it)")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), str(STUB)],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_covers_every_public_name_with_its_parameters(m):
    tree = ast.parse(STUB.read_text())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            stubbed[node.name] = node
        elif isinstance(node, ast.ClassDef):
            stubbed[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            stubbed[node.target.id] = node
    native = type(m.describe)
    for name, value in vars(m).items():
        if isinstance(value, native):
            params = [a.arg for a in stubbed[name].args.posonlyargs + stubbed[name].args.args]
            want = [
                p.name
                for p in inspect.signature(value).parameters.values()
                if p.kind in (p.POSITIONAL_OR_KEYWORD, p.POSITIONAL_ONLY)
            ]
            assert params == want, name
        elif isinstance(value, type) and value.__module__ == m.__name__ and name != "_kernels":
            assert isinstance(stubbed[name], ast.ClassDef), name
    for name in (
        "SymbolicOperator",
        "NumpyCompiler",
        "detect_structure",
        "discover_concept",
        "GRID",
    ):
        assert name in stubbed
    assert (pathlib.Path(source.__file__).parent / "py.typed").exists()
