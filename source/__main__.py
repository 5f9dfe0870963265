"""``python -m source``: the keltran command line."""
from source.cli import command

command()
