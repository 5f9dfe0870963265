"""The type stubs list every public name of the module with its parameters."""
import ast
import inspect
import pathlib
import runpy

import source

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "source" / "_brenmoor.pyi"


def test_stub_is_what_the_module_generates(m):
    render = runpy.run_path(str(ROOT / "scripts" / "make_stubs.py"))["render"]
    assert STUB.read_text() == render(m), "run scripts/make_stubs.py after changing a signature"


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
            want = [p.name for p in inspect.signature(value).parameters.values()
                    if p.kind in (p.POSITIONAL_OR_KEYWORD, p.POSITIONAL_ONLY)]
            assert params == want, name
        elif isinstance(value, type) and value.__module__ == m.__name__ and name != "_kernels":
            assert isinstance(stubbed[name], ast.ClassDef), name
    for name in ("SymbolicOperator", "NumpyCompiler", "detect_structure", "discover_concept", "GRID"):
        assert name in stubbed
    assert (pathlib.Path(source.__file__).parent / "py.typed").exists()
