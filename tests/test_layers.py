"""The layers the build keeps: every folder of src/ includes only its own headers and those of
the folders CMakeLists.txt declares it uses (transitively); kernels use nothing, the assembly is
included by nobody, the declared graph has no cycle, and the compiler itself refuses an upward
include through the include roots the build gives each target."""
import glob
import os
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def declared():
    """folder -> the folders it uses directly, from the keltran_layer/keltran_uses calls."""
    text = (ROOT / "CMakeLists.txt").read_text()
    uses = {}
    for args in re.findall(r"^keltran_layer\(([^)]*)\)", text, re.M):
        folder, *used = args.split()
        uses[folder] = used
    for args in re.findall(r"^keltran_uses\(([^)]*)\)", text, re.M):
        _target, folder, _scope, *used = args.split()
        uses[folder] = used
    return uses


def visible(uses, folder, seen=None):
    seen = set() if seen is None else seen
    for used in uses[folder]:
        if used not in seen:
            seen.add(used)
            visible(uses, used, seen)
    return seen | {folder}


def includes():
    """(including folder, file, included path) for every quoted include under src/."""
    for path in sorted(SRC.glob("*/*.[ch]pp")):
        for target in INCLUDE.findall(path.read_text()):
            yield path.parent.name, path.relative_to(ROOT), target


def test_every_folder_is_a_declared_layer():
    uses = declared()
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == set(uses)
    assert uses["kernels"] == []


def test_declared_layers_have_no_cycle_and_nobody_uses_the_assembly():
    uses = declared()
    for folder, used in uses.items():
        below = set().union(*(visible(uses, u) for u in used))
        assert folder not in below, f"{folder} is reachable from what it uses: a cycle"
    assert not [f for f, used in uses.items() if "module" in used or "testing" in used]


@pytest.mark.parametrize("folder, path, target", list(includes()), ids=lambda v: str(v))
def test_includes_follow_the_layers(folder, path, target):
    uses = declared()
    assert not target.startswith(("..", "/")), f"{path}: relative include {target}"
    included = target.split("/")[0]
    assert (SRC / target).exists(), f"{path}: {target} does not exist"
    assert included in visible(uses, folder), f"{path} includes {target}: {included} is not below {folder}"


def views():
    found = sorted(glob.glob(str(ROOT / "build" / "*" / "views")))
    if not found:
        pytest.skip("no configured build folder (make test configures one)")
    return pathlib.Path(found[0])


def preprocess(view, header):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    import nanobind
    flags = ["-std=c++20", "-E", "-x", "c++", "-", "-o", os.devnull, f"-I{view}",
             f"-I{sysconfig.get_paths()['include']}", f"-I{nanobind.include_dir()}"]
    return subprocess.run([compiler, *flags], input=f'#include "{header}"\n', text=True, capture_output=True)


@pytest.mark.parametrize("layer, header", [
    ("descriptors", "similarity/matrix.hpp"),   # a subsystem above
    ("similarity", "pipeline/detect.hpp"),      # a subsystem beside
    ("runtime", "descriptors/describe.hpp"),    # the runtime reaching up
    ("kernels", "runtime/py.hpp"),              # the kernels reaching Python
    ("pipeline", "module/init.hpp"),            # the assembly
])
def test_an_upward_include_fails_to_compile(layer, header):
    root = views()
    assert (SRC / header).exists()
    refused = preprocess(root / layer, header)
    assert refused.returncode != 0 and "No such file" in refused.stderr, refused.stderr
    # The same header through the view of a layer that may use it compiles.
    allowed = preprocess(root / "module", header)
    assert allowed.returncode == 0, allowed.stderr
