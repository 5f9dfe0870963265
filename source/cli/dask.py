"""Reaching a Dask scheduler for `--dask`, within one deadline."""

import threading
from typing import Any

from source.cli.errors import CliError
from source.run.runner import DaskRunner

DASK_DEADLINE = 10.0  # seconds to reach a scheduler and hear it answer as one


def dask_runner(address: str) -> DaskRunner:
    """A runner on the scheduler at `address`, within one deadline for reaching it and its
    answer: a port that answers but is no scheduler may otherwise keep the handshake waiting."""
    try:
        from dask.distributed import Client  # Dask is an optional dependency
    except ImportError:
        raise CliError("--dask needs Dask: pip install 'keltran[dask]'") from None
    outcome: dict[str, Any] = {}

    def connect() -> None:
        try:
            outcome["client"] = Client(address, timeout=f"{DASK_DEADLINE:g}s")
        except BaseException as e:  # reported below, on the command's own thread
            outcome["error"] = e

    worker = threading.Thread(target=connect, name="keltran-dask-connect", daemon=True)
    worker.start()
    worker.join(DASK_DEADLINE + 1.0)
    if worker.is_alive():
        raise CliError(
            f"cannot reach the Dask scheduler at {address}: no answer as a scheduler within "
            f"{DASK_DEADLINE:g} s"
        )
    error = outcome.get("error")
    if isinstance(error, (ValueError, TypeError)):  # an address Dask cannot read
        raise CliError(f"--dask {address!r} is not a scheduler address: {error}", code=2)
    if error is not None:
        raise CliError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    return DaskRunner(outcome["client"])
