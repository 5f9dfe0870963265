"""The installed package's version, which a kept state records."""

from importlib.metadata import PackageNotFoundError, version


def installed() -> str:
    try:
        return version("keltran")
    except PackageNotFoundError:
        return "unknown"
