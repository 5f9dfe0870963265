"""KELTRAN: structure detection for banks of symbolic formulas.

The engine lives in the compiled module ``source._brenmoor``; its settings in
``source.config``. ``source.detect(bank, library)`` runs a detection from Python (`source.api`). Bundled data (the Feynman formula bank) is under ``source/data``.
"""

import os

# sympy keeps the objects its constructors built in caches of a fixed size, chosen once when it
# is imported. A bank's formulas share many subexpressions; with room for 20,000 of them,
# parsing and describing a large bank takes about a third less time. A size the user set, or a
# sympy imported before us, is left as it is.
os.environ.setdefault("SYMPY_CACHE_SIZE", "20000")


def __getattr__(name: str) -> object:
    # `source.detect` loads the engine and sympy when first asked for: importing the package,
    # as the command does before its loading message, stays light.
    if name == "detect":
        from source.api import detect

        return detect
    raise AttributeError(f"module 'source' has no attribute {name!r}")
