"""Verdicts on real symbolic-regression output: bench/data/sr_bank.csv, the whole Pareto fronts of
regression runs on 22 library laws and 23 held-out laws (made by bench/sr/make_sr_bank.py; its
truth table is bench/data/sr_truth.csv).

Runs `keltran detect BANK --json OUT --quiet --skip-bad` through an installed command and joins
the JSON document's per-formula verdicts with the truth table by id. Prints:

- over the recovered expressions of library laws: called known with a correct law, known with a
  wrong law, new, or without a verdict (missing from the document, or skipped); a law is correct
  when the verdict's `law` or any of its `laws` is the truth law or of its form class (laws equal
  up to renaming and a constant factor, which no formula can tell apart);
- over the recovered expressions of held-out laws: how many were called known;
- the verdict counts over all rows, and the time per formula.

    .venv/bin/python bench/bench_sr.py
    .venv/bin/python bench/bench_sr.py --keltran /other/.venv/bin/keltran
    .venv/bin/python bench/bench_sr.py --baseline /work/baseline/.venv/bin/keltran
"""

import argparse
import csv
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
BANK = HERE / "data" / "sr_bank.csv"
TRUTH = HERE / "data" / "sr_truth.csv"

# Run by the interpreter of the installation under test, so that the classes come from the
# library and matcher of that build.
CLASSES = r"""
import json, warnings
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source.bank.laws import load_library
    from source.judge.verdicts import form_classes
print(json.dumps(form_classes(load_library())))
"""


def interpreter(keltran):
    """The Python that an installed `keltran` script runs on (its #! line)."""
    first = Path(keltran).read_text(errors="replace").splitlines()[0]
    if not first.startswith("#!"):
        raise SystemExit(f"{keltran}: not a script with a #! line")
    return first[2:].strip().split()[0]


def law_classes(keltran):
    out = subprocess.run(
        [interpreter(keltran), "-P", "-c", CLASSES],
        capture_output=True,
        text=True,
        cwd=tempfile.gettempdir(),
    )
    if out.returncode != 0:
        raise SystemExit(f"could not compute the law classes with {keltran}:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def detect(keltran, bank, json_out):
    """Seconds taken by one `keltran detect` run writing its JSON document to json_out."""
    command = [str(keltran), "detect", str(bank), "--json", str(json_out), "--quiet", "--skip-bad"]
    start = time.perf_counter()
    out = subprocess.run(command, capture_output=True, text=True, cwd=tempfile.gettempdir())
    seconds = time.perf_counter() - start
    if out.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({out.returncode}):\n{out.stderr[-3000:]}")
    return seconds


def read_truth(path):
    with open(path, newline="") as f:
        return {r["id"]: r for r in csv.DictReader(f)}


def bank_ids(path):
    with open(path, newline="") as f:
        return [r["id"] for r in csv.DictReader(f)]


def pct(part, whole):
    return f"{100 * part / whole:5.1f} %" if whole else "    - "


def table(title, counts, total):
    print(title)
    for label, n in counts.items():
        print(f"  {label:<34} {n:6d}  {pct(n, total)}")
    print(f"  {'total':<34} {total:6d}")


def verdict_report(doc, truth, classes, ids):
    formulas = doc.get("formulas")
    if formulas is None:
        print(
            'The JSON document has no "formulas" list: this build writes no per-formula verdicts,\n'
            "so only the time is reported."
        )
        return
    by_id = {}
    for f in formulas:
        by_id.setdefault(f.get("id"), f)
    order_ok = [f.get("id") for f in formulas] == [i for i in ids if i in by_id]
    print(
        f"{len(formulas)} formula verdicts for {len(ids)} bank rows"
        + ("" if order_ok else " (not in bank order)")
    )
    skipped = doc.get("skipped") or []
    if skipped:
        print(f"{len(skipped)} rows skipped as unparsable")

    def correct(f, law):
        named = ([f.get("law")] if f.get("law") else []) + list(f.get("laws") or [])
        same = set(classes.get(law, [law])) | {law}
        return any(n in same for n in named)

    lib = {
        "known, correct law": 0,
        "known, wrong law": 0,
        "new": 0,
        "no verdict (missing or skipped)": 0,
    }
    wrong = {}
    held = {"known": 0, "new": 0, "no verdict (missing or skipped)": 0}
    known_held = {}
    known_unrecovered = {}
    overall = {}
    for ident in ids:
        t = truth.get(ident)
        f = by_id.get(ident)
        verdict = f.get("verdict") if f else "missing"
        group = "library" if t and t["in_library"] == "1" else "held-out"
        overall.setdefault(group, {}).setdefault(verdict, 0)
        overall[group][verdict] += 1
        if group == "held-out" and verdict == "known" and t["recovered"] != "1":
            key = (t["law"], f.get("law"))
            known_unrecovered[key] = known_unrecovered.get(key, 0) + 1
        if not t or t["recovered"] != "1":
            continue
        tally, misnamed = (lib, wrong) if group == "library" else (held, known_held)
        if verdict == "known":
            right = group == "library" and correct(f, t["law"])
            tally[
                "known, correct law"
                if right
                else ("known, wrong law" if group == "library" else "known")
            ] += 1
            if not right:
                key = (t["law"], f.get("law"))
                misnamed[key] = misnamed.get(key, 0) + 1
        else:
            tally["new" if verdict == "new" else "no verdict (missing or skipped)"] += 1
    print()
    table("Recovered expressions of library laws", lib, sum(lib.values()))
    for (law, named), n in sorted(wrong.items(), key=lambda kv: -kv[1])[:10]:
        print(f"    {n:4d} x {law} called {named}")
    print()
    table("Recovered expressions of held-out laws", held, sum(held.values()))
    print(
        f"  called known: {held['known']} of {sum(held.values())} ({pct(held['known'], sum(held.values())).strip()})"
    )
    for (law, named), n in sorted(known_held.items(), key=lambda kv: -kv[1])[:10]:
        print(f"    {n:4d} x {law} called {named}")
    print()
    print("Verdicts over all rows")
    verdicts = sorted({v for g in overall.values() for v in g})
    print(f"  {'group':<10}" + "".join(f"{v:>10}" for v in verdicts) + f"{'total':>10}")
    for group in ("library", "held-out"):
        g = overall.get(group, {})
        print(
            f"  {group:<10}"
            + "".join(f"{g.get(v, 0):10d}" for v in verdicts)
            + f"{sum(g.values()):10d}"
        )
    if known_unrecovered:
        print("  held-out rows not recovered but called known, most frequent:")
        for (law, named), n in sorted(known_unrecovered.items(), key=lambda kv: -kv[1])[:10]:
            print(f"    {n:4d} x {law} called {named}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--keltran",
        type=Path,
        default=REPO / ".venv" / "bin" / "keltran",
        help="the keltran command to run (default: the repository's .venv)",
    )
    parser.add_argument(
        "--baseline", type=Path, help="another keltran command, timed on the same bank"
    )
    parser.add_argument("--bank", type=Path, default=BANK)
    parser.add_argument("--truth", type=Path, default=TRUTH)
    parser.add_argument("--keep-json", type=Path, help="also keep the detect document here")
    parser.add_argument(
        "--every",
        type=int,
        default=1,
        help="take every K-th row of the bank (2: about 2,600 rows, the size of one campaign)",
    )
    args = parser.parse_args()
    for k in [args.keltran] + ([args.baseline] if args.baseline else []):
        if not k.is_file():
            sys.exit(f"{k}: no such keltran command")
    ids = bank_ids(args.bank)
    truth = read_truth(args.truth)
    missing = [i for i in ids if i not in truth]
    if missing:
        sys.exit(f"{len(missing)} bank rows have no truth row, e.g. {missing[0]}")
    with tempfile.TemporaryDirectory() as tmp:
        if args.every > 1:
            lines = args.bank.read_text().splitlines(keepends=True)
            args.bank = Path(tmp) / f"every{args.every}_{args.bank.name}"
            args.bank.write_text(lines[0] + "".join(lines[1 :: args.every]))
            ids = bank_ids(args.bank)
        out = Path(args.keep_json or Path(tmp) / "sr.json")
        print(
            f"keltran detect {args.bank.name} ({len(ids)} rows) with {args.keltran} ...", flush=True
        )
        seconds = detect(args.keltran, args.bank, out)
        doc = json.loads(out.read_text())
        base = None
        if args.baseline:
            print(f"the same with {args.baseline} ...", flush=True)
            base = detect(args.baseline, args.bank, Path(tmp) / "baseline.json")
    print()
    verdict_report(doc, truth, law_classes(args.keltran), ids)
    print()
    print(
        f"time: {seconds:.1f} s for {len(ids)} formulas, {1000 * seconds / len(ids):.2f} ms per formula "
        f"(whole command, start-up included)"
    )
    if base is not None:
        print(
            f"baseline: {base:.1f} s, {1000 * base / len(ids):.2f} ms per formula; "
            f"ratio new/baseline {seconds / base:.2f}"
        )


if __name__ == "__main__":
    main()
