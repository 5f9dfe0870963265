"""Output files of the command line: checked before any work, written whole or not at all."""

import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import IO, Any, NoReturn


class OutputError(Exception):
    """An output path that cannot be written; the message says why."""


class Terminated(BaseException):
    """SIGTERM, raised where the run is so that output files are cleaned up as on Ctrl-C."""


def on_sigterm(signum: int, frame: FrameType | None) -> NoReturn:
    raise Terminated()


def is_stdout(path: str | None) -> bool:
    """Whether an output path is standard output: "-", or a name of this process's standard
    output (/dev/stdout, /proc/self/fd/1, or the file it is redirected to)."""
    if path == "-":
        return True
    if path is None:
        return False
    try:
        mine, theirs = os.fstat(sys.stdout.fileno()), os.stat(path)
    except (OSError, ValueError, AttributeError):
        return False
    return (mine.st_dev, mine.st_ino) == (theirs.st_dev, theirs.st_ino)


def _special(path: str) -> bool:
    """Whether the path names something other than a regular file or a folder (a device, a
    FIFO, a socket): such a thing is written through, never replaced."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def check_outputs(outputs: Sequence[tuple[str, str | None]], inputs: Sequence[str]) -> None:
    """Refuses, before any work, an output that is empty, a directory, in a folder that does not
    exist or cannot be written, the same file as an input, or standard output twice."""
    real_inputs = {os.path.realpath(p): p for p in inputs if p and p != "-"}
    to_stdout = [flag for flag, path in outputs if is_stdout(path)]
    if len(to_stdout) > 1:
        raise OutputError(
            f"only one output can go to standard output ({' and '.join(to_stdout)} both ask for it)"
        )
    for flag, path in outputs:
        if path is None or is_stdout(path):
            continue
        if not path.strip():
            raise OutputError(f"{flag} needs a file name")
        if os.path.isdir(path):
            raise OutputError(f"{flag} {path} is a directory")
        if _special(path):
            if not os.access(path, os.W_OK):
                raise OutputError(f"{flag} {path}: cannot write to it")
            continue
        real = os.path.realpath(path)
        if real in real_inputs:
            raise OutputError(f"{flag} {path} would overwrite the input file {real_inputs[real]}")
        if os.path.isdir(real):
            raise OutputError(f"{flag} {path} is a directory")
        folder = os.path.dirname(real) or "."
        if not os.path.isdir(folder):
            raise OutputError(
                f"{flag} {path}: the folder {os.path.dirname(path) or '.'} does not exist"
            )
        if not os.access(folder, os.W_OK | os.X_OK):
            raise OutputError(f"{flag} {path}: cannot write in {os.path.dirname(path) or '.'}")


def _new_file_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


@contextlib.contextmanager
def atomic(path: str, mode: str = "w") -> Iterator[IO[Any]]:
    """A temporary file beside `path`, renamed onto it only when the block succeeds; standard
    output for "-" (or a name of it). A symlink keeps pointing where it did (its target is
    replaced); an existing file keeps its permissions, a new one gets those the umask gives.
    What is not a regular file (a device, a FIFO) is written through, never replaced."""
    if is_stdout(path):
        stream = sys.stdout.buffer if "b" in mode else sys.stdout
        yield stream
        stream.flush()
        return
    if _special(path):
        try:
            with open(path, mode, encoding=None if "b" in mode else "utf-8") as f:
                yield f
        except OSError as e:
            raise OutputError(f"{path}: cannot write: {e.strerror or e}") from None
        return
    target = Path(os.path.realpath(path))
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        try:
            permissions = target.stat().st_mode & 0o7777
        except FileNotFoundError:
            permissions = _new_file_mode()
        os.fchmod(fd, permissions)
        with os.fdopen(fd, mode, encoding=None if "b" in mode else "utf-8") as f:
            yield f
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
