"""The similarity matrix of a run as a picture: rows ordered by structure, each structure
outlined and labelled with its verdict, a colour bar for the scale."""

import io
import warnings
from typing import TYPE_CHECKING

import numpy as np

from source.run.results import Run

if TYPE_CHECKING:
    from matplotlib.figure import Figure

KNOWN, NEW = (
    "#2ecc71",
    "#ff4136",
)  # outline colours; each line has a black halo so it shows on any cell


def _text(label: object, most: int = 40) -> str:
    """A label drawn as the text it is (matplotlib reads $...$ as math markup), cut to `most`
    characters."""
    text = str(label)
    if len(text) > most:
        text = text[: most - 1] + "\u2026"
    return text.replace("$", r"\$")


MAX_ROW_LABELS = 80  # above this many formulas only the structures are labelled
MAX_STRUCTURE_LABELS = 40


def order(run: Run) -> tuple[np.ndarray, list[tuple[int, int, str, bool]]]:
    """Row order and the blocks of the picture: structures by size (largest first), then the
    other clusters. Each block is (start, size, label, known or None for a non-structure)."""
    found = {f.cluster: (k, f) for k, f in enumerate(run.found)}
    structures = sorted(found, key=lambda c: (-len(run.clusters[c]), c))
    others = sorted(
        (c for c in range(len(run.clusters)) if c not in found),
        key=lambda c: (-len(run.clusters[c]), c),
    )
    rows: list[int] = []
    blocks: list[tuple[int, int, str, bool]] = []
    for c in structures + others:
        if c in found:
            k, f = found[c]
            # The structure's verdict from its members, where the run judged them.
            known = f.verdict.verdict == "known" if f.verdict is not None else f.match is not None
            law = (f.verdict.law if f.verdict is not None else f.match.law) if known else None
            blocks.append(
                (
                    len(rows),
                    len(run.clusters[c]),
                    f"[{k}] known: {law}" if known else f"[{k}] new",
                    known,
                )
            )
        rows.extend(run.clusters[c])
    return np.array(rows, dtype=int), blocks


def figure(run: Run) -> "Figure":
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle

    rows, blocks = order(run)
    n = len(rows)
    fig, ax = plt.subplots(figsize=(11, 9), dpi=100)
    image = ax.imshow(
        np.asarray(run.matrix)[np.ix_(rows, rows)],
        cmap="viridis",
        vmin=0.0,
        vmax=1.0,
        interpolation="nearest",
    )
    fig.colorbar(
        image,
        ax=ax,
        orientation="horizontal",
        fraction=0.04,
        pad=0.08 if n <= MAX_ROW_LABELS else 0.03,
        label="similarity",
    )
    for start, size, _, known in blocks:
        for colour, width in (("black", 3.0), (KNOWN if known else NEW, 1.4)):
            ax.add_patch(
                Rectangle(
                    (start - 0.5, start - 0.5),
                    size,
                    size,
                    fill=False,
                    edgecolor=colour,
                    lw=width,
                    linestyle="-" if known or colour == "black" else (0, (3, 2)),
                )
            )
    if n <= MAX_ROW_LABELS:
        size = max(4, min(8, 600 // max(n, 1)))
        ax.set_yticks(range(n), [_text(run.ids[r]) for r in rows], fontsize=size)
        ax.set_xticks(range(n), [_text(run.ids[r]) for r in rows], fontsize=size, rotation=90)
    else:
        ax.set_xticks([])
        ax.set_yticks(
            [start for start, _, _, _ in blocks[:MAX_STRUCTURE_LABELS]],
            [_text(label) for _, _, label, _ in blocks[:MAX_STRUCTURE_LABELS]],
            fontsize=7,
        )
    # With the rows named by id, the verdicts go beside the picture, where no cell colour can
    # hide them (larger banks carry them as the row labels instead).
    for start, size, label, known in blocks[:MAX_STRUCTURE_LABELS] if n <= MAX_ROW_LABELS else []:
        ax.annotate(
            _text(label),
            xy=(1.0, 1 - (start + size / 2) / max(n, 1)),
            xycoords="axes fraction",
            xytext=(4, 0),
            textcoords="offset points",
            va="center",
            fontsize=7,
            color="#1b7f3b" if known else "#c0392b",
            annotation_clip=False,
        )
    known_count = sum(b[3] for b in blocks)
    ax.set_title(
        f"Similarity, ordered by structure: {n} formulas, {len(blocks)} structures "
        f"({known_count} known laws, {len(blocks) - known_count} new)",
        fontsize=10,
    )
    ax.legend(
        handles=[
            Line2D([], [], color=KNOWN, lw=2, label="known law"),
            Line2D([], [], color=NEW, lw=2, linestyle=(0, (3, 2)), label="new structure"),
        ],
        loc="lower right",
        bbox_to_anchor=(1.0, 1.04),
        ncol=2,
        fontsize=8,
        frameon=False,
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # labels too wide for a tight layout: drawn as they fit
        fig.tight_layout()
    return fig


def png(run: Run) -> bytes:
    """The picture as PNG bytes."""
    import matplotlib.pyplot as plt

    if run.matrix is None:
        raise ValueError("the picture needs the dense similarity matrix")
    fig = figure(run)
    out = io.BytesIO()
    fig.savefig(out, format="png")
    plt.close(fig)
    return out.getvalue()
