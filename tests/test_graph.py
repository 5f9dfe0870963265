"""The similarity graph, its pruning bounds, clustering on it, packed blocks and the Dask path."""
import random
import warnings

import numpy as np
import pytest

from banks import describe_all, random_bank
from source.feynman import load_bank
from source.laws import load_library


@pytest.fixture(scope="module")
def bank(m):
    feynman = [f.expr for f in load_bank()]
    variants = [3 * e for e in feynman[:30]] + [e + 1 for e in feynman[30:60]]
    return describe_all(m, feynman + variants + random_bank(80, seed=7))


@pytest.fixture(scope="module")
def dense(m, bank):
    return m.pairwise_matrix(bank)


def exact_thresholds(dense):
    rng = random.Random(3)
    n = len(dense)
    picks = [float(dense[i, j]) for i, j in ((rng.randrange(n), rng.randrange(n)) for _ in range(4)) if i != j]
    return [0.85, 0.6, 0.95, *picks]


def test_graph_equals_the_thresholded_matrix_and_clusters_agree(m, bank, dense):
    upper = np.triu_indices(len(bank), 1)
    for threshold in exact_thresholds(dense):
        rows, cols, values, pruned = m.similarity_graph(bank, threshold)
        keep = dense[upper] >= threshold
        assert np.array_equal(rows, upper[0][keep]) and np.array_equal(cols, upper[1][keep])
        assert np.array_equal(values, dense[upper][keep])  # the very numbers of the matrix
        assert pruned > 0 or threshold < 0.7
        graph = m.cluster_graph(bank, rows, cols)
        matrix = m.cluster_by_similarity(bank, dense, threshold=threshold)
        assert [[id(d) for d in c] for c in graph] == [[id(d) for d in c] for c in matrix]


@pytest.mark.parametrize("alpha, beta", [(0.85, 0.15), (0.5, 0.5), (1.0, 0.0), (0.0, 1.0)])
def test_bounds_are_never_below_the_exact_similarity(m, bank, alpha, beta):
    rng = random.Random(alpha)
    for _ in range(400):
        a, b = rng.choice(bank), rng.choice(bank)
        exact = m.similarity(a, b, alpha=alpha, beta=beta)
        tight = m._kernels.similarity_bound(a, b, alpha, beta)
        assert m._kernels.similarity_bound(a, b, alpha, beta, False) >= tight >= exact


def test_blocks_between_two_packed_lists(m, bank, dense):
    head, tail = m.pack_descriptors(bank[:90]), m.pack_descriptors(bank[90:])
    rows, cols, values, _ = m.graph_block(head, tail, 0.7)
    block = dense[:90, 90:]
    assert np.array_equal(np.argwhere(block >= 0.7), np.stack([rows, cols], axis=1))
    assert np.array_equal(values, block[block >= 0.7])


@pytest.mark.parametrize("damage", [
    lambda b: b[:-5], lambda b: b"XXXX" + b[4:], lambda b: b[:4] + b"\xff" * (len(b) - 4), lambda b: b + b"\0",
])
def test_damaged_packed_bytes_raise(m, bank, damage):
    packed = m.pack_descriptors(bank[:10])
    with pytest.raises(ValueError):
        m.graph_block(damage(packed), None, 0.5, same=True)


def test_large_path_equals_detection_locally_and_on_dask(m):
    dask = pytest.importorskip("dask.distributed")
    from source import large
    feynman = load_bank()[:60]
    exprs = [f.expr for f in feynman] + [2 * f.expr for f in feynman[:20]]
    ranges = [f.var_ranges() for f in feynman] + [f.var_ranges() for f in feynman[:20]]
    library = load_library()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(0)
        want = m.detect_structure(exprs, library, ranges, verbose=False)
        np.random.seed(0)
        local = large.detect_large(exprs, library, ranges, block_size=25)
        assert local == want and local
        result = m.filter_candidates(want, library)
        assert large.filter_large(local, library) == result
        with dask.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
                dask.Client(cluster) as client:
            np.random.seed(0)
            remote = large.detect_large(exprs, library, ranges, client=client, block_size=25)
            assert remote == want
            assert large.filter_large(remote, library, client=client) == result
            bad = [m.pack_descriptors([]) + b"\0"]  # a block a worker cannot read
            with pytest.raises(ValueError, match="trailing bytes"):
                large.graph_edges(bad, [0], 0.8, client=client)
