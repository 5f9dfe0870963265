"""How a kept state writes what it keeps: each row's record (its formula, ranges, expression
tokens and descriptor fields, exactly: numbers as JSON numbers or float64 arrays, never pickled
objects), and each cluster's scoring parts, library verdicts and bindings; and how they are
read back, refusing anything malformed."""

import hashlib
import json
import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, Protocol, overload

import numpy as np
import sympy as sp

from source.bank import exprcode
from source.engine import kt
from source.run.results import Found

if TYPE_CHECKING:
    from source.bank.files import Pending

class Vectors(Protocol):
    """Where a kept row's float64 arrays are read (a state as read, `reuse.Kept`)."""

    def vector(self, i: int) -> np.ndarray: ...


PACK_BLOCK = 500  # rows per packed block: the blocks `graph.extend_graph` measures

# What identifies a row: its formula text and, when ranges are used, its ranges by name.
RowKey = tuple[str, tuple[tuple[str, float, float], ...]]


class StateError(Exception):
    """A state folder that cannot be used; the message says why and what to do."""


def damaged(folder: Path | str, why: str) -> StateError:
    return StateError(f"{folder}: the state is damaged ({why}); delete the folder or give another --state folder")


def row_key(formula: str, bounds: Mapping[str, tuple[float, float]], use_ranges: bool) -> RowKey:
    """What a row's descriptor depends on besides the run's settings: its formula text and,
    when ranges are used, its ranges."""
    return formula, tuple(sorted((str(k), float(a), float(b)) for k, (a, b) in bounds.items())) if use_ranges else ()


def encode_value(value: Any, vectors: list[np.ndarray]) -> list[Any] | None:
    """[tag, payload] of one descriptor field, exactly; None when the value is of another kind."""
    kind = type(value)
    if value is None:
        return ["n", None]
    if kind is bool:
        return ["b", value]
    if kind is int:
        return ["i", value]
    if kind is float:
        return ["f", value]
    if kind is np.float64:
        return ["g", float(value)]
    if kind is np.bool_:
        return ["B", bool(value)]
    if kind is np.int64:
        return ["I", int(value)]
    if kind is str:
        return ["s", value]
    if kind is np.ndarray and value.dtype == np.float64 and value.ndim == 1:
        vectors.append(value)
        return ["a", len(vectors) - 1]
    if kind is list:
        kinds = {type(v) for v in value}
        if not value:
            return ["l", []]
        if kinds == {str}:
            return ["ls", list(value)]
        if kinds == {float}:
            return ["lf", list(value)]
        if kinds == {np.float64}:
            return ["lg", [float(v) for v in value]]
    return None


def decode_value(tagged: Sequence[Any], vectors: Sequence[np.ndarray]) -> Any:
    tag, payload = tagged
    if tag == "n" and payload is None:
        return None
    if tag == "b" and type(payload) is bool:
        return payload
    if tag == "i" and type(payload) is int:
        return payload
    if tag == "B" and type(payload) is bool:
        return np.bool_(payload)
    if tag == "I" and type(payload) is int and -2**63 <= payload < 2**63:
        return np.int64(payload)
    if tag in ("f", "g") and type(payload) in (int, float):
        return float(payload) if tag == "f" else np.float64(payload)
    if tag == "s" and type(payload) is str:
        return payload
    if tag == "a" and type(payload) is int and 0 <= payload < len(vectors):
        return vectors[payload]
    if tag == "l" and payload == []:
        return []
    if tag in ("ls", "lf", "lg") and type(payload) is list:
        want = str if tag == "ls" else (int, float)
        if all(isinstance(v, want) and type(v) is not bool for v in payload):
            return list(payload) if tag == "ls" else [float(v) if tag == "lf" else np.float64(v) for v in payload]
    raise ValueError(f"a malformed field value {tagged!r:.60}")


def field_names() -> list[str]:
    return [name for name in kt.ExprDescriptor.__dataclass_fields__ if name not in ("expr", "numeric_expr")]


def _json_text(data: Any) -> str | None:
    return None if data is None else json.dumps(data, ensure_ascii=False, separators=(",", ":"))


def row_record(row: "Pending", lhs: str | None, descriptor: Any, names: Sequence[str],
               vectors: list[np.ndarray]) -> dict[str, Any]:
    """A row's record: its expression's and canonical form's tokens and its descriptor's fields,
    each as JSON text (read only when looked at); `vectors` the state's float64 arrays, of which
    the row's come in a run ("vectors": [first, count]), its fields naming them by place."""
    record: dict[str, Any] = {"formula": row.formula, "bounds": [[str(k), float(a), float(b)] for k, (a, b) in row.bounds.items()],
              "lhs": lhs, "expr": _json_text(exprcode.encode(descriptor.numeric_expr)),
              "norm": _json_text(exprcode.encode(descriptor.expr)), "fields": None}
    own: list[np.ndarray] = []
    fields: dict[str, Any] = {}
    for name in names:
        tagged = encode_value(getattr(descriptor, name), own)
        if tagged is None:  # a field this state cannot keep exactly: the row is described next time
            return record
        fields[name] = tagged
    record["fields"], record["vectors"] = _json_text(fields), [len(vectors), len(own)]
    vectors.extend(own)
    return record


def copied_record(record: dict[str, Any], kept: Vectors, vectors: list[np.ndarray]) -> dict[str, Any]:
    """A kept row's record for the new state, its vectors moved into the new state's list."""
    if record["fields"] is None:
        return record
    first, count = record["vectors"]
    moved = [len(vectors), count]
    vectors.extend(kept.vector(first + j) for j in range(count))
    return {**record, "vectors": moved}


def library_id(library: Mapping[str, Any]) -> str:
    """What identifies a library for the clusters' kept measures: its names and expressions."""
    text = json.dumps([[str(name), sp.srepr(expr)] for name, expr in library.items()], ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def shown_novelty(candidate: Any) -> str:
    """What a structure's block shows of its score, which changes with the bank's size."""
    return f"{float(candidate.novelty):.1f} {candidate.closest_lib}"


PARTS_KEYS = ("formula", "kept", "structural", "closest", "behavioral", "compositionality", "compression_gain",
               "cohesion")


def parts_record(parts: Mapping[str, Any]) -> dict[str, Any] | None:
    """A cluster's scoring parts as JSON data, or None when they cannot be kept exactly."""
    formula = None
    if parts["formula"] is not None:
        formula = exprcode.encode(parts["formula"])
        if formula is None:
            return None
    if not parts["kept"]:
        return {"formula": formula, "kept": False}
    if not all(type(parts[k]) is float for k in ("structural", "behavioral", "compositionality", "compression_gain")) \
            or not isinstance(parts["closest"], str):
        return None
    record = {**{k: parts[k] for k in ("structural", "closest", "behavioral", "compositionality", "compression_gain")},
              "formula": formula, "kept": True}
    if type(parts.get("cohesion")) is float:
        record["cohesion"] = parts["cohesion"]
    return record


def _law_record(match: Any) -> dict[str, Any] | Literal[False] | None:
    """A LibraryMatch as JSON data; False when it cannot be kept exactly."""
    if match is None:
        return None
    mapping = match.mapping
    if not (isinstance(match.law, str) and isinstance(match.kind, str) and type(match.distance) is float
            and math.isfinite(match.distance)
            and (mapping is None or (type(mapping) is dict
                                     and all(type(a) is str and type(b) is str for a, b in mapping.items())))):
        return False
    return {"law": match.law, "kind": match.kind, "distance": match.distance,
            "mapping": None if mapping is None else [[a, b] for a, b in mapping.items()]}


class KeptBindings(Sequence[dict[Any, Any] | None]):
    """Members' bindings read from a state: decoded when first looked at, since reports print
    the texts kept beside them."""

    _items: list[dict[Any, Any] | None] | None

    def __init__(self, tokens: list[Any]) -> None:
        self.tokens, self._items = tokens, None

    def _all(self) -> list[dict[Any, Any] | None]:
        if self._items is None:
            self._items = [None if b is None else {exprcode.decode(k): exprcode.decode(v) for k, v in b}
                           for b in self.tokens]
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


def _binding_tokens(bindings: Any) -> list[list[Any]] | Literal[False] | None:
    """One member's bindings as pairs of tokens, None for none, False when they cannot be kept."""
    if bindings is None:
        return None
    pairs = [[exprcode.encode(k), exprcode.encode(v)] for k, v in bindings.items()] if type(bindings) is dict else [[None]]
    return False if any(code is None for pair in pairs for code in pair) else pairs


def match_record(found: Found, near: float | None) -> dict[str, Any] | None:
    """A structure's library verdicts and its members' bindings and their texts (`run.Found`)
    as JSON data, or None when they cannot be kept exactly."""
    laws = [_law_record(m) for m in [found.match, *found.member_matches]]
    if False in laws or type(near) is not float:
        return None
    texts = [None if t is None else [[k, v] for k, v in t.items()] for t in found.binding_texts]
    if isinstance(found.bindings, KeptBindings):
        bindings: list[Any] = found.bindings.tokens  # as read: nothing to encode again
    else:
        bindings = [_binding_tokens(b) for b in found.bindings]
        if False in bindings:
            return None
    return {"near": near, "match": laws[0], "members": laws[1:], "bindings": bindings, "texts": texts}


def _law_of(record: Mapping[str, Any] | None) -> Any:
    if record is None:
        return None
    law, kind, distance, mapping = record["law"], record["kind"], record["distance"], record["mapping"]
    if not (isinstance(law, str) and isinstance(kind, str) and type(distance) in (int, float)
            and math.isfinite(distance) and (mapping is None or (isinstance(mapping, list)
                                     and all(isinstance(p, list) and len(p) == 2 and all(type(v) is str for v in p)
                                             for p in mapping)))):
        raise ValueError("a malformed library verdict")
    return kt.LibraryMatch(law=law, kind=kind, distance=float(distance),
                           mapping=None if mapping is None else dict(mapping))


def _pairs(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 for p in value)


def match_of(record: Mapping[str, Any],
             members: int) -> tuple[Any, list[Any], KeptBindings, list[dict[str, str] | None]]:
    """(match, member_matches, bindings, binding_texts) of a kept match record of a structure of
    `members` rows."""
    laws, bindings, texts = record["members"], record["bindings"], record["texts"]
    if not (isinstance(laws, list) and isinstance(bindings, list) and isinstance(texts, list)
            and len(laws) == len(bindings) == len(texts) == members
            and all(b is None or (_pairs(b) and all(isinstance(c, list) for p in b for c in p)) for b in bindings)
            and all(t is None or (_pairs(t) and all(type(c) is str for p in t for c in p)) for t in texts)
            and [b is None for b in bindings] == [t is None for t in texts]):
        raise ValueError("a malformed match")
    return (_law_of(record["match"]), [_law_of(m) for m in laws], KeptBindings(bindings),
            [None if t is None else dict(t) for t in texts])


def distance_of(value: Any) -> float:
    if value == "inf":
        return math.inf
    if type(value) not in (int, float) or not math.isfinite(value):
        raise ValueError("a malformed distance")
    return float(value)


def parts_of_record(record: Mapping[str, Any]) -> dict[str, Any]:
    formula = exprcode.decode(record["formula"]) if record["formula"] is not None else None
    if record["kept"] is False:
        return {"formula": formula, "kept": False, "structural": None, "closest": None, "behavioral": None,
                "compositionality": None, "compression_gain": None}
    if record["kept"] is not True or formula is None or not isinstance(record["closest"], str):
        raise ValueError("malformed parts")
    numbers = {k: record[k] for k in ("structural", "behavioral", "compositionality", "compression_gain")}
    if "cohesion" in record:  # the mean similarity of the cluster's pairs, for its recurrence
        numbers["cohesion"] = record["cohesion"]
    if not all(type(v) in (int, float) and not math.isnan(v) for v in numbers.values()):
        raise ValueError("malformed parts")
    return {"formula": formula, "kept": True, "closest": record["closest"],
            **{k: float(v) for k, v in numbers.items()}}
