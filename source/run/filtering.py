"""The filter of a run's candidates, with its one costly measure, each candidate's distance to
the sums and products of two library expressions, taken in runs on the runner."""

from collections.abc import Sequence
from typing import Any

from source.engine import kt
from source.run import native_rows
from source.run.runner import Done, InProcess, Runner

# The thresholds of the filter's tests before the composition distance.
_EARLY_KEYWORDS = ("min_members", "max_wildcard_density")
# Formulas measured by one call: the library's sums and products are built once for them.
_FILTER_RUN = 32


def distances_of(library: dict[str, Any], formulas: Sequence[Any]) -> list[float]:
    """Each formula's composition distance: on its native tree where one holds it, unless the
    native paths are off (`native_rows.ENABLED`)."""
    return kt._composition_distances(list(formulas), library, native=native_rows.ENABLED)


def filter_large(
    candidates: Sequence[Any],
    library: dict[str, Any],
    runner: Runner | None = None,
    progress: Done | None = None,
    distances: list[float | None] | None = None,
    **thresholds: Any,
) -> Any:
    """`filter_candidates` with the composition distances measured on the runner: the same
    result. `distances`, when given, holds one entry per candidate, that distance where an
    earlier run measured it (against the same library) or None; the entries measured here are
    filled in."""
    kt.filter_candidates([], library, **thresholds)  # the same errors for bad thresholds
    candidates = list(candidates)
    pending = kt._filter_pending(
        candidates, **{k: thresholds[k] for k in _EARLY_KEYWORDS if k in thresholds}
    )
    if distances is None:
        distances = [None] * len(candidates)
    need = [i for i, (p, d) in enumerate(zip(pending, distances)) if p and d is None]
    runs = [need[k : k + _FILTER_RUN] for k in range(0, len(need), _FILTER_RUN)]
    measured = (runner or InProcess()).map(
        distances_of,
        [([candidates[i].formula for i in run],) for run in runs],
        progress,
        light=True,
        shared=(library,),
    )
    for run, values in zip(runs, measured):
        for i, value in zip(run, values):
            distances[i] = value
    return kt._filter_with_distances(candidates, library, distances, **thresholds)
