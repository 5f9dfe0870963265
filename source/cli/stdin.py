"""Standard input as a bank when nothing else names one.

``cat bank.txt | keltran detect`` and ``keltran detect < bank.txt`` read the bank from standard
input, as ``keltran detect -`` does. Standard input is taken for the bank only when no BANK is
given and it is a pipe (or socket) or a regular file that holds data; a terminal, /dev/null or
any other device is never read, and BANK files given win over anything piped.

Nothing here may hang a run. A regular file answers at once. A pipe is waited for at most
`WAIT` seconds: a run started by make, an editor or CI often inherits a pipe that is held open
and never written, and such a run must still finish. A pipe that gives nothing in that time is
taken for such an idle one: the bundled bank runs, as it does without a pipe, and a one-line
warning says so and how to wait for a slow writer (``-``). A pipe closed with nothing in it
(``true | keltran detect``) held no bank: the bundled bank runs, silently, as before.

The first bytes are only peeked at, in the buffer of ``sys.stdin.buffer``, which the bank
reader then reads whole: nothing read here is lost.
"""

import os
import select
import stat
import sys
from collections.abc import Sequence
from typing import Any

# Seconds a pipe may take to give its first byte. The wait starts once the engine is loaded
# (about a second and a half after the command starts, the pipe's writer starting with it), so a
# writer has some 2.5 s in all: `cat`, `grep` or a script that prints formulas answers in
# milliseconds, one that first imports numpy or sympy in one or two seconds. An idle pipe costs
# a run this second only, and only a run of the bundled bank.
WAIT = 1.0

_IDLE = (
    f"warning: standard input is a pipe that gave nothing within {WAIT:g} s: running the bundled "
    "Feynman bank (give - as the BANK to wait for a slow pipe)"
)


def bank_paths(paths: Sequence[str]) -> list[str]:
    """The bank files a command reads: those given; without any, ["-"] when standard input
    holds a bank (see the module), else none (the bundled bank)."""
    if paths:
        return list(paths)
    return ["-"] if _holds_data(sys.stdin) else []


def _holds_data(stream: Any) -> bool:
    """Whether `stream` is a pipe, socket or regular file with at least one byte to read, its
    bytes left in its buffer for the reader; never waits more than WAIT seconds."""
    try:
        fd = stream.fileno()
        buffer = stream.buffer
        mode = os.fstat(fd).st_mode
    except (AttributeError, OSError, ValueError):  # no standard input, or one of Python's own
        return False
    if not callable(getattr(buffer, "peek", None)):
        return False
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        try:
            ready, _, _ = select.select([fd], [], [], WAIT)
        except (OSError, ValueError):
            return False
        if not ready:
            print(_IDLE, file=sys.stderr, flush=True)
            return False
    elif not stat.S_ISREG(mode):
        return False  # a terminal, /dev/null or another device
    try:
        # One read at most, which select said will not block (a regular file never does); the
        # bytes stay in the buffer. Nothing at all: the writer closed an empty pipe, or the
        # file is empty.
        return bool(buffer.peek(1))
    except OSError:
        return False
