"""The bundled Feynman formula bank (data/feynman_equations.csv).

Source: the 100 equations of the AI Feynman database (Udrescu & Tegmark, "AI Feynman",
Science Advances 6:eaay2631, 2020), as cleaned in the repository
florianBachinger/FeynmanEquations-Python. Cite that paper if you use the data.
"""

import csv
from dataclasses import dataclass
from importlib import resources

import sympy as sp

from source.bank.parsing import parse_formula


@dataclass
class Formula:
    id: str
    output: str
    expr: sp.Expr
    variables: list[str]  # variable names as listed in the file
    bounds: dict[str, tuple[float, float]]  # name -> (low, high)

    def var_ranges(self) -> dict[int, tuple[float, float]]:
        """Ranges keyed by variable index: position among the free symbols sorted by name."""
        names = sorted(str(s) for s in self.expr.free_symbols)
        return {i: self.bounds[name] for i, name in enumerate(names)}


def load_bank() -> list[Formula]:
    """All formulas of the bundled bank, in file order."""
    text = resources.files("source").joinpath("data/feynman_equations.csv").read_text()
    bank = []
    for row in csv.DictReader(text.splitlines()):
        n = int(row["n_vars"])
        names = [row[f"var{k}_name"] for k in range(1, n + 1)]
        bounds = {
            row[f"var{k}_name"]: (float(row[f"var{k}_low"]), float(row[f"var{k}_high"]))
            for k in range(1, n + 1)
        }
        bank.append(Formula(row["id"], row["output"], parse_formula(row["formula"]), names, bounds))
    return bank
