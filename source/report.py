"""What a detection run reports: the verdict on every structure, the account of every formula,
and the JSON document."""
import math

SCHEMA_VERSION = 2


def verdict_text(match):
    """What a structure (or a member) is: "known law (kind): name" or "new structure"."""
    if match is None:
        return "new structure"
    return f"known law ({match.kind}): {match.law}"


# The detection score's terms as reports name them.
TERM_NAMES = {"structural": "tree distance", "behavioral": "behaviour", "irreducibility": "irreducibility",
              "recurrence": "recurrence", "compression": "compression"}


def terms_text(terms):
    """The weighted terms of a structure's score, which add up to it."""
    return ", ".join(f"{TERM_NAMES.get(k, k)} {float(v):.3g}" for k, v in terms.items())


def _binding_text(bindings):
    if not bindings:
        return "(not an instance of the formula)"
    return ", ".join(f"{k}={v}" for k, v in bindings.items())


def is_known(found):
    """Whether a structure is a known law: by its members' verdicts where the run made them, else
    by the library match of its formula."""
    return found.verdict.verdict == "known" if found.verdict is not None else found.match is not None


def structure_text(found):
    """A structure's verdict as its members make it ("known: coulomb_law, 31 of 40 members (9
    new)"), or the library match of its formula where the run judged no member."""
    return found.verdict.text() if found.verdict is not None else verdict_text(found.match)


def verdict_report(run, members=True):
    """The verdict on every structure, with the counts at the top; with `members`, each
    member's id, formula, bindings and own verdict."""
    known = sum(is_known(f) for f in run.found)
    lines = ["", "=== Structures: known law or new ===", "",
             f"known laws    : {known}", f"new structures: {len(run.found) - known}", ""]
    if not run.found:
        lines.append("  (none)")
    for k, f in enumerate(run.found):
        lines.append(f"  [{k}] {structure_text(f)}")
        if f.verdict is not None and len(f.verdict.laws) > 1:
            lines.append(f"       same form as {len(f.verdict.laws)} laws: {', '.join(f.verdict.laws)}")
        lines.append(f"       formula        : {f.shown()}   ({len(f.rows)} members)")
        if f.match is not None:
            alike = sum(m is not None and m.law == f.match.law for m in f.member_matches)
            lines.append(f"       formula's match: {verdict_text(f.match)}  ({alike} of {len(f.rows)} members"
                         + (f", distance {f.match.distance:.3g})" if f.match.distance else ")"))
        if f.terms:
            lines.append(f"       score          : {float(f.candidate.novelty):.4g} = {terms_text(f.terms)}")
        if f.match is not None and f.match.mapping:
            lines.append("       mapping        : " + ", ".join(f"{ours}\u2192{law}" for ours, law in f.match.mapping.items())
                         + "   (ours \u2192 the law's)")
        if members:
            for r, m, b in zip(f.rows, f.member_matches, f.binding_texts):
                own = run.verdicts[r].text() if run.verdicts else verdict_text(m)
                lines.append(f"       {run.ids[r]}: {run.text(r)}   [{_binding_text(b)}]   {own}")
    return "\n".join(lines) + "\n"


def _section(blocks):
    return blocks if blocks else ["  (none)"]


def _reindexed(block, index):
    """A structure's text block numbered for its place in a section."""
    head, _, rest = block.partition("] ")
    return f"  [{index}] {rest}"


def filter_text(result, block_of, category="all", formula_of=None):
    """The detection-score report (the filter's novel / repeated / discarded sections, as
    `filter_report` prints it) from the structures' blocks rendered once: each structure's
    behaviour is described once, and the figures agree between the sections. `formula_of` may
    give candidates' formulas as printed, by id."""
    formula_of = formula_of or {}
    def blocks(candidates):
        return _section([_reindexed(block_of[id(c)], i) for i, c in enumerate(candidates)])
    if category != "all":
        chosen = getattr(result, category)
        return "\n".join([f"{category}: {len(chosen)}", ""] + [b + "\n" for b in blocks(chosen)])
    rule = "\u2500"
    lines = [f"novel    : {len(result.novel)}", f"repeated : {len(result.repeated)}",
             f"discarded: {len(result.discarded)}", ""]
    lines += [rule * 2 + " novel structures " + rule * 34] + blocks(result.novel) + [""]
    lines += [rule * 2 + " repeated patterns " + rule * 33] + blocks(result.repeated) + [""]
    lines += [rule * 2 + " discarded " + rule * 41]
    lines += [f"  [{reason}]  {formula_of.get(id(c)) or c.formula}  (members={len(c.members)})"
              for reason, c in result.discarded]
    return "\n".join(lines)


def _match_json(match):
    if match is None:
        return None
    return {"law": match.law, "kind": match.kind, "distance": match.distance,
            "mapping": dict(match.mapping) if match.mapping is not None else None}


def _number(value):
    """A float for JSON: finite numbers as they are, else None (the caller flags infinity)."""
    value = float(value)
    return value if math.isfinite(value) else None


def similarity_summary(run):
    """min, mean and max of the pairwise similarities (the matrix's, or the graph's edges)."""
    if run.matrix is not None and len(run.matrix) >= 2:
        n = len(run.matrix)
        lo, hi, total = math.inf, -math.inf, 0.0
        for i in range(n - 1):  # row by row: no n*n copy of the triangle
            row = run.matrix[i, i + 1:]
            lo, hi, total = min(lo, row.min()), max(hi, row.max()), total + row.sum()
        return {"min": float(lo), "mean": float(total / (n * (n - 1) / 2)), "max": float(hi)}
    return None


def document(run, settings, labels, rendered, blocks=None, formulas=None):
    """The JSON document of a run. `settings`: what the run was asked; `labels`: bank and library
    names and sizes; `rendered`: each structure's text block; `blocks`: --behavior's blocks;
    `formulas`: every bank row's verdict (`formulas.table`)."""
    result = run.result
    verdict = {id(c): ("novel", None) for c in result.novel}
    verdict.update({id(c): ("repeated", None) for c in result.repeated})
    verdict.update({id(c): ("discarded", reason) for reason, c in result.discarded})
    candidates = []
    for f, text in zip(run.found, rendered):
        c = f.candidate
        score = float(c.novelty)
        candidates.append({
            "formula": f.shown(),
            "display": text,
            "library_match": _match_json(f.match),
            "verdict": f.verdict.verdict if f.verdict is not None else ("known" if f.match is not None else "new"),
            "law": f.verdict.law if f.verdict is not None and f.verdict.verdict == "known" else None,
            "laws": list(f.verdict.laws) if f.verdict is not None and f.verdict.verdict == "known" else [],
            "verdict_text": structure_text(f),
            "known_members": f.verdict.known if f.verdict is not None else None,
            "members": [{"id": run.ids[r], "formula": run.text(r),
                         "bindings": dict(b) if b is not None else None,
                         "library_match": _match_json(m),
                         "verdict": run.verdicts[r].verdict if run.verdicts else None,
                         "law": run.verdicts[r].law if run.verdicts else None}
                        for r, m, b in zip(f.rows, f.member_matches, f.binding_texts)],
            "growth_class": c.growth_class,
            "score": _number(score),
            "score_infinite": math.isinf(score),
            "score_terms": {k: _number(v) for k, v in f.terms.items()} if f.terms else None,
            "closest_library_entry": c.closest_lib,
            "category": verdict[id(c)][0],
            "discard_reason": verdict[id(c)][1],
        })
    return {
        "schema_version": SCHEMA_VERSION,
        "settings": {**labels, **settings},
        "counts": account_counts(run),
        "similarity": similarity_summary(run),
        "candidates": candidates,
        "left_out": [{"id": run.ids[r], "formula": run.text(r), "reason": reason}
                     for r, reason in sorted(run.left_out.items())],
        "behavior": blocks,
        "formulas": formulas if formulas is not None else [],
    }


def account_counts(run):
    """How many formulas went where; the counts add up to the bank's size (and the skipped
    rows, which never reached the bank)."""
    in_structures = sum(len(f.rows) for f in run.found)
    return {"bank": len(run.ids), "in_structures": in_structures, "left_out": len(run.left_out),
            "known_law_structures": sum(is_known(f) for f in run.found),
            "new_structures": sum(not is_known(f) for f in run.found),
            "known_formulas": sum(v.verdict == "known" for v in run.verdicts),
            "new_formulas": sum(v.verdict == "new" for v in run.verdicts)}


def account_report(run, skipped=0):
    """Where every formula went: in a structure, or left out and why."""
    counts = account_counts(run)
    reasons = {}
    for reason in run.left_out.values():
        key = reason.split(" (")[0]
        reasons[key] = reasons.get(key, 0) + 1
    lines = ["=== Every formula ===", "",
             f"bank formulas      : {counts['bank']}" + (f"  (and {skipped} unparsable rows skipped)" if skipped else ""),
             f"in a structure     : {counts['in_structures']}",
             f"left out           : {counts['left_out']}"]
    for reason, count in sorted(reasons.items(), key=lambda kv: -kv[1]):
        lines.append(f"  {count:5d}  {reason}")
    return "\n".join(lines) + "\n"


def left_out_report(run):
    lines = ["── left out ──────────────────────────────────────────"]
    for r, reason in sorted(run.left_out.items()):
        lines.append(f"  {run.ids[r]}: {run.text(r)}   [{reason}]")
    if not run.left_out:
        lines.append("  (none)")
    return "\n".join(lines) + "\n"

