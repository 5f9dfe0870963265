"""Where a run's work executes: here, on local threads, or as tasks of a Dask scheduler.

A run hands its runner a function and its jobs; the runner returns every job's result in order
and reports progress as results arrive. It never needs to know which runner it has.

    from source.run.runner import DaskRunner, InProcess, LocalThreads
    results = runner.map(fn, jobs, progress, light=True, shared=(library,))
"""

import io
import pickle
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import sympy as sp

from source.bank import exprcode

Done = Callable[[int, int], None]  # progress(done, total)


class _Pickler(pickle.Pickler):
    """Pickles sympy expressions as their `exprcode` tokens: built again without evaluating, they
    load several times faster than sympy's own pickles, which evaluate every node again. An
    expression the code does not write exactly is pickled as sympy pickles it."""

    def reducer_override(self, obj: Any) -> Any:
        if isinstance(obj, sp.Basic) and obj.args:
            tokens = exprcode.encode(obj)
            if tokens is not None:
                return exprcode.decode, (tokens,)
        return NotImplemented


def dumps(obj: Any) -> bytes:
    buffer = io.BytesIO()
    _Pickler(buffer, protocol=pickle.HIGHEST_PROTOCOL).dump(obj)
    return buffer.getvalue()


def _each(fn: Callable[..., Any], shared: tuple[Any, ...], jobs: bytes) -> bytes:
    """A worker's run of jobs: the jobs and their results travel as `dumps` bytes."""
    return dumps([fn(*shared, *job) for job in pickle.loads(jobs)])


class Runner:
    """Runs fn(*shared, *job) for every job, in order. A job that fails raises its exception to
    the caller; no partial result is returned. `progress(done, total)` follows the work.
    `light` jobs (a cluster, a structure) cost little each, and runners that pay per task
    send them in runs of several; `shared` is what every job takes, sent once. `native` jobs
    spend their time in the engine's loops off the GIL and touch no global state (numpy's
    generator among it): only those may run side by side on threads of this process."""

    def map(
        self,
        fn: Callable[..., Any],
        jobs: Sequence[tuple[Any, ...]],
        progress: Done | None = None,
        light: bool = False,
        shared: tuple[Any, ...] = (),
        native: bool = False,
    ) -> list[Any]:
        raise NotImplementedError

    def close(self) -> None:
        """Lets go of what the runner holds (a scheduler's client)."""


class InProcess(Runner):
    """Every job here, one after the other."""

    def map(
        self,
        fn: Callable[..., Any],
        jobs: Sequence[tuple[Any, ...]],
        progress: Done | None = None,
        light: bool = False,
        shared: tuple[Any, ...] = (),
        native: bool = False,
    ) -> list[Any]:
        total = len(jobs)
        if progress:
            progress(0, total)
        results = []
        for job in jobs:
            results.append(fn(*shared, *job))
            if progress:
                progress(len(results), total)
        return results


class LocalThreads(InProcess):
    """`native` jobs on a pool of local threads, the others here in order: the engine's loops
    release the GIL (the similarity graph's blocks), while the other jobs seed and draw from
    numpy's global generator, and side by side they would draw each other's numbers."""

    def __init__(self, workers: int = 2) -> None:
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        self.workers = workers

    def map(
        self,
        fn: Callable[..., Any],
        jobs: Sequence[tuple[Any, ...]],
        progress: Done | None = None,
        light: bool = False,
        shared: tuple[Any, ...] = (),
        native: bool = False,
    ) -> list[Any]:
        if not native:
            return super().map(fn, jobs, progress, light, shared)
        total = len(jobs)
        if progress:
            progress(0, total)
        results: list[Any] = [None] * total
        with ThreadPoolExecutor(self.workers, thread_name_prefix="keltran-run") as pool:
            futures = [pool.submit(fn, *shared, *job) for job in jobs]
            for k, future in enumerate(futures):
                results[k] = future.result()
                if progress:
                    progress(k + 1, total)
        return results


class DaskRunner(Runner):
    """Jobs as tasks of a `dask.distributed` client: what they share goes to every worker once,
    and the jobs and results travel as `dumps` bytes."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def map(
        self,
        fn: Callable[..., Any],
        jobs: Sequence[tuple[Any, ...]],
        progress: Done | None = None,
        light: bool = False,
        shared: tuple[Any, ...] = (),
        native: bool = False,
    ) -> list[Any]:
        from dask.distributed import as_completed  # Dask is an optional dependency

        client, total = self.client, len(jobs)
        if progress:
            progress(0, total)
        if not jobs:
            return []
        size = 1
        # about sixteen runs per worker, so that the cost per task does not outweigh the work
        if light:
            workers = max(1, len(client.scheduler_info().get("workers", ())))
            size = max(1, -(-total // (16 * workers)))
        runs = [jobs[k : k + size] for k in range(0, total, size)]
        on_workers = client.scatter([tuple(shared)], broadcast=True, hash=False)[0]
        futures = [client.submit(_each, fn, on_workers, dumps(run), pure=False) for run in runs]
        index = {future.key: k for k, future in enumerate(futures)}
        parts: list[Any] = [None] * len(runs)
        done = 0
        # Each run's results are read as it arrives, while the workers go on with the others.
        for future, part in as_completed(futures, with_results=True):
            k = index[future.key]
            parts[k] = pickle.loads(part)
            done += len(runs[k])
            if progress:
                progress(done, total)
        return [result for part in parts for result in part]

    def close(self) -> None:
        self.client.close()
