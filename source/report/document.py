"""The JSON document of a run (``keltran detect --json``)."""

import json
import math
from typing import IO, Any

from source.report.text import account_counts, structure_text
from source.run.results import Run
from source.version import installed

SCHEMA_VERSION = 2


def _match_json(match: Any) -> dict[str, Any] | None:
    if match is None:
        return None
    return {
        "law": match.law,
        "kind": match.kind,
        "distance": match.distance,
        "mapping": dict(match.mapping) if match.mapping is not None else None,
    }


def _number(value: float) -> float | None:
    """A float for JSON: finite numbers as they are, else None (the caller flags infinity)."""
    value = float(value)
    return value if math.isfinite(value) else None


def similarity_summary(run: Run) -> dict[str, float] | None:
    """min, mean and max of the pairwise similarities (the matrix's, or the graph's edges)."""
    if run.matrix is not None and len(run.matrix) >= 2:
        n = len(run.matrix)
        lo, hi, total = math.inf, -math.inf, 0.0
        for i in range(n - 1):  # row by row: no n*n copy of the triangle
            row = run.matrix[i, i + 1 :]
            lo, hi, total = min(lo, row.min()), max(hi, row.max()), total + row.sum()
        return {"min": float(lo), "mean": float(total / (n * (n - 1) / 2)), "max": float(hi)}
    return None


def categories(result: Any) -> dict[int, tuple[str, str | None]]:
    """Each candidate's detection-score category and discard reason, by the candidate's id()."""
    out: dict[int, tuple[str, str | None]] = {id(c): ("novel", None) for c in result.novel}
    out.update({id(c): ("repeated", None) for c in result.repeated})
    out.update({id(c): ("discarded", reason) for reason, c in result.discarded})
    return out


def document(
    run: Run,
    settings: dict[str, Any],
    labels: dict[str, Any],
    rendered: list[str],
    blocks: list[str] | None = None,
    formulas: list[dict[str, Any]] | None = None,
    changes: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """The JSON document of a run. `settings`: what the run was asked; `labels`: bank and library
    names and sizes; `rendered`: each structure's text block; `blocks`: --behavior's blocks;
    `formulas`: every bank row's verdict (`formulas.table`); `changes`, what changed since a kept
    state's last run (`state.changes`), for runs on a state."""
    result = run.result
    verdict = categories(result)
    candidates: list[dict[str, Any]] = []
    for f, text in zip(run.found, rendered):
        c = f.candidate
        score = float(c.novelty)
        candidates.append(
            {
                "id": f.key,
                "structure": len(candidates),
                "formula": f.shown(),
                "runs": f.runs if run.runs else None,
                "degenerate": f.degenerate,
                "display": text,
                "library_match": _match_json(f.match),
                "verdict": f.verdict.verdict
                if f.verdict is not None
                else ("known" if f.match is not None else "new"),
                "law": f.verdict.law
                if f.verdict is not None and f.verdict.verdict == "known"
                else None,
                "laws": list(f.verdict.laws)
                if f.verdict is not None and f.verdict.verdict == "known"
                else [],
                "verdict_text": structure_text(f),
                "known_members": f.verdict.known if f.verdict is not None else None,
                "members": [
                    {
                        "id": run.ids[r],
                        "formula": run.text(r),
                        "bindings": dict(b) if b is not None else None,
                        "library_match": _match_json(m),
                        "verdict": run.verdicts[r].verdict if run.verdicts else None,
                        "law": run.verdicts[r].law if run.verdicts else None,
                    }
                    for r, m, b in zip(f.rows, f.member_matches, f.binding_texts)
                ],
                "growth_class": c.growth_class,
                "score": _number(score),
                "score_infinite": math.isinf(score),
                "score_terms": {k: _number(v) for k, v in f.terms.items()} if f.terms else None,
                "closest_library_entry": c.closest_lib,
                "category": verdict[id(c)][0],
                "discard_reason": verdict[id(c)][1],
            }
        )
    head = {"schema_version": SCHEMA_VERSION, "version": installed(), "runs": run.runs or None}
    return {
        **head,
        **({"changes": changes} if changes is not None else {}),
        "settings": {**labels, **settings},
        "counts": account_counts(run),
        "similarity": similarity_summary(run),
        "candidates": candidates,
        "left_out": [
            {"id": run.ids[r], "formula": run.text(r), "reason": reason}
            for r, reason in sorted(run.left_out.items())
        ],
        "behavior": blocks,
        "formulas": formulas if formulas is not None else [],
    }


def dump(doc: dict[str, Any], f: IO[str]) -> None:
    """Writes the document as indented JSON, each entry of its top-level lists on a line of its
    own: json's indenting encoder is pure Python, many times slower than its compact one, and a
    bank of a million formulas makes a million entries."""
    f.write("{")
    for k, (key, value) in enumerate(doc.items()):
        f.write(("," if k else "") + f"\n  {json.dumps(key, ensure_ascii=False)}: ")
        if isinstance(value, list) and value:
            f.write("[")
            for j, entry in enumerate(value):
                f.write(("," if j else "") + "\n    " + json.dumps(entry, ensure_ascii=False))
            f.write("\n  ]")
        else:
            f.write(json.dumps(value, indent=2, ensure_ascii=False).replace("\n", "\n  "))
    f.write("\n}")
