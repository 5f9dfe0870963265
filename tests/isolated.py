"""Code run in a fresh interpreter: crash regressions run there with the debug allocator (or
under the sanitizers of `make sanitize`), so a use of freed memory or a read past an array
fails that interpreter alone instead of passing by luck or taking the test run down."""

import os
import subprocess
import sys
import textwrap

PRELUDE = """
import warnings; warnings.simplefilter("ignore")
import sys, threading
import numpy as np, sympy as sp
from source import _brenmoor as m
x, y, z = sp.symbols("x y z")
"""


def isolated_output(code, timeout=120):
    """The standard output of `code` (after PRELUDE) run in a fresh interpreter that must exit cleanly."""
    env = dict(os.environ)
    if "asan" not in env.get("LD_PRELOAD", ""):
        env["PYTHONMALLOC"] = "debug"
    out = subprocess.run(
        [sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert out.returncode == 0, out.stderr[-3000:]
    return out.stdout


def run_isolated(code, timeout=120):
    return isolated_output(code, timeout).split()
