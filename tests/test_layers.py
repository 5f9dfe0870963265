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
    assert included in visible(uses, folder), (
        f"{path} includes {target}: {included} is not below {folder}"
    )


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

    flags = [
        "-std=c++20",
        "-E",
        "-x",
        "c++",
        "-",
        "-o",
        os.devnull,
        f"-I{view}",
        f"-I{sysconfig.get_paths()['include']}",
        f"-I{nanobind.include_dir()}",
    ]
    return subprocess.run(
        [compiler, *flags], input=f'#include "{header}"\n', text=True, capture_output=True
    )


@pytest.mark.parametrize(
    "layer, header",
    [
        ("descriptors", "similarity/matrix.hpp"),  # a subsystem above
        ("similarity", "pipeline/detect.hpp"),  # a subsystem beside
        ("runtime", "descriptors/describe.hpp"),  # the runtime reaching up
        ("kernels", "runtime/py.hpp"),  # the kernels reaching Python
        ("symbolic", "runtime/py.hpp"),  # the native trees reaching Python
        ("kernels", "symbolic/node.hpp"),  # the kernels reaching the trees above them
        ("pipeline", "module/init.hpp"),  # the assembly
    ],
)
def test_an_upward_include_fails_to_compile(layer, header):
    root = views()
    assert (SRC / header).exists()
    refused = preprocess(root / layer, header)
    assert refused.returncode != 0 and "No such file" in refused.stderr, refused.stderr
    # The same header through the view of a layer that may use it compiles.
    allowed = preprocess(root / "module", header)
    assert allowed.returncode == 0, allowed.stderr


# ---- Late-bound names ------------------------------------------------------------------------
# `module_global("name")` reads the module namespace when it runs: the include roots do not see
# what it reaches, so every folder lists its lookups in its late_bound.hpp, with the folder that
# binds each name (declared as a use, unless it is the folder itself or the module's frame).
LOOKUP = re.compile(r'module_global\(\s*"([^"]+)"\s*\)')
COMMENT = re.compile(r"//[^\n]*")
LISTED = re.compile(r'\{\s*"([^"]+)",\s*"([a-z_]+)",\s*LateBinding::(\w+)\s*\}')
KINDS = {"Replaceable", "BuiltAtImport", "Setting", "Import"}


def lookups(folder):
    """name -> the files of the folder that look it up."""
    found = {}
    for path in sorted((SRC / folder).glob("*.[ch]pp")):
        for name in LOOKUP.findall(COMMENT.sub("", path.read_text())):
            found.setdefault(name, []).append(path.name)
    return found


def listed(folder):
    """name -> (owner, kind), from src/<folder>/late_bound.hpp."""
    path = SRC / folder / "late_bound.hpp"
    entries = LISTED.findall(path.read_text()) if path.exists() else []
    names = [name for name, _, _ in entries]
    assert len(names) == len(set(names)), f"{path}: a name listed twice"
    return {name: (owner, kind) for name, owner, kind in entries}


def string_items(text, start):
    """The string literals of the braced list that follows `start` in text."""
    at = text.index(start) + len(start)
    return re.findall(r'"([^"]+)"', text[at : text.index("}", at)])


def bound_by():
    """folder -> the module names its part of the module body binds: the sections and steps of
    src/module/declare_<folder>.cpp, and for "module" the frame (init.cpp, safe_print.cpp)."""
    module = SRC / "module"
    texts = {p.name: p.read_text() for p in module.glob("*.cpp")}
    everything = "\n".join(texts.values())
    records = dict(re.findall(r'const RecordDef (\w+)\{\s*"(\w+)"', everything))
    classes = dict(re.findall(r'const ClassDef (\w+)\{\s*\.name = "(\w+)"', everything))

    def names(text):
        found = set(re.findall(r'bind_global\(\w+, "(\w+)"', text))
        for listing in re.findall(r'import_from\(\w+, "[\w.]+", \{([^}]*)\}', text):
            found |= set(re.findall(r'"(\w+)"', listing))
        for section in re.findall(r"^const Section \w+\{\n(.*?)^\};", text, re.M | re.S):
            found |= set(
                re.findall(r'^    Declaration<\w+>\{\n        \.name = "(\w+)"', section, re.M)
            )
            for entry in re.findall(r"^    (\w+),$", section, re.M):
                found.add(records.get(entry) or classes.get(entry) or entry)
        return found

    owners = {
        p.stem.removeprefix("declare_"): names(t)
        for p, t in ((module / n, t) for n, t in texts.items())
        if p.stem.startswith("declare_")
    }
    frame = names(texts["init.cpp"]) | names(texts["safe_print.cpp"])
    frame |= set(string_items(texts["init.cpp"], "kConfigNames[] = {"))
    owners["module"] = frame
    return owners


FOLDERS = sorted(p.name for p in SRC.iterdir() if p.is_dir())


@pytest.mark.parametrize("folder", FOLDERS)
def test_every_lookup_is_listed_and_every_listed_name_looked_up(folder):
    looked_up, names = lookups(folder), listed(folder)
    unlisted = {n: files for n, files in looked_up.items() if n not in names}
    assert not unlisted, f"src/{folder}: add to late_bound.hpp the lookups of {unlisted}"
    stale = sorted(set(names) - set(looked_up))
    assert not stale, f"src/{folder}/late_bound.hpp lists names nobody looks up: {stale}"


@pytest.mark.parametrize("folder", FOLDERS)
def test_the_owner_of_a_late_bound_name_binds_it_and_is_a_declared_use(folder):
    uses, owners = declared(), bound_by()
    for name, (owner, kind) in listed(folder).items():
        assert kind in KINDS, f"{folder}: {name}: {kind}"
        assert owner in owners, f"{folder}: {name}: {owner} binds no part of the module"
        assert name in owners[owner], f"{folder}: {name} is not bound by {owner}"
        # The frame (imports, settings, the client, `_safe_print`) is bound before any subsystem.
        assert owner in (folder, "module") or owner in uses[folder], (
            f"{folder} looks up {name} of {owner}: CMakeLists.txt must declare that {folder} uses {owner}"
        )


def test_the_frame_lends_no_name_a_subsystem_binds():
    # An owner of "module" for a name a subsystem binds would hide a use of that subsystem.
    owners = bound_by()
    for folder in FOLDERS:
        for name, (owner, _) in listed(folder).items():
            if owner == "module":
                below = [f for f, names in owners.items() if f != "module" and name in names]
                assert not below, f"{folder}: {name} is bound by {below}, not the frame"


@pytest.mark.parametrize("folder", [f for f in FOLDERS if f not in ("kernels", "module")])
def test_every_declared_use_is_used(folder):
    """A declared use is a folder whose headers the folder includes, or whose names it looks up."""
    uses = declared()
    included = {target.split("/")[0] for f, _, target in includes() if f == folder}
    late = {owner for owner, _ in listed(folder).values()}
    idle = [u for u in uses[folder] if u not in included | late]
    assert not idle, f"{folder} declares it uses {idle} but includes or looks up nothing of it"


def test_late_bound_names_are_what_their_kind_says(m):
    native = type(m.describe)
    for folder in FOLDERS:
        for name, (_, kind) in listed(folder).items():
            assert name in vars(m), f"{folder}: {name} is not bound in the module"
            value = vars(m)[name]
            ours = getattr(value, "__module__", None) == m.__name__
            if kind == "Replaceable":
                assert isinstance(value, native), f"{folder}: {name} is not a native function"
            elif kind == "BuiltAtImport":
                assert isinstance(value, type) and ours, (
                    f"{folder}: {name} is no class of the module"
                )
            elif kind == "Import":
                assert not ours and not isinstance(value, native), f"{folder}: {name} is no import"
            else:
                assert not isinstance(value, (type, native)), f"{folder}: {name} is no setting"
