"""A detection run: the same structures, scores and filter result as the public calls with the
same settings, on the dense and the large path, with every structure's rows."""

import warnings

import numpy as np
import pytest

from source.bank.feynman import load_bank
from source.bank.laws import load_library
from source.run.detect import detect
from source.settings import DETECTION, FILTERING

SETTINGS = [
    {},
    {
        "sim_threshold": 0.8,
        "alpha": 0.7,
        "beta": 0.3,
        "w_structural": 0.5,
        "w_behavioral": 2.0,
        "scale_recurrence": 4.0,
        "novelty_threshold": 0.5,
        "min_members": 3,
        "novel_threshold": 8.0,
        "repeated_threshold": 2.0,
        "max_wildcard_density": 0.5,
    },
]


@pytest.fixture(scope="module")
def bank():
    feynman = load_bank()[:50]
    exprs = (
        [f.expr for f in feynman] + [2 * f.expr for f in feynman[:15]] + [feynman[3].expr]
    )  # a repeat
    return [f"r{i}" for i in range(len(exprs))], exprs


@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize("large", [False, True])
def test_run_equals_the_public_calls(m, bank, settings, large):
    ids, exprs = bank
    library = load_library()
    detection = {k: v for k, v in settings.items() if k in DETECTION}
    filtering = {k: v for k, v in settings.items() if k in FILTERING}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(1)
        want = m.detect_structure(exprs, library, verbose=False, **detection)
        result = m.filter_candidates(want, library, **filtering)
        np.random.seed(1)
        run = detect(ids, exprs, library, verbose=False, large=large, block_size=20, **settings)
    assert run.candidates == want and want
    assert run.result == result
    for f in run.found:
        # The rows are the cluster's, in member order: they rebuild the members exactly.
        assert [exprs[r] for r in f.rows] == list(f.candidate.members)
        assert f.rows == run.clusters[f.cluster]
    assert sorted(r for c in run.clusters for r in c) == list(range(len(exprs)))
    # Every row is in a structure or left out with its reason, never both.
    in_structures = [r for f in run.found for r in f.rows]
    assert sorted(in_structures + list(run.left_out)) == list(range(len(exprs)))
    assert all(reason for reason in run.left_out.values())
    # The score's weighted terms, summed in order, are the score itself.
    w = {**DETECTION, **settings}
    for f in run.found:
        t = f.terms
        assert list(t) == [
            "structural",
            "behavioral",
            "irreducibility",
            "recurrence",
            "compression",
        ]
        assert (
            t["structural"]
            + t["behavioral"]
            + t["irreducibility"]
            + t["recurrence"]
            + t["compression"]
            == f.candidate.novelty
        )
        assert (t["structural"] / w["w_structural"]).is_integer()  # a tree distance


def test_unknown_settings_are_refused(bank):
    ids, exprs = bank
    with pytest.raises(TypeError, match="unknown settings: alhpa"):
        detect(ids, exprs, {}, alhpa=0.5)
    with pytest.raises(ValueError, match="same length"):
        detect(ids[:3], exprs, {})


def test_dense_matrix_in_blocks_equals_the_pairwise_matrix(m, bank):
    from source.run.graph import dense_matrix as _dense_matrix

    ids, exprs = bank
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        descriptors = [m.describe(e) for e in exprs[:40]] + [m.describe(exprs[0])]
    seen = []
    for alpha, beta in [(0.85, 0.15), (0.6, 0.4)]:
        want = m.pairwise_matrix(descriptors, alpha=alpha, beta=beta)
        got = _dense_matrix(
            descriptors, alpha, beta, lambda stage, done, total: seen.append((done, total)), block=7
        )
        assert np.array_equal(got, want)
    assert seen[-1][0] == seen[-1][1] and len(seen) > 10  # progress in true totals, to the end


def test_behaviour_blocks_of_a_run_are_those_behavior_renders(m, bank):
    from source.run.blocks import behavior_blocks

    ids, exprs = bank
    library = load_library()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.random.seed(3)
        want = m.behavior(exprs, 0.85, 0.15, library, verbose=False)
        np.random.seed(3)
        run = detect(ids, exprs, library, verbose=False)
        got = behavior_blocks(run)
        assert got == want and got
        assert behavior_blocks(run, "repeated") == [
            b for b in got if b.startswith("\u2500\u2500 repeated")
        ]


@pytest.mark.parametrize("category", ["all", "novel", "repeated"])
def test_filter_text_from_rendered_blocks_is_the_filter_report(m, bank, capsys, category):
    from source.report.text import filter_text

    ids, exprs = bank
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run = detect(ids, exprs, load_library(), verbose=False, novel_threshold=20.0)
        blocks = {
            id(f.candidate): m.candidate_report(i, f.candidate) for i, f in enumerate(run.found)
        }
        capsys.readouterr()
        if category == "all":
            m.filter_report(run.result)
        else:
            print(f"{category}: {len(getattr(run.result, category))}\n")
            m.report(getattr(run.result, category))
    # The sensitivity figure draws random noise at each description; every other line agrees.
    lines = lambda text: [l for l in text.rstrip("\n").splitlines() if "sensitivity" not in l]
    assert lines(filter_text(run.result, blocks, category)) == lines(capsys.readouterr().out)
    assert run.result.novel and run.result.repeated


def test_filter_text_prints_each_discarded_formula_as_given(bank):
    from source.report.text import filter_text

    ids, exprs = bank
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run = detect(
            ids, exprs, load_library(), verbose=False, min_members=3, max_wildcard_density=0.3
        )
    discarded = run.result.discarded
    assert len(discarded) >= 3
    blocks = {id(f.candidate): f"  [{k}] structure {k}" for k, f in enumerate(run.found)}
    shown = {id(discarded[1][1]): "as printed"}
    lines = filter_text(run.result, blocks, "all", shown).split("\n")[-len(discarded) :]
    assert lines == [
        f"  [{reason}]  {'as printed' if k == 1 else c.formula}  (members={len(c.members)})"
        for k, (reason, c) in enumerate(discarded)
    ]


def test_similarity_line_of_a_run_is_the_one_detect_structure_prints(m, bank, capsys):
    ids, exprs = bank
    library = load_library()
    similarity = lambda out: [line for line in out.splitlines() if line.startswith("similarity")]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        capsys.readouterr()
        np.random.seed(2)
        m.detect_structure(exprs, library, verbose=True)
        want = similarity(capsys.readouterr().out)
        np.random.seed(2)
        detect(ids, exprs, library, verbose=True, filter=False)
        got = similarity(capsys.readouterr().out)
    assert got == want and len(want) == 1


def test_clusters_scored_below_the_threshold_say_their_score(m, bank):
    ids, exprs = bank
    library = load_library()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        everything = detect(
            ids, exprs, library, verbose=False, seed=3, filter=False, novelty_threshold=-1e9
        )
        nothing = detect(
            ids, exprs, library, verbose=False, seed=3, filter=False, novelty_threshold=1e9
        )
    assert everything.found and not nothing.found
    for f in everything.found:
        reasons = {nothing.left_out[r] for r in f.rows}
        assert reasons == {
            f"its cluster's score {float(f.candidate.novelty):.3g} is below the novelty threshold 1e+09"
        }
    # Clusters whose generalisation says too little are left out for that in both runs.
    generic = {r: why for r, why in everything.left_out.items() if "single formula" not in why}
    assert all(nothing.left_out[r] == why for r, why in generic.items())
    assert all("generalis" in why for why in generic.values())
