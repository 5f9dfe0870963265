import os
import pathlib
import sys
import warnings

import pytest
import sympy as sp

# The test-only extension `_brenmoor_testing` (kernel hooks, reference paths): built by `make test`
# into build/testing, never installed with the package; `make sanitize` names its own build.
sys.path.insert(
    0,
    os.environ.get("KELTRAN_TESTING_DIR")
    or str(pathlib.Path(__file__).resolve().parent.parent / "build" / "testing"),
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the missing-key warning is tested on its own
    import source._brenmoor as _module


@pytest.fixture(scope="session")
def m():
    return _module


@pytest.fixture(scope="session")
def xyz():
    return sp.symbols("x y z")
