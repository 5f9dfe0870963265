// Invariants grouped into families: by the operation that made them, or by the language model's
// reading of what they mean.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// {family key: {"group_name", "summary", "examples"}} by each invariant's operation.
object deterministic_groups(handle invariants);
// The families the model's answer names, each invariant tagged with its family
// (`semantic_group`); an unusable answer raises.
object model_groups(handle invariants, handle llm_client);

}  // namespace kt
