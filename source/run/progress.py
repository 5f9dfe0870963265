"""How a run tells its progress: `progress(stage, done, total)` as work advances."""

from typing import Protocol


class Progress(Protocol):
    def __call__(self, stage: str, done: int, total: int) -> None: ...


def quiet(stage: str, done: int, total: int) -> None:
    """Progress that nobody follows."""
