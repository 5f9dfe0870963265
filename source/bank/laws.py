"""A library of textbook laws, as sympy expressions by name (every name a variable, as in bank
files).

Detection scores every generalised formula against such a library: a formula close to a law
is a "repeated" pattern, one far from all of them a "novel" structure.
"""

import sympy as sp

from source.bank.parsing import parse_formula

# Each law as the right-hand side of its defining equation, in the usual symbols.
LAWS = {
    "kinetic_energy": "m*v**2/2",
    "potential_energy_gravity": "m*g*h",
    "newton_second_law": "m*a",
    "newton_gravitation": "G*m1*m2/r**2",
    "coulomb_law": "q1*q2/(4*pi*epsilon*r**2)",
    "ideal_gas_pressure": "n*R*T/V",
    "hooke_law": "-k*x",
    "spring_energy": "k*x**2/2",
    "harmonic_oscillator": "A*cos(omega*t + phi)",
    "damped_oscillator": "A*exp(-gamma*t)*cos(omega*t)",
    "exponential_decay": "N0*exp(-lambda_*t)",
    "ohm_law": "I*R",
    "electric_power": "I**2*R",
    "momentum": "m*v",
    "centripetal_force": "m*v**2/r",
    "pendulum_period": "2*pi*sqrt(L/g)",
    "wave_speed": "f*lambda_",
    "mass_energy": "m*c**2",
    "photon_energy": "h*f",
    "boltzmann_factor": "exp(-E/(k*T))",
    "gaussian": "exp(-x**2/(2*sigma**2))/(sigma*sqrt(2*pi))",
    "stefan_boltzmann": "sigma*T**4",
    "relativistic_gamma": "1/sqrt(1 - v**2/c**2)",
    "projectile_range": "v**2*sin(2*theta)/g",
    "work": "F*d*cos(theta)",
    "gravitational_potential": "-G*M*m/r",
    "capacitor_energy": "C*V**2/2",
    "doppler_shift": "f*(c + v)/(c - v)",
    "hydrostatic_pressure": "rho*g*h",
    "lorentz_force": "q*v*B",
}


# The variables of the bundled laws that are physical constants (by `source.constants` symbol),
# which a formula fitted to data may carry folded into its coefficients.
CONSTANTS = {
    "newton_gravitation": {"G": "G"},
    "gravitational_potential": {"G": "G"},
    "coulomb_law": {"epsilon": "\u03b50"},
    "ideal_gas_pressure": {"R": "R"},
    "mass_energy": {"c": "c"},
    "relativistic_gamma": {"c": "c"},
    "doppler_shift": {"c": "c"},
    "photon_energy": {"h": "h"},
    "boltzmann_factor": {"k": "k_B"},
    "stefan_boltzmann": {"sigma": "\u03c3"},
    "potential_energy_gravity": {"g": "g"},
    "hydrostatic_pressure": {"g": "g"},
    "pendulum_period": {"g": "g"},
    "projectile_range": {"g": "g"},
}


def load_library() -> dict[str, sp.Expr]:
    """The bundled laws as a new dict of name -> sympy expression."""
    return {name: parse_formula(text) for name, text in LAWS.items()}
