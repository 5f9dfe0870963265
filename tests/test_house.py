"""The Python package keeps its house: imports point one way (no cycle, no subpackage importing
one above it), modules stay small, and the settings table is what the command line, a run and a
kept state read."""

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "source"
# Each layer may import the layers after it in this list, never those before it.
LAYERS = [
    "cli",
    "api",
    "report",
    "state",
    "run",
    "settings",
    "judge",
    "bank",
    "engine",
    "version",
    "config",
]
OPTIONAL = ("dask", "distributed", "matplotlib", "tqdm", "pandas")


def _modules():
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(ROOT).with_suffix("").parts
        yield ".".join(parts[:-1] if parts[-1] == "__init__" else parts), path


def _imports(path, module):
    """(imported module, inside a function) for every import of the package's own modules."""
    tree = ast.parse(path.read_text())
    inside = {
        id(n)
        for f in ast.walk(tree)
        if isinstance(f, (ast.FunctionDef, ast.AsyncFunctionDef))
        for n in ast.walk(f)
        if n is not f
    }
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("source"):
            for alias in node.names:
                target = f"{node.module}.{alias.name}"
                yield (
                    (
                        target
                        if (PACKAGE.parent / (target.replace(".", "/") + ".py")).exists()
                        or (PACKAGE.parent / target.replace(".", "/")).is_dir()
                        else node.module
                    ),
                    id(node) in inside,
                )
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("source"):
                    yield alias.name, id(node) in inside


def _layer(module):
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else None


def _graph():
    graph = {}
    for module, path in _modules():
        graph[module] = {
            t for t, _ in _imports(path, module) if t != "source._brenmoor" and t != module
        }
    return graph


def test_the_package_has_no_import_cycle():
    graph = _graph()
    state = {}

    def visit(m, trail):
        state[m] = "open"
        for t in graph.get(m, ()):
            if state.get(t) == "open":
                pytest.fail(
                    "import cycle: " + " -> ".join(trail[trail.index(t) :] + [t])
                    if t in trail
                    else f"import cycle through {t}"
                )
            if t not in state:
                visit(t, trail + [t])
        state[m] = "done"

    for m in graph:
        if m not in state:
            visit(m, [m])


@pytest.mark.parametrize("module, path", list(_modules()), ids=lambda v: str(v))
def test_imports_point_down_the_layers(module, path):
    own = _layer(module)
    for target, inside in _imports(path, module):
        theirs = _layer(target)
        if own in LAYERS and theirs in LAYERS and theirs != own:
            assert LAYERS.index(theirs) > LAYERS.index(own), (
                f"{module} imports {target}, a layer above it"
            )
    tree = ast.parse(path.read_text())
    for f in ast.walk(tree):
        if isinstance(f, ast.FunctionDef):
            for node in ast.walk(f):
                if isinstance(node, (ast.Import, ast.ImportFrom)):
                    name = node.module if isinstance(node, ast.ImportFrom) else node.names[0].name
                    # the command loads the engine after its loading message, and the package
                    # `source.detect` when it is first asked for
                    late = (module == "source.cli.entry" and name.startswith("source.cli")) or (
                        module == "source" and name == "source.api"
                    )
                    assert late or (name or "").startswith(OPTIONAL), (
                        f"{module}.{f.name} imports {name} inside a function"
                    )


@pytest.mark.parametrize("module, path", list(_modules()), ids=lambda v: str(v))
def test_modules_stay_small(module, path):
    assert len(path.read_text().splitlines()) <= 400, f"{module} holds more than one job"


def test_every_function_of_the_package_is_annotated():
    missing = []
    for module, path in _modules():
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                args = [
                    a
                    for a in node.args.posonlyargs + node.args.args + node.args.kwonlyargs
                    if a.arg not in ("self", "cls")
                ]
                args += [a for a in (node.args.vararg, node.args.kwarg) if a is not None]
                if node.returns is None or any(a.annotation is None for a in args):
                    missing.append(f"{module}.{node.name}")
    assert not missing, missing
