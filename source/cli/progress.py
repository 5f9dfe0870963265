"""Progress bars for the stages of a run, on standard error (one bar per stage, true totals),
and the time each stage took."""

import contextlib
import resource
import sys
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any


class _Line:
    """A stage's bar on a terminal where tqdm is not installed: one line, redrawn in place at
    most five times a second, and wiped when the stage is complete."""

    def __init__(self, total: int, desc: str, file: Any, leave: bool, mininterval: float) -> None:
        self.total, self.desc, self.file, self.every = total, desc, file, mininterval
        self.n, self._drawn, self._width = 0, -1.0, 0

    def update(self, step: int) -> None:
        self.n += step
        now = time.monotonic()
        if now - self._drawn >= self.every or self.n >= self.total:
            self._drawn = now
            share = self.n / self.total if self.total else 1.0
            bar = "#" * int(20 * share)
            text = f"{self.desc}: {100 * share:3.0f}% [{bar:<20}] {self.n}/{self.total}"
            self._width = max(self._width, len(text))
            self.file.write("\r" + text.ljust(self._width))
            self.file.flush()

    def close(self) -> None:
        if self._width:
            self.file.write("\r" + " " * self._width + "\r")
            self.file.flush()
            self._width = 0


class Progress:
    """Called as ``progress(stage, done, total)``. Shows nothing unless `show` (a terminal):
    then a bar per stage, tqdm's where it is installed, else a line of our own; a stage's bar
    closes when it is complete. Every stage's wall time, from its first report to its last, is
    kept in `times`."""

    _tqdm: Any
    _bars: dict[str, Any]

    def __init__(self, show: bool) -> None:
        self._tqdm, self._bars = None, {}
        self.times: dict[str, list[float]] = {}  # stage -> [first report, last report]
        if show:
            self._tqdm = _Line
            with contextlib.suppress(ImportError):
                from tqdm import tqdm  # tqdm is an optional dependency

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
