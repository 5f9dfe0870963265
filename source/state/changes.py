"""What changed in the structures since the last run of a kept state.

The store keeps, beside the rest of the state, a summary of the run's structures: for each, its
id, formula as printed, members (rows of the state), in how many runs it recurs, its verdict and
the law it is known as (`summary`, `summary_record`; read back checked by `checked_summary`).
The next run on that state is compared with it (`changes`), structure by structure.

Structures are matched by id, a digest of the formula as printed (`ranking.structure_key`). Rows
that join a structure often generalise its formula (a number shared by the earlier members
becomes a wildcard), and the structure takes a new id: it would read as one structure gone and
one new, on every bank that grows. So a new id is also taken for a gone one when most of the
rows both runs hold are shared: more than half of the gone structure's members still in the
bank are in the new one, and more than half of the new one's members the bank held before were
in the gone one. Since a run's structures share no rows, each side pairs at most once. Such a
structure is reported as having changed its formula, and compared as the same structure."""

from collections import Counter
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from source.run.ranking import structure_key
from source.run.results import Run
from source.state.kept import Kept, KeptStructure
from source.state.records import RowKey, damaged
from source.state.reuse import matched as kept_rows

# The lists of a comparison, in the order its text tells them.
LISTS = (
    "new",
    "changed_formula",
    "grew",
    "shrank",
    "became_known",
    "became_new",
    "law_changed",
    "gone",
)


def summary(run: Run) -> list[KeptStructure]:
    """The run's structures as a state records them, in the run's order; their members are the
    run's rows, which are the rows of the state it keeps."""
    out = []
    for f in run.found:
        # as the document tells it: a structure without members' verdicts is its library match
        verdict = getattr(f.verdict, "verdict", "known" if f.match is not None else "new")
        law = getattr(f.verdict, "law", None)
        out.append(
            KeptStructure(
                key=f.key or structure_key(f.shown()),
                formula=f.shown(),
                members=tuple(int(r) for r in f.rows),
                runs=int(f.runs),
                verdict=verdict,
                law=law if verdict == "known" and isinstance(law, str) else None,
            )
        )
    return out


def summary_record(structures: Sequence[KeptStructure]) -> dict[str, Any]:
    """The summary as JSON data."""
    return {
        "structures": [
            {
                "id": s.key,
                "formula": s.formula,
                "runs": s.runs,
                "verdict": s.verdict,
                "law": s.law,
                "members": list(s.members),
            }
            for s in structures
        ]
    }


def checked_summary(folder: Path, data: Any, rows: int) -> list[KeptStructure]:
    """The structures of a summary kept with a state of `rows` rows; damage where malformed."""
    out: list[KeptStructure] = []
    try:
        items = data["structures"]
        if not isinstance(items, list):
            raise TypeError
        for item in items:
            members, verdict, law = item["members"], item["verdict"], item["law"]
            if not (
                isinstance(item["id"], str)
                and isinstance(item["formula"], str)
                and type(item["runs"]) is int
                and item["runs"] >= 0
                and verdict in ("known", "new")
                and (law is None or (isinstance(law, str) and verdict == "known"))
                and isinstance(members, list)
                and all(type(r) is int and 0 <= r < rows for r in members)
            ):
                raise ValueError
            out.append(
                KeptStructure(
                    item["id"], item["formula"], tuple(members), item["runs"], verdict, law
                )
            )
    except (KeyError, TypeError, ValueError):
        raise damaged(folder, "the record of its structures is malformed") from None
    if len({s.key for s in out}) != len(out):
        raise damaged(folder, "the record of its structures names a structure twice")
    return out


def _by_members(
    gone: Sequence[KeptStructure], fresh: Sequence[KeptStructure], matched: Sequence[int]
) -> dict[str, KeptStructure]:
    """The gone structure each fresh one is, by shared members (the module's rule), by the
    fresh one's id; `matched[r]`: the earlier row that row r of this run is, or -1."""
    present = {k for k in matched if k >= 0}
    owners: dict[int, list[int]] = {}
    for i, s in enumerate(gone):
        for k in set(s.members):
            owners.setdefault(k, []).append(i)
    still = [sum(k in present for k in set(s.members)) for s in gone]
    out: dict[str, KeptStructure] = {}
    taken: set[int] = set()
    for s in fresh:
        held = [matched[r] for r in s.members if matched[r] >= 0]  # distinct: one row each
        shared = Counter(i for k in held for i in owners.get(k, ()))
        if not shared:
            continue
        i, count = shared.most_common(1)[0]
        if i not in taken and 2 * count > still[i] and 2 * count > len(held):
            out[s.key] = gone[i]
            taken.add(i)
    return out


def compare(
    before: Sequence[KeptStructure],
    now: Sequence[KeptStructure],
    matched: Sequence[int] | None = None,
) -> dict[str, Any]:
    """The lists of structure ids that changed from `before` to `now` (LISTS) and how many of
    each, with the number unchanged; "earlier": what each earlier structure the lists name was
    (its formula, number of members, verdict and law), by its id. `matched` (the earlier row
    each row of this run is, or -1) pairs structures by shared members where their ids differ,
    and is skipped when None."""
    earlier = {s.key: s for s in before}
    was = {s.key: earlier[s.key] for s in now if s.key in earlier}
    if matched is not None:
        was.update(
            _by_members(
                [s for s in before if s.key not in was],
                [s for s in now if s.key not in was],
                matched,
            )
        )
    lists: dict[str, list[Any]] = {name: [] for name in LISTS}
    named: list[KeptStructure] = []
    unchanged = 0
    for s in now:
        old = was.get(s.key)
        if old is None:
            lists["new"].append(s.key)
            continue
        told = [
            ("changed_formula", old.key != s.key),
            ("grew", len(s.members) > len(old.members)),
            ("shrank", len(s.members) < len(old.members)),
            ("became_known", old.verdict == "new" and s.verdict == "known"),
            ("became_new", old.verdict == "known" and s.verdict == "new"),
            ("law_changed", old.verdict == s.verdict == "known" and old.law != s.law),
        ]
        for name, yes in told:
            if yes:
                lists[name].append(
                    {"id": s.key, "was": old.key} if name == "changed_formula" else s.key
                )
        if any(yes for _, yes in told):
            named.append(old)
        else:
            unchanged += 1
    paired = {old.key for old in was.values()}
    gone = [s for s in before if s.key not in paired]
    lists["gone"] = [s.key for s in gone]
    return {
        **lists,
        "counts": {**{name: len(v) for name, v in lists.items()}, "unchanged": unchanged},
        "earlier": {
            s.key: {
                "formula": s.formula,
                "members": len(s.members),
                "verdict": s.verdict,
                "law": s.law,
            }
            for s in named + gone
        },
    }


def _n(count: int, one: str) -> str:
    return f"{count:,} {one if count == 1 else one + 's'}"


_SAID: dict[str, Callable[[int], str]] = {
    "new": lambda n: _n(n, "new structure"),
    "changed_formula": lambda n: f"{n:,} changed {'its formula' if n == 1 else 'their formulas'}",
    "grew": lambda n: f"{n:,} grew",
    "shrank": lambda n: f"{n:,} shrank",
    "became_known": lambda n: f"{n:,} became known",
    "became_new": lambda n: f"{n:,} became new",
    "law_changed": lambda n: f"{n:,} now {'another law' if n == 1 else 'other laws'}",
    "gone": lambda n: f"{n:,} gone",
}


def _rows_text(rows: dict[str, int] | None) -> str:
    if rows is None:
        return ""
    told = []
    if rows["added"]:
        told.append(_n(rows["added"], "row") + " added")
    if rows["removed"]:
        told.append(
            f"{rows['removed']:,} removed" if told else _n(rows["removed"], "row") + " removed"
        )
    return "; " + ", ".join(told) if told else ""


def text(result: dict[str, Any]) -> str:
    """The line a report gives first: "Since the last run of this state: 3 new structures,
    2 grew, 1 became known; 40 rows added"."""
    structures = _n(result["structures"], "structure")
    if result["first"]:
        return f"First run of this state: {structures}"
    rows = _rows_text(result["rows"])
    if not result["recorded"]:
        return f"The state holds no record of its earlier structures: {structures} now{rows}"
    told = [_SAID[name](result["counts"][name]) for name in LISTS if result["counts"][name]]
    said = ", ".join(told) or "no change in the structures"
    return f"Since the last run of this state: {said}{rows}"


def changes(
    previous: Kept | None, run: Run, keys: Sequence[RowKey] | None = None
) -> dict[str, Any]:
    """The document's "changes": what changed in the structures of `run` since the run that kept
    `previous` (the state as read before this run; None for the first run of a state). `keys`,
    those of the run's rows (`Reuse.keys`), tell which rows the state held, for the rows added
    and removed and to pair structures whose formula changed; without them neither is told."""
    now = summary(run)
    result: dict[str, Any] = {"first": previous is None}
    if previous is None:
        result.update(
            recorded=False,
            before=None,
            rows={"before": 0, "now": len(run.ids), "added": len(run.ids), "removed": 0},
            **compare([], []),
        )
    else:
        matched = kept_rows(previous, keys) if keys is not None else None
        kept = previous.structures
        result.update(
            recorded=kept is not None,
            before=None if kept is None else len(kept),
            rows=None
            if matched is None
            else {
                "before": len(previous),
                "now": len(matched),
                "added": matched.count(-1),
                "removed": len(previous) - (len(matched) - matched.count(-1)),
            },
            **compare(kept or [], now if kept is not None else [], matched),
        )
    result["structures"] = len(now)
    result["text"] = text(result)
    return result
