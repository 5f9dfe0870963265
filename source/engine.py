"""The compiled engine, loaded once for the package.

Loading it warns when no language-model key is set; nothing here asks a model, and the command
that does says so itself, so the warning is silenced where the engine is loaded for the run.
"""

import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import source._brenmoor as kt

__all__ = ["kt"]
