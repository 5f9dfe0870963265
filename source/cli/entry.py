"""The ``keltran`` command (also ``python -m source``): ``detect``, ``library`` and ``concept``.

Exit codes: 0 done, 1 bad input (a file, a formula, an output path, a scheduler), 2 usage,
3 a language model asked for without a key, 130 interrupted, 141 output pipe closed, 143 SIGTERM.

This module stays light: SIGTERM is answered and the loading message shown before the engine
and sympy, which take a second or two, are imported with the commands.
"""

import contextlib
import gc
import os
import signal
import sys
from collections.abc import Iterator, Sequence

from source.cli.errors import CliError
from source.cli.outputs import OutputError, Terminated, on_sigterm


@contextlib.contextmanager
def _fewer_collections() -> Iterator[None]:
    """A command holds its bank, its state and their expressions to the end: the cyclic
    collector, whose full collections walk every live container, runs less often meanwhile
    (at the default thresholds it took a quarter of a run on a grown 21,000-formula bank)."""
    before = gc.get_threshold()
    gc.set_threshold(100_000, 50, 50)
    try:
        yield
    finally:
        gc.set_threshold(*before)


def main(argv: Sequence[str] | None = None) -> int:
    signal.signal(signal.SIGTERM, on_sigterm)
    argv = sys.argv[1:] if argv is None else list(argv)
    loading = "--quiet" not in argv and sys.stderr.isatty()
    p = None
    try:
        if loading:
            print("keltran: loading the engine\u2026", end="\r", file=sys.stderr, flush=True)
        # The one import made late on purpose: the commands load the engine (see above).
        from source.cli import arguments

        p = arguments.parser()
        if loading:
            print(" " * 30, end="\r", file=sys.stderr, flush=True)
        args = p.parse_args(argv)
        with _fewer_collections():
            code: int = args.run(args)
            return code
    except KeyboardInterrupt:
        print("keltran: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("keltran: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        # The reader left (| head): say nothing more, and keep Python from complaining at exit.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except OutputError as e:
        print(f"keltran: error: {e}", file=sys.stderr)
        return 1
    except CliError as e:
        if e.code == 2 and p is not None:
            p.error(str(e))
        print(f"keltran: error: {e}", file=sys.stderr)
        return e.code


def command() -> None:
    """The `keltran` command: `main`, and after Ctrl-C or SIGTERM an exit at once, once the
    outputs are cleaned up and the message said, without the second or so that tearing down a
    large bank's objects takes."""
    code = main()
    if code in (130, 143):
        with contextlib.suppress(Exception):
            sys.stdout.flush()
            sys.stderr.flush()
        os._exit(code)
    sys.exit(code)
