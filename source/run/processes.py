"""The run's work on every core of this machine: forked copies of this process each take a share
of a stage's jobs.

A fork inherits everything the run holds at that moment (the bank's rows, its descriptors, the
forms already measured), so a job travels as an index and only results come back, as `dumps`
bytes over a pipe. The engine's own loops (the similarity graph's blocks) release the GIL, and
those jobs run on threads of this process instead.

    from source.run.processes import LocalProcesses
    runner = LocalProcesses(2)
"""

import functools
import multiprocessing
import os
import pickle
import selectors
import signal
import struct
from collections.abc import Callable, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from source.run.runner import Done, InProcess, LocalThreads, Runner, dumps

_HEAD = struct.Struct("<Q")  # the length of each message a worker writes


def _write(fd: int, data: bytes) -> None:
    view = memoryview(_HEAD.pack(len(data)) + data)
    while view:
        view = view[os.write(fd, view) :]


def _work(
    fd: int,
    fn: Callable[..., Any],
    shared: tuple[Any, ...],
    jobs: Sequence[tuple[Any, ...]],
    runs: list[tuple[int, int]],
    mine: range,
) -> None:
    """A forked worker: its runs of jobs, each run's results (or its error) sent as it ends."""
    for k in mine:
        start, stop = runs[k]
        try:
            message = dumps((k, True, [fn(*shared, *job) for job in jobs[start:stop]]))
        except Exception as e:
            try:
                message = pickle.dumps((k, False, e))
            except Exception:  # an error that cannot travel is told by its text
                message = pickle.dumps((k, False, RuntimeError(f"{type(e).__name__}: {e}")))
            _write(fd, message)
            return
        _write(fd, message)


def _fork(work: Callable[[int], None]) -> tuple[int, int]:
    """A worker running work(fd) in a fork: its pid and the pipe its messages come by."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the worker: it never returns into the run
        code = 0
        try:
            os.close(read)
            # The run answers Ctrl-C and SIGTERM; its workers simply end.
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            work(write)
        except BaseException:
            code = 1
        finally:
            os._exit(code)
    os.close(write)
    return pid, read


def _stop(pids: list[int]) -> None:
    """Ends the workers still running and reaps them all."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for pid in pids:
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass


class _Inbox:
    """What the workers' pipes bring: whole messages, by pipe."""

    def __init__(self, fds: list[int]) -> None:
        self.selector = selectors.DefaultSelector()
        self.buffers: dict[int, bytearray] = {}
        for fd in fds:
            self.selector.register(fd, selectors.EVENT_READ)
            self.buffers[fd] = bytearray()

    def open(self) -> bool:
        return bool(self.buffers)

    def messages(self) -> list[bytes]:
        """The messages complete once some pipe has more; a pipe that ends leaves the inbox."""
        out = []
        for key, _ in self.selector.select():
            fd = int(key.fd)
            chunk = os.read(fd, 1 << 20)
            buffer = self.buffers[fd]
            if not chunk:
                self.selector.unregister(fd)
                os.close(fd)
                del self.buffers[fd]
                continue
            buffer += chunk
            while len(buffer) >= _HEAD.size:
                (size,) = _HEAD.unpack_from(buffer)
                if len(buffer) < _HEAD.size + size:
                    break
                out.append(bytes(buffer[_HEAD.size : _HEAD.size + size]))
                del buffer[: _HEAD.size + size]
        return out

    def close(self) -> None:
        for fd in list(self.buffers):
            self.selector.unregister(fd)
            os.close(fd)
        self.buffers.clear()
        self.selector.close()


class LocalProcesses(LocalThreads):
    """Each stage's jobs shared among `workers` forked processes (`native` jobs among as many
    threads). A failing job raises its exception here; a worker that dies raises
    BrokenProcessPool; Ctrl-C and SIGTERM end the workers at once."""

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
        if native or total < 2:
            return super().map(fn, jobs, progress, light, shared, native)
        # Runs of jobs dealt out in turn, several per worker so that the shares even out; light
        # jobs in runs of several, so that a run's cost outweighs its message.
        size = max(1, -(-total // (16 * self.workers))) if light else 1
        runs = [(k, min(total, k + size)) for k in range(0, total, size)]
        workers = min(self.workers, len(runs))
        if progress:
            progress(0, total)
        parts: list[list[Any] | None] = [None] * len(runs)
        pids: list[int] = []
        fds: list[int] = []
        try:
            for w in range(workers):
                mine = range(w, len(runs), workers)
                pid, fd = _fork(
                    functools.partial(_work, fn=fn, shared=shared, jobs=jobs, runs=runs, mine=mine)
                )
                pids.append(pid)
                fds.append(fd)
            inbox, ready, done = _Inbox(fds), 0, 0
            try:
                while inbox.open():
                    for message in inbox.messages():
                        k, ok, value = pickle.loads(message)
                        if not ok:
                            raise value
                        parts[k] = value
                        done += runs[k][1] - runs[k][0]
                    while ready < len(runs) and parts[ready] is not None:
                        ready += 1
                    if progress:
                        progress(done, total)
            finally:
                inbox.close()
            if ready < len(runs):
                raise BrokenProcessPool("a worker process of the run ended before its work")
        finally:
            _stop(pids)
        return [result for part in parts if part is not None for result in part]


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity on this platform
        return os.cpu_count() or 1


def local_runner() -> Runner:
    """The runner of a run on this machine alone: forked workers on every core, or here where
    there is one core or no fork."""
    n = cores()
    if n > 1 and "fork" in multiprocessing.get_all_start_methods():
        return LocalProcesses(n)
    return InProcess()
