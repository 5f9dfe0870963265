"""Time-limited steps are stopped, not abandoned: a step past its limit is cancelled with the
steps it started, and discover_concept joins every worker of its call before it returns. Runs
that count threads use a fresh interpreter, where no other test's threads come and go."""

import textwrap
import time

import _brenmoor_testing as kernels
import pytest
from isolated import run_isolated

# A sympy function whose first derivative spins in Python code for `seconds` (counting), then
# returns the function itself; `stubborn` swallows the first cancellation and spins on.
SPIN = """
import contextlib, io, os, signal, time
def tasks():
    return len(os.listdir("/proc/self/task"))
def spinning(seconds, counter, stubborn=False, stopped_event=None):
    calls = []
    def spin():
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            counter[0] += 1
    class Spin(sp.Function):
        def fdiff(self, argindex=1):
            calls.append(1)
            if len(calls) == 1:
                try:
                    spin()
                except BaseException:
                    if stopped_event is not None:
                        stopped_event.set()
                    if not stubborn:
                        raise
                    spin()
            return self
    return Spin
def settled(count):  # threading's join returns just before the thread is gone
    end = time.perf_counter() + 1.0
    while tasks() != count and time.perf_counter() < end:
        time.sleep(0.01)
    return tasks() == count
def stopped(counter):
    time.sleep(0.1)
    seen, cpu = counter[0], time.process_time()
    time.sleep(0.5)
    return counter[0] == seen and time.process_time() - cpu < 0.2
"""


def spinning_run(code):
    return run_isolated(SPIN + textwrap.dedent(code), timeout=180)


def test_discover_concept_stops_and_joins_its_steps():
    out = spinning_run("""
        counter = [0]
        Spin = spinning(float("inf"), counter, stubborn=True)
        before = tasks()
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            concept = m.discover_concept({"name": "S", "definition": Spin(x)}, verbose=True)
        after = tasks()
        print(before == after, stopped(counter), counter[0] > 0,
              "Derivative w.r.t x timed out or failed" in printed.getvalue(),
              "derivative" not in [i.op_type for i in concept.invariants])
    """)
    assert out == ["True"] * 5


def test_concurrent_calls_stop_only_their_own_steps():
    # One call's first step never ends; once it has been stopped, the other call starts, and its
    # first step waits (in Python, within its limit) until the first call has returned, and must
    # then finish: closing one call stops none of the other's steps. The waiting step polls an
    # event rather than spinning, so that the first call's remaining steps are not starved of the
    # interpreter on a slow or loaded machine.
    out = spinning_run("""
        returned, first_stopped = threading.Event(), threading.Event()
        seen = []
        class Waiting(sp.Function):
            def fdiff(self, argindex=1):
                if not seen:
                    end = time.perf_counter() + 2.8  # within its limit of 3 s
                    while not returned.is_set() and time.perf_counter() < end:
                        returned.wait(0.005)
                    seen.append(returned.is_set())
                return self
        counter = [0]
        kinds = {"endless": spinning(float("inf"), counter, stopped_event=first_stopped),
                 "waiting": Waiting}
        done = {}
        def call(name):
            if name == "waiting":
                first_stopped.wait(60)
            concept = m.discover_concept({"name": name, "definition": kinds[name](x)})
            if name == "endless":
                returned.set()
            done[name] = [i.op_type for i in concept.invariants]
        before = tasks()
        real, sys.stdout = sys.stdout, io.StringIO()
        threads = [threading.Thread(target=call, args=(name,)) for name in ("endless", "waiting")]
        [t.start() for t in threads]
        [t.join() for t in threads]
        sys.stdout = real
        print(seen == [True], "derivative" in done["waiting"], "derivative" not in done["endless"],
              settled(before), stopped(counter))
    """)
    assert out == ["True"] * 5


def test_ctrl_c_during_a_step_surfaces_promptly_and_stops_it():
    out = spinning_run("""
        counter = [0]
        Spin = spinning(float("inf"), counter)
        before = tasks()
        sent = []
        timer = threading.Timer(0.5, lambda: (sent.append(time.perf_counter()),
                                              os.kill(os.getpid(), signal.SIGINT)))
        timer.start()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                m.discover_concept({"name": "S", "definition": Spin(x)})
            latency = float("inf")
        except KeyboardInterrupt:
            latency = time.perf_counter() - sent[0]
        timer.join()
        print(latency < 0.2, tasks() == before, stopped(counter))
    """)
    assert out == ["True"] * 3


def spin(counter):
    while True:
        counter[0] += 1


def still(counter):
    time.sleep(0.1)
    seen = counter[0]
    time.sleep(0.3)
    return counter[0] == seen


def test_a_timed_out_step_stops_the_steps_it_started(m):
    inner = [0]

    def outer_step():  # waits for a step of its own, as the fitting of a derivative does
        kernels.run_with_timeout(spin, 30, (inner,))

    start = time.perf_counter()
    with pytest.raises(TimeoutError, match="^outer_step timed out after 1s$"):
        kernels.run_with_timeout(outer_step, 1)
    assert time.perf_counter() - start < 1.5
    assert inner[0] > 0 and still(inner)


def test_ctrl_c_while_waiting_for_a_step(m):
    import os
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals are handled on the main thread")
    counter, sent = [0], []
    timer = threading.Timer(
        0.3, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT))
    )
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            kernels.run_with_timeout(spin, 30, (counter,))
        latency = time.perf_counter() - sent[0]
    finally:
        timer.join()
    assert latency < 0.1 and still(counter)
