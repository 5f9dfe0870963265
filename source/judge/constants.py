"""Physical constants that formulas carry folded into their coefficients.

A law names a constant as a variable (Coulomb's law has `epsilon`, Newton's gravitation `G`);
a formula fitted to data has its value instead (`8.98e9*X1*X2/X3**2`). A law is also tried with
such a variable set to the constant's value, and then it must match with the constant's own
factor (see `law_fit`). Which variables are constants: for the bundled laws, as `source.laws`
declares them (the R of Ohm's law is a resistance, not the gas constant); for other libraries,
by name (`names`), a constant of everyday size (R, g) only by a name that cannot mean anything
else, since a coefficient near 8.3 or 9.8 is easily met by chance.
"""

from dataclasses import dataclass


@dataclass(frozen=True)
class Constant:
    symbol: str  # as reports show it
    name: str
    value: float  # SI value (CODATA 2018)
    names: tuple[str, ...]  # the law variable names that may stand for it

    @property
    def everyday(self) -> bool:
        """A value of everyday size, which a coefficient meets by chance more easily."""
        return 1e-3 <= abs(self.value) <= 1e3


CONSTANTS = (
    Constant("G", "gravitational constant", 6.67430e-11, ("G",)),
    Constant("c", "speed of light", 299792458.0, ("c", "c0")),
    Constant("h", "Planck constant", 6.62607015e-34, ("h",)),
    Constant("\u0127", "reduced Planck constant", 1.054571817e-34, ("hbar", "h_bar")),
    Constant("k_B", "Boltzmann constant", 1.380649e-23, ("k_B", "kB", "k_b", "kb", "k")),
    Constant("e", "elementary charge", 1.602176634e-19, ("e", "q_e")),
    Constant(
        "\u03b50",
        "vacuum permittivity",
        8.8541878128e-12,
        ("epsilon", "epsilon0", "epsilon_0", "eps", "eps0", "\u03b5", "\u03b50"),
    ),
    Constant("\u03bc0", "vacuum permeability", 1.25663706212e-6, ("mu0", "mu_0", "\u03bc0")),
    Constant("N_A", "Avogadro constant", 6.02214076e23, ("N_A", "NA")),
    Constant("R", "molar gas constant", 8.314462618, ("R_gas", "R_0")),
    Constant("g", "standard gravity", 9.80665, ("g0", "g_0", "g_n")),
    Constant("\u03c3", "Stefan-Boltzmann constant", 5.670374419e-8, ("sigma",)),
    Constant("m_e", "electron mass", 9.1093837015e-31, ("m_e",)),
)

BY_NAME = {name: c for c in CONSTANTS for name in c.names}
BY_SYMBOL = {c.symbol: c for c in CONSTANTS}
