"""Test-only native code stays out of the product: the hooks live in `_brenmoor_testing`, an
extension the test run builds apart and the package never installs."""

import os
import pathlib
import subprocess
import sys

import _brenmoor_testing as kernels
import pytest


def test_module_holds_no_test_hooks(m):
    assert not hasattr(m, "_kernels")
    for name, value in vars(m).items():
        assert getattr(value, "__module__", None) != kernels.__name__, name


def test_installed_package_holds_no_test_extension(m):
    package = pathlib.Path(m.__file__).parent
    assert not list(package.glob("_brenmoor_testing*"))
    assert pathlib.Path(kernels.__file__).parent != package


def test_hooks_are_functions_of_the_test_extension():
    assert kernels.tree_distance.__module__ == "_brenmoor_testing"
    assert type(kernels.tree_distance).__name__ == "native_function"
    assert kernels.tree_distance(("a", []), ("b", [])) == 1


@pytest.mark.parametrize("given, size", [(None, "20000"), ("50", "50")])
def test_importing_the_package_first_sizes_sympys_cache(given, size):
    """A bank's formulas share subexpressions: the package widens sympy's caches unless the
    user chose their size."""
    env = {k: v for k, v in os.environ.items() if k != "SYMPY_CACHE_SIZE"}
    if given is not None:
        env["SYMPY_CACHE_SIZE"] = given
    out = subprocess.run(
        [
            sys.executable,
            "-P",
            "-c",
            "import source, sympy.core.cache as c; print(c.SYMPY_CACHE_SIZE)",
        ],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.stdout.split() == [size], out.stderr[-2000:]
