"""What each formula is: its canonical numeric form, its numeric equality with a law up to a
renaming and a*law + b, with physical constants folded in, and its verdict."""
