"""Generalising and scoring clusters on the runner: each cluster's account as the engine's
`_score_cluster` gives it, and why a cluster made no candidate. Clusters of rows read natively
are scored on their records by the engine's native path (`_score_native_clusters`), with the
same accounts; the others, and any the native path leaves, by `_score_cluster`."""

from collections.abc import Sequence
from typing import Any

from source.engine import kt
from source.run.native_rows import NativeDescriptor
from source.run.runner import Done, InProcess, Runner

Account = dict[str, Any]
# Whether clusters of rows read natively are scored natively; `_score_cluster` scores every
# cluster when off (tests and the bench compare).
NATIVE = True
# Clusters per runner job: the native path reads the library once per call.
BATCH = 32


def score_one(
    library: dict[str, Any],
    lib_descs: dict[str, Any],
    cluster: list[Any],
    bank_size: int,
    novelty_threshold: float,
    weights: dict[str, Any],
    parts: dict[str, Any] | None = None,
) -> Account:
    return kt._score_cluster(
        cluster, library, lib_descs, bank_size, novelty_threshold, **weights, parts=parts
    )


def score_native(
    library: dict[str, Any],
    lib_descs: dict[str, Any],
    clusters: list[list[Any]],
    bank_size: int,
    novelty_threshold: float,
    weights: dict[str, Any],
) -> list[Account | None]:
    """The accounts of clusters of rows read natively, as `_score_printed` gives them, scored
    on their records in one native call; None for a cluster the native path leaves."""
    records = [[(d._record, d._packed) for d in cluster] for cluster in clusters]
    return kt._score_native_clusters(
        records, library, lib_descs, bank_size, novelty_threshold, **weights
    )


def _score_printed(
    library: dict[str, Any], lib_descs: dict[str, Any], cluster: list[Any], *job: Any
) -> Account:
    """`score_one`, with its candidate's formula printed where it is made ("text"), the
    reports' text, printed once; and with the cluster's cohesion in its parts, which give its
    recurrence in a grown bank without its trees."""
    account = score_one(library, lib_descs, cluster, *job)
    if account["candidate"] is not None:
        account["text"] = str(account["candidate"].formula)
    if account["parts"]["kept"] and "cohesion" not in account["parts"]:
        account["parts"]["cohesion"] = kt._cluster_cohesion(cluster)
    return account


def _score_batch(
    library: dict[str, Any],
    lib_descs: dict[str, Any],
    batch: list[list[Any]],
    bank_size: int,
    novelty_threshold: float,
    weights: dict[str, Any],
) -> list[Account]:
    """`_score_printed` of every cluster of a batch: those whose members were all read
    natively in one call of the native path, the rest (and what it leaves) one by one."""
    native = [
        k for k, c in enumerate(batch) if NATIVE and all(isinstance(d, NativeDescriptor) for d in c)
    ]
    accounts: list[Account | None] = [None] * len(batch)
    if native:
        scored = score_native(
            library, lib_descs, [batch[k] for k in native], bank_size, novelty_threshold, weights
        )
        for k, account in zip(native, scored):
            accounts[k] = account
    return [
        account
        if account is not None
        else _score_printed(library, lib_descs, cluster, bank_size, novelty_threshold, weights)
        for account, cluster in zip(accounts, batch)
    ]


def score_clusters(
    clusters: Sequence[list[Any]],
    library: dict[str, Any],
    lib_descs: dict[str, Any],
    bank_size: int,
    novelty_threshold: float,
    runner: Runner | None = None,
    progress: Done | None = None,
    weights: dict[str, Any] | None = None,
    parts: Sequence[dict[str, Any] | None] | None = None,
) -> list[Account]:
    """The account of every cluster (a list of descriptors) as `_score_cluster` gives it: its
    candidate, or None where detection drops it, its generalisation and the terms of its score.
    `weights`: score weights and scales by keyword; `parts`: for every cluster its parts from an
    earlier account, or None."""
    parts = parts or [None] * len(clusters)
    known = [k for k, p in enumerate(parts) if p is not None]
    accounts: list[Account] = [{} for _ in clusters]
    if progress:
        progress(0, len(clusters))
    # Clusters whose parts are known are scored here: it takes no measuring.
    for k in known:
        accounts[k] = score_one(
            library, lib_descs, clusters[k], bank_size, novelty_threshold, weights or {}, parts[k]
        )
    rest = [k for k, p in enumerate(parts) if p is None]
    batches = [rest[o : o + BATCH] for o in range(0, len(rest), BATCH)]
    done = (runner or InProcess()).map(
        _score_batch,
        [
            ([clusters[k] for k in batch], bank_size, novelty_threshold, weights or {})
            for batch in batches
        ],
        progress
        and (
            lambda done, total: progress(len(known) + min(done * BATCH, len(rest)), len(clusters))
        ),
        light=True,
        shared=(library, lib_descs),
    )
    for batch, scored in zip(batches, done):
        for k, account in zip(batch, scored):
            accounts[k] = account
    return accounts


def dropped_reason(account: Account, novelty_threshold: float) -> str:
    """Why detection made no candidate of a cluster of two or more formulas, from its account
    (`_score_cluster`): no generalisation, one that says too little, or a score below the
    threshold."""
    formula = account["formula"]
    if formula is None:
        return "its cluster has no common generalisation"
    if not account["kept"]:
        formula = kt._display_canonical_expr(formula)
        if kt._is_wildcard(formula):
            return f"its cluster generalises to a bare wildcard ({formula})"
        return (
            f"its cluster's generalisation {formula} is too generic "
            f"(wildcard density {kt._wildcard_density(formula):.2f})"
        )
    return (
        f"its cluster's score {float(account['novelty']):.3g} is below the novelty threshold "
        f"{novelty_threshold:g}"
    )
