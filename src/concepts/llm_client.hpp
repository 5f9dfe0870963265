// The language-model calls: `llm_call`, the retrying JSON-answer request through the module's
// client, and `ai`, one streamed concept analysis with a client of its own.
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The JSON text of the model's answer to `prompt`, after up to `max_retries` attempts.
object llm_call(handle prompt, bool verbose, handle max_retries);
// Streams one concept analysis of `report` to standard output, with a client made from `api`.
object ai(handle report, handle api);

// `text.strip()` with a leading "```json" fence and a trailing "```" fence removed.
object strip_fences(handle text);

}  // namespace kt
