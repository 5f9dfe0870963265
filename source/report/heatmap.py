"""The similarities of a run as a picture: rows in the order of the structures' ranks ([0] at the
top left), each structure outlined by its verdict, a colour bar for the scale, and at most a
bounded number of rows, chosen structure by structure. The dense path's matrix gives every pair;
the large path's similarity graph only the pairs at or above the clustering threshold, so the
pairs not in it are drawn as below the threshold."""

import io
import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from source.report.text import is_known
from source.run.results import Found, Run

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# outline colours; each line has a black halo so it shows on any cell
KNOWN, NEW = "#2ecc71", "#ff4136"
KNOWN_TEXT, NEW_TEXT, OTHER_TEXT = "#1b7f3b", "#c0392b", "#5b6473"
BELOW = "#d9d9d9"  # the cells of pairs below the threshold (not in the similarity graph)

MOST_ROWS = 2000  # rows of the picture at most
ROW_LABELS = 40  # up to this many rows, each row is named by its id
MOST_LABELS = 40  # structure labels at most
LABEL_POINTS = 7
LABEL_GAP = 12  # pixels between the centres of two labels: a 7-point line and some air

# The figure's layout in pixels (1100 x 900): the picture is a square, the labels left of it,
# the structures' labels right of it where every row has its id, the colour bar under it.
WIDTH, HEIGHT, DPI = 1100, 900, 100
LEFT, TOP, SIDE = 215, 70, 700


@dataclass
class Block:
    start: int  # first row of the block in the picture
    size: int
    label: str
    known: bool | None  # None: the formulas in no structure


@dataclass
class Picture:
    rows: np.ndarray  # the bank rows drawn, in the picture's order
    blocks: list[Block]
    values: np.ndarray  # their similarities; NaN: below the threshold, not in the graph
    low: float  # the bottom of the colour scale
    threshold: float | None  # where pairs below it are not known (the large path)
    note: str  # what the picture shows


def _label(k: int, f: Found) -> tuple[str, bool]:
    known = is_known(f)
    if not known:
        return f"[{k}] new", False
    law = f.verdict.law if f.verdict is not None else f.match.law
    return f"[{k}] known: {law}", True


def _text(label: object, most: int = 40) -> str:
    """A label drawn as the text it is (matplotlib reads $...$ as math markup), cut to `most`
    characters."""
    text = str(label)
    if len(text) > most:
        text = text[: most - 1] + "\u2026"
    return text.replace("$", r"\$")


def _numbers(ks: list[int]) -> str:
    shown = ", ".join(f"[{k}]" for k in ks[:10])
    return shown + (f" and {len(ks) - 10:,} more" if len(ks) > 10 else "")


def _chosen(run: Run, most: int) -> tuple[list[int], list[Block], list[int], int]:
    """The structures' rows in rank order, while they fit in `most` rows; where not all fit,
    each structure draws at most a twentieth of them (its first members), and one larger than
    the room left is passed over. The structures passed over, and the members drawn at most."""
    share = most if sum(len(f.rows) for f in run.found) <= most else max(most // 20, 1)
    rows: list[int] = []
    blocks: list[Block] = []
    passed: list[int] = []
    for k, f in enumerate(run.found):
        members = list(f.rows)[:share]
        if len(rows) + len(members) > most:
            passed.append(k)
            continue
        label, known = _label(k, f)
        blocks.append(Block(len(rows), len(members), label, known))
        rows.extend(members)
    return rows, blocks, passed, share


def _graph_values(run: Run, rows: np.ndarray) -> np.ndarray:
    """The similarities of `rows` from the similarity graph's edges; NaN for the pairs not in it
    (below the threshold), 1 on the diagonal."""
    assert run.graph is not None
    edge_rows, edge_cols, similarities = (np.asarray(a) for a in run.graph[:3])
    place = np.full(len(run.ids), -1, dtype=np.int64)
    place[rows] = np.arange(len(rows))
    a, b = place[edge_rows], place[edge_cols]
    kept = (a >= 0) & (b >= 0)
    values = np.full((len(rows), len(rows)), np.nan)
    values[a[kept], b[kept]] = similarities[kept]
    values[b[kept], a[kept]] = similarities[kept]
    np.fill_diagonal(values, 1.0)
    return values


def picture(run: Run, most: int = MOST_ROWS) -> Picture:
    """What the picture shows: the structures' members in rank order and, on the dense path,
    the formulas in no structure after them, at most `most` rows in all."""
    rows, blocks, passed, share = _chosen(run, most)
    parts = [
        f"the members of {len(blocks):,} of the {len(run.found):,} structures"
        if passed
        else f"the members of all {len(run.found):,} structures"
    ]
    if any(len(f.rows) > share for f in run.found):
        parts[0] += f", each with its first {share:,} at most"
    after = []
    if passed:
        after.append(f"{len(passed):,} structures not drawn for want of room: {_numbers(passed)}.")
    threshold = None
    if run.matrix is None:
        threshold = float(run.settings.get("sim_threshold", 0.0))
        order = np.asarray(rows, dtype=np.int64)
        values = _graph_values(run, order) if run.graph is not None else np.eye(len(order))
        low = math.floor(threshold * 20) / 20
        after.append(
            "Drawn from the similarity graph: the pairs below the clustering threshold "
            f"{threshold:.6g} are not in it, and are grey."
        )
    else:
        grouped = {r for f in run.found for r in f.rows}
        others = sorted(
            (c for c in run.clusters if not grouped.intersection(c)), key=lambda c: (-len(c), c[0])
        )
        rest = [r for c in others for r in c]
        room = most - len(rows)
        if rest and room > 0:
            blocks.append(
                Block(len(rows), min(room, len(rest)), f"in no structure ({len(rest):,})", None)
            )
            rows.extend(rest[:room])
            parts.append(
                f"then {min(room, len(rest)):,} of the {len(rest):,} formulas in no structure"
                if room < len(rest)
                else f"then the {len(rest):,} formulas in no structure"
            )
        order = np.asarray(rows, dtype=np.int64)
        values = np.asarray(run.matrix)[np.ix_(order, order)]
        low = 0.0
    note = " ".join(
        [f"Shows {', '.join(parts)} ({len(order):,} of the {len(run.ids):,} formulas).", *after]
    )
    return Picture(order, blocks, values, low, threshold, note)


def _spaced(centres: list[float], most: int, gap: float) -> list[int]:
    """The labels kept, in order of priority (the list's), so that no two centres are nearer
    than `gap` and no more than `most` are kept."""
    kept: list[int] = []
    for i, c in enumerate(centres):
        if len(kept) < most and all(abs(c - centres[j]) >= gap for j in kept):
            kept.append(i)
    return kept


def _colour(block: Block) -> str:
    return OTHER_TEXT if block.known is None else KNOWN_TEXT if block.known else NEW_TEXT


def _outline(ax: object, blocks: list[Block], pixels: float) -> None:
    """Each structure's square; a black halo round the colour where the square is large enough
    to show it, a thin line alone where it is a few pixels wide."""
    from matplotlib.patches import Rectangle

    for b in blocks:
        if b.known is None:
            continue
        colour = KNOWN if b.known else NEW
        lines = [("black", 3.5), (colour, 1.8)] if b.size * pixels >= 8 else [(colour, 0.8)]
        for edge, width in lines:
            ax.add_patch(  # type: ignore[attr-defined]
                Rectangle(
                    (b.start - 0.5, b.start - 0.5),
                    b.size,
                    b.size,
                    fill=False,
                    edgecolor=edge,
                    lw=width,
                    linestyle="-" if b.known or edge == "black" else (0, (3, 2)),
                    clip_on=False,
                )
            )


def figure(run: Run, shown: Picture | None = None) -> "Figure":
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    shown = picture(run) if shown is None else shown
    n = len(shown.rows)
    fig = plt.figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    ax = fig.add_axes((LEFT / WIDTH, (HEIGHT - TOP - SIDE) / HEIGHT, SIDE / WIDTH, SIDE / HEIGHT))
    cmap = matplotlib.colormaps["viridis"].with_extremes(bad=BELOW)
    image = ax.imshow(
        np.ma.masked_invalid(shown.values) if n else np.zeros((1, 1)),
        cmap=cmap,
        vmin=shown.low,
        vmax=1.0,
        interpolation="nearest" if n <= SIDE else "antialiased",
    )
    bar = fig.add_axes(
        (LEFT / WIDTH, (HEIGHT - TOP - SIDE - 50) / HEIGHT, SIDE / WIDTH, 16 / HEIGHT)
    )
    fig.colorbar(image, cax=bar, orientation="horizontal")
    bar.set_xlabel(
        "similarity (1: the same behaviour and form)"
        + (f"; grey: below {shown.threshold:.6g}, not measured" if shown.threshold else ""),
        fontsize=8,
    )
    bar.tick_params(labelsize=8)
    pixels = SIDE / max(n, 1)  # the height of a row in pixels
    _outline(ax, shown.blocks, pixels)
    centres = [b.start + (b.size - 1) / 2 for b in shown.blocks]
    spaced = _spaced(centres, MOST_LABELS, LABEL_GAP / pixels)
    labels = [_text(shown.blocks[i].label, 34) for i in spaced]
    ax.set_xticks([])
    if n <= ROW_LABELS:
        size = min(8, max(4, int(pixels * 0.5)))
        ax.set_yticks(range(n), [_text(run.ids[r], 34) for r in shown.rows], fontsize=size)
        for i, text in zip(spaced, labels):
            ax.annotate(
                text,
                xy=(1.0, 1 - (centres[i] + 0.5) / n),
                xycoords="axes fraction",
                xytext=(4, 0),
                textcoords="offset points",
                va="center",
                fontsize=LABEL_POINTS,
                color=_colour(shown.blocks[i]),
                annotation_clip=False,
            )
    else:
        ax.set_yticks([centres[i] for i in spaced], labels, fontsize=LABEL_POINTS)
        for tick, i in zip(ax.get_yticklabels(), spaced):
            tick.set_color(_colour(shown.blocks[i]))
    structures = [b for b in shown.blocks if b.known is not None]
    known = sum(bool(b.known) for b in structures)
    ax.set_title(
        f"Similarity, ordered by structure rank: {n:,} formulas, {len(structures):,} structures "
        f"({known:,} known laws, {len(structures) - known:,} new)",
        fontsize=10,
        loc="left",
        pad=24,
    )
    handles: list[Any] = [
        Line2D([], [], color=KNOWN, lw=2, label="known law"),
        Line2D([], [], color=NEW, lw=2, linestyle=(0, (3, 2)), label="new structure"),
    ]
    if shown.threshold is not None:
        handles.append(Patch(color=BELOW, label="below the threshold"))
    ax.legend(
        handles=handles,
        loc="lower right",
        bbox_to_anchor=(1.0, 1.0),
        ncol=len(handles),
        fontsize=8,
        frameon=False,
    )
    if not n:
        ax.text(0, 0, "no structure to draw", ha="center", va="center", fontsize=12)
    return fig


def draw(run: Run, most: int = MOST_ROWS) -> tuple[bytes, str]:
    """The picture as PNG bytes, and what it shows."""
    import matplotlib.pyplot as plt

    shown = picture(run, most)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # an empty picture's colour scale
        fig = figure(run, shown)
        out = io.BytesIO()
        fig.savefig(out, format="png")
    plt.close(fig)
    return out.getvalue(), shown.note


def png(run: Run) -> bytes:
    """The picture as PNG bytes (1100 x 900 pixels)."""
    return draw(run)[0]
