"""Every setting of a run, declared once: its keyword, command-line option, type, range, help
text and default.

The defaults of detection and filtering are those the engine's functions declare
(`detect_structure`, `filter_candidates`); the judge's are its own constants. The command line
builds its options from `OPTIONS`, a run reads its values from a `Settings`, a kept state checks
the settings marked `kept`, and the report lists `Settings.used()`.
"""

import inspect
import math
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

from source.engine import kt
from source.judge.canonical import SNAP_TOLERANCE
from source.judge.law_fit import R2_THRESHOLD


def _defaults(fn: Callable[..., Any]) -> dict[str, Any]:
    return {
        name: p.default
        for name, p in inspect.signature(fn).parameters.items()
        if p.default is not inspect.Parameter.empty
    }


# Detection's thresholds, similarity weights and score weights and scales, and the filter's
# thresholds, in the order the engine declares them.
DETECTION: dict[str, Any] = {
    k: v
    for k, v in _defaults(kt.detect_structure).items()
    if k not in ("var_ranges_bank", "verbose")
}
FILTERING: dict[str, Any] = _defaults(kt.filter_candidates)
SCORING: list[str] = [k for k in DETECTION if k.startswith(("w_", "scale_"))]
# The judge's settings, and the library match's.
JUDGING: dict[str, Any] = {
    "near_threshold": kt.NEAR_THRESHOLD,
    "snap": SNAP_TOLERANCE,
    "fit_threshold": R2_THRESHOLD,
}


@dataclass(frozen=True)
class Option:
    """One setting. `low`/`high` bound a number (`open_low`: the low end excluded); `count` is a
    whole number of at least 1. `kept`: a kept state's descriptors and graph depend on it."""

    key: str
    flag: str
    help: str
    low: float | None = None
    high: float | None = None
    open_low: bool = False
    count: bool = False
    kept: bool = False

    @property
    def default(self) -> Any:
        for table in (DETECTION, FILTERING, JUDGING, RUN):
            if self.key in table:
                return table[self.key]
        raise KeyError(self.key)

    def check(self, value: Any, text: str | None = None) -> Any:
        """The value, or ValueError saying what is wrong with it; `text`, the value as the user
        wrote it, is what the message quotes."""
        got = str(value) if text is None else text
        if self.count:
            if value < 1:
                raise ValueError(f"must be at least 1, got {got}")
            return value
        if not math.isfinite(value):
            raise ValueError(f"must be a finite number, got {value if text is None else text!r}")
        low, high = self.low, self.high
        if low is not None and (value < low or (self.open_low and value == low)):
            raise ValueError(
                f"must be {'above' if self.open_low else 'at least'} {low:g}, got {got}"
            )
        if high is not None and value > high:
            raise ValueError(f"must be at most {high:g}, got {got}")
        return value


# The settings a user tunes, in the order the command line lists them.
TUNED: list[Option] = [
    Option(
        "sim_threshold",
        "--sim-threshold",
        "similarity at which formulas cluster",
        0.0,
        1.0,
        kept=True,
    ),
    Option(
        "alpha",
        "--alpha",
        "weight of structural similarity (beta = 1 - alpha unless given)",
        0.0,
        1.0,
        kept=True,
    ),
    Option(
        "beta",
        "--beta",
        "weight of behavioural similarity (alpha = 1 - beta unless given)",
        0.0,
        1.0,
        kept=True,
    ),
    Option(
        "novelty_threshold", "--novelty-threshold", "smallest detection score a structure keeps"
    ),
    Option(
        "w_structural", "--w-structural", "score weight of the tree distance to the library", 0.0
    ),
    Option("w_behavioral", "--w-behavioral", "score weight of the behavioural distance", 0.0),
    Option("w_irreducibility", "--w-irreducibility", "score weight of irreducibility", 0.0),
    Option("w_recurrence", "--w-recurrence", "score weight of recurrence", 0.0),
    Option("w_compression", "--w-compression", "score weight of compression", 0.0),
    Option(
        "scale_irreducible", "--scale-irreducible", "divisor of irreducibility", 0.0, open_low=True
    ),
    Option("scale_recurrence", "--scale-recurrence", "divisor of recurrence", 0.0, open_low=True),
    Option(
        "scale_compression", "--scale-compression", "divisor of compression", 0.0, open_low=True
    ),
    Option("min_members", "--min-members", "members a structure needs to recur", count=True),
    Option("novel_threshold", "--novel-threshold", "score from which a kept structure is novel"),
    Option(
        "repeated_threshold",
        "--repeated-threshold",
        "score from which a kept structure is repeated",
    ),
    Option(
        "composition_threshold",
        "--composition-threshold",
        "tree distance under which a structure is a sum or product of two laws",
    ),
    Option(
        "max_wildcard_density",
        "--max-wildcard-density",
        "largest share of bare wildcards",
        0.0,
        1.0,
        kept=True,
    ),
    Option(
        "near_threshold",
        "--near-threshold",
        "largest name-blind distance (over the tree size) still called a near known law",
        0.0,
        1.0,
    ),
    Option(
        "snap",
        "--snap",
        "relative tolerance within which numbers snap to simple values, and share of a formula's "
        "variation below which a term is dropped, in its canonical form",
        0.0,
        0.5,
        kept=True,
    ),
    Option(
        "fit_threshold",
        "--fit-threshold",
        "R² from which a formula equals a law numerically (a*law + b on its ranges)",
        0.0,
        1.0,
    ),
]

# How a run goes, beside what it measures: the API's defaults (the command line gives seed 0).
RUN: dict[str, Any] = {
    "seed": None,
    "use_ranges": True,
    "large": False,
    "block_size": 2000,
    "verbose": True,
    "filter": True,
    "canonical_forms": False,
}
SEED = Option(
    "seed",
    "--seed",
    "seed of numpy's generator, so that two runs print the same numbers",
    kept=True,
)
USE_RANGES = Option("use_ranges", "--no-ranges", "ignore the bank's variable ranges", kept=True)

BY_KEY: dict[str, Option] = {o.key: o for o in [SEED, USE_RANGES, *TUNED]}
# What a kept state depends on, in the order its manifest lists them.
KEPT: list[Option] = [o for o in BY_KEY.values() if o.kept]


class Settings(Mapping[str, Any]):
    """A run's settings: every keyword of the table at its default unless chosen. Unknown names
    are a TypeError; alpha and beta are completed to add up to 1 by the caller (the command
    line)."""

    def __init__(self, **chosen: Any) -> None:
        known = {**DETECTION, **FILTERING, **JUDGING, **RUN}
        unknown = set(chosen) - set(known)
        if unknown:
            raise TypeError(f"unknown settings: {', '.join(sorted(unknown))}")
        self._values = {**known, **chosen}
        self.chosen = dict(chosen)

    def __getitem__(self, key: str) -> Any:
        return self._values[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __getattr__(self, key: str) -> Any:
        try:
            return self.__dict__["_values"][key]
        except KeyError:
            raise AttributeError(key) from None

    def measured(self) -> dict[str, Any]:
        """What a run measured with, as its report lists it: detection's and the filter's
        settings, then the judge's."""
        values = self._values
        return {
            **{k: values[k] for k in DETECTION},
            **{k: values[k] for k in FILTERING},
            **{k: values[k] for k in JUDGING},
        }

    def kept(self) -> dict[str, Any]:
        """The settings a kept state depends on, in the manifest's order."""
        return {o.key: self._values[o.key] for o in KEPT}

    def replace(self, **chosen: Any) -> "Settings":
        return Settings(**{**self.chosen, **chosen})
