"""Hostile input that stays inside the size limits: numbers that cost minutes to read, output
paths that are not regular files, ranges and ids that cannot be what they claim, addresses that
are not addresses."""

import json
import os
import stat
import subprocess
import sys
import threading

import pytest
from test_cli import run

from source.bank import files as bankio
from source.bank.parsing import FormulaError, parse_formula


@pytest.mark.parametrize(
    "text",
    [
        "1e9999999*x",
        "1e999999*x",
        "2.5E-4001 + y",
        "x**1e-999 * 1e99999999999999",
        "1e" + "0" * 30 + "9999*x",
    ],
)
def test_float_literals_with_huge_exponents_are_refused_at_once(text):
    with pytest.raises(FormulaError, match="decimal exponent"):
        parse_formula(text)


@pytest.mark.parametrize("text", ["2.5e300*x", "1e-300*x", "6.02214076e23*n", "1e4000*x"])
def test_float_literals_within_the_bound_read_as_before(text):
    assert parse_formula(text).free_symbols


def write(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "body, message",
    [
        ("id,formula,var1_name,var1_low,var1_high\na,x*2,x,5,1\n", "runs backwards"),
        ("id,formula,var1_name,var1_low,var1_high\na,x*2,x,-1e308,1e308\n", "wider than a float"),
        ("id,formula,var1_name,var1_low,var1_high\na,x*2,x,one,2\n", "not a number"),
    ],
)
def test_ranges_that_cannot_be_ranges_name_the_row(tmp_path, body, message):
    path = write(tmp_path / "bank.csv", body)
    with pytest.raises(bankio.BankError, match=message) as found:
        bankio.read_rows([str(path)])
    assert "bank.csv:2" in str(found.value) and "id a" in str(found.value)


@pytest.mark.parametrize(
    "item, message",
    [
        ({"id": 7, "formula": "x"}, "id must be a string"),
        ({"id": ["a"], "formula": "x"}, "id must be a string"),
        ({"id": True, "formula": "x"}, "id must be a string"),
        ({"id": None, "formula": "x"}, "id must be a string"),
        ({"id": "a", "formula": "x", "ranges": {"x": [True, 2]}}, "not a number"),
        ({"id": "a", "formula": "x", "ranges": {"x": [3, 1]}}, "runs backwards"),
    ],
)
def test_json_ids_and_ranges_are_what_they_claim(tmp_path, item, message):
    path = write(tmp_path / "bank.json", json.dumps([item]))
    with pytest.raises(bankio.BankError, match=message):
        bankio.read_rows([str(path)])


def test_deep_json_and_huge_csv_fields_are_clear_errors_or_skipped(tmp_path):
    deep = write(tmp_path / "deep.json", "[" * 100_000 + "]" * 100_000)
    with pytest.raises(bankio.BankError, match="nests too deeply"):
        bankio.read_rows([str(deep)])
    big = write(tmp_path / "big.csv", "id,formula\nwide," + "x+" * 100_000 + "x\nsmall,y*2\n")
    rows = bankio.read_rows(
        [str(big)]
    )  # a field past csv's own limit is read, and refused as a formula
    entries, skipped = bankio.settle(rows, [bankio._parsed(r) for r in rows], skip_bad=True)
    assert [e.id for e in entries] == ["small"] and skipped[0]["id"] == "wide"


def test_ids_keep_their_unicode_separators(tmp_path):
    path = write(tmp_path / "bank.csv", "id,formula\n\u2028a,x*2\na\u2029,y*3\n")
    assert [r.id for r in bankio.read_rows([str(path)])] == ["\u2028a", "a\u2029"]


def test_outputs_that_are_not_regular_files_are_written_through(tmp_path):
    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\n")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    reader.start()
    out = run(tmp_path, "detect", "bank.txt", "--json", str(fifo), "--quiet")
    reader.join(30)
    assert out.returncode == 0, out.stderr
    assert json.loads(got[0])["formulas"] and stat.S_ISFIFO(fifo.stat().st_mode)
    out = run(tmp_path, "detect", "bank.txt", "--csv", "/dev/null", "--quiet")
    assert out.returncode == 0 and stat.S_ISCHR(os.stat("/dev/null").st_mode)


def test_a_name_of_standard_output_is_standard_output(tmp_path):
    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\n")
    piped = subprocess.run(
        f"{sys.executable} -P -m source detect bank.txt --json /dev/stdout --quiet | cat",
        shell=True,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ, GROQ_API_KEY=""),
    )
    assert piped.returncode == 0, piped.stderr
    assert json.loads(piped.stdout)["formulas"] and "KELTRAN:" in piped.stderr
    with open(tmp_path / "out.txt", "w") as f:  # redirected to a file: the JSON alone goes there
        redirected = subprocess.run(
            [
                sys.executable,
                "-P",
                "-m",
                "source",
                "detect",
                "bank.txt",
                "--json",
                "/dev/stdout",
                "--quiet",
            ],
            cwd=tmp_path,
            stdout=f,
            stderr=subprocess.PIPE,
            text=True,
            timeout=300,
            env=dict(os.environ, GROQ_API_KEY=""),
        )
    assert redirected.returncode == 0 and "KELTRAN:" in redirected.stderr
    assert json.loads((tmp_path / "out.txt").read_text())["formulas"]


@pytest.mark.parametrize("address", ["not a url", "tcp://", "http://[::1"])
def test_a_malformed_scheduler_address_is_a_one_line_error(tmp_path, address):
    (tmp_path / "bank.txt").write_text("m*v**2/2\n")
    out = run(tmp_path, "detect", "bank.txt", "--dask", address, "--quiet")
    assert out.returncode in (1, 2) and "Traceback" not in out.stderr and "error:" in out.stderr


def test_a_state_folder_others_may_write_is_warned_of(tmp_path):
    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\n")
    (tmp_path / "kept").mkdir()
    os.chmod(tmp_path / "kept", 0o777)
    out = run(tmp_path, "detect", "bank.txt", "--state", "kept", "--quiet")
    assert out.returncode == 0 and "writable by anyone" in out.stderr
    os.chmod(tmp_path / "kept", 0o755)
    out = run(tmp_path, "detect", "bank.txt", "--state", "kept", "--quiet")
    assert out.returncode == 0 and "writable" not in out.stderr


def test_ids_that_look_like_math_markup_are_drawn_as_text(tmp_path):
    pytest.importorskip("matplotlib")
    rows = [
        {"id": i, "formula": f}
        for i, f in [
            ("$\\foo$", "m*v**2/2"),
            ("$x^$", "k*x**2/2"),
            ("$" + "\\sqrt{" * 50 + "}" * 50 + "$", "q*E**2/2"),
        ]
    ]
    (tmp_path / "bank.json").write_text(json.dumps(rows))
    out = run(tmp_path, "detect", "bank.json", "--plot", "out.png", "--html", "out.html", "--quiet")
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "out.png").stat().st_size > 0 and (tmp_path / "out.html").stat().st_size > 0


@pytest.mark.parametrize(
    "text",
    [
        "harmonic(1000, 1000)*x",
        "Product(x + k, (k, 1, 10**6))",
        "Derivative(sin(x)*exp(x), (x, 10**5))",
        "Sum(k*x, (k, 0, 5000))",
        "Derivative(x**2, x, x, (y, 30))",
    ],
)
def test_api_text_whose_work_input_sets_is_refused_at_once(text):
    from source.bank.parsing import parse_expression

    with pytest.raises(FormulaError, match="beyond|more than"):
        parse_expression(text)


@pytest.mark.parametrize(
    "text",
    [
        "harmonic(10, 2)*x",
        "Product(x + k, (k, 1, 10))",
        "Derivative(x**5, (x, 3))",
        "Sum(k*x, (k, 0, 100))",
        "Sum(1/k**2, (k, 1, n))",
    ],
)
def test_api_text_within_the_bounds_reads_as_sympy_does(text):
    import sympy as sp

    from source.bank.parsing import parse_expression

    assert parse_expression(text) == sp.sympify(text)


def test_a_long_flat_sum_is_one_level_and_errors_stay_one_short_line(tmp_path):
    import sympy as sp

    terms = [f"sin({i}*x)*y" for i in range(1, 2997)]
    assert len(parse_formula(" + ".join(terms)).args) == 2996
    signed = parse_formula(
        "-x0 " + " ".join(f"- {i}*x0**2*cos({i}*a)" for i in range(1, 1500)) + " + sin(a + b)"
    )
    x0, a, b = (sp.Symbol(n) for n in ("x0", "a", "b"))
    assert len(signed.args) == 1501 and -x0 in signed.args and sp.sin(a + b) in signed.args
    path = write(tmp_path / "bank.csv", "id,formula\nhuge," + "x+" * 60_000 + "(\n")
    rows = bankio.read_rows([str(path)])
    with pytest.raises(bankio.BankError) as found:
        bankio.settle(rows, [bankio._parsed(r) for r in rows])
    assert len(str(found.value)) < 400 and "120,001 characters" in str(found.value)


@pytest.mark.parametrize("reply", [b"", b"HTTP/1.1 200 OK\r\n\r\nhello\r\n"])
def test_a_port_that_answers_but_is_no_scheduler_is_given_up_in_time(tmp_path, reply):
    import socket
    import time

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    held = []

    def serve():  # accepts, says what it says, and keeps the line open
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            held.append(conn)
            if reply:
                conn.sendall(reply)

    threading.Thread(target=serve, daemon=True).start()
    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\n")
    started = time.monotonic()
    out = run(
        tmp_path,
        "detect",
        "bank.txt",
        "--dask",
        f"tcp://127.0.0.1:{server.getsockname()[1]}",
        "--quiet",
    )
    spent = time.monotonic() - started
    server.close()
    assert (
        out.returncode == 1
        and "Traceback" not in out.stderr
        and "cannot reach the Dask scheduler" in out.stderr
    )
    assert spent < 25


def test_a_formula_inside_the_size_limits_whose_work_is_not_is_refused_at_once():
    import time

    from source.bank.parsing import MAX_WORK, parse_expression

    wide = " + ".join(f"sin(a{i}_0*b0)" for i in range(2900))
    for parse in (parse_formula, parse_expression):
        started = time.monotonic()
        with pytest.raises(FormulaError, match="too large to describe"):
            parse(wide)
        assert time.monotonic() - started < 5
    ok = " + ".join(f"sin(a{i}*b)" for i in range(100))  # 100 variables in 401 nodes
    assert len(parse_formula(ok).free_symbols) == 101 and 101 * 401 < MAX_WORK


def test_a_run_waits_for_another_that_holds_the_state(tmp_path):
    import fcntl
    import time

    (tmp_path / "bank.txt").write_text("m*v**2/2\nk*x**2/2\n")
    assert run(tmp_path, "detect", "bank.txt", "--state", "kept", "--quiet").returncode == 0
    fd = os.open(tmp_path / "kept", os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)  # as a run keeping its state holds it
    threading.Timer(3.0, os.close, (fd,)).start()
    started = time.monotonic()
    out = run(tmp_path, "detect", "bank.txt", "--state", "kept", "--quiet", "--json", "out.json")
    assert out.returncode == 0, out.stderr
    assert "waiting for another keltran run" in out.stderr and time.monotonic() - started >= 2.5
    assert json.loads((tmp_path / "out.json").read_text())["formulas"]


def test_detect_structure_with_a_seed_gives_identical_scores_on_identical_calls(m):
    import sympy as sp

    x, y, z = sp.symbols("x y z")
    bank = [
        x**2 * sp.sin(y),
        3 * x**2 * sp.sin(y),
        x**2 * sp.sin(z) / 2,
        sp.exp(-x) * y,
        2 * sp.exp(-z) * x,
    ]
    library = {"line": x * y}
    runs = [
        [
            float(c.novelty)
            for c in m.detect_structure(bank, library, sim_threshold=0.6, verbose=False, seed=s)
        ]
        for s in (3, 3, 4)
    ]
    assert runs[0] and runs[0] == runs[1]
    with pytest.raises(TypeError):
        m.detect_structure(bank, library, seed="3")


@pytest.mark.parametrize("sig, code", [("SIGINT", 130), ("SIGTERM", 143)])
@pytest.mark.parametrize(
    "delay", [1.0, 3.0]
)  # while the engine loads, and while the bank is described
def test_the_run_answers_ctrl_c_and_sigterm_within_a_second(tmp_path, sig, code, delay):
    import pathlib
    import signal
    import time

    bank = pathlib.Path(__file__).resolve().parent.parent / "bench" / "data" / "sr_bank.csv"
    proc = subprocess.Popen(
        [
            sys.executable,
            "-P",
            "-m",
            "source",
            "detect",
            str(bank),
            "--quiet",
            "--skip-bad",
            "--json",
            "out.json",
        ],
        cwd=tmp_path,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, GROQ_API_KEY=""),
    )
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(getattr(signal, sig))
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code and time.monotonic() - sent < 1.0, err
    assert "Traceback" not in err and not list(tmp_path.iterdir())  # no output, no temporary file
