"""How a kept state writes each row: its record holds its formula, ranges, expression tokens and
descriptor fields, exactly (numbers as JSON numbers or float64 arrays, never pickled objects);
and how the rows are read back, refusing anything malformed."""

import hashlib
import json
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import sympy as sp

from source.bank import exprcode
from source.engine import kt

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
    return StateError(
        f"{folder}: the state is damaged ({why}); delete the folder or give another --state folder"
    )


def row_key(formula: str, bounds: Mapping[str, tuple[float, float]], use_ranges: bool) -> RowKey:
    """What a row's descriptor depends on besides the run's settings: its formula text and,
    when ranges are used, its ranges."""
    return formula, tuple(
        sorted((str(k), float(a), float(b)) for k, (a, b) in bounds.items())
    ) if use_ranges else ()


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
    if tag == "I" and type(payload) is int and -(2**63) <= payload < 2**63:
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
            return (
                list(payload)
                if tag == "ls"
                else [float(v) if tag == "lf" else np.float64(v) for v in payload]
            )
    raise ValueError(f"a malformed field value {tagged!r:.60}")


def field_names() -> list[str]:
    return [
        name
        for name in kt.ExprDescriptor.__dataclass_fields__
        if name not in ("expr", "numeric_expr")
    ]


def _json_text(data: Any) -> str | None:
    return None if data is None else json.dumps(data, ensure_ascii=False, separators=(",", ":"))


def row_record(
    row: "Pending",
    lhs: str | None,
    descriptor: Any,
    names: Sequence[str],
    vectors: list[np.ndarray],
) -> dict[str, Any]:
    """A row's record: its expression's and canonical form's tokens and its descriptor's fields,
    each as JSON text (read only when looked at); `vectors` the state's float64 arrays, of which
    the row's come in a run ("vectors": [first, count]), its fields naming them by place."""
    record: dict[str, Any] = {
        "formula": row.formula,
        "bounds": [[str(k), float(a), float(b)] for k, (a, b) in row.bounds.items()],
        "lhs": lhs,
        "expr": _json_text(exprcode.encode(descriptor.numeric_expr)),
        "norm": _json_text(exprcode.encode(descriptor.expr)),
        "fields": None,
    }
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


def copied_record(
    record: dict[str, Any], kept: Vectors, vectors: list[np.ndarray]
) -> dict[str, Any]:
    """A kept row's record for the new state, its vectors moved into the new state's list."""
    if record["fields"] is None:
        return record
    first, count = record["vectors"]
    moved = [len(vectors), count]
    vectors.extend(kept.vector(first + j) for j in range(count))
    return {**record, "vectors": moved}


def library_id(library: Mapping[str, Any]) -> str:
    """What identifies a library for the clusters' kept measures: its names and expressions."""
    text = json.dumps(
        [[str(name), sp.srepr(expr)] for name, expr in library.items()], ensure_ascii=False
    )
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def checked_rows(folder: Path, row_records: Any, count: Any, vectors: int) -> list[dict[str, Any]]:
    if not isinstance(row_records, list) or len(row_records) != count:
        raise damaged(folder, "the rows do not match the manifest")
    for k, r in enumerate(row_records):
        try:
            ok = (
                isinstance(r["formula"], str)
                and isinstance(r["bounds"], list)
                and isinstance(r.get("text", ""), str)
                and (r["lhs"] is None or isinstance(r["lhs"], str))
                and all(
                    r[part] is None or isinstance(r[part], str)
                    for part in ("fields", "expr", "norm")
                )
                and (
                    r["fields"] is None
                    or (
                        isinstance(r["vectors"], list)
                        and len(r["vectors"]) == 2
                        and all(type(v) is int and v >= 0 for v in r["vectors"])
                    )
                )
            )
            ok = ok and all(
                isinstance(name, str) and all(type(v) in (int, float) for v in (a, b))
                for name, a, b in r["bounds"]
            )
        except (KeyError, TypeError, ValueError):
            ok = False
        if not ok:
            raise damaged(folder, f"row {k + 1} is malformed")
        if r["fields"] is not None and sum(r["vectors"]) > vectors:
            raise damaged(folder, f"row {k + 1} names a vector the state does not hold")
    return row_records
