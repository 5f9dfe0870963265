"""The folder a run keeps its state in (``keltran detect --state DIR``): its files, written
under new names and the manifest last, by an atomic replace, so that a run stopped while
writing leaves the previous state whole; their checksums; the lock that keeps one run at a
time; and reading it back, refusing a state of another version, format or settings, or a
damaged one.

A state folder holds, for the rows of the last run, their records (`records`), the similarity
graph over the rows and the rows packed for measuring, in blocks, and a summary of the run's
structures (`changes`; a state kept before the summary was recorded has none); beside them a
manifest with the state's format, the version that wrote it, the settings the descriptors and
the graph depend on (`settings.KEPT`), and a checksum of every file.
"""

import contextlib
import fcntl
import hashlib
import io
import json
import math
import os
import secrets
import zipfile
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from source.bank.files import Pending
from source.judge import verdicts
from source.run import native_rows
from source.run.results import Run
from source.settings import BY_KEY, KEPT
from source.state import changes, records
from source.state.clusters import (
    PARTS_KEYS,
    checked_clusters,
    match_record,
    parts_record,
    shown_novelty,
)
from source.state.kept import Kept, checked_graph, checked_packs, checked_vectors
from source.state.records import (
    StateError,
    checked_rows,
    copied_record,
    damaged,
    field_names,
    library_id,
    row_record,
)
from source.state.reuse import Reuse
from source.version import installed

FORMAT = 4


MANIFEST = "manifest.json"


_PARTS = ("rows", "vectors", "graph", "clusters")
# What a state keeps besides the parts every state holds: a summary of the run's structures.
_SUMMARY = "structures"


def kept_settings(settings: Mapping[str, Any]) -> dict[str, Any]:
    """The settings a state's descriptors and graph depend on, in the manifest's order; those a
    caller leaves out at their defaults."""
    return {o.key: settings.get(o.key, o.default) for o in KEPT}


def _digest(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def _json_bytes(data: Any) -> bytes:
    return json.dumps(data, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def _npz(**arrays: Any) -> bytes:
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)
    return buffer.getvalue()


def _durable(path: Path, data: bytes) -> str:
    """Writes a file and waits until it is on the disk (the manifest that names it comes after);
    its checksum."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    return hashlib.sha256(data).hexdigest()


def _packs(descriptors: list[Any], packed: dict[int, bytes]) -> list[bytes]:
    """The rows packed in blocks of PACK_BLOCK: `packed`'s blocks where given, the others packed
    here; b"" for a block that cannot be (the next run packs it itself)."""
    out = []
    for b, o in enumerate(range(0, len(descriptors), records.PACK_BLOCK)):
        if b not in packed:
            try:
                packed[b] = native_rows.pack(descriptors[o : o + records.PACK_BLOCK])
            except (TypeError, StateError):
                packed[b] = b""
        out.append(packed[b])
    return out


def write(
    folder: str | Path,
    run: Run,
    rows: Sequence[Pending],
    lhs: Sequence[str | None],
    settings: Mapping[str, Any],
    library: Mapping[str, Any],
    kept: Kept | None = None,
    source: Sequence[int] | None = None,
    blocks: Mapping[int, str] | None = None,
    packed: Mapping[int, bytes] | None = None,
    reuse: Reuse | None = None,
) -> None:
    """Keeps the state of a run (`source.run.results.Run`): `rows` the bank rows of its entries
    (the files' rows, in order) and `lhs` their left-hand sides; `settings` the run's settings
    (at least those of KEPT); `library` the library it was scored against. Rows taken from a state
    (`kept`, `source[i]` the kept row of row i or -1) keep their records as they are. `blocks`:
    the text block of each structure, by cluster; `packed`: the run's rows already packed by
    records.PACK_BLOCK, by block (`graph`); `reuse`: what the run took of `kept` (`Reuse`), whose
    clusters' parts are kept as they were read."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    names = field_names()
    vectors: list[np.ndarray] = []
    row_records: list[dict[str, Any]] = []
    judged = verdicts.verdict_key(
        library_id(library), run.settings.get("snap"), run.settings.get("fit_threshold")
    )
    for i, (r, h, d) in enumerate(zip(rows, lhs, run.descriptors)):
        k = source[i] if source is not None else -1
        row_records.append(
            copied_record(kept.records[k], kept, vectors)
            if k >= 0 and kept is not None
            else row_record(r, h, d, names, vectors)
        )
        if run.texts is not None and run.texts[i] is not None:
            row_records[-1]["text"] = run.texts[i]
        if run.verdicts:
            row_records[-1]["verdict"] = {"key": judged, **verdicts.to_record(run.verdicts[i])}
    clusters: list[list[Any]] = []
    found = {f.cluster: f for f in run.found}
    for k, parts in run.accounts.items():
        earlier = reuse.record(run.clusters[k]) if reuse is not None else None
        # A cluster whose parts were read from the state was scored with them: kept as read.
        kept_parts = (
            {n: earlier[n] for n in PARTS_KEYS if n in earlier}
            if earlier is not None
            else parts_record(parts)
        )
        if kept_parts is not None:
            if blocks and k in blocks:
                kept_parts.update(block=blocks[k], shown=shown_novelty(found[k].candidate))
            if k in found:
                kept_parts["text"] = found[k].shown()
            if k in run.compositions:
                distance = float(run.compositions[k])
                kept_parts["composition"] = distance if math.isfinite(distance) else "inf"
            matched = (
                match_record(found[k], run.settings.get("near_threshold")) if k in found else None
            )
            if matched is not None:
                kept_parts["match"] = matched
            clusters.append([run.clusters[k], kept_parts])
    generation = secrets.token_hex(6)
    files = {
        part: f"{part}-{generation}.{'npz' if part in ('vectors', 'graph') else 'json'}"
        for part in (*_PARTS, _SUMMARY)
    }
    try:
        lengths = np.array([len(v) for v in vectors], dtype=np.int64)
        values = np.concatenate(vectors) if vectors else np.empty(0)
        assert (
            run.graph is not None
        )  # a state keeps the runs of the large path, which make the graph
        rows_of, cols_of, values_of = run.graph[:3]
        packs = _packs(run.descriptors, dict(packed or {}))
        blobs = {
            "rows": _json_bytes({"fields": names, "rows": row_records}),
            "clusters": _json_bytes({"library": library_id(library), "clusters": clusters}),
            _SUMMARY: _json_bytes(changes.summary_record(changes.summary(run))),
            "vectors": _npz(lengths=lengths, values=values.astype(np.float64)),
            "graph": _npz(
                rows=np.asarray(rows_of, dtype=np.int64),
                cols=np.asarray(cols_of, dtype=np.int64),
                values=np.asarray(values_of, dtype=np.float64),
                packs=np.frombuffer(b"".join(packs), dtype=np.uint8),
                pack_lengths=np.array([len(p) for p in packs], dtype=np.int64),
                pack_block=np.array([records.PACK_BLOCK], dtype=np.int64),
            ),
        }
        sums = {part: _durable(folder / files[part], data) for part, data in blobs.items()}
        manifest = {
            "keltran state": FORMAT,
            "version": installed(),
            "settings": kept_settings(settings),
            "rows": len(row_records),
            "files": files,
            "sha256": sums,
        }
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


def _manifest_files(folder: Path) -> list[str]:
    try:
        with open(folder / MANIFEST, encoding="utf-8") as f:
            files = json.load(f).get("files", {})
        return [
            n
            for n in files.values()
            if isinstance(n, str) and Path(n).name == n and n.endswith((".json", ".npz"))
        ]
    except (OSError, ValueError, AttributeError, RecursionError):
        return []


def _shown(value: Any) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def _load_npz(path: Path, names: Sequence[str]) -> dict[str, np.ndarray]:
    with np.load(path, allow_pickle=False) as data:
        return {n: data[n] for n in names}


@contextlib.contextmanager
def locked(folder: str | Path, warn: Callable[[str], None] | None = None) -> Iterator[None]:
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


def read(folder: str | Path, settings: Mapping[str, Any]) -> Kept | None:
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
            raise StateError(
                f"{folder}: not a keltran state (no {MANIFEST}) and not empty; "
                f"give a new or empty folder"
            )
        return None
    try:
        with open(folder / MANIFEST, encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError, RecursionError) as e:
        raise damaged(folder, f"{MANIFEST}: {e}") from None
    if not isinstance(manifest, dict) or "keltran state" not in manifest:
        raise damaged(folder, f"{MANIFEST} is not a state's manifest")
    written, version = manifest.get("keltran state"), manifest.get("version")
    if written != FORMAT or version != installed():
        raise StateError(
            f"{folder}: the state was written by keltran {version} (state format {written}); "
            f"this is keltran {installed()} (state format {FORMAT}), which does not read it: "
            f"delete the folder or give another --state folder"
        )
    kept = manifest.get("settings")
    if not isinstance(kept, dict) or set(kept) != {o.key for o in KEPT}:
        raise damaged(folder, f"{MANIFEST} has no settings")
    wanted = kept_settings(settings)
    for key in (o.key for o in KEPT):
        if kept[key] != wanted[key] or type(kept[key]) is not type(wanted[key]):
            if key == "use_ranges":
                said = f"{'without' if kept[key] else 'with'} --no-ranges"
                asked = f"this run asks {'with' if kept[key] else 'without'} it"
            else:
                shown = (
                    _shown if _shown(kept[key]) != _shown(wanted[key]) else repr
                )  # 0.15 against 1 - 0.85
                said = f"with {BY_KEY[key].flag} {shown(kept[key])}"
                asked = f"this run asks for {shown(wanted[key])}"
            raise StateError(
                f"{folder}: the state was kept {said}, and {asked}; its descriptors and "
                f"graph hold only for the settings they were made with: run with the state's "
                f"settings, or give another --state folder"
            )
    files, sums = manifest.get("files"), manifest.get("sha256")
    if not (
        isinstance(files, dict)
        and isinstance(sums, dict)
        and set(files) in (set(_PARTS), {*_PARTS, _SUMMARY})
    ):
        raise damaged(folder, f"{MANIFEST} lists no files")
    paths = {}
    for part in files:
        name = files[part]
        if not isinstance(name, str) or Path(name).name != name or name.startswith("."):
            raise damaged(folder, f"{MANIFEST} names a file outside the folder")
        paths[part] = folder / name
        if not paths[part].is_file():
            raise damaged(folder, f"{name} is missing")
        if _digest(paths[part]) != sums.get(part):
            raise damaged(folder, f"{name} does not match its checksum")
    try:
        with open(paths["rows"], encoding="utf-8") as f:
            data = json.load(f)
        names, row_records = data["fields"], data["rows"]
        with open(paths["clusters"], encoding="utf-8") as f:
            clusters = json.load(f)
        summary = None
        if _SUMMARY in paths:
            with open(paths[_SUMMARY], encoding="utf-8") as f:
                summary = json.load(f)
        loaded = _load_npz(paths["vectors"], ("lengths", "values"))
        graph = _load_npz(
            paths["graph"], ("rows", "cols", "values", "packs", "pack_lengths", "pack_block")
        )
    except (
        OSError,
        ValueError,
        KeyError,
        TypeError,
        RecursionError,
        EOFError,
        zipfile.BadZipFile,
    ) as e:
        raise damaged(folder, str(e) or type(e).__name__) from None
    if names != field_names():
        raise damaged(folder, "its descriptors have other fields than this version's")
    vectors = checked_vectors(folder, loaded)
    return Kept(
        folder,
        checked_rows(folder, row_records, manifest.get("rows"), len(vectors[1])),
        names,
        vectors,
        checked_graph(folder, graph, len(row_records)),
        checked_clusters(folder, clusters, len(row_records)),
        settings["use_ranges"],
        checked_packs(folder, graph, len(row_records)),
        None if summary is None else changes.checked_summary(folder, summary, len(row_records)),
    )
