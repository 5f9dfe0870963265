"""Standard input as a bank when nothing else names one."""

from collections.abc import Sequence


def bank_paths(paths: Sequence[str]) -> list[str]:
    """The bank files a command reads."""
    return list(paths)
