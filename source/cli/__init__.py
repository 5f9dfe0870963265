"""The keltran command line: its arguments, its commands, what it reads and writes."""
