"""The kept state of a run (`--state DIR`): record encoding, the folder store, and reuse of
what it holds by a later run on a grown bank."""
