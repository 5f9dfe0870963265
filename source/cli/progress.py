"""Progress bars for the stages of a run, on standard error (one bar per stage, true totals),
and the time each stage took."""

import contextlib
import resource
import sys
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any


class Progress:
    """Called as ``progress(stage, done, total)``. Shows nothing unless `show` (a terminal) and
    tqdm is installed; a stage's bar closes when it is complete. Every stage's wall time, from
    its first report to its last, is kept in `times`."""

    _tqdm: Any
    _bars: dict[str, Any]

    def __init__(self, show: bool) -> None:
        self._tqdm, self._bars = None, {}
        self.times: dict[str, list[float]] = {}  # stage -> [first report, last report]
        if show:
            with contextlib.suppress(ImportError):
                from tqdm import tqdm

                self._tqdm = tqdm

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = time.perf_counter()
        self.times.setdefault(stage, [now, now])[1] = now
        if self._tqdm is None:
            return
        bar = self._bars.get(stage)
        if bar is None:
            bar = self._bars[stage] = self._tqdm(
                total=total, desc=stage, file=sys.stderr, leave=False, mininterval=0.2
            )
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    @contextlib.contextmanager
    def step(self, stage: str) -> Iterator[None]:
        """A stage of one indivisible step (drawing a picture): a bar of one."""
        self(stage, 0, 1)
        try:
            yield
        finally:
            self(stage, 1, 1)

    def close(self) -> None:
        for bar in self._bars.values():
            bar.close()
        self._bars.clear()


def timings_text(times: Mapping[str, Sequence[float]], started: float) -> str:
    """Each stage's wall time, the whole run's, and the peak memory of this process."""
    lines = ["=== Timings ===", ""]
    whole, inside = time.perf_counter() - started, 0.0
    for stage, (first, last) in times.items():
        lines.append(f"  {stage:32} {last - first:9.1f} s")
        inside += last - first
    # Work between one stage's last report and the next one's first (reading options, handing
    # data to workers, building the report) belongs to no stage: it is shown, not hidden.
    lines.append(f"  {'outside the stages':32} {whole - inside:9.1f} s")
    lines.append(f"  {'whole run':32} {whole:9.1f} s")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux
    lines.append(f"  {'peak memory of this process':32} {peak:9.0f} MB")
    return "\n".join(lines)
