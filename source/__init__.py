"""KELTRAN: structure detection for banks of symbolic formulas.

The engine lives in the compiled module ``source._brenmoor``; its settings in
``source.config``. Bundled data (the Feynman formula bank) is under ``source/data``.
"""
