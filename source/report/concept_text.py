"""The concept of an operator as a person reads it, and as JSON."""

from collections.abc import Sequence
from typing import Any


def _invariant_line(inv: Any) -> str:
    tags = ["operator law" if inv.is_operator_form else "expression"]
    if inv.closure_type != "none":
        tags.append(inv.closure_type)
    if inv.parameter_shift is not None:
        tags.append(f"shift {inv.parameter_shift:+d}")
    if inv.semantic_group:
        tags.append(f"group: {inv.semantic_group}")
    wrt = f" in {inv.wrt}" if inv.wrt else ""
    return f"    {inv.rule}\n        {inv.op_type.replace('_', ' ')}{wrt}; " + ", ".join(tags)


def concept_text(concept: Any, failures: Sequence[str] = ()) -> str:
    """Readable text: the operator, its parameters, the summary, each family with its
    invariants (operator laws first), and the steps that failed when asked for."""
    lines = [
        f"Concept of {concept.name}",
        "",
        f"  operator   : Op({', '.join(str(p) for p in concept.params)}) = "
        f"{concept.operator_definition}",
        f"  parameters : {', '.join(str(p) for p in concept.params) or '(none)'}",
        f"  summary    : {concept.concept_summary}",
        "",
    ]
    by_family: dict[str, list[Any]] = {}
    for inv in concept.invariants:
        key = inv.semantic_group or inv.op_type.split("_")[0]
        by_family.setdefault(key, []).append(inv)
    for key, info in concept.families.items():
        lines.append(f"{info.get('group_name') or key}: {info.get('summary', '')}")
        members = sorted(by_family.pop(key, []), key=lambda inv: not inv.is_operator_form)
        lines += [_invariant_line(inv) for inv in members] or [
            f"    {e}" for e in info.get("examples", [])
        ]
        lines.append("")
    for key, members in by_family.items():  # invariants a model left out of its groups
        lines.append(f"{key} (in no family):")
        lines += [_invariant_line(inv) for inv in members]
        lines.append("")
    closure = ", ".join(concept.closure_properties) or "none found"
    lines.append(f"Closed under: {closure}")
    if failures:
        lines += ["", "Steps that failed or ran out of time:"] + [f"  {f}" for f in failures]
    return "\n".join(lines)


def concept_json(concept: Any) -> dict[str, Any]:
    """The concept as plain JSON values (expressions as text)."""
    return {
        "name": concept.name,
        "definition": str(concept.operator_definition),
        "params": [str(p) for p in concept.params],
        "summary": concept.concept_summary,
        "families": {
            str(k): {
                "group_name": v.get("group_name"),
                "summary": v.get("summary", ""),
                "examples": [str(e) for e in v.get("examples", [])],
            }
            for k, v in concept.families.items()
        },
        "closure_properties": list(concept.closure_properties),
        "invariants": [
            {
                "op_type": inv.op_type,
                "wrt": inv.wrt,
                "rule": str(inv.rule),
                "is_operator_form": bool(inv.is_operator_form),
                "coefficient": None if inv.coefficient is None else str(inv.coefficient),
                "closure_type": inv.closure_type,
                "parameter_shift": inv.parameter_shift,
                "semantic_group": inv.semantic_group,
            }
            for inv in concept.invariants
        ],
    }
