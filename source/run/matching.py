"""What each structure and formula of a run is against the library: every structure's library
match and its members' bindings, and every row's verdict, on the runner."""

from collections.abc import Sequence
from typing import Any, overload

from source.engine import kt
from source.judge import canonical, verdicts
from source.judge.canonical import SNAP_TOLERANCE
from source.judge.law_fit import R2_THRESHOLD
from source.run import native_rows
from source.run.describe import Bounds
from source.run.progress import Progress, quiet
from source.run.runner import InProcess, Runner

# (match, member_matches, bindings, binding_texts) of one structure
Matched = tuple[Any, list[Any], Sequence[dict[Any, Any] | None], list[dict[str, str] | None]]
# A member row's trees as the native match takes them: its record and its canonical core's tree.
Trees = tuple[bytes, bytes]


class LazyBindings(Sequence[dict[Any, Any] | None]):
    """Members' bindings held as tokens, each key and value decoded (`decode_key`, `decode`)
    into sympy expressions when first looked at, since reports print the texts made beside
    them."""

    _items: list[dict[Any, Any] | None] | None

    def __init__(self, tokens: list[Any]) -> None:
        self.tokens, self._items = tokens, None

    @staticmethod
    def decode(token: Any) -> Any:
        raise NotImplementedError

    def decode_key(self, token: Any) -> Any:
        return self.decode(token)

    def _all(self) -> list[dict[Any, Any] | None]:
        if self._items is None:
            self._items = [
                None if b is None else {self.decode_key(k): self.decode(v) for k, v in b}
                for b in self.tokens
            ]
        return self._items

    @overload
    def __getitem__(self, i: int) -> dict[Any, Any] | None: ...

    @overload
    def __getitem__(self, i: slice) -> list[dict[Any, Any] | None]: ...

    def __getitem__(self, i: int | slice) -> dict[Any, Any] | None | list[dict[Any, Any] | None]:
        return self._all()[i]

    def __len__(self) -> int:
        return len(self.tokens)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sequence) and list(self) == list(other)


class TreeBindings(LazyBindings):
    """Bindings as the native match leaves them: wildcards as they are, values encoded trees."""

    @staticmethod
    def decode(token: Any) -> Any:
        return kt._tree_expression(token)

    def decode_key(self, token: Any) -> Any:
        return token


def trees_of(descriptors: Sequence[Any]) -> list[Trees] | None:
    """The trees of rows read natively (`native_rows.NativeDescriptor`), or None unless every
    row was and the native paths are on."""
    if not native_rows.ENABLED or not all(
        isinstance(d, native_rows.NativeDescriptor) for d in descriptors
    ):
        return None
    return [(d.__dict__["_record"], d.__dict__["_core"]) for d in descriptors]


def match_structure(
    library: dict[str, Any],
    candidate: Any,
    members: Sequence[Any] | None,
    near: dict[str, float],
    bounds: Sequence[Bounds | None] | None = None,
    snap: float = SNAP_TOLERANCE,
    trees: Sequence[Trees] | None = None,
) -> Matched:
    """The verdict on one structure, and for each member its own verdict (or the structure's,
    where the law is an instance of the formula), its bindings and their printed texts. A
    member that is no instance of the formula as written is bound in its canonical form (with
    its ranges `bounds`), from which a formula of canonical forms was generalised. `trees`, the
    members' rows' trees (`trees_of`), where given, are matched natively; `members`, the
    members' expressions, are then needed only where the native match leaves the structure
    (None: the candidate's own)."""
    if trees is not None:
        done = kt._match_structure(candidate, library, list(trees), **near)
        if done is not None:
            match, member_matches, tokens, texts = done
            return match, member_matches, TreeBindings(tokens), texts
    if members is None:
        members = list(candidate.members)
    match = kt.match_library(candidate, library, **near)
    inherited = match if match is not None and match.kind == "instance" else None
    own: dict[Any, Any] = {}
    member_matches, bindings = [], []
    for k, e in enumerate(members):
        if e not in own:
            own[e] = kt.match_library(e, library, **near)
        member_matches.append(own[e] or inherited)
        bound = kt.bind(candidate.formula, e)
        if bound is None:
            core = canonical.of(e, bounds[k] if bounds else None, snap).core
            bound = kt.bind(candidate.formula, core) if core != e else None
        bindings.append(bound)
    texts = [None if b is None else {str(k): str(v) for k, v in b.items()} for b in bindings]
    return match, member_matches, bindings, texts


def match_library(
    found: Sequence[Any],
    exprs: Sequence[Any],
    library: dict[str, Any],
    progress: Progress = quiet,
    near_threshold: float | None = None,
    runner: Runner | None = None,
    kept: Sequence[Matched | None] | None = None,
    bounds: Sequence[Bounds | None] | None = None,
    snap: float = SNAP_TOLERANCE,
    descriptors: Sequence[Any] | None = None,
) -> None:
    """Fills the library verdicts and bindings of every structure (`detect.Found`) and member.
    `kept`, when given, holds for each structure its `Matched` from an earlier run with this
    library and near threshold, or None. `descriptors`, the rows' descriptors where given,
    let a structure whose rows were all read natively be matched on their trees, without the
    members' expressions."""
    near = {} if near_threshold is None else {"near_threshold": near_threshold}
    kept = kept or [None] * len(found)
    todo = [f for f, k in zip(found, kept) if k is None]
    jobs = []
    for f in todo:
        trees = trees_of([descriptors[r] for r in f.rows]) if descriptors is not None else None
        jobs.append(
            (
                f.candidate,
                [exprs[r] for r in f.rows] if trees is None else None,
                near,
                [bounds[r] for r in f.rows] if bounds else None,
                snap,
                trees,
            )
        )
    outcomes = iter(
        (runner or InProcess()).map(
            match_structure,
            jobs,
            lambda done, total: progress("matching the library", done, total),
            light=True,
            shared=(library,),
        )
    )
    for f, k in zip(found, kept):
        f.match, f.member_matches, f.bindings, f.binding_texts = (
            k if k is not None else next(outcomes)
        )


def judge_rows(
    exprs: Sequence[Any],
    bounds: Sequence[Bounds | None],
    library: dict[str, Any],
    snap: float = SNAP_TOLERANCE,
    threshold: float = R2_THRESHOLD,
    runner: Runner | None = None,
    progress: Progress = quiet,
    block: int = 200,
    known: Sequence[Any] | None = None,
) -> list[Any]:
    """Every row's verdict (`verdicts.Verdict`), in blocks on the runner; `known[i]`, where given
    and not None, is row i's verdict already made."""
    out = list(known) if known is not None else [None] * len(exprs)
    todo = [i for i, v in enumerate(out) if v is None]
    jobs = [
        ([(exprs[i], bounds[i]) for i in todo[o : o + block]],) for o in range(0, len(todo), block)
    ]
    parts = (runner or InProcess()).map(
        verdicts.judge_block,
        jobs,
        lambda done, total: progress("judging every formula", done, total),
        shared=(library, snap, threshold),
    )
    for i, v in zip(todo, (v for part in parts for v in part)):
        out[i] = v
    return out
