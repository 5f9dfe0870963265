"""Runs the engine on the bundled Feynman bank and prints what it finds."""
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # no language-model key is needed here
    from source import _brenmoor as kt
from source.feynman import load_bank


def main():
    bank = load_bank()
    print(f"Structure of {len(bank)} bundled Feynman formulas")
    print("\u2500" * 72)
    for f in bank:
        s = kt.extract_structure(kt._canonicalize_expr(f.expr))
        print(f"{f.id:<10} {s['root_type']:<6} depth={s['depth']:<2} nodes={s['n_nodes']:<3} "
              f"vars={s['n_vars']} unary={s['unary_depth']} repeated={s['repeated_var']!s:<5} "
              f"ops={' '.join(s['operators'])}")


if __name__ == "__main__":
    main()
