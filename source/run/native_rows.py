"""Bank rows read by the engine's native pass (`kt._read_rows`): each formula parsed, printed,
brought to its canonical numeric form, described and measured against the library's laws
without a sympy object. What it gives a row becomes the same outcome, descriptor and verdict
the Python path makes; a row it leaves (None) is read by the Python path.

A row's descriptor (`NativeDescriptor`) holds the pass's record: its fields are read from it
when first looked at, and each expression is built only when asked, so that a bank of a million
rows keeps a few hundred bytes a row until something looks closer.
"""

from collections.abc import Sequence
from typing import Any

from source.engine import kt
from source.judge.canonical import Canonical
from source.judge.law_fit import collected
from source.judge.verdicts import Judge, Verdict

_FIELDS = kt.ExprDescriptor.__dataclass_fields__


class NativeDescriptor(kt.ExprDescriptor):
    """A row's descriptor as the native pass left it: `_record` holds its fields and trees,
    `_packed` the row packed for the similarity graph, `_core` the tree of its canonical
    numeric form's core, `_verdict` its verdict where it was judged."""

    def __getattr__(self, name: str) -> Any:
        # Reached only for what the instance lacks: what was not read yet.
        record = self.__dict__.get("_record")
        if record is None or name not in _FIELDS:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        if name in ("expr", "numeric_expr"):
            self.__dict__[name] = kt._record_expression(record, name == "numeric_expr")
        else:
            self.__dict__.update(kt._record_fields(record))
        return self.__dict__[name]

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # Travels between processes as its record: a few hundred bytes.
        d = self.__dict__
        return native_descriptor, (d["_record"], d["_packed"], d["_core"], d.get("_verdict"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, kt.ExprDescriptor):
            return NotImplemented
        return tuple(getattr(self, n) for n in _FIELDS) == tuple(getattr(other, n) for n in _FIELDS)

    __hash__ = None  # type: ignore[assignment]  # unhashable, as the dataclass it stands for


def native_descriptor(
    record: bytes, packed: bytes, core: bytes, verdict: Verdict | None = None
) -> NativeDescriptor:
    """The descriptor of a row read natively: its record, its packing, the tree of its
    canonical numeric form's core (`core_of`) and its verdict, where it was judged."""
    d = NativeDescriptor.__new__(NativeDescriptor)
    d.__dict__.update(_record=record, _packed=packed, _core=core, _verdict=verdict)
    return d


def core_of(descriptor: Any) -> Any:
    """The core of the canonical numeric form of a row read natively (a sympy expression),
    or None for another row."""
    if not isinstance(descriptor, NativeDescriptor):
        return None
    return kt._tree_expression(descriptor.__dict__["_core"])


def verdict_of(descriptor: Any) -> Verdict | None:
    """The verdict the native pass gave the row of this descriptor, or None."""
    return descriptor.__dict__.get("_verdict") if isinstance(descriptor, NativeDescriptor) else None


def pack(descriptors: Sequence[Any]) -> bytes:
    """The descriptors packed together (`pack_descriptors`); rows read natively come packed
    already, and their packs are joined without reading their fields."""
    parts: list[bytes] = [
        d.__dict__["_packed"] for d in descriptors if isinstance(d, NativeDescriptor)
    ]
    if parts and len(parts) == len(descriptors):
        return kt._join_packed(parts)
    return kt.pack_descriptors(list(descriptors))


def _match(found: tuple[str, str, dict[str, str] | None] | None) -> Any:
    if found is None:
        return None
    law, kind, mapping = found
    return kt.LibraryMatch(law=law, kind=kind, distance=0.0, mapping=mapping)


def _verdict(judge: Judge, judged: tuple[Any, ...], canon: Canonical) -> Verdict:
    as_written, core_form, fits, names = judged
    forms = judge.forms
    laws = collected([(forms[k], (r2, a, b, mapping)) for k, r2, a, b, mapping in fits], names)
    form = _match(as_written)
    kind = form.kind if form is not None else None
    if form is None and core_form is not None:
        form, kind = _match(core_form), "canonical"
    return judge.decided(canon, laws, form, kind)


Outcome = tuple[str | None, None, NativeDescriptor, str]
# Whether rows are read natively; the Python path reads them all when off (tests compare).
ENABLED = True


def read(
    texts: Sequence[str],
    bounds: Sequence[dict[str, tuple[float, float]] | None],
    seed: int | None,
    snap: float,
    judge: Judge | None = None,
) -> list[Outcome | None]:
    """For each row, its outcome (lhs, None, descriptor, formula as printed), the descriptor
    holding, with a judge, the row's verdict (`verdict_of`; None where the native pass left the
    verdict to the Python judge); or None where the native pass left the row. Without a seed
    (numpy's generator as it stands) every row is left, and so is every row while the native
    pass is off (`ENABLED`)."""
    if not ENABLED or seed is None or not 0 <= seed < 2**32:
        return [None] * len(texts)
    rows = kt._read_rows(
        list(texts),
        list(bounds),
        seed,
        snap,
        judge.library if judge is not None else None,
        judge.forms if judge is not None else None,
        judge.threshold if judge is not None else 0.0,
    )
    out: list[Outcome | None] = []
    for row in rows:
        if row is None:
            out.append(None)
            continue
        lhs, text, record, packed, (core_text, intercept, scale, changes, core), judged = row
        canon = Canonical(None, intercept, scale, changes, printed=core_text)
        verdict = None
        if judge is not None and judged is not None:
            verdict = _verdict(judge, judged, canon)
            verdict.canonical_text = core_text
        out.append((lhs, None, native_descriptor(record, packed, core, verdict), text))
    return out
