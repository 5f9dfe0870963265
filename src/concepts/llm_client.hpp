// The language-model calls: `llm_call`, the retrying JSON-answer request through the module's
// client, and `ai`, one streamed concept analysis with a client of its own.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef llm_call_def, ai_def;

// `text.strip()` with a leading "```json" fence and a trailing "```" fence removed.
object strip_fences(handle text);

}  // namespace kt
