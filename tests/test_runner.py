"""Where work runs is the runner's affair: every runner gives each job's result in order, follows
the work to its end and raises a job's error; a run gives the same result on each; and the
settings table is what the command line checks and a run reads."""

import os
import threading
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pytest

from source.bank.feynman import load_bank
from source.bank.laws import load_library
from source.run.detect import detect
from source.run.processes import LocalProcesses
from source.run.runner import DaskRunner, InProcess, LocalThreads
from source.settings import BY_KEY, KEPT, TUNED, Settings


def _square(offset, x):
    return offset + x * x, threading.current_thread().name


def _fail(x):
    if x == 3:
        raise ZeroDivisionError("job 3")
    return x


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("dask.distributed")
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(params=["in process", "threads", "processes", "dask"])
def runner(request):
    if request.param == "dask":
        return DaskRunner(request.getfixturevalue("dask_client"))
    if request.param == "processes":
        return LocalProcesses(2)
    return InProcess() if request.param == "in process" else LocalThreads(3)


@pytest.mark.parametrize("light, native", [(False, False), (True, False), (False, True)])
def test_every_runner_gives_results_in_order_and_follows_the_work(runner, light, native):
    seen = []
    jobs = [(x,) for x in range(40)]
    got = runner.map(
        _square,
        jobs,
        lambda done, total: seen.append((done, total)),
        light=light,
        shared=(100,),
        native=native,
    )
    assert [value for value, _ in got] == [100 + x * x for x in range(40)]
    assert seen[0] == (0, 40) and seen[-1] == (40, 40)
    assert all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))
    assert runner.map(_square, [], shared=(1,)) == []


def test_local_threads_run_only_native_jobs_side_by_side():
    here = threading.current_thread().name
    threads = LocalThreads(3)
    assert {name for _, name in threads.map(_square, [(x,) for x in range(8)], shared=(0,))} == {
        here
    }
    assert here not in {
        name for _, name in threads.map(_square, [(x,) for x in range(8)], shared=(0,), native=True)
    }
    with pytest.raises(ValueError, match="at least 1"):
        LocalThreads(0)


def test_a_failing_job_raises_its_error_on_every_runner(runner):
    with pytest.raises(ZeroDivisionError, match="job 3"):
        runner.map(_fail, [(x,) for x in range(6)])


def _die(x):
    if x == 2:
        os._exit(3)
    return x


def _pid(x):
    return os.getpid()


def test_forked_workers_share_the_work_and_a_dead_one_is_an_error():
    pids = set(LocalProcesses(2).map(_pid, [(x,) for x in range(8)]))
    assert os.getpid() not in pids and len(pids) >= 1
    with pytest.raises(BrokenProcessPool):
        LocalProcesses(2).map(_die, [(x,) for x in range(6)])


def test_a_run_is_the_same_wherever_its_work_runs(dask_client):
    bank = load_bank()[:40]
    library = load_library()

    def outcome(runner):
        with np.errstate(all="ignore"):
            run = detect(
                [f.id for f in bank],
                [f.expr for f in bank],
                library,
                large=True,
                seed=2,
                verbose=False,
                block_size=16,
                runner=runner,
            )
        return (
            [(str(f.candidate.formula), f.rows, float(f.candidate.novelty)) for f in run.found],
            [v.verdict for v in run.verdicts],
            run.left_out,
            run.result,
        )

    here = outcome(InProcess())
    assert here[0]
    assert outcome(LocalThreads(2)) == here
    assert outcome(LocalProcesses(2)) == here
    assert outcome(DaskRunner(dask_client)) == here


def test_settings_are_the_table_with_its_defaults():
    defaults = Settings()
    assert all(defaults[o.key] == o.default for o in TUNED)
    chosen = Settings(sim_threshold=0.7, seed=3)
    assert (
        chosen.sim_threshold == 0.7
        and chosen.seed == 3
        and chosen.replace(alpha=0.5).sim_threshold == 0.7
    )
    assert list(chosen.kept()) == [o.key for o in KEPT] and chosen.kept()["seed"] == 3
    with pytest.raises(TypeError, match="unknown settings: alhpa"):
        Settings(alhpa=0.5)
    with pytest.raises(AttributeError):
        _ = defaults.no_such_setting


@pytest.mark.parametrize(
    "key, value, said",
    [
        ("snap", 0.6, "must be at most 0.5, got 0.6"),
        ("sim_threshold", -0.1, "must be at least 0, got -0.1"),
        ("scale_recurrence", 0.0, "must be above 0, got 0.0"),
        ("min_members", 0, "must be at least 1, got 0"),
        ("novelty_threshold", float("nan"), "must be a finite number"),
    ],
)
def test_an_option_out_of_its_range_is_refused(key, value, said):
    with pytest.raises(ValueError, match=said):
        BY_KEY[key].check(value)
    assert BY_KEY[key].check(BY_KEY[key].default) == BY_KEY[key].default


def test_the_command_line_options_are_the_table(capsys):
    from source.cli import arguments

    text = arguments.parser().parse_args(["detect", "--snap", "0.01", "--min-members", "3"])
    assert text.snap == 0.01 and text.min_members == 3
    with pytest.raises(SystemExit):
        arguments.parser().parse_args(["detect", "--snap", "0.6"])
    assert "--snap: must be at most 0.5, got 0.6" in capsys.readouterr().err


@pytest.mark.parametrize("seed", [0, 5])
def test_the_document_gives_the_seed_the_run_used(tmp_path, capsys, seed):
    import json

    from source.cli import entry

    bank = tmp_path / "bank.txt"
    bank.write_text("x**2*y\n3*x**2*y\nsin(x)*y\n2*sin(x)*y\nexp(-x)\n")
    out = tmp_path / "out.json"
    assert (
        entry.main(["detect", str(bank), "--quiet", "--seed", str(seed), "--json", str(out)]) == 0
    )
    settings = json.loads(out.read_text())["settings"]
    assert settings["seed"] == seed and list(settings).count("seed") == 1
