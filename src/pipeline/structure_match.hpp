// A structure matched against the library with its members given as their rows' native trees:
// the structure's library match, each member's own, and each member's bindings, as the run's
// sympy path makes them from `match_library` and `bind`, with no sympy object made for a member.
#pragma once

#include "runtime/py.hpp"

namespace kt {

struct StructureMatchCall {
    handle candidate, library, trees;
    double near_threshold;
};

// (match, member_matches, bindings, binding_texts) for a candidate whose members are, in order,
// `trees`: one (row record, encoded canonical core) per member (pipeline/row_record.hpp). A
// member's bindings are those of its formula, else of its core where that differs: a list of
// (formula symbol, encoded value tree) in bind's order, or None; their texts {str: str}. None
// where a tree is beyond what is matched natively: the caller takes the sympy path.
object match_structure(const StructureMatchCall& call);

}  // namespace kt
