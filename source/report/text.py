"""What a detection run reports as text: the verdict on every structure, the account of every
formula, the formulas left out, and the filter's sections."""

from typing import Any

from source.engine import kt
from source.report import numbers
from source.run.blocks import reindexed
from source.run.results import Found, Run


def verdict_text(match: Any) -> str:
    """What a structure (or a member) is: "known law (kind): name" or "new structure"."""
    if match is None:
        return "new structure"
    return f"known law ({match.kind}): {match.law}"


# The detection score's terms as reports name them.
TERM_NAMES = {
    "structural": "tree distance",
    "behavioral": "behaviour",
    "irreducibility": "irreducibility",
    "recurrence": "recurrence",
    "compression": "compression",
}


def terms_text(terms: dict[str, Any]) -> str:
    """The weighted terms of a structure's score, which add up to it."""
    return ", ".join(f"{TERM_NAMES.get(k, k)} {numbers.number(v)}" for k, v in terms.items())


def _binding_text(bindings: dict[str, str] | None) -> str:
    if not bindings:
        return "(not an instance of the formula)"
    return ", ".join(f"{k}={v}" for k, v in bindings.items())


def is_known(found: Found) -> bool:
    """Whether a structure is a known law: by its members' verdicts where the run made them, else
    by the library match of its formula."""
    return (
        found.verdict.verdict == "known" if found.verdict is not None else found.match is not None
    )


def structure_text(found: Found) -> str:
    """A structure's verdict as its members make it ("known: coulomb_law, 31 of 40 members (9
    new)"), or the library match of its formula where the run judged no member."""
    return found.verdict.text() if found.verdict is not None else verdict_text(found.match)


def verdict_report(run: Run, members: bool = True) -> str:
    """The verdict on every structure, with the counts at the top; with `members`, each
    member's id, formula, bindings and own verdict."""
    known = sum(is_known(f) for f in run.found)
    lines = [
        "",
        "=== Structures: known law or new ===",
        "",
        f"known laws    : {known}",
        f"new structures: {len(run.found) - known}",
        "",
    ]
    if not run.found:
        lines.append("  (none)")
    for k, f in enumerate(run.found):
        lines.append(f"  [{k}] {structure_text(f)}")
        if f.verdict is not None and len(f.verdict.laws) > 1:
            lines.append(
                f"       same form as {len(f.verdict.laws)} laws: {', '.join(f.verdict.laws)}"
            )
        lines.append(
            f"       formula        : {numbers.formula(f.shown())}   ({len(f.rows)} members)"
        )
        if f.match is not None:
            alike = sum(m is not None and m.law == f.match.law for m in f.member_matches)
            lines.append(
                f"       formula's match: {verdict_text(f.match)}  ({alike} of {len(f.rows)} "
                "members"
                + (f", distance {numbers.number(f.match.distance)})" if f.match.distance else ")")
            )
        if f.terms:
            lines.append(
                f"       score          : {numbers.number(f.candidate.novelty)} = {terms_text(f.terms)}"
            )
        if f.match is not None and f.match.mapping:
            lines.append(
                "       mapping        : "
                + ", ".join(f"{ours}\u2192{law}" for ours, law in f.match.mapping.items())
                + "   (ours \u2192 the law's)"
            )
        if members:
            for r, m, b in zip(f.rows, f.member_matches, f.binding_texts):
                own = run.verdicts[r].text() if run.verdicts else verdict_text(m)
                formula, bound = numbers.formula(run.text(r)), numbers.formula(_binding_text(b))
                lines.append(f"       {run.ids[r]}: {formula}   [{bound}]   {own}")
    return "\n".join(lines) + "\n"


def filter_text(
    result: Any,
    block_of: dict[int, str],
    category: str = "all",
    formula_of: dict[int, str] | None = None,
    number_of: dict[int, int] | None = None,
) -> str:
    """The detection-score report (the filter's novel / repeated / discarded sections, as
    `filter_report` prints it) from the structures' blocks rendered once: each structure's
    behaviour is described once, and the figures agree between the sections. `formula_of` may
    give candidates' formulas as printed, by id; `number_of`, each candidate's structure number
    (else the blocks are numbered from 0 in each section)."""
    formula_of = formula_of or {}
    shown = ["novel", "repeated"] if category == "all" else [category]
    blocks = []
    for name in shown:
        section = list(enumerate(getattr(result, name)))
        if number_of:  # in the run's ranking, numbered as every other section numbers them
            section = sorted((number_of[id(c)], c) for _, c in section)
        blocks += [reindexed(block_of[id(c)], i) for i, c in section]
    return kt._filter_report_text(
        result, blocks, category, [formula_of.get(id(c)) for _, c in result.discarded]
    )


def account_counts(run: Run) -> dict[str, int]:
    """How many formulas went where; the counts add up to the bank's size (and the skipped
    rows, which never reached the bank)."""
    in_structures = sum(len(f.rows) for f in run.found)
    return {
        "bank": len(run.ids),
        "in_structures": in_structures,
        "left_out": len(run.left_out),
        "known_law_structures": sum(is_known(f) for f in run.found),
        "new_structures": sum(not is_known(f) for f in run.found),
        "known_formulas": sum(v.verdict == "known" for v in run.verdicts),
        "new_formulas": sum(v.verdict == "new" for v in run.verdicts),
    }


def account_report(run: Run, skipped: int = 0) -> str:
    """Where every formula went: in a structure, or left out and why."""
    counts = account_counts(run)
    reasons: dict[str, int] = {}
    for reason in run.left_out.values():
        key = reason.split(" (")[0]
        reasons[key] = reasons.get(key, 0) + 1
    lines = [
        "=== Every formula ===",
        "",
        f"bank formulas      : {counts['bank']}"
        + (f"  (and {skipped} unparsable rows skipped)" if skipped else ""),
        f"in a structure     : {counts['in_structures']}",
        f"left out           : {counts['left_out']}",
    ]
    for reason, count in sorted(reasons.items(), key=lambda kv: -kv[1]):
        lines.append(f"  {count:5d}  {reason}")
    return "\n".join(lines) + "\n"


def left_out_report(run: Run) -> str:
    lines = ["── left out ──────────────────────────────────────────"]
    for r, reason in sorted(run.left_out.items()):
        lines.append(f"  {run.ids[r]}: {numbers.formula(run.text(r))}   [{reason}]")
    if not run.left_out:
        lines.append("  (none)")
    return "\n".join(lines) + "\n"
