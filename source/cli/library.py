"""``keltran library``: a library's laws with their forms and where each comes from, and the
classes of laws of one form, which no formula can tell apart."""

import argparse

from source.bank.laws import load_library
from source.cli.inputs import read_entries, said
from source.cli.progress import Progress
from source.engine import kt
from source.judge.law_fit import constants_of
from source.judge.verdicts import form_classes


def command(args: argparse.Namespace) -> int:
    """Lists a library's laws with their forms and where each comes from, then the classes of
    laws of one form, which no formula can tell apart."""
    if args.library:
        with said():
            entries, _ = read_entries(
                args.library, args.skip_bad, args.unique_ids, Progress(False), "the library"
            )
        laws = {e.id: (e.expr, e.where) for e in entries}
        label = ", ".join(args.library)
    else:
        laws = {
            name: (expr, "bundled (source/bank/laws.py)") for name, expr in load_library().items()
        }
        label = "bundled textbook laws"
    exprs = {name: expr for name, (expr, _) in laws.items()}
    classes = form_classes(exprs)
    print(f"KELTRAN library: {len(laws)} laws ({label})\n")
    width = max((len(n) for n in laws), default=0)
    for name, (expr, where) in laws.items():
        constants = sorted(f"{var} = {c.symbol}" for var, c in constants_of(name, expr).items())
        note = f"   constants it may fold: {', '.join(constants)}" if constants else ""
        print(f"  {name:<{width}}  {expr}   form {kt._canonicalize_expr(expr)}   [{where}]{note}")
    shared = {tuple(c) for c in classes.values() if len(c) > 1}
    print(f"\n{len(shared)} classes of laws of one form (a formula of that form is each of them):")
    for c in sorted(shared):
        print(f"  {len(c)} laws of the form {kt._canonicalize_expr(exprs[c[0]])}: {', '.join(c)}")
    if not shared:
        print("  (none)")
    return 0
