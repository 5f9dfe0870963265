"""Settings read by ``source._brenmoor`` once, when it is imported.

The Groq settings come from environment variables of the same names.
"""

import os

import numpy as np

# Evaluation grids and the default sampling range of a variable.
GRID_LOGSPACE = np.logspace(-1, 2, 64)
GRID_LINEAR = np.linspace(0.1, 20.0, 64)
DEFAULT_VAR_RANGE = (0.1, 10.0)

# Largest share of bare wildcards a generalised formula may have.
MAX_WILDCARD_DENSITY = 0.6

# Language-model access.
GROQ_API_KEY = os.environ.get("GROQ_API_KEY", "")
GROQ_MODEL = os.environ.get("GROQ_MODEL", "llama-3.3-70b-versatile")


def _env_int(name: str, default: int) -> int:
    text = os.environ.get(name, "")
    if not text.strip():
        return default
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"environment variable {name} must be an integer, got {text!r}") from None


LLM_MAX_RETRIES = _env_int("LLM_MAX_RETRIES", 3)
