"""The verdict on every formula of a bank: a law the library holds (which law, how it matched,
how close) or new; and the verdict on a structure, from its members'.

A formula is tried against the library on its form and on its values:

- form: the formula as written, then its canonical form (`source.canonical`: intercept and
  factor split off, small terms dropped, numbers snapped), is a law with its variables renamed
  ("identical"), up to a constant factor or an added constant ("scaled"), or is so once
  canonical ("canonical");
- values: it equals a law up to a renaming and a*law + b on its ranges ("numeric"), the law
  possibly with a physical constant folded into the formula's coefficients (`source.law_fit`).

Laws of one form (m*a, I*R, m*v, ...) cannot be told apart by a formula: a verdict names all of
them (`laws`) and one by a rule that does not depend on the library's order: a formula that is
a law as written is named from that law's form; otherwise the closest fit, then the fit whose
folded constants match, then the factor nearest 1, then the name.
"""

import dataclasses
import warnings
from dataclasses import dataclass, field
from typing import Any, cast

import numpy as np
import sympy as sp

from source.engine import kt
from source.judge import canonical, law_fit
from source.judge.canonical import SNAP_TOLERANCE, Canonical
from source.judge.law_fit import R2_THRESHOLD

FORM_KINDS = ("identical", "scaled")


@dataclass
class Verdict:
    verdict: str  # "known", "new" or "skipped"
    law: str | None = None  # the law named
    laws: list[str] = field(
        default_factory=list
    )  # every law of equal standing, the named one first
    kind: str | None = None  # identical, scaled, canonical or numeric
    closeness: float | None = None  # in [0, 1]: the R^2 of the fit (1 for a form matched unfitted)
    mapping: dict | None = None  # formula variable -> law variable
    folded: str = ""  # the constants folded into the formula's coefficients
    canonical: Canonical | None = None  # its core None where the verdict was read from a kept state
    reason: str | None = None  # why a row was skipped
    canonical_text: str | None = None  # the canonical form as printed, made where it was judged

    def text(self) -> str:
        """ "known (numeric, R² 0.99987): kinetic_energy" or "new"."""
        if self.verdict != "known":
            return self.verdict
        how = self.kind if self.closeness is None else f"{self.kind}, R\u00b2 {self.closeness:.6g}"
        return f"known ({how}): {self.law}"


def form_classes(library: dict) -> dict[str, list[str]]:
    """Each law's class of laws of the same form (equal up to renaming, a constant factor and an
    added constant), sorted by name."""
    names = [n for n, e in library.items() if isinstance(e, sp.Expr)]
    parent = {n: n for n in names}

    def root(n: str) -> str:
        while parent[n] != n:
            n = parent[n]
        return n

    for i, a in enumerate(names):
        for b in names[i + 1 :]:
            if root(a) == root(b):
                continue
            found = kt.match_library(library[a], {b: library[b]})
            if found is not None and found.kind in FORM_KINDS:
                parent[root(a)] = root(b)
    classes: dict[str, list[str]] = {}
    for n in names:
        classes.setdefault(root(n), []).append(n)
    return {n: sorted(classes[root(n)]) for n in names}


class Judge:
    """Judges formulas against one library; prepared once (its numeric forms and classes)."""

    def __init__(
        self, library: dict, snap: float = SNAP_TOLERANCE, threshold: float = R2_THRESHOLD
    ) -> None:
        self.library = library
        self.snap = snap
        self.threshold = threshold
        self.forms = law_fit.law_forms(library)
        self.classes = form_classes(library)

    def _form(self, expr: sp.Basic) -> Any:
        try:
            found = kt.match_library(expr, self.library)
        except (TypeError, ValueError, RecursionError):
            return None
        return found if found is not None and found.kind in FORM_KINDS else None

    def verdict(self, expr: sp.Expr, bounds: dict | None = None) -> Verdict:
        symbols = canonical.symbols_of(expr)
        arrays = canonical.sample(symbols, bounds)
        canon = canonical.of(expr, bounds, self.snap)
        y = canon.values
        kept = canonical.symbols_of(canon.core)
        columns = [arrays[symbols.index(s)] for s in kept if s in symbols]

        def at(cols: np.ndarray) -> np.ndarray | None:
            """The formula's values with its kept variables at other points."""
            moved = list(arrays)
            for k, s in enumerate(kept):
                moved[symbols.index(s)] = cols[k]
            return canonical.values(expr, symbols, moved)

        fits = (
            law_fit.fits(y, kept, columns, self.forms, self.threshold, at)
            if len(columns) == len(kept)
            else []
        )
        form, kind = self._form(expr), None
        if form is not None:
            kind = form.kind
        elif canon.core != expr:
            form = self._form(canon.core)
            kind = "canonical" if form is not None else None
        return self.decided(canon, fits, form, kind)

    def decided(self, canon: Canonical, fits: list, form: Any, kind: str | None) -> Verdict:
        """The verdict of a formula whose canonical form is `canon`, from the laws it fits
        (`law_fit.fits`) and the law whose form it has (a LibraryMatch of the kinds
        identical or scaled, `kind` "canonical" where its canonical form has it), or None."""
        by_law = {f.law: f for f in fits}
        if form is None and not fits:
            return Verdict("new", canonical=canon)
        # The laws of equal standing: the matched form's class and the laws fitted as closely.
        standing = self._equal(form.law if form is not None else fits[0].law, fits)
        fitted = sorted((by_law[n] for n in standing if n in by_law), key=law_fit.rank)
        # A formula that is a law as written, up to renaming, is named from that law's class:
        # a law that only fits as closely (an approximation on these ranges) stands beside it.
        # A scaled form leaves its factor unexplained, which a folded constant may explain.
        if form is not None and kind == "identical":
            own = self.classes.get(form.law, [form.law])
            fitted = [f for f in fitted if f.law in own] or fitted
        named = fitted[0] if fitted else None
        law = named.law if named else standing[0]
        laws = [law] + [n for n in standing if n != law]
        if form is None or law not in self.classes.get(form.law, [form.law]):
            kind = "numeric"
        mapping = named.mapping if named else dict(form.mapping or {})
        # A form that matches without a fit (values that cannot be sampled) is as close as can be.
        return Verdict(
            "known",
            law,
            laws,
            kind,
            named.r2 if named else 1.0,
            mapping,
            named.folded_text() if named else "",
            canon,
        )

    def _equal(self, law: str, fits: list) -> list[str]:
        """The laws of equal standing with `law`: its form class and the laws fitted as closely."""
        own = next((f for f in fits if f.law == law), None)
        # A law's class is of its whole form: a fit with a constant folded in stands for itself.
        out = [law] if own is not None and own.folded else list(self.classes.get(law, [law]))
        if own is not None:
            for f in fits:
                if f.law not in out and round(f.r2, 6) == round(own.r2, 6):
                    out += (
                        [f.law]
                        if f.folded
                        else [n for n in self.classes.get(f.law, [f.law]) if n not in out]
                    )
        return sorted(out)


_JUDGES: dict = {}


def judge_of(library: dict, snap: float, threshold: float) -> Judge:
    """A Judge for this library and settings, kept while the library object lives unchanged."""
    key = (id(library), snap, threshold)
    held = _JUDGES.get(key)
    if held is None or held.library is not library or len(held.library) != len(held.classes):
        _JUDGES.clear()
        held = _JUDGES[key] = Judge(library, snap, threshold)
    return held


def judge_block(library: dict, snap: float, threshold: float, rows: list) -> list[Verdict]:
    """The verdicts of rows (expression, bounds by name): the task each worker runs."""
    judge = judge_of(library, snap, threshold)
    out = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for expr, bounds in rows:
            v = judge.verdict(expr, bounds)
            if v.canonical is not None:
                v.canonical_text = v.canonical.text()
                v.canonical = dataclasses.replace(v.canonical, values=None)  # the values stay here
            out.append(v)
    return out


def verdict_key(library_id: str, snap: float | None, threshold: float | None) -> str:
    """What a kept verdict holds for: the library and the settings it was judged with (None: a
    run made without them)."""
    return f"{library_id}|{snap!r}|{threshold!r}"


def to_record(v: Verdict) -> dict:
    """A verdict as JSON data (a kept state's), its canonical form as printed."""
    c = v.canonical
    return {
        "verdict": v.verdict,
        "law": v.law,
        "laws": list(v.laws),
        "kind": v.kind,
        "closeness": v.closeness,
        "mapping": v.mapping,
        "folded": v.folded,
        "reason": v.reason,
        "canonical": v.canonical_text
        or (str(c.core) if c is not None and c.core is not None else None),
        "intercept": c.intercept if c is not None else None,
        "scale": c.scale if c is not None else None,
        "changes": list(c.changes) if c is not None else [],
    }


def from_record(d: dict) -> Verdict:
    """The verdict `to_record` wrote; ValueError where the data is not such a record."""
    if not isinstance(d, dict) or d.get("verdict") not in ("known", "new", "skipped"):
        raise ValueError("not a kept verdict")
    laws, changes, mapping = d.get("laws"), d.get("changes"), d.get("mapping")
    closeness, intercept, scale = d.get("closeness"), d.get("intercept"), d.get("scale")
    if not (
        isinstance(laws, list)
        and all(isinstance(n, str) for n in laws)
        and isinstance(changes, list)
        and all(isinstance(c, str) for c in changes)
        and (mapping is None or isinstance(mapping, dict))
        and all(
            x is None or (isinstance(x, (int, float)) and not isinstance(x, bool))
            for x in (closeness, intercept, scale)
        )
    ):
        raise ValueError("a kept verdict of the wrong shape")
    canon = None
    if intercept is not None and scale is not None:
        canon = Canonical(None, float(intercept), float(scale), list(changes))
    text = d.get("canonical")
    return Verdict(
        d["verdict"],
        d.get("law"),
        list(laws),
        d.get("kind"),
        closeness,
        mapping,
        str(d.get("folded") or ""),
        canon,
        d.get("reason"),
        text if isinstance(text, str) else None,
    )


@dataclass
class StructureVerdict:
    verdict: str  # "known" or "new"
    law: str | None
    laws: list[str]
    known: int  # members known as a law of that form
    members: int
    others: dict[str, int]  # other laws members are known as, with their counts

    def text(self) -> str:
        """ "known: coulomb_law, 31 of 40 members (9 new)" or "new (3 of 40 members are known
        laws: electric_power 3)"."""
        new = self.members - self.known - sum(self.others.values())
        if self.verdict == "known":
            rest = [f"{n} {c}" for n, c in self.others.items()] + ([f"{new} new"] if new else [])
            return f"known: {self.law}, {self.known} of {self.members} members" + (
                f" ({', '.join(rest)})" if rest else ""
            )
        named = dict(self.others)
        if self.law is not None:
            named = {self.law: self.known, **named}
        if not named:
            return "new"
        return (
            f"new ({sum(named.values())} of {self.members} members are known laws: "
            + ", ".join(f"{n} {c}" for n, c in named.items())
            + ")"
        )


def structure_verdict(members: list[Verdict]) -> StructureVerdict:
    """A structure is the law most of its members are (counting laws of one form together) when
    more than half of them are, or half and the others are new; else it is new."""
    groups: dict[str, list[Verdict]] = {}
    for v in members:
        if v.verdict == "known" and v.law is not None:
            key = min(v.laws) if v.laws else v.law
            groups.setdefault(key, []).append(v)
    if not groups:
        return StructureVerdict("new", None, [], 0, len(members), {})
    ranked = sorted(groups.items(), key=lambda kv: (-len(kv[1]), kv[0]))
    key, chosen = ranked[0]
    names: dict[str, int] = {}
    for v in chosen:
        name = cast(str, v.law)  # grouped above only where it names one
        names[name] = names.get(name, 0) + 1
    law = sorted(names.items(), key=lambda kv: (-kv[1], kv[0]))[0][0]
    laws = sorted({n for v in chosen for n in v.laws}, key=lambda n: (n != law, n))
    others: dict[str, int] = {}
    for k, vs in ranked[1:]:
        other = cast(str, vs[0].law)
        others[other] = others.get(other, 0) + len(vs)
    share = 2 * len(chosen)
    verdict = "known" if share > len(members) or (share == len(members) and not others) else "new"
    return StructureVerdict(verdict, law, laws, len(chosen), len(members), others)
