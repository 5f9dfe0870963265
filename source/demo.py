"""Runs detection on the bundled Feynman bank against the bundled textbook laws."""
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # no language-model key is needed here
    from source import _brenmoor as kt
from source.feynman import load_bank
from source.laws import load_library


def main():
    bank = load_bank()
    library = load_library()
    print(f"KELTRAN: {len(bank)} bundled Feynman formulas against {len(library)} textbook laws")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # overflow and invalid-value warnings of numpy
        candidates = kt.detect_structure([(f.id, f.expr) for f in bank], library,
                                         [f.var_ranges() for f in bank])
        result = kt.filter_candidates(candidates, library)
        print()
        print("=== Candidates ===")
        print()
        kt.report(candidates)
        print("=== After filter ===")
        print()
        kt.filter_report(result)
        print()
        print("=== Behaviour of each kept structure: ten compiled compositions ===")
        print()
        blocks = kt.behavior([(f.id, f.expr) for f in bank], 0.85, 0.15, library,
                             [f.var_ranges() for f in bank], verbose=False)
        for block in blocks:
            print(block)
            print()


if __name__ == "__main__":
    main()
