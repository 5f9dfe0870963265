"""Runs the engine on the bundled Feynman bank and prints what it finds."""
import warnings

import numpy as np

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # no language-model key is needed here
    from source import _brenmoor as kt
from source.feynman import load_bank

RULE = "\u2500" * 96


def print_structures(bank):
    print(f"Structure of {len(bank)} bundled Feynman formulas")
    print(RULE)
    for f in bank:
        s = kt.extract_structure(kt._canonicalize_expr(f.expr))
        print(f"{f.id:<10} {s['root_type']:<6} depth={s['depth']:<2} nodes={s['n_nodes']:<3} "
              f"vars={s['n_vars']} unary={s['unary_depth']} repeated={s['repeated_var']!s:<5} "
              f"ops={' '.join(s['operators'])}")


def print_behaviour(bank):
    print()
    print("Behaviour of each formula over its own variable ranges")
    print(RULE)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # overflow and invalid-value warnings of numpy
        descriptors = [kt.describe(f.expr, f.var_ranges(), source_id=i) for i, f in enumerate(bank)]
    for f, d in zip(bank, descriptors):
        print(f"{f.id:<10} growth={d.growth_class:<12} bounded={d.is_bounded!s:<5} "
              f"periodic={d.is_periodic!s:<5} monotone={d.is_monotone!s:<5} "
              f"frac_invalid={float(d.frac_invalid):.3f}")
    return descriptors


def print_clusters(bank, descriptors, threshold=0.8):
    print()
    matrix = kt.pairwise_matrix(descriptors)
    clusters = kt.cluster_by_similarity(descriptors, matrix, threshold=threshold)
    off_diagonal = matrix[~np.eye(len(matrix), dtype=bool)]
    print(f"Pairwise similarity: min={off_diagonal.min():.3f} mean={off_diagonal.mean():.3f} "
          f"max={off_diagonal.max():.3f}; {len(clusters)} clusters at threshold {threshold}")
    print(RULE)
    index = {id(d): f.id for f, d in zip(bank, descriptors)}
    for members in clusters:
        if len(members) > 1:
            print(f"{len(members):>3} members: {' '.join(index[id(d)] for d in members)}")
    return clusters


def print_generalisations(bank, descriptors, clusters):
    print()
    print("Generalised formula of each cluster, scored against the bank")
    print(RULE)
    library = [f.expr for f in bank]
    for members in clusters:
        if len(members) < 2:
            continue
        formula = kt.anti_unify_cluster([d.expr for d in members])
        if formula is None or not kt._is_valid_generalization(formula):
            continue
        shown = kt._display_canonical_expr(formula)
        print(f"{str(shown):<48} members={len(members)} "
              f"density={kt._wildcard_density(shown):.2f} "
              f"composable={kt.compositionality_score(shown, library):.3f} "
              f"recurrence={kt.recurrence_strength(members, len(descriptors)):.3f} "
              f"compression={kt.compression_gain(members, shown):.2f}")


def main():
    bank = load_bank()
    print_structures(bank)
    descriptors = print_behaviour(bank)
    clusters = print_clusters(bank, descriptors)
    print_generalisations(bank, descriptors, clusters)


if __name__ == "__main__":
    main()
