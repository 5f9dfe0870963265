"""The C++ of src/ is exactly as clang-format leaves it under the repository's .clang-format
(`make format` rewrites it), at the clang-format release the lock pins: releases format
differently, so another one is not a judge."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(p.relative_to(ROOT) for p in (ROOT / "src").rglob("*.[ch]pp"))


def pinned_version():
    found = re.search(r"^clang-format==(\S+)$", (ROOT / "constraints.txt").read_text(), re.M)
    assert found, "constraints.txt pins no clang-format"
    return found.group(1)


@pytest.fixture(scope="module")
def clang_format():
    beside = pathlib.Path(sys.executable).parent / "clang-format"
    binary = str(beside) if beside.exists() else shutil.which("clang-format")
    if not binary:
        pytest.skip("no clang-format binary (`make test` installs the pinned one)")
    version = subprocess.run([binary, "--version"], capture_output=True, text=True).stdout
    if pinned_version() not in version.split():
        pytest.skip(f"clang-format is not the pinned {pinned_version()}: {version.strip()}")
    return binary


def test_the_style_file_is_at_the_root():
    # Without it clang-format silently falls back to its own default style.
    assert "ColumnLimit: 100" in (ROOT / ".clang-format").read_text()
    assert SOURCES


@pytest.mark.parametrize("path", SOURCES, ids=str)
def test_source_is_formatted(clang_format, path):
    done = subprocess.run(
        [clang_format, "--dry-run", "-Werror", str(path)], cwd=ROOT, capture_output=True, text=True
    )
    assert done.returncode == 0, f"run `make format`:\n{done.stderr[:3000]}"


@pytest.mark.parametrize("path", SOURCES, ids=str)
def test_no_line_passes_100_columns(path):
    # clang-format leaves alone what `// clang-format off` fences; the limit holds there too.
    long = [
        n for n, line in enumerate((ROOT / path).read_text().splitlines(), 1) if len(line) > 100
    ]
    assert not long, f"{path}: lines {long} pass 100 columns"


def test_python_is_as_ruff_formats_it():
    # The pinned ruff of the test extra, by pyproject.toml's settings (line length 100).
    beside = pathlib.Path(sys.executable).parent / "ruff"
    binary = str(beside) if beside.exists() else shutil.which("ruff")
    if not binary:
        pytest.skip("no ruff (`make test` installs the pinned one)")
    done = subprocess.run(
        [binary, "format", "--check", "source", "tests", "bench", "scripts"],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, f"run `make format`:\n{done.stdout[-3000:]}"
