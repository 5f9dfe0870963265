"""The similarity graph, its pruning bounds, clustering on it, packed blocks and the Dask path."""

import json
import math
import pickle
import random
import struct
import warnings

import _brenmoor_testing as kernels
import numpy as np
import pytest
import sympy as sp
from banks import describe_all, random_bank
from isolated import isolated_output, run_isolated

from source.bank.feynman import load_bank
from source.bank.laws import load_library

x, y = sp.symbols("x y")


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
    picks = [
        float(dense[i, j])
        for i, j in ((rng.randrange(n), rng.randrange(n)) for _ in range(4))
        if i != j
    ]
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
        tight = kernels.similarity_bound(a, b, alpha, beta)
        assert kernels.similarity_bound(a, b, alpha, beta, False) >= tight >= exact


@pytest.fixture(scope="module")
def engine_bank(m):
    """Symbolic-regression output: intercepts, scales, noise terms, near-integer exponents."""
    from source.bank import files

    rows = files.read_rows(["bench/data/sr_bank.csv"])[::7]
    return describe_all(m, [files.parse_row(r)[1] for r in rows[:700]])


@pytest.mark.parametrize("threshold", [0.85, 0.9, 0.97, 0.75, 0.5])
@pytest.mark.parametrize("alpha, beta", [(0.85, 0.15), (0.6, 0.4), (1.0, 0.0)])
@pytest.mark.parametrize("which", ["curated", "engine output"])
def test_the_prefix_filter_finds_every_pair_and_counts_the_others_pruned(
    m, bank, engine_bank, threshold, alpha, beta, which
):
    """Visiting only the pairs the filter offers gives the edges, the very similarities and the
    pruned count of visiting every pair, within one list and between two."""
    descriptors = bank if which == "curated" else engine_bank
    half = len(descriptors) // 2
    whole = m.pack_descriptors(descriptors)
    head, tail = m.pack_descriptors(descriptors[:half]), m.pack_descriptors(descriptors[half:])
    for rows, cols, same in ((whole, None, True), (head, tail, False)):
        got = m.graph_block(rows, cols, threshold, alpha, beta, same)
        every = kernels.graph_block_every_pair(rows, cols, threshold, alpha, beta, same)
        assert all(np.array_equal(g, e) for g, e in zip(got[:3], every[:3]))
        assert got[3] == every[3]


# ---- the graph over the whole bank against the per-block reference ---------------------------
def blockwise(m, descriptors, threshold, alpha=0.85, beta=0.15, block_size=37):
    """The graph as the large path measured it block pair by block pair: every pair of blocks
    through `graph_block`, its rows numbered from the blocks' offsets."""
    offsets = list(range(0, len(descriptors), block_size))
    packed = [m.pack_descriptors(descriptors[o : o + block_size]) for o in offsets]
    rows, cols, values, pruned = [], [], [], 0
    for a in range(len(packed)):
        for b in range(a, len(packed)):
            r, c, v, p = m.graph_block(
                packed[a], None if a == b else packed[b], threshold, alpha, beta, a == b
            )
            rows.append(r + offsets[a])
            cols.append(c + offsets[b])
            values.append(v)
            pruned += p
    if not packed:
        return np.empty(0, np.int64), np.empty(0, np.int64), np.empty(0), 0
    rows, cols, values = np.concatenate(rows), np.concatenate(cols), np.concatenate(values)
    order = np.lexsort((cols, rows))
    return rows[order], cols[order], values[order], pruned


def assert_same_graph(got, want):
    assert len(got) == 4
    for g, w in zip(got[:3], want[:3]):
        assert g.dtype == w.dtype and np.array_equal(g, w)  # the very doubles, every edge
    assert got[3] == want[3]


@pytest.fixture(scope="module")
def shapes(m, bank, engine_bank):
    """Banks of several shapes: curated formulas and variants, engine output, trees small enough
    that pairs share no label yet may reach the threshold, and a bank of repeated formulas."""
    small = describe_all(m, random_bank(150, seed=3, depth=1) + [x, y, x + y, 2 * x, sp.sin(x)])
    repeated = bank[:40] * 3 + bank[40:70]
    random.Random(2).shuffle(repeated)
    # Sums of 260 products: more than 255 nodes of one label.
    wide = sp.Add(*[sp.Symbol(f"a{k}") * sp.Symbol(f"b{k}") for k in range(260)])
    wide_bank = describe_all(m, [wide, wide + x, 2 * wide, wide.subs(sp.Symbol("a1"), x**2)])
    return {
        "curated": bank,
        "engine output": engine_bank[:400],
        "small trees": small,
        "repeated": repeated,
        "wide trees": bank[:30] + wide_bank,
    }


@pytest.mark.parametrize("threshold", [0.85, 0.95, 0.75, 0.5])
@pytest.mark.parametrize("alpha, beta", [(0.85, 0.15), (1.0, 0.0), (0.6, 0.4)])
@pytest.mark.parametrize(
    "shape", ["curated", "engine output", "small trees", "repeated", "wide trees"]
)
def test_the_whole_bank_graph_equals_the_blockwise_one(m, shapes, shape, threshold, alpha, beta):
    from source.run import graph

    ds = shapes[shape]
    want = blockwise(m, ds, threshold, alpha, beta)
    assert_same_graph(graph.similarity_graph(ds, threshold, alpha, beta, block_size=53), want)
    assert_same_graph(m.similarity_graph(ds, threshold, alpha, beta), want)


@pytest.mark.parametrize("threshold, most", [(0.85, 0.05), (0.95, 0.001), (-math.inf, 1.0)])
def test_the_index_offers_few_pairs_and_every_pair_is_pruned_or_measured(
    m, engine_bank, threshold, most
):
    ds = engine_bank[:400]
    packed = [m.pack_descriptors(ds[o : o + 100]) for o in range(0, 400, 100)]
    counts = {}
    got = m.graph_of_blocks(packed, [0, 100, 200, 300], threshold, counts=counts)
    pairs = 400 * 399 // 2
    assert counts["offered"] <= most * pairs
    assert counts["measured"] == pairs - blockwise(m, ds, threshold)[3] == pairs - got[3]


@pytest.mark.parametrize(
    "threshold, alpha, beta",
    [
        (-math.inf, 0.85, 0.15),  # every pair an edge
        (math.nan, 0.85, 0.15),  # no pair an edge, none pruned
        (1.5, 0.85, 0.15),  # beyond every similarity
        (0.0, 0.85, 0.15),
        (0.8, -0.5, 1.5),  # a negative weight: no bound holds, every pair measured
        (0.3, 0.0, 1.0),  # the behaviour alone
    ],
)
def test_thresholds_where_the_index_cannot_help(m, shapes, threshold, alpha, beta):
    from source.run import graph

    ds = shapes["curated"][:70]
    want = blockwise(m, ds, threshold, alpha, beta, block_size=20)
    assert_same_graph(graph.similarity_graph(ds, threshold, alpha, beta, block_size=30), want)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_empty_and_tiny_banks(m, bank, n):
    from source.run import graph

    got = graph.similarity_graph(bank[:n], -math.inf)
    assert_same_graph(got, blockwise(m, bank[:n], -math.inf))
    assert len(got[2]) == n * (n - 1) // 2


def test_offsets_number_the_rows_and_progress_follows_them(m, bank):
    from source.run import graph

    packed = [m.pack_descriptors(bank[o : o + 40]) for o in range(0, 120, 40)]
    seen = []
    got = graph.graph_edges(packed, [1000, 2000, 2040], 0.7, progress=lambda *a: seen.append(a))
    want = blockwise(m, bank[:120], 0.7, block_size=40)
    shift = np.array([1000] * 40 + [1960] * 80)
    assert_same_graph(got, (shift[want[0]] + want[0], shift[want[1]] + want[1], *want[2:]))
    assert seen[-1] == (120, 120) and [d for d, _ in seen] == sorted(d for d, _ in seen)


@pytest.mark.parametrize(
    "blocks, offsets, fresh, error",
    [
        (["not bytes"], [0], None, TypeError),
        ([b"KTP1"], [0], None, ValueError),  # truncated
        (["good", "good"], [0], None, ValueError),  # an offset missing
        (["good", "good"], [0, 5], None, ValueError),  # the blocks overlap
        (["good"], [0], [True], ValueError),  # a flag per row is needed
    ],
)
def test_malformed_blocks_offsets_or_flags_raise(m, bank, blocks, offsets, fresh, error):
    good = m.pack_descriptors(bank[:10])
    blocks = [good if b == "good" else b for b in blocks]
    with pytest.raises(error):
        m.graph_of_blocks(blocks, offsets, 0.8, fresh=fresh)


@pytest.fixture(scope="module")
def kept_bank(m, bank, engine_bank):
    return bank[:150] + engine_bank[:100] + bank[:20]  # repeats too


@pytest.mark.parametrize("threshold", [0.85, 0.6])
@pytest.mark.parametrize("pattern", ["tail", "head", "scattered", "none", "all", "one"])
def test_extending_a_kept_graph_measures_only_the_pairs_of_new_rows(
    m, kept_bank, threshold, pattern
):
    from source.run import graph

    ds, n = kept_bank, len(kept_bank)
    rng = random.Random(11)
    known = {
        "tail": [i < n - 30 for i in range(n)],
        "head": [i >= 25 for i in range(n)],
        "scattered": [rng.random() < 0.8 for _ in range(n)],
        "none": [False] * n,
        "all": [True] * n,
        "one": [i != 77 for i in range(n)],
    }[pattern]
    whole = blockwise(m, ds, threshold)
    mask = np.array(known)
    inside = mask[whole[0]] & mask[whole[1]]
    edges = (whole[0][inside], whole[1][inside], whole[2][inside])
    packed, seen = {}, []
    got = graph.extend_graph(
        ds,
        known,
        edges,
        threshold,
        block_size=64,
        packed=packed,
        progress=lambda *a: seen.append(a),
    )
    for a, b in zip(got[:3], whole[:3]):
        assert np.array_equal(a, b)
    # The pairs pruned are those of the pairs holding a new row: the whole bank's less the
    # known rows' among themselves.
    known_rows = [d for d, k in zip(ds, known) if k]
    assert got[3] == whole[3] - blockwise(m, known_rows, threshold)[3]
    assert sorted(packed) == list(range((n + 63) // 64))
    fresh = n - sum(known)
    assert (seen[-1] if seen else (0, 0)) == (fresh, fresh)


def test_blocks_between_two_packed_lists(m, bank, dense):
    head, tail = m.pack_descriptors(bank[:90]), m.pack_descriptors(bank[90:])
    rows, cols, values, _ = m.graph_block(head, tail, 0.7)
    block = dense[:90, 90:]
    assert np.array_equal(np.argwhere(block >= 0.7), np.stack([rows, cols], axis=1))
    assert np.array_equal(values, block[block >= 0.7])


@pytest.mark.parametrize(
    "damage",
    [
        lambda b: b[:-5],
        lambda b: b"XXXX" + b[4:],
        lambda b: b[:4] + b"\xff" * (len(b) - 4),
        lambda b: b + b"\0",
    ],
)
def test_damaged_packed_bytes_raise(m, bank, damage):
    packed = m.pack_descriptors(bank[:10])
    with pytest.raises(ValueError):
        m.graph_block(damage(packed), None, 0.5, same=True)


def test_large_path_equals_detection_locally_and_on_dask(m):
    dask = pytest.importorskip("dask.distributed")
    from source.run import detect as large
    from source.run import filtering, graph
    from source.run.runner import DaskRunner

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
        assert filtering.filter_large(local, library) == result
        with (
            dask.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
            dask.Client(cluster) as client,
        ):
            np.random.seed(0)
            remote = large.detect_large(
                exprs, library, ranges, runner=DaskRunner(client), block_size=25
            )
            assert remote == want
            assert filtering.filter_large(remote, library, runner=DaskRunner(client)) == result
            bad = [m.pack_descriptors([]) + b"\0"]  # a block a worker cannot read
            with pytest.raises(ValueError, match="trailing bytes"):
                graph.graph_edges(bad, [0], 0.8, runner=DaskRunner(client))


@pytest.fixture(scope="module")
def feynman_candidates(m):
    feynman = load_bank()[:60]
    exprs = (
        [f.expr for f in feynman]
        + [2 * f.expr for f in feynman[:20]]
        + [f.expr + 1 for f in feynman[20:40]]
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(0)
        return m.detect_structure(exprs, load_library(), verbose=False)


@pytest.mark.parametrize(
    "thresholds",
    [
        {},
        {"composition_threshold": 7.0, "novel_threshold": 2.0},
        {"min_members": 3, "max_wildcard_density": 0.3, "repeated_threshold": 0.0},
    ],
)
def test_filter_in_runs_equals_the_filter_and_takes_known_distances(
    m, monkeypatch, feynman_candidates, thresholds
):
    import reference

    from source.run import filtering as large

    candidates, library = feynman_candidates, load_library()
    want = m.filter_candidates(candidates, library, **thresholds)
    distances = [None] * len(candidates)
    assert large.filter_large(candidates, library, distances=distances, **thresholds) == want
    measured = [(c, d) for c, d in zip(candidates, distances) if d is not None]
    assert measured
    # Measured: exactly the candidates that no test before the distance discarded.
    early = {
        id(c)
        for reason, c in want.discarded
        if reason not in ("already expressible", "novelty too low")
    }
    assert [d is not None for d in distances] == [id(c) not in early for c in candidates]
    for c, d in measured[:2] if not thresholds else ():  # the plain-Python distance takes seconds
        assert d == reference.min_composition_distance(m, c.formula, list(library.values()))
    monkeypatch.setattr(
        large, "distances_of", lambda *a: pytest.fail("a known distance was measured again")
    )
    assert large.filter_large(candidates, library, distances=list(distances), **thresholds) == want
    near = large.filter_large(candidates, library, distances=[0.0] * len(candidates), **thresholds)
    assert near.novel == near.repeated == [] and len(near.discarded) == len(candidates)
    assert {reason for reason, c in near.discarded if id(c) not in early} == {"already expressible"}
    with pytest.raises(TypeError):
        large.filter_large(candidates, library, min_members="2")


@pytest.mark.parametrize("run", [1, 5])
def test_filter_in_short_runs_puts_each_distance_in_its_place(
    m, monkeypatch, feynman_candidates, run
):
    from source.run import filtering

    candidates, library = feynman_candidates, load_library()
    thresholds = {"composition_threshold": 7.0, "novel_threshold": 2.0}
    monkeypatch.setattr(filtering, "_FILTER_RUN", run)
    runs = []
    measure = filtering.distances_of
    monkeypatch.setattr(
        filtering,
        "distances_of",
        lambda lib, formulas: runs.append(len(formulas)) or measure(lib, formulas),
    )
    assert filtering.filter_large(candidates, library, **thresholds) == m.filter_candidates(
        candidates, library, **thresholds
    )
    assert len(runs) > 1 and max(runs) == run


# ---- packed bytes from elsewhere: checked before any distance reads them -------------------
def int_arrays(packed):
    """Each item's int arrays as {name: (offset of the length prefix, values)}."""
    at = 4
    (count,) = struct.unpack_from("<q", packed, at)
    at += 8
    for _ in range(count):
        (size,) = struct.unpack_from("<q", packed, at)
        at += 8 + size
    (count,) = struct.unpack_from("<q", packed, at)
    at += 8
    items = []
    for _ in range(count):
        arrays = {}
        for name in ("labels", "leftmost", "keyroots", "operators"):
            (size,) = struct.unpack_from("<q", packed, at)
            arrays[name] = (at, list(struct.unpack_from(f"<{size}i", packed, at + 8)))
            at += 8 + 4 * size
        at += 4 + 4 + 8 + 8 + 1  # root type, repeated variable, unary depth, invalid share, flag
        (size,) = struct.unpack_from("<q", packed, at)
        at += 8 + 8 * size + 16
        items.append(arrays)
    assert at == len(packed)
    return items


def rewrite(packed, name, values, item=0):
    """`packed` with one int array of one item replaced (its length prefix too)."""
    at, old = int_arrays(packed)[item][name]
    return (
        packed[:at]
        + struct.pack(f"<q{len(values)}i", len(values), *values)
        + packed[at + 8 + 4 * len(old) :]
    )


def wide_tree(m, terms):
    """Packed bytes of one wide sum: many keyroots, each far from the root's leftmost leaf."""
    s = sp.Add(*[sp.sin(sp.Symbol(f"a{k}")) * sp.cos(sp.Symbol(f"b{k}")) for k in range(terms)])
    return m.pack_descriptors([m.describe(s), m.describe(s + 1)])


def leftmost_outside_keyroot(packed):
    """The node just below the last keyroot but one gets the root's leftmost leaf, outside the
    keyroot's subtree: the tree distance then indexes its tables below their start."""
    leftmost = int_arrays(packed)[0]["leftmost"][1]
    keyroot = int_arrays(packed)[0]["keyroots"][1][-2]
    leftmost[keyroot - 1] = 0
    return rewrite(packed, "leftmost", leftmost)


# sin(x)*cos(y) in post-order: x sin y cos Mul, leftmost [0, 0, 2, 2, 0], keyroots [3, 4].
DAMAGED_TREES = {
    "leftmost past its node": ("leftmost", [0, 2, 2, 2, 0], "post-order"),
    "negative leftmost": ("leftmost", [0, 0, 2, -1, 0], "post-order"),
    "leftmost inside a child's subtree": ("leftmost", [0, 0, 2, 2, 1], "post-order"),
    "two roots": ("leftmost", [0, 0, 2, 2, 4], "post-order"),
    "fewer leftmost leaves than labels": ("leftmost", [0, 0, 2, 0], "4 leftmost leaves"),
    "keyroot moved": ("keyroots", [2, 4], "keyroots"),
    "keyroot missing": ("keyroots", [4], "keyroots"),
    "keyroot out of range": ("keyroots", [3, 99], "keyroots"),
    "another tree's leftmost under stale keyroots": ("leftmost", [0, 1, 0, 3, 0], "keyroots"),
}


def huge_length_headers():
    def q(*v):
        return struct.pack(f"<{len(v)}q", *v)

    return {
        "label count": b"KTP1" + q(2**62),
        "label length": b"KTP1" + q(1, 2**62),
        "item count": b"KTP1" + q(0, 2**61),
        "int array length": b"KTP1" + q(0, 1, 2**62),  # 2**62 ints: 2**64 bytes, wraps to 0
        # one label, one item with an empty tree, then 2**61 doubles: 2**64 bytes, wraps to 0
        "vector length": b"KTP1" + q(1, 1) + b"a" + q(1, 0, 0, 0, 0) + bytes(16 + 8 + 1) + q(2**61),
    }


@pytest.fixture(scope="module")
def crafted(m, tmp_path_factory):
    """Outcome of graph_block on each crafted block, read in a fresh interpreter."""
    product = m.pack_descriptors([m.describe(sp.sin(x) * sp.cos(y)), m.describe(x + y)])
    assert int_arrays(product)[0]["leftmost"][1] == [0, 0, 2, 2, 0]
    blobs = {
        name: rewrite(product, field, values) for name, (field, values, _) in DAMAGED_TREES.items()
    }
    blobs["leftmost outside its keyroot's subtree"] = leftmost_outside_keyroot(wide_tree(m, 1500))
    blobs.update({f"huge {name}": blob for name, blob in huge_length_headers().items()})
    path = tmp_path_factory.mktemp("packed") / "blobs.pickle"
    path.write_bytes(pickle.dumps(blobs))
    out = isolated_output(f"""
        import json, pickle, resource, time
        for name, blob in pickle.load(open({str(path)!r}, "rb")).items():
            start = time.perf_counter()
            try:
                m.graph_block(blob, None, 0.0, same=True)
                outcome = "returned"
            except ValueError as e:
                outcome = str(e)
            print(json.dumps([name, outcome, time.perf_counter() - start]))
        print(json.dumps(["peak MB", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 0]))
    """)
    return {
        name: (outcome, seconds) for name, outcome, seconds in map(json.loads, out.splitlines())
    }


@pytest.mark.parametrize("name", DAMAGED_TREES)
def test_trees_that_are_not_post_order_trees_are_refused(crafted, name):
    assert crafted[name][0].startswith("inconsistent tree")
    assert DAMAGED_TREES[name][2] in crafted[name][0]


def test_leftmost_outside_its_keyroot_is_refused_not_read(crafted):
    assert "post-order" in crafted["leftmost outside its keyroot's subtree"][0]


@pytest.mark.parametrize("name", huge_length_headers())
def test_huge_lengths_fail_before_allocating(crafted, name):
    outcome, seconds = crafted[f"huge {name}"]
    assert outcome == "truncated packed descriptors" and seconds < 0.1
    assert crafted["peak MB"][0] < 1000


def test_random_damage_returns_or_raises_value_error(m, tmp_path):
    bank = m.pack_descriptors(describe_all(m, random_bank(12, seed=11)))
    wide = wide_tree(m, 200)  # large enough that reading past its tables crashed
    at, leftmost = int_arrays(wide)[0]["leftmost"]
    (tmp_path / "blocks.pickle").write_bytes(pickle.dumps((bank, wide, at, len(leftmost))))
    out = run_isolated(f"""
        import pickle, random
        bank, wide, at, n = pickle.load(open({str(tmp_path / "blocks.pickle")!r}, "rb"))
        rng = random.Random(5)
        outcomes = set()
        def attempt(blob, other):
            try:
                m.graph_block(bytes(blob), other, 0.0, same=other is None)
                outcomes.add("returned")
            except ValueError:
                outcomes.add("refused")
        for trial in range(3000):  # any bytes of a bank
            blob = bytearray(bank)
            for _ in range(rng.randint(1, 4)):
                where = rng.randrange(4, len(blob))
                if rng.random() < 0.5:
                    blob[where] = rng.randrange(256)
                else:  # a small int, as the tree arrays hold, at a 4-byte boundary
                    where -= (where - 4) % 4
                    blob[where:where + 4] = rng.randrange(-2, 40).to_bytes(4, "little", signed=True)
            attempt(blob, bank if trial % 2 else None)
        for trial in range(300):  # one leftmost leaf of a large tree, within [0, its node]
            blob = bytearray(wide)
            i = rng.randrange(1, n)
            blob[at + 8 + 4 * i:at + 12 + 4 * i] = rng.randrange(0, i + 1).to_bytes(4, "little")
            attempt(blob, None)
        print(*sorted(outcomes))
    """)
    assert out == ["refused", "returned"]
