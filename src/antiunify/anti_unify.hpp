// Anti-unification of two expressions: the shared structure kept, differences replaced by
// fresh φ-wildcards, variables of different sources merged into generalised variables.
#pragma once

#include <unordered_map>

#include "antiunify/scoring.hpp"
#include "runtime/py.hpp"

namespace kt {

// The state one fold shares across its steps: the caller's counter and memo objects, and the
// node table its scores are computed on.
struct Fold {
    Fold(handle counter, handle memo, handle variable_memo, Scorer& score)
        : counter(counter), memo(memo), variable_memo(variable_memo), score(score) {}

    handle counter;        // list whose first item is the last wildcard number
    handle memo;           // dict: canonical pair key -> generalisation
    handle variable_memo;  // dict: sorted srepr pair -> generalised variable
    Scorer& score;
    // When no caller can see `memo`, pairs are remembered by their node ids instead: the same
    // lookups (one entry per unordered pair of distinct expressions) without printing both
    // expressions for every key.
    bool private_memo = false;
    std::unordered_map<uint64_t, object> memo_by_ids;
};

object anti_unify(handle a, handle b, Fold& fold);

// `_anti_unify`: one pair, with the caller's wildcard counter and memo dicts.
object anti_unify(handle a, handle b, handle counter, handle memo, handle variable_memo);

}  // namespace kt
