"""A run's kept state (``keltran detect --state DIR``), so that a bank that grows is described
and measured only where it is new.

A state folder holds, for the rows of the last run: each row's formula text, ranges and
left-hand side, its expression (``source.exprcode``), its descriptor's fields exactly (numbers
as JSON numbers or float64 arrays, never pickled objects), the similarity graph over the rows
and the rows packed for measuring, in blocks; beside them a manifest with the state's format,
the version that wrote it, the settings the descriptors and the graph depend on, and a
checksum of every file. A state written by another version or format, or with other such
settings, is refused; so is one whose files do not match their checksums.

A later run reads its bank files, and every row whose formula and ranges the state holds takes
its kept descriptor instead of being parsed and described, read from the state only where
something looks at it; the graph keeps the pairs of kept rows that are still in the same order
and measures the others, taking a block of unchanged kept rows packed. Its result is the result
of a run from scratch on the same files.

Files are written under new names and the manifest last, by an atomic replace: a run stopped
while writing leaves the previous state whole.
"""
import bisect
import contextlib
import fcntl
import hashlib
import json
import math
import os
import secrets
import warnings
import zipfile
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from source import exprcode, verdicts
from source.canonical import SNAP_TOLERANCE

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from source import _brenmoor as kt

FORMAT = 4
MANIFEST = "manifest.json"
# The settings a state's descriptors and graph depend on, as the run's settings name them.
# The density limit decides which clusters' generalisations are kept, which the clusters' parts record.
# Rows are described by their canonical forms, which the snap tolerance shapes.
KEPT = ("seed", "use_ranges", "sim_threshold", "alpha", "beta", "max_wildcard_density", "snap")
# Settings of KEPT a caller may leave out, at their defaults.
_DEFAULT_KEPT = {"max_wildcard_density": 0.6, "snap": SNAP_TOLERANCE}


def _kept_settings(settings):
    return {k: settings.get(k, _DEFAULT_KEPT.get(k)) for k in KEPT}
_PARTS = ("rows", "vectors", "graph", "clusters")
PACK_BLOCK = 500  # rows per packed block: the blocks `large.extend_graph` measures


class StateError(Exception):
    """A state folder that cannot be used; the message says why and what to do."""


def _version():
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("keltran")
    except PackageNotFoundError:
        return "unknown"


def row_key(formula, bounds, use_ranges):
    """What a row's descriptor depends on besides the run's settings: its formula text and,
    when ranges are used, its ranges."""
    return formula, tuple(sorted((str(k), float(a), float(b)) for k, (a, b) in bounds.items())) if use_ranges else ()


# ---- descriptor fields ---------------------------------------------------------------------
def _encode_value(value, vectors):
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


def _decode_value(tagged, vectors):
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


def _field_names():
    return [name for name in kt.ExprDescriptor.__dataclass_fields__ if name not in ("expr", "numeric_expr")]


class _KeptDescriptor(kt.ExprDescriptor):
    """A kept row's descriptor, read from the state when first looked at: its fields at once,
    each expression on its own. A run on a grown bank looks at few kept rows: the graph takes
    them packed, and a kept cluster's score needs only its members' expressions."""

    def __getattr__(self, name):
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

    def __reduce__(self):
        # Pickled and copied as the plain descriptor it stands for.
        return kt.ExprDescriptor, tuple(getattr(self, name) for name in kt.ExprDescriptor.__dataclass_fields__)

    def __eq__(self, other):
        if not isinstance(other, kt.ExprDescriptor):
            return NotImplemented
        names = kt.ExprDescriptor.__dataclass_fields__
        return tuple(getattr(self, n) for n in names) == tuple(getattr(other, n) for n in names)

    __hash__ = None


# ---- writing -------------------------------------------------------------------------------
def _digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _json_bytes(data):
    return json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _npz(**arrays):
    import io
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)
    return buffer.getvalue()


def _durable(path, data):
    """Writes a file and waits until it is on the disk (the manifest that names it comes after);
    its checksum."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    return hashlib.sha256(data).hexdigest()


def _json_text(data):
    return None if data is None else json.dumps(data, ensure_ascii=False, separators=(",", ":"))


def _row_record(row, lhs, descriptor, names, vectors):
    """A row's record: its expression's and canonical form's tokens and its descriptor's fields,
    each as JSON text (read only when looked at); `vectors` the state's float64 arrays, of which
    the row's come in a run ("vectors": [first, count]), its fields naming them by place."""
    record = {"formula": row.formula, "bounds": [[str(k), float(a), float(b)] for k, (a, b) in row.bounds.items()],
              "lhs": lhs, "expr": _json_text(exprcode.encode(descriptor.numeric_expr)),
              "norm": _json_text(exprcode.encode(descriptor.expr)), "fields": None}
    own = []
    fields = {}
    for name in names:
        tagged = _encode_value(getattr(descriptor, name), own)
        if tagged is None:  # a field this state cannot keep exactly: the row is described next time
            return record
        fields[name] = tagged
    record["fields"], record["vectors"] = _json_text(fields), [len(vectors), len(own)]
    vectors.extend(own)
    return record


def _copied_record(record, kept, vectors):
    """A kept row's record for the new state, its vectors moved into the new state's list."""
    if record["fields"] is None:
        return record
    first, count = record["vectors"]
    moved = [len(vectors), count]
    vectors.extend(kept.vector(first + j) for j in range(count))
    return {**record, "vectors": moved}


def library_id(library):
    """What identifies a library for the clusters' kept measures: its names and expressions."""
    import sympy as sp
    text = json.dumps([[str(name), sp.srepr(expr)] for name, expr in library.items()], ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def _shown_novelty(candidate):
    """What a structure's block shows of its score, which changes with the bank's size."""
    return f"{float(candidate.novelty):.1f} {candidate.closest_lib}"


_PARTS_KEYS = ("formula", "kept", "structural", "closest", "behavioral", "compositionality", "compression_gain",
               "cohesion")


def _parts_record(parts):
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


def _law_record(match):
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


class _KeptBindings(Sequence):
    """Members' bindings read from a state: decoded when first looked at, since reports print
    the texts kept beside them."""

    def __init__(self, tokens):
        self.tokens, self._items = tokens, None

    def _all(self):
        if self._items is None:
            self._items = [None if b is None else {exprcode.decode(k): exprcode.decode(v) for k, v in b}
                           for b in self.tokens]
        return self._items

    def __getitem__(self, i):
        return self._all()[i]

    def __len__(self):
        return len(self.tokens)

    def __eq__(self, other):
        return isinstance(other, Sequence) and list(self) == list(other)


def _binding_tokens(bindings):
    """One member's bindings as pairs of tokens, None for none, False when they cannot be kept."""
    if bindings is None:
        return None
    pairs = [[exprcode.encode(k), exprcode.encode(v)] for k, v in bindings.items()] if type(bindings) is dict else [[None]]
    return False if any(code is None for pair in pairs for code in pair) else pairs


def _match_record(found, near):
    """A structure's library verdicts and its members' bindings and their texts (`run.Found`)
    as JSON data, or None when they cannot be kept exactly."""
    laws = [_law_record(m) for m in [found.match, *found.member_matches]]
    if False in laws or type(near) is not float:
        return None
    texts = [None if t is None else [[k, v] for k, v in t.items()] for t in found.binding_texts]
    if isinstance(found.bindings, _KeptBindings):
        bindings = found.bindings.tokens  # as read: nothing to encode again
    else:
        bindings = [_binding_tokens(b) for b in found.bindings]
        if False in bindings:
            return None
    return {"near": near, "match": laws[0], "members": laws[1:], "bindings": bindings, "texts": texts}


def _law_of(record):
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


def _pairs(value):
    return isinstance(value, list) and all(isinstance(p, list) and len(p) == 2 for p in value)


def _match_of(record, members):
    """(match, member_matches, bindings, binding_texts) of a kept match record of a structure of
    `members` rows."""
    laws, bindings, texts = record["members"], record["bindings"], record["texts"]
    if not (isinstance(laws, list) and isinstance(bindings, list) and isinstance(texts, list)
            and len(laws) == len(bindings) == len(texts) == members
            and all(b is None or (_pairs(b) and all(isinstance(c, list) for p in b for c in p)) for b in bindings)
            and all(t is None or (_pairs(t) and all(type(c) is str for p in t for c in p)) for t in texts)
            and [b is None for b in bindings] == [t is None for t in texts]):
        raise ValueError("a malformed match")
    return (_law_of(record["match"]), [_law_of(m) for m in laws], _KeptBindings(bindings),
            [None if t is None else dict(t) for t in texts])


def _distance_of(value):
    if value == "inf":
        return math.inf
    if type(value) not in (int, float) or not math.isfinite(value):
        raise ValueError("a malformed distance")
    return float(value)


def _packs(descriptors, packed):
    """The rows packed in blocks of PACK_BLOCK: `packed`'s blocks where given, the others packed
    here; b"" for a block that cannot be (the next run packs it itself)."""
    out = []
    for b, o in enumerate(range(0, len(descriptors), PACK_BLOCK)):
        if b not in packed:
            try:
                packed[b] = kt.pack_descriptors(descriptors[o:o + PACK_BLOCK])
            except (TypeError, StateError):
                packed[b] = b""
        out.append(packed[b])
    return out


def write(folder, run, rows, lhs, settings, library, kept=None, source=None, blocks=None, packed=None, reuse=None):
    """Keeps the state of a run (`source.run.Run`): `rows` the bank rows of its entries (bankio's
    rows, in order) and `lhs` their left-hand sides; `settings` the run's settings (at least
    those of KEPT); `library` the library it was scored against. Rows taken from a state
    (`kept`, `source[i]` the kept row of row i or -1) keep their records as they are. `blocks`:
    the text block of each structure, by cluster; `packed`: the run's rows already packed by
    PACK_BLOCK, by block (`graph`); `reuse`: what the run took of `kept` (`Reuse`), whose
    clusters' parts are kept as they were read."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    names = _field_names()
    vectors = []
    records = []
    judged = verdicts.verdict_key(library_id(library), run.settings.get("snap"), run.settings.get("fit_threshold"))
    for i, (r, h, d) in enumerate(zip(rows, lhs, run.descriptors)):
        k = source[i] if source is not None else -1
        records.append(_copied_record(kept.records[k], kept, vectors) if k >= 0 and kept is not None
                       else _row_record(r, h, d, names, vectors))
        if run.texts is not None and run.texts[i] is not None:
            records[-1]["text"] = run.texts[i]
        if run.verdicts:
            records[-1]["verdict"] = {"key": judged, **verdicts.to_record(run.verdicts[i])}
    clusters = []
    found = {f.cluster: f for f in run.found}
    for k, parts in run.accounts.items():
        earlier = reuse.record(run.clusters[k]) if reuse is not None else None
        # A cluster whose parts were read from the state was scored with them: kept as read.
        kept_parts = {n: earlier[n] for n in _PARTS_KEYS if n in earlier} if earlier is not None \
            else _parts_record(parts)
        if kept_parts is not None:
            if blocks and k in blocks:
                kept_parts.update(block=blocks[k], shown=_shown_novelty(found[k].candidate))
            if k in found:
                kept_parts["text"] = found[k].shown()
            if k in run.compositions:
                distance = float(run.compositions[k])
                kept_parts["composition"] = distance if math.isfinite(distance) else "inf"
            matched = _match_record(found[k], run.settings.get("near_threshold")) if k in found else None
            if matched is not None:
                kept_parts["match"] = matched
            clusters.append([run.clusters[k], kept_parts])
    generation = secrets.token_hex(6)
    files = {part: f"{part}-{generation}.{'npz' if part in ('vectors', 'graph') else 'json'}" for part in _PARTS}
    try:
        lengths = np.array([len(v) for v in vectors], dtype=np.int64)
        values = np.concatenate(vectors) if vectors else np.empty(0)
        rows_of, cols_of, values_of = run.graph[:3]
        packs = _packs(run.descriptors, dict(packed or {}))
        blobs = {"rows": _json_bytes({"fields": names, "rows": records}),
                 "clusters": _json_bytes({"library": library_id(library), "clusters": clusters}),
                 "vectors": _npz(lengths=lengths, values=values.astype(np.float64)),
                 "graph": _npz(rows=np.asarray(rows_of, dtype=np.int64), cols=np.asarray(cols_of, dtype=np.int64),
                               values=np.asarray(values_of, dtype=np.float64),
                               packs=np.frombuffer(b"".join(packs), dtype=np.uint8),
                               pack_lengths=np.array([len(p) for p in packs], dtype=np.int64),
                               pack_block=np.array([PACK_BLOCK], dtype=np.int64))}
        sums = {part: _durable(folder / files[part], data) for part, data in blobs.items()}
        manifest = {"keltran state": FORMAT, "version": _version(),
                    "settings": _kept_settings(settings), "rows": len(records), "files": files,
                    "sha256": sums}
        temporary = folder / f".{MANIFEST}.{generation}"
        _durable(temporary, json.dumps(manifest, indent=1).encode("utf-8"))
        previous = _manifest_files(folder)
        os.replace(temporary, folder / MANIFEST)
    except BaseException:
        for name in list(files.values()) + [f".{MANIFEST}.{generation}"]:
            (folder / name).unlink(missing_ok=True)
        raise
    for name in previous:
        if name not in files.values():
            (folder / name).unlink(missing_ok=True)


def _manifest_files(folder):
    try:
        with open(folder / MANIFEST, encoding="utf-8") as f:
            files = json.load(f).get("files", {})
        return [n for n in files.values() if isinstance(n, str) and Path(n).name == n and n.endswith((".json", ".npz"))]
    except (OSError, ValueError, AttributeError, RecursionError):
        return []


# ---- reading -------------------------------------------------------------------------------
def _shown(value):
    return f"{value:g}" if isinstance(value, float) else str(value)


_OPTIONS = {"seed": "--seed", "use_ranges": "--no-ranges", "sim_threshold": "--sim-threshold",
            "alpha": "--alpha", "beta": "--beta", "max_wildcard_density": "--max-wildcard-density",
            "snap": "--snap"}


class Kept:
    """A state read from its folder: its rows' records, their vectors, the graph and the
    clusters' scoring parts."""

    def __init__(self, folder, records, names, vectors, graph, clusters, use_ranges, packs=()):
        self.folder, self.records, self.names, self.graph = folder, records, names, graph
        self._values, self._ends = vectors  # every kept float64 array, one after the other
        self.packs = list(packs)  # kept rows packed by PACK_BLOCK, b"" where a block was not kept
        self.keys = [row_key(r["formula"], {n: (a, b) for n, a, b in r["bounds"]}, use_ranges) for r in records]
        self.by_key = {}
        for k, key in enumerate(self.keys):
            self.by_key.setdefault(key, []).append(k)
        self.clusters = clusters
        self._parts = None

    def block(self, keys, library, candidate):
        """The text block kept for the structure whose members have these keys, where what it
        shows of the score is the candidate's; or None."""
        record = self._record(keys, library)
        if record is None or record.get("shown") != _shown_novelty(candidate) \
                or not isinstance(record.get("block"), str):
            return None
        return record["block"]

    def _record(self, keys, library):
        if self._parts is None:
            self._parts = {}
            if self.clusters["library"] == library_id(library):
                for rows, parts in self.clusters["clusters"]:
                    self._parts[tuple(self.keys[k] for k in rows)] = parts
        return self._parts.get(tuple(keys))

    def known(self, keys, library, near):
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
                out["composition"] = _distance_of(record["composition"])
            matched = record.get("match")
            if isinstance(matched, dict) and matched.get("near") == near:
                out["match"] = _match_of(matched, len(keys))
        except (exprcode.CodeError, KeyError, TypeError, ValueError) as e:
            raise _damaged(self.folder, f"a cluster's verdicts: {e}") from None
        return out

    def parts(self, keys, library):
        """The kept scoring parts of the cluster whose members have these keys (row_key, in
        the cluster's order), scored against this library; or None."""
        parts = self._record(keys, library)
        if parts is None:
            return None
        try:
            return _parts_of_record(parts)
        except (exprcode.CodeError, KeyError, TypeError, ValueError) as e:
            raise _damaged(self.folder, f"a cluster's parts: {e}") from None

    def __len__(self):
        return len(self.records)

    def outcome(self, k, row):
        """(lhs, None, descriptor, text) of kept row `k` (the same formula as `row`), or None
        where the state could not keep its descriptor. The descriptor builds its expressions
        when they are first read: the row's expression is its `numeric_expr`."""
        r = self.records[k]
        if r["fields"] is None:
            return None
        descriptor = _KeptDescriptor.__new__(_KeptDescriptor)
        descriptor.__dict__["_lazy"] = (self, k, row)
        text = r.get("text")
        return r["lhs"], None, descriptor, text if isinstance(text, str) else str(descriptor.numeric_expr)

    def vector(self, i):
        """The i-th kept float64 array."""
        if not 0 <= i < len(self._ends):  # ruled out when the state was read
            raise _damaged(self.folder, "a row names a vector the state does not hold")
        return self._values[(self._ends[i - 1] if i else 0):self._ends[i]].copy()

    def _fields(self, k):
        """Kept row k's descriptor fields (all but the expressions), by name."""
        r = self.records[k]
        try:
            tagged = json.loads(r["fields"])
            first, count = r["vectors"]
            own = [self.vector(first + j) for j in range(count)]
            return {name: _decode_value(tagged[name], own) for name in self.names}
        except (KeyError, TypeError, ValueError, RecursionError) as e:
            raise _damaged(self.folder, f"row {k + 1}: {e}") from None

    def _expression(self, k, row, name, descriptor):
        """Kept row k's expression (`numeric_expr`) or its canonical form (`expr`)."""
        r = self.records[k]
        try:
            if name == "numeric_expr":
                if r["expr"] is None:
                    from source.bankio import parse_row
                    return parse_row(row)[1]
                return exprcode.decode(json.loads(r["expr"]))
            return exprcode.decode(json.loads(r["norm"])) if r["norm"] is not None else \
                kt._canonicalize_expr(descriptor.numeric_expr)
        except (exprcode.CodeError, KeyError, TypeError, ValueError, RecursionError) as e:
            raise _damaged(self.folder, f"row {k + 1}: {e}") from None


def _parts_of_record(record):
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


def _damaged(folder, why):
    return StateError(f"{folder}: the state is damaged ({why}); delete the folder or give another --state folder")


def _load_npz(path, names):
    with np.load(path, allow_pickle=False) as data:
        return {n: data[n] for n in names}


@contextlib.contextmanager
def locked(folder, warn=None):
    """The state folder held for one run, from reading it to keeping the next state: a second
    run on the same folder waits (saying so through `warn`) instead of reading files the first
    is replacing. The folder is made if missing; the lock is the folder's own (no lock file)."""
    path = Path(folder)
    if not path.exists():
        path.mkdir(parents=True, exist_ok=True)
    if not path.is_dir():
        yield  # read() says what is wrong with it
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if warn:
                warn(f"note: waiting for another keltran run that keeps its state in {folder}")
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # closing the descriptor releases the lock


def read(folder, settings):
    """The state kept in `folder`, or None where the folder holds none yet (missing or empty).
    StateError for a folder that holds something else, a state of another version, format or
    settings, or a damaged one."""
    folder = Path(folder)
    if not folder.exists():
        return None
    if not folder.is_dir():
        raise StateError(f"{folder}: not a folder")
    if not (folder / MANIFEST).is_file():
        if any(p.name != ".DS_Store" for p in folder.iterdir()):
            raise StateError(f"{folder}: not a keltran state (no {MANIFEST}) and not empty; "
                             f"give a new or empty folder")
        return None
    try:
        with open(folder / MANIFEST, encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError, RecursionError) as e:
        raise _damaged(folder, f"{MANIFEST}: {e}") from None
    if not isinstance(manifest, dict) or "keltran state" not in manifest:
        raise _damaged(folder, f"{MANIFEST} is not a state's manifest")
    written, version = manifest.get("keltran state"), manifest.get("version")
    if written != FORMAT or version != _version():
        raise StateError(f"{folder}: the state was written by keltran {version} (state format {written}); "
                         f"this is keltran {_version()} (state format {FORMAT}), which does not read it: "
                         f"delete the folder or give another --state folder")
    kept = manifest.get("settings")
    if not isinstance(kept, dict) or set(kept) != set(KEPT):
        raise _damaged(folder, f"{MANIFEST} has no settings")
    wanted = _kept_settings(settings)
    for key in KEPT:
        if kept[key] != wanted[key] or type(kept[key]) is not type(wanted[key]):
            if key == "use_ranges":
                said = f"{'without' if kept[key] else 'with'} --no-ranges"
                asked = f"this run asks {'with' if kept[key] else 'without'} it"
            else:
                shown = _shown if _shown(kept[key]) != _shown(wanted[key]) else repr  # 0.15 against 1 - 0.85
                said = f"with {_OPTIONS[key]} {shown(kept[key])}"
                asked = f"this run asks for {shown(wanted[key])}"
            raise StateError(f"{folder}: the state was kept {said}, and {asked}; its descriptors and "
                             f"graph hold only for the settings they were made with: run with the state's "
                             f"settings, or give another --state folder")
    files, sums = manifest.get("files"), manifest.get("sha256")
    if not (isinstance(files, dict) and isinstance(sums, dict) and set(files) == set(_PARTS)):
        raise _damaged(folder, f"{MANIFEST} lists no files")
    paths = {}
    for part in _PARTS:
        name = files[part]
        if not isinstance(name, str) or Path(name).name != name or name.startswith("."):
            raise _damaged(folder, f"{MANIFEST} names a file outside the folder")
        paths[part] = folder / name
        if not paths[part].is_file():
            raise _damaged(folder, f"{name} is missing")
        if _digest(paths[part]) != sums.get(part):
            raise _damaged(folder, f"{name} does not match its checksum")
    try:
        with open(paths["rows"], encoding="utf-8") as f:
            data = json.load(f)
        names, records = data["fields"], data["rows"]
        with open(paths["clusters"], encoding="utf-8") as f:
            clusters = json.load(f)
        vectors = _load_npz(paths["vectors"], ("lengths", "values"))
        graph = _load_npz(paths["graph"], ("rows", "cols", "values", "packs", "pack_lengths", "pack_block"))
    except (OSError, ValueError, KeyError, TypeError, RecursionError, EOFError, zipfile.BadZipFile) as e:
        raise _damaged(folder, str(e) or type(e).__name__) from None
    if names != _field_names():
        raise _damaged(folder, "its descriptors have other fields than this version's")
    vectors = _vectors(folder, vectors)
    return Kept(folder, _records(folder, records, manifest.get("rows"), len(vectors[1])), names,
                vectors, _graph(folder, graph, len(records)),
                _clusters(folder, clusters, len(records)), settings["use_ranges"], _kept_packs(folder, graph, len(records)))


def _records(folder, records, count, vectors):
    if not isinstance(records, list) or len(records) != count:
        raise _damaged(folder, "the rows do not match the manifest")
    for k, r in enumerate(records):
        try:
            ok = (isinstance(r["formula"], str) and isinstance(r["bounds"], list)
                  and isinstance(r.get("text", ""), str) and (r["lhs"] is None or isinstance(r["lhs"], str))
                  and all(r[part] is None or isinstance(r[part], str) for part in ("fields", "expr", "norm"))
                  and (r["fields"] is None or (isinstance(r["vectors"], list) and len(r["vectors"]) == 2
                                               and all(type(v) is int and v >= 0 for v in r["vectors"]))))
            ok = ok and all(isinstance(name, str) and all(type(v) in (int, float) for v in (a, b))
                            for name, a, b in r["bounds"])
        except (KeyError, TypeError, ValueError):
            ok = False
        if not ok:
            raise _damaged(folder, f"row {k + 1} is malformed")
        if r["fields"] is not None and sum(r["vectors"]) > vectors:
            raise _damaged(folder, f"row {k + 1} names a vector the state does not hold")
    return records


def _clusters(folder, data, n):
    ok = isinstance(data, dict) and isinstance(data.get("library"), str) and isinstance(data.get("clusters"), list)
    for item in data["clusters"] if ok else ():
        ok = (isinstance(item, list) and len(item) == 2 and isinstance(item[0], list) and isinstance(item[1], dict)
              and all(type(k) is int and 0 <= k < n for k in item[0]))
        if not ok:
            break
    if not ok:
        raise _damaged(folder, "the clusters are malformed")
    return data


def _vectors(folder, data):
    """The kept float64 arrays, one after the other, and where each ends."""
    lengths, values = data["lengths"], data["values"]
    if lengths.dtype != np.int64 or values.dtype != np.float64 or lengths.ndim != 1 or values.ndim != 1 \
            or (lengths < 0).any() or int(lengths.sum()) != len(values):
        raise _damaged(folder, "the descriptors' vectors are malformed")
    return values, np.cumsum(lengths).tolist()


def _kept_packs(folder, data, n):
    packs, lengths, block = data["packs"], data["pack_lengths"], data["pack_block"]
    if packs.dtype != np.uint8 or lengths.dtype != np.int64 or block.dtype != np.int64 \
            or packs.ndim != 1 or lengths.ndim != 1 or block.shape != (1,) or (lengths < 0).any() \
            or int(lengths.sum()) != len(packs):
        raise _damaged(folder, "the packed rows are malformed")
    if int(block[0]) != PACK_BLOCK or len(lengths) != -(-n // PACK_BLOCK):
        return []
    ends = np.cumsum(lengths).tolist()
    data = packs.tobytes()
    return [data[e - k:e] for k, e in zip(lengths.tolist(), ends)]


def _graph(folder, data, n):
    rows, cols, values = data["rows"], data["cols"], data["values"]
    if rows.dtype != np.int64 or cols.dtype != np.int64 or values.dtype != np.float64 \
            or not rows.ndim == cols.ndim == values.ndim == 1 or not len(rows) == len(cols) == len(values) \
            or (len(rows) and (rows.min() < 0 or cols.max() >= n or (rows >= cols).any())):
        raise _damaged(folder, "the graph is malformed")
    return rows, cols, values


# ---- reuse ---------------------------------------------------------------------------------
def match(kept, rows, use_ranges):
    """For every row, the kept row it is (the k-th row of a formula and ranges takes the k-th
    kept row of them), or -1."""
    taken = {}
    out = []
    for row in rows:
        key = row_key(row.formula, row.bounds, use_ranges)
        olds = kept.by_key.get(key, ())
        k = taken.get(key, 0)
        out.append(olds[k] if k < len(olds) else -1)
        taken[key] = k + 1
    return out


def in_order(old):
    """The entries of `old` (kept rows, -1 for none) in the longest run of increasing kept rows;
    the others -1. Those rows keep their pairs' order, so the graph's kept similarities, each
    measured from the earlier row to the later, hold for them."""
    tails, tail_at, back = [], [], [-1] * len(old)
    for i, k in enumerate(old):
        if k < 0:
            continue
        at = bisect.bisect_left(tails, k)
        if at == len(tails):
            tails.append(k)
            tail_at.append(i)
        else:
            tails[at], tail_at[at] = k, i
        back[i] = tail_at[at - 1] if at else -1
    out = [-1] * len(old)
    i = tail_at[-1] if tail_at else -1
    while i >= 0:
        out[i] = old[i]
        i = back[i]
    return out


def kept_edges(kept, old):
    """The kept graph's edges between rows of `old` (kept row per current row, -1 for none, in
    increasing order), as current rows."""
    position = np.full(len(kept), -1, dtype=np.int64)
    for i, k in enumerate(old):
        if k >= 0:
            position[k] = i
    rows, cols, values = kept.graph
    r, c = position[rows], position[cols]
    keep = (r >= 0) & (c >= 0)
    return r[keep], c[keep], values[keep]


def describe(kept, rows, use_ranges, seed, client=None, progress=None, snap=None):
    """`run.describe_rows` for rows of which a state may hold some: one outcome per row, (lhs,
    expr, descriptor, text) or the row's FormulaError, the kept ones read from the state (expr
    None: their descriptor's `numeric_expr` builds it when read) and the others parsed and
    described; for every row the kept row whose pairs it takes (one kept row
    per row), or -1; and the kept row whose record it took, or -1."""
    from source.run import describe_rows
    old = match(kept, rows, use_ranges) if kept is not None else [-1] * len(rows)
    outcomes = [None] * len(rows)
    # A row the state holds fewer times than the bank takes the descriptor of its first kept
    # copy; only its pairs are measured again.
    source = [k if k >= 0 else kept.by_key.get(row_key(r.formula, r.bounds, use_ranges), [-1])[0]
              for r, k in zip(rows, old)] if kept is not None else list(old)
    reused = [i for i, k in enumerate(source) if k >= 0]
    for done, i in enumerate(reused, start=1):
        outcomes[i] = kept.outcome(source[i], rows[i])
        if outcomes[i] is None:
            old[i] = -1
        if progress:
            progress("reading the state", done, len(reused))
    fresh = [i for i, o in enumerate(outcomes) if o is None]
    more = {} if snap is None else {"snap": snap}
    for i, o in zip(fresh, describe_rows([rows[i] for i in fresh], use_ranges, seed, client, progress=progress, **more)):
        outcomes[i] = o
        source[i] = -1
    return outcomes, old, source


class Reuse:
    """What a run takes from a kept state for its rows (bankio's rows of its entries; `source[i]`
    the kept row whose record row i took, or -1), scored against `library`."""

    def __init__(self, kept, rows, source, library, use_ranges):
        self.kept, self.library, self.source = kept, library, list(source)
        # A row that took a kept record has that record's key.
        self.keys = [kept.keys[k] if k >= 0 else row_key(r.formula, r.bounds, use_ranges) for r, k in zip(rows, source)]

    def verdicts(self, snap, threshold):
        """Each row's verdict kept with this library and settings, or None (`verdicts.Verdict`)."""
        key = verdicts.verdict_key(library_id(self.library), snap, threshold)
        out = []
        for k in self.source:
            record = self.kept.records[k].get("verdict") if k >= 0 else None
            try:
                out.append(verdicts.from_record(record) if isinstance(record, dict) and record.get("key") == key
                           else None)
            except (ValueError, TypeError, KeyError) as e:
                raise _damaged(self.kept.folder, f"row {k + 1}'s verdict: {e}") from None
        return out

    def parts(self, members):
        """The kept scoring parts of the cluster of these rows, or None."""
        return self.kept.parts([self.keys[r] for r in members], self.library)

    def record(self, members):
        """The kept record of the cluster of these rows, as read (JSON data), or None."""
        return self.kept._record([self.keys[r] for r in members], self.library)

    def known(self, members, near):
        """What else was kept of the cluster of these rows (`Kept.known`), or None."""
        return self.kept.known([self.keys[r] for r in members], self.library, near)

    def block(self, found):
        """The kept text block of a structure (`run.Found`), or None."""
        return self.kept.block([self.keys[r] for r in found.rows], self.library, found.candidate)


def graph(kept, descriptors, old, settings, client=None, progress=None):
    """The similarity graph of described rows (`old`: the kept row each took, or -1), from the
    kept graph where it holds; and the rows packed by PACK_BLOCK, by block, as far as they were
    (`write` keeps them). A block of the same kept rows as a kept block takes its packing."""
    from source.large import extend_graph
    rows = in_order(old)
    packed = {}
    for b, packing in enumerate(kept.packs):
        o, e = b * PACK_BLOCK, min((b + 1) * PACK_BLOCK, len(kept))
        if packing and e <= len(rows) and (e - o == PACK_BLOCK or e == len(rows)) and rows[o:e] == list(range(o, e)):
            packed[b] = packing
    taken = bool(packed)
    try:
        edges = extend_graph(descriptors, [k >= 0 for k in rows], kept_edges(kept, rows), settings["sim_threshold"],
                             settings["alpha"], settings["beta"], client, block_size=PACK_BLOCK, packed=packed,
                             progress=lambda done, total: progress and progress("similarity graph", done, total))
    except ValueError:
        if taken:  # only a kept packing can be malformed: the others were packed here
            raise _damaged(kept.folder, "the packed rows are malformed") from None
        raise
    except TypeError:
        # Packing says no more than "not a descriptor": a kept row that cannot be read or packed
        # is damage, and says so.
        for d in descriptors:
            if isinstance(d, _KeptDescriptor):
                d.expr, d.root_type  # its tree, and its fields
                try:
                    kt.pack_descriptors([d])
                except TypeError:
                    raise _damaged(kept.folder, "a kept row's descriptor is not one describe() makes") from None
        raise
    return edges, packed
