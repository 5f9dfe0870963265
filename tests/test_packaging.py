"""Test-only native code stays out of the product: the hooks live in `_brenmoor_testing`, an
extension the test run builds apart and the package never installs."""
import pathlib

import _brenmoor_testing as kernels


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
