"""Progress bars for the stages of a run, on standard error (one bar per stage, true totals)."""
import contextlib
import sys


class Progress:
    """Called as ``progress(stage, done, total)``. Shows nothing unless `show` (a terminal) and
    tqdm is installed; a stage's bar closes when it is complete."""

    def __init__(self, show):
        self._tqdm, self._bars = None, {}
        if show:
            with contextlib.suppress(ImportError):
                from tqdm import tqdm
                self._tqdm = tqdm

    def __call__(self, stage, done, total):
        if self._tqdm is None:
            return
        bar = self._bars.get(stage)
        if bar is None:
            bar = self._bars[stage] = self._tqdm(total=total, desc=stage, file=sys.stderr, leave=False,
                                                 mininterval=0.2)
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    @contextlib.contextmanager
    def step(self, stage):
        """A stage of one indivisible step (drawing a picture): a bar of one."""
        self(stage, 0, 1)
        try:
            yield
        finally:
            self(stage, 1, 1)

    def close(self):
        for bar in self._bars.values():
            bar.close()
        self._bars.clear()
