// The public functions of concept discovery: the language-model calls and discover_concept.
#include "module/declarations.hpp"

#include "concepts/discover.hpp"
#include "concepts/helpers.hpp"
#include "concepts/llm_client.hpp"

namespace kt {

namespace {

struct LlmCall {
    handle prompt;
    bool verbose;
    handle max_retries;
};

struct AiCall {
    handle report, api;
};

struct DiscoverCall {
    handle report, llm_client, verbose;
};

}  // namespace

// Bound right after the module frame.
const Section llm_section{
    Declaration<LlmCall>{
        .name = "llm_call",
        .params = {{"prompt", &LlmCall::prompt, "str", Check::Str},
                   {"verbose", &LlmCall::verbose, "bool", false},
                   {"max_retries", &LlmCall::max_retries, "int", 3}},
        .returns = "str",
        .doc = "\n"
               "    Send one prompt to the chat model and return the JSON text of its answer.\n"
               "\n"
               "    Retries up to `max_retries` times: 0.5 s after an answer without valid JSON,\n"
               "    1.0 s after any other failure.\n"
               "    ",
        .body = [](const LlmCall& c) { return llm_call(c.prompt, c.verbose, c.max_retries); },
    },
};

// Bound after the operators.
const Section concepts_section{
    Declaration<AiCall>{
        .name = "ai",
        .params = {{"report", &AiCall::report}, {"api", &AiCall::api}},
        .doc =
            "Stream one concept analysis of `report` from the language model to standard output.",
        .body = [](const AiCall& c) { return ai(c.report, c.api); },
    },
    Step{init_concept_helpers},
    Declaration<DiscoverCall>{
        .name = "discover_concept",
        .params = {{"report", &DiscoverCall::report},
                   {"llm_client", &DiscoverCall::llm_client, nullptr, kNone},
                   {"verbose", &DiscoverCall::verbose, nullptr, false}},
        .doc = "\n"
               "    Turn an operator report into a Concept: its invariants under differentiation,\n"
               "    integration, products, powers and parameter shifts, grouped into families\n"
               "    (through `llm_client` when given), printed and returned.\n"
               "    ",
        .body =
            [](const DiscoverCall& c) {
                return discover_concept(c.report, c.llm_client, c.verbose);
            },
    },
};

}  // namespace kt
