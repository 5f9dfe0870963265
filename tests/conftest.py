import warnings

import pytest
import sympy as sp

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the missing-key warning is tested on its own
    import source._brenmoor as _module


@pytest.fixture(scope="session")
def m():
    return _module


@pytest.fixture(scope="session")
def xyz():
    return sp.symbols("x y z")
