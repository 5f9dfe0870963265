"""The bundled Feynman bank parses completely, with the listed variables as plain symbols."""

from source.bank.feynman import load_bank


def test_all_formulas_parse_with_their_variables():
    bank = load_bank()
    assert len(bank) == 100
    for f in bank:
        assert {str(s) for s in f.expr.free_symbols} == set(f.variables), f.id
        assert all(s.is_Symbol and not s.is_Function for s in f.expr.free_symbols)
    by_id = {f.id: f for f in bank}
    # Names that would otherwise parse as functions or the imaginary unit.
    assert "gamma" in by_id["I.39.11"].variables and "I" in by_id["II.13.17"].variables
    assert not by_id["II.13.17"].expr.has(__import__("sympy").I)
    assert "asin" in str(by_id["I.26.2"].expr)


def test_var_ranges_follow_sorted_symbol_names():
    f = next(f for f in load_bank() if f.id == "I.6.2")  # sigma, theta
    assert f.var_ranges() == {0: f.bounds["sigma"], 1: f.bounds["theta"]}
