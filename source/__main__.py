"""``python -m source``: the keltran command line."""

from source.cli.entry import command

command()
