"""The short report: the answer first, in a bounded number of lines whatever the bank's size.
How many formulas are known laws and how many are new; the known laws found (law, its form, how
many formulas, from how many runs); the new structures ranked; what was left out, one line per
kind; and the detection score's categories in their own section, by the same structure numbers.
``--full`` adds every detail after it."""

from collections.abc import Sequence
from typing import Any

from source.report import numbers
from source.report.formulas import account_head, counts
from source.report.text import is_known
from source.run.results import Found, Run

LAWS_SHOWN = 15
STRUCTURES_SHOWN = 25
NUMBERS_SHOWN = 20  # structure numbers listed in one line of the detection-score section


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def runs_text(found_runs: int, runs: int) -> str:
    """ "in 3 of 6 runs" where the bank comes from several runs, else nothing."""
    return f", in {found_runs} of {runs} runs" if runs > 1 else ""


def _law_lines(run: Run, entries: Sequence[dict[str, Any]]) -> list[str]:
    by_law: dict[str, list[dict[str, Any]]] = {}
    for e in entries:
        if e["verdict"] == "known":
            by_law.setdefault(e["law"], []).append(e)
    if not by_law:
        return ["Known laws found: none"]
    lines = [f"Known laws found ({len(by_law)}):"]
    ranked = sorted(by_law.items(), key=lambda kv: (-len(kv[1]), kv[0]))
    for law, es in ranked[:LAWS_SHOWN]:
        d = run.library_descriptors.get(law)
        form = numbers.formula(str(d.numeric_expr)) if d is not None else "?"
        kinds: dict[str, int] = {}
        for e in es:
            kinds[e["kind"]] = kinds.get(e["kind"], 0) + 1
        how = ", ".join(f"{k} {n}" for k, n in sorted(kinds.items(), key=lambda kv: -kv[1]))
        in_runs = runs_text(len({e["run"] for e in es}), run.runs)
        # laws of one form cannot be told apart by a formula: name the others of its form
        same = [x for x in max((e.get("laws") or [] for e in es), key=len) if x != law]
        alike = f"; the form of {', '.join(same)} too" if same else ""
        lines.append(f"  {law} = {form}   {_plural(len(es), 'formula')}{in_runs}   ({how}{alike})")
    rest = ranked[LAWS_SHOWN:]
    if rest:
        lines.append(
            f"  ... and {_plural(len(rest), 'other law')} with "
            f"{_plural(sum(len(es) for _, es in rest), 'formula')} (--full lists them)"
        )
    return lines


def structure_line(run: Run, k: int, f: Found) -> str:
    """One structure in a line: number, formula, members, runs, score, id."""
    degenerate = "   degenerate behaviour" if f.degenerate else ""
    return (
        f"  [{k}] {numbers.formula(f.shown())}   {_plural(len(f.rows), 'formula')}"
        f"{runs_text(f.runs, run.runs)}   score {numbers.number(f.candidate.novelty)}"
        f"   id {f.key}{degenerate}"
    )


def _structure_lines(run: Run) -> list[str]:
    new = [(k, f) for k, f in enumerate(run.found) if not is_known(f)]
    known = [(k, f) for k, f in enumerate(run.found) if is_known(f)]
    lines = [f"New structures, ranked ({len(new)}):"]
    lines += [structure_line(run, k, f) for k, f in new[:STRUCTURES_SHOWN]]
    if not new:
        lines.append("  (none)")
    if len(new) > STRUCTURES_SHOWN:
        lines.append(f"  ... and {len(new) - STRUCTURES_SHOWN:,} more (--full lists them)")
    if known:
        laws = [
            f"[{k}] {f.verdict.law if f.verdict is not None else f.match.law}" for k, f in known
        ]
        shown = ", ".join(laws[:NUMBERS_SHOWN]) + (", ..." if len(laws) > NUMBERS_SHOWN else "")
        lines.append(f"Structures of known laws ({len(known)}): {shown}")
    return lines


def _left_out_lines(run: Run, skipped: int) -> list[str]:
    reasons: dict[str, int] = {}
    for reason in run.left_out.values():
        key = reason.split(" (")[0]
        reasons[key] = reasons.get(key, 0) + 1
    total = len(run.left_out) + skipped
    lines = [f"Left out of every structure ({total:,}):"]
    for reason, count in sorted(reasons.items(), key=lambda kv: -kv[1]):
        lines.append(f"  {count:6,d}  {reason}")
    if skipped:
        lines.append(f"  {skipped:6,d}  unparsable row, skipped")
    if not total:
        lines[-1] = "Left out of every structure: none"
    return lines


def _numbers(ks: Sequence[int]) -> str:
    shown = " ".join(f"[{k}]" for k in ks[:NUMBERS_SHOWN])
    return shown + (" ..." if len(ks) > NUMBERS_SHOWN else "")


def detection_lines(run: Run) -> list[str]:
    """The filter's categories by structure number; not a verdict."""
    if run.result is None:
        return []
    number = {id(f.candidate): k for k, f in enumerate(run.found)}
    lines = ["", "=== Detection score (the filter's categories, not the verdict) ===", ""]
    for name in ("novel", "repeated"):
        ks = sorted(number[id(c)] for c in getattr(run.result, name) if id(c) in number)
        lines.append(f"  {name:9}: {len(ks):,}  {_numbers(ks)}".rstrip())
    reasons: dict[str, list[int]] = {}
    for reason, c in run.result.discarded:
        if id(c) in number:
            reasons.setdefault(reason.split(" (")[0], []).append(number[id(c)])
    lines.append(f"  discarded: {sum(len(v) for v in reasons.values()):,}")
    for reason, ks in reasons.items():
        lines.append(f"    {reason}: {_numbers(ks)}")
    return lines


def summary_lines(
    run: Run, entries: Sequence[dict[str, Any]], skipped: int = 0, changes: str | None = None
) -> list[str]:
    """The short report's lines; `changes`, the line that tells what changed since the kept
    state's last run."""
    c = counts(list(entries))
    lines = [changes] if changes else []
    head = account_head(c)
    if run.runs > 1:
        head += f" (from {run.runs} runs)"
    lines += ["", "=== The answer ===", "", head, ""]
    lines += _law_lines(run, entries) + [""]
    lines += _structure_lines(run) + [""]
    lines += _left_out_lines(run, skipped)
    lines += detection_lines(run)
    return lines


def summary(
    run: Run, entries: Sequence[dict[str, Any]], skipped: int = 0, changes: str | None = None
) -> str:
    return "\n".join(summary_lines(run, entries, skipped, changes)) + "\n"
