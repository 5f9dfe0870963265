"""A state as the store read it: its arrays checked, and each kept row's descriptor read only
where something looks at it."""

import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from source.bank import exprcode
from source.bank.files import Pending, parse_row
from source.engine import kt
from source.run.graph import Edges
from source.state import records
from source.state.clusters import distance_of, match_of, parts_of_record, shown_novelty
from source.state.records import RowKey, damaged, decode_value, library_id, row_key


class KeptDescriptor(kt.ExprDescriptor):
    """A kept row's descriptor, read from the state when first looked at: its fields at once,
    each expression on its own. A run on a grown bank looks at few kept rows: the graph takes
    them packed, and a kept cluster's score needs only its members' expressions."""

    def __getattr__(self, name: str) -> Any:
        # Reached only for what the instance lacks: what was not read yet.
        lazy = self.__dict__.get("_lazy")
        if lazy is None or name not in kt.ExprDescriptor.__dataclass_fields__:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        kept, k, row = lazy
        if name in ("expr", "numeric_expr"):
            self.__dict__[name] = kept._expression(k, row, name, self)
        else:
            self.__dict__.update(kept._fields(k))
        if all(n in self.__dict__ for n in kt.ExprDescriptor.__dataclass_fields__):
            del self.__dict__["_lazy"]
        return self.__dict__[name]

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # Pickled and copied as the plain descriptor it stands for.
        return kt.ExprDescriptor, tuple(
            getattr(self, name) for name in kt.ExprDescriptor.__dataclass_fields__
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, kt.ExprDescriptor):
            return NotImplemented
        names = kt.ExprDescriptor.__dataclass_fields__
        return tuple(getattr(self, n) for n in names) == tuple(getattr(other, n) for n in names)

    __hash__ = None  # type: ignore[assignment]  # unhashable, as the dataclass it stands for


@dataclass(frozen=True)
class KeptStructure:
    """A structure of the run that kept the state, as its summary records it (`changes`): its
    id, formula as printed, members (rows of that state), in how many runs it recurred, and
    its verdict ("known" or "new") with the law it is known as (None for a new one)."""

    key: str
    formula: str
    members: tuple[int, ...]
    runs: int
    verdict: str
    law: str | None


class Kept:
    """A state read from its folder: its rows' records, their vectors, the graph, the
    clusters' scoring parts and the structures of the run that kept it (`structures`, None for
    a state kept before its structures were recorded)."""

    def __init__(
        self,
        folder: Path,
        rows: list[dict[str, Any]],
        names: list[str],
        vectors: tuple[np.ndarray, list[int]],
        graph: Edges,
        clusters: dict[str, Any],
        use_ranges: bool,
        packs: Sequence[bytes] = (),
        structures: list[KeptStructure] | None = None,
    ) -> None:
        self.folder, self.records, self.names, self.graph = folder, rows, names, graph
        self.structures = structures
        self._values, self._ends = vectors  # every kept float64 array, one after the other
        self.packs = list(
            packs
        )  # kept rows packed by records.PACK_BLOCK, b"" where a block was not kept
        self.keys = [
            row_key(r["formula"], {n: (a, b) for n, a, b in r["bounds"]}, use_ranges) for r in rows
        ]
        self.by_key: dict[RowKey, list[int]] = {}
        for k, key in enumerate(self.keys):
            self.by_key.setdefault(key, []).append(k)
        self.clusters = clusters
        self._parts: dict[tuple[RowKey, ...], dict[str, Any]] | None = None

    def block(
        self, keys: Sequence[RowKey], library: Mapping[str, Any], candidate: Any
    ) -> str | None:
        """The text block kept for the structure whose members have these keys, where what it
        shows of the score is the candidate's; or None."""
        record = self._record(keys, library)
        if (
            record is None
            or record.get("shown") != shown_novelty(candidate)
            or not isinstance(record.get("block"), str)
        ):
            return None
        return record["block"]

    def _record(self, keys: Sequence[RowKey], library: Mapping[str, Any]) -> dict[str, Any] | None:
        if self._parts is None:
            self._parts = {}
            if self.clusters["library"] == library_id(library):
                for rows, parts in self.clusters["clusters"]:
                    self._parts[tuple(self.keys[k] for k in rows)] = parts
        return self._parts.get(tuple(keys))

    def known(
        self, keys: Sequence[RowKey], library: Mapping[str, Any], near: float
    ) -> dict[str, Any] | None:
        """What else was kept of the cluster whose members have these keys, measured against
        this library: {"composition": the filter's composition distance of its formula,
        "match": (match, member_matches, bindings) at this near threshold, "text": its formula
        as printed}, each where kept."""
        record = self._record(keys, library)
        if record is None:
            return None
        out = {"text": record["text"]} if isinstance(record.get("text"), str) else {}
        try:
            if record.get("composition") is not None:
                out["composition"] = distance_of(record["composition"])
            matched = record.get("match")
            if isinstance(matched, dict) and matched.get("near") == near:
                out["match"] = match_of(matched, len(keys))
        except (exprcode.CodeError, KeyError, TypeError, ValueError) as e:
            raise damaged(self.folder, f"a cluster's verdicts: {e}") from None
        return out

    def parts(self, keys: Sequence[RowKey], library: Mapping[str, Any]) -> dict[str, Any] | None:
        """The kept scoring parts of the cluster whose members have these keys (row_key, in
        the cluster's order), scored against this library; or None."""
        parts = self._record(keys, library)
        if parts is None:
            return None
        try:
            return parts_of_record(parts)
        except (exprcode.CodeError, KeyError, TypeError, ValueError) as e:
            raise damaged(self.folder, f"a cluster's parts: {e}") from None

    def __len__(self) -> int:
        return len(self.records)

    def outcome(
        self, k: int, row: Pending
    ) -> tuple[str | None, None, "KeptDescriptor", str] | None:
        """(lhs, None, descriptor, text) of kept row `k` (the same formula as `row`), or None
        where the state could not keep its descriptor. The descriptor builds its expressions
        when they are first read: the row's expression is its `numeric_expr`."""
        r = self.records[k]
        if r["fields"] is None:
            return None
        descriptor = KeptDescriptor.__new__(KeptDescriptor)
        descriptor.__dict__["_lazy"] = (self, k, row)
        text = r.get("text")
        return (
            r["lhs"],
            None,
            descriptor,
            text if isinstance(text, str) else str(descriptor.numeric_expr),
        )

    def vector(self, i: int) -> np.ndarray:
        """The i-th kept float64 array."""
        if not 0 <= i < len(self._ends):  # ruled out when the state was read
            raise damaged(self.folder, "a row names a vector the state does not hold")
        return self._values[(self._ends[i - 1] if i else 0) : self._ends[i]].copy()

    def _fields(self, k: int) -> dict[str, Any]:
        """Kept row k's descriptor fields (all but the expressions), by name."""
        r = self.records[k]
        try:
            tagged = json.loads(r["fields"])
            first, count = r["vectors"]
            own = [self.vector(first + j) for j in range(count)]
            return {name: decode_value(tagged[name], own) for name in self.names}
        except (KeyError, TypeError, ValueError, RecursionError) as e:
            raise damaged(self.folder, f"row {k + 1}: {e}") from None

    def _expression(self, k: int, row: Pending, name: str, descriptor: Any) -> Any:
        """Kept row k's expression (`numeric_expr`) or its canonical form (`expr`)."""
        r = self.records[k]
        try:
            if name == "numeric_expr":
                if r["expr"] is None:
                    return parse_row(row)[1]
                return exprcode.decode(json.loads(r["expr"]))
            return (
                exprcode.decode(json.loads(r["norm"]))
                if r["norm"] is not None
                else kt._canonicalize_expr(descriptor.numeric_expr)
            )
        except (exprcode.CodeError, KeyError, TypeError, ValueError, RecursionError) as e:
            raise damaged(self.folder, f"row {k + 1}: {e}") from None


def checked_vectors(folder: Path, data: Mapping[str, np.ndarray]) -> tuple[np.ndarray, list[int]]:
    """The kept float64 arrays, one after the other, and where each ends."""
    lengths, values = data["lengths"], data["values"]
    if (
        lengths.dtype != np.int64
        or values.dtype != np.float64
        or lengths.ndim != 1
        or values.ndim != 1
        or (lengths < 0).any()
        or int(lengths.sum()) != len(values)
    ):
        raise damaged(folder, "the descriptors' vectors are malformed")
    return values, np.cumsum(lengths).tolist()


def checked_packs(folder: Path, data: Mapping[str, np.ndarray], n: int) -> list[bytes]:
    packs, lengths, block = data["packs"], data["pack_lengths"], data["pack_block"]
    if (
        packs.dtype != np.uint8
        or lengths.dtype != np.int64
        or block.dtype != np.int64
        or packs.ndim != 1
        or lengths.ndim != 1
        or block.shape != (1,)
        or (lengths < 0).any()
        or int(lengths.sum()) != len(packs)
    ):
        raise damaged(folder, "the packed rows are malformed")
    if int(block[0]) != records.PACK_BLOCK or len(lengths) != -(-n // records.PACK_BLOCK):
        return []
    ends = np.cumsum(lengths).tolist()
    joined = packs.tobytes()
    return [joined[e - k : e] for k, e in zip(lengths.tolist(), ends)]


def checked_graph(folder: Path, data: Mapping[str, np.ndarray], n: int) -> Edges:
    rows, cols, values = data["rows"], data["cols"], data["values"]
    if (
        rows.dtype != np.int64
        or cols.dtype != np.int64
        or values.dtype != np.float64
        or not rows.ndim == cols.ndim == values.ndim == 1
        or not len(rows) == len(cols) == len(values)
        or (len(rows) and (rows.min() < 0 or cols.max() >= n or (rows >= cols).any()))
    ):
        raise damaged(folder, "the graph is malformed")
    return rows, cols, values
