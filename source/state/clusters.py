"""How a kept state writes each cluster: its scoring parts, the text block and formula its
structure printed, the filter's composition distance, its library verdicts and its members'
bindings; and how they are read back, refusing anything malformed."""

import math
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Literal

from source.bank import exprcode
from source.engine import kt
from source.run.matching import LazyBindings
from source.run.results import Found
from source.state.records import damaged


def shown_novelty(candidate: Any) -> str:
    """What a structure's block shows of its score, which changes with the bank's size."""
    return f"{float(candidate.novelty):.1f} {candidate.closest_lib}"


PARTS_KEYS = (
    "formula",
    "kept",
    "structural",
    "closest",
    "behavioral",
    "compositionality",
    "compression_gain",
    "cohesion",
)


def parts_record(parts: Mapping[str, Any]) -> dict[str, Any] | None:
    """A cluster's scoring parts as JSON data, or None when they cannot be kept exactly."""
    formula = None
    if parts["formula"] is not None:
        formula = exprcode.encode(parts["formula"])
        if formula is None:
            return None
    if not parts["kept"]:
        return {"formula": formula, "kept": False}
    if not all(
        type(parts[k]) is float
        for k in ("structural", "behavioral", "compositionality", "compression_gain")
    ) or not isinstance(parts["closest"], str):
        return None
    record = {
        **{
            k: parts[k]
            for k in ("structural", "closest", "behavioral", "compositionality", "compression_gain")
        },
        "formula": formula,
        "kept": True,
    }
    if type(parts.get("cohesion")) is float:
        record["cohesion"] = parts["cohesion"]
    return record


def _law_record(match: Any) -> dict[str, Any] | Literal[False] | None:
    """A LibraryMatch as JSON data; False when it cannot be kept exactly."""
    if match is None:
        return None
    mapping = match.mapping
    if not (
        isinstance(match.law, str)
        and isinstance(match.kind, str)
        and type(match.distance) is float
        and math.isfinite(match.distance)
        and (
            mapping is None
            or (
                type(mapping) is dict
                and all(type(a) is str and type(b) is str for a, b in mapping.items())
            )
        )
    ):
        return False
    return {
        "law": match.law,
        "kind": match.kind,
        "distance": match.distance,
        "mapping": None if mapping is None else [[a, b] for a, b in mapping.items()],
    }


class KeptBindings(LazyBindings):
    """Bindings read from a state, each key and value as the state encodes expressions."""

    @staticmethod
    def decode(token: Any) -> Any:
        return exprcode.decode(token)


def _binding_tokens(bindings: Any) -> list[list[Any]] | Literal[False] | None:
    """One member's bindings as pairs of tokens, None for none, False when they cannot be kept."""
    if bindings is None:
        return None
    pairs = (
        [[exprcode.encode(k), exprcode.encode(v)] for k, v in bindings.items()]
        if type(bindings) is dict
        else [[None]]
    )
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
    return {
        "near": near,
        "match": laws[0],
        "members": laws[1:],
        "bindings": bindings,
        "texts": texts,
    }


def _law_of(record: Mapping[str, Any] | None) -> Any:
    if record is None:
        return None
    law, kind, distance, mapping = (
        record["law"],
        record["kind"],
        record["distance"],
        record["mapping"],
    )
    if not (
        isinstance(law, str)
        and isinstance(kind, str)
        and type(distance) in (int, float)
        and math.isfinite(distance)
        and (
            mapping is None
            or (
                isinstance(mapping, list)
                and all(
                    isinstance(p, list) and len(p) == 2 and all(type(v) is str for v in p)
                    for p in mapping
                )
            )
        )
    ):
        raise ValueError("a malformed library verdict")
    return kt.LibraryMatch(
        law=law,
        kind=kind,
        distance=float(distance),
        mapping=None if mapping is None else dict(mapping),
    )


def _pairs(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 for p in value)


def match_of(
    record: Mapping[str, Any], members: int
) -> tuple[Any, list[Any], KeptBindings, list[dict[str, str] | None]]:
    """(match, member_matches, bindings, binding_texts) of a kept match record of a structure of
    `members` rows."""
    laws, bindings, texts = record["members"], record["bindings"], record["texts"]
    if not (
        isinstance(laws, list)
        and isinstance(bindings, list)
        and isinstance(texts, list)
        and len(laws) == len(bindings) == len(texts) == members
        and all(
            b is None or (_pairs(b) and all(isinstance(c, list) for p in b for c in p))
            for b in bindings
        )
        and all(
            t is None or (_pairs(t) and all(type(c) is str for p in t for c in p)) for t in texts
        )
        and [b is None for b in bindings] == [t is None for t in texts]
    ):
        raise ValueError("a malformed match")
    return (
        _law_of(record["match"]),
        [_law_of(m) for m in laws],
        KeptBindings(bindings),
        [None if t is None else dict(t) for t in texts],
    )


def distance_of(value: Any) -> float:
    if value == "inf":
        return math.inf
    if type(value) not in (int, float) or not math.isfinite(value):
        raise ValueError("a malformed distance")
    return float(value)


def parts_of_record(record: Mapping[str, Any]) -> dict[str, Any]:
    formula = exprcode.decode(record["formula"]) if record["formula"] is not None else None
    if record["kept"] is False:
        return {
            "formula": formula,
            "kept": False,
            "structural": None,
            "closest": None,
            "behavioral": None,
            "compositionality": None,
            "compression_gain": None,
        }
    if record["kept"] is not True or formula is None or not isinstance(record["closest"], str):
        raise ValueError("malformed parts")
    numbers = {
        k: record[k] for k in ("structural", "behavioral", "compositionality", "compression_gain")
    }
    if "cohesion" in record:  # the mean similarity of the cluster's pairs, for its recurrence
        numbers["cohesion"] = record["cohesion"]
    if not all(type(v) in (int, float) and not math.isnan(v) for v in numbers.values()):
        raise ValueError("malformed parts")
    return {
        "formula": formula,
        "kept": True,
        "closest": record["closest"],
        **{k: float(v) for k, v in numbers.items()},
    }


def checked_clusters(folder: Path, data: Any, n: int) -> dict[str, Any]:
    ok = (
        isinstance(data, dict)
        and isinstance(data.get("library"), str)
        and isinstance(data.get("clusters"), list)
    )
    for item in data["clusters"] if ok else ():
        ok = (
            isinstance(item, list)
            and len(item) == 2
            and isinstance(item[0], list)
            and isinstance(item[1], dict)
            and all(type(k) is int and 0 <= k < n for k in item[0])
        )
        if not ok:
            break
    if not ok:
        raise damaged(folder, "the clusters are malformed")
    return data
