"""Progress of the stages of a run, on standard error, and the time each stage took.

On a terminal, a bar per stage with true totals (tqdm's where it is installed, else a line of
our own), closed when its stage is complete. Anywhere else (a log file, a pipe to a log), a
plain line per stage when it ends (``keltran: describing 400/400: 1.2 s``): no carriage
returns, no escape codes. Quiet: nothing at all.
"""

import contextlib
import os
import resource
import sys
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, TextIO

# A terminal that reports no size (a pseudo-terminal never given one: `script` run without a
# terminal, some containers and CI runners) is drawn as $COLUMNS and $LINES say, else as one of
# 80 by 24: tqdm, told a size of zero, draws nothing at all.
_FALLBACK = os.terminal_size((80, 24))


def terminal_size(stream: Any) -> os.terminal_size:
    """The size to draw at on `stream`, a terminal: its own where it reports one."""
    try:
        size = os.get_terminal_size(stream.fileno())
    except (AttributeError, OSError, ValueError):
        size = os.terminal_size((0, 0))
    given = []
    for k, variable in enumerate(("COLUMNS", "LINES")):
        if size[k] > 0:
            given.append(size[k])
            continue
        try:
            given.append(int(os.environ.get(variable, "")))
        except ValueError:
            given.append(0)
        if given[-1] <= 0:
            given[-1] = _FALLBACK[k]
    return os.terminal_size(given)


class _Line:
    """A stage's bar on a terminal where tqdm is not installed: one line, redrawn in place at
    most five times a second, and wiped when the stage is complete."""

    def __init__(
        self,
        total: int,
        desc: str,
        file: Any,
        leave: bool,
        mininterval: float,
        ncols: int,
        nrows: int,
    ) -> None:
        self.total, self.desc, self.file, self.every = total, desc, file, mininterval
        self.n, self._drawn, self._width = 0, -1.0, 0
        self.room = max(ncols - 1, 10)  # a line as wide as the terminal would wrap

    def update(self, step: int) -> None:
        self.n += step
        now = time.monotonic()
        if now - self._drawn >= self.every or self.n >= self.total:
            self._drawn = now
            share = self.n / self.total if self.total else 1.0
            bar = "#" * int(20 * share)
            text = f"{self.desc}: {100 * share:3.0f}% [{bar:<20}] {self.n}/{self.total}"
            text = text[: self.room]
            self._width = max(self._width, len(text))
            self.file.write("\r" + text.ljust(self._width))
            self.file.flush()

    def refresh(self) -> None:
        """The bar is drawn on the update that completes it (tqdm's, within its interval, not)."""

    def close(self) -> None:
        if self._width:
            self.file.write("\r" + " " * self._width + "\r")
            self.file.flush()
            self._width = 0


class Progress:
    """Called as ``progress(stage, done, total)``. With `show` (standard error is a terminal), a
    bar per stage, tqdm's where it is installed, else a line of our own; a stage's bar closes
    when it is complete. Else, with `log`, a plain line on standard error when a stage ends.
    Every stage's wall time, from its first report to its last, is kept in `times`."""

    _tqdm: Any
    _bars: dict[str, Any]

    def __init__(self, show: bool, log: bool = False) -> None:
        self._tqdm, self._bars = None, {}
        self._log = log and not show
        self._began: dict[str, float] = {}  # stage -> its first report since it last began
        self._ended: set[str] = set()
        self.times: dict[str, list[float]] = {}  # stage -> [first report, last report]
        if show:
            self._tqdm = _Line
            with contextlib.suppress(ImportError):
                from tqdm import tqdm  # tqdm is an optional dependency

                self._tqdm = tqdm

    @classmethod
    def on(cls, stream: TextIO, quiet: bool) -> "Progress":
        """The progress a command shows on `stream` (standard error): bars on a terminal, a
        line per stage anywhere else, nothing when `quiet`."""
        if quiet:
            return cls(False)
        try:
            terminal = stream.isatty()
        except (AttributeError, OSError, ValueError):
            terminal = False
        return cls(terminal, log=not terminal)

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = time.perf_counter()
        self.times.setdefault(stage, [now, now])[1] = now
        complete = done >= total
        if stage in self._ended:
            if complete:
                return  # its last report again
            self._ended.discard(stage)  # the stage begins again
            self._began.pop(stage, None)
        began = self._began.setdefault(stage, now)
        if self._tqdm is not None:
            bar = self._bars.get(stage)
            if bar is None:
                size = terminal_size(sys.stderr)
                bar = self._bars[stage] = self._tqdm(
                    total=total,
                    desc=stage,
                    file=sys.stderr,
                    leave=False,
                    mininterval=0.2,
                    ncols=size.columns,
                    nrows=size.lines,
                )
            bar.update(done - bar.n)
        if not complete:
            return
        self._ended.add(stage)
        bar = self._bars.pop(stage, None)
        if bar is not None:
            bar.refresh()  # drawn complete, however quickly it got there
            bar.close()
        if self._log:
            count = f" {done}/{total}" if total > 1 else ""
            print(f"keltran: {stage}{count}: {now - began:.1f} s", file=sys.stderr, flush=True)

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
