#include "concepts/llm_client.hpp"

#include <string>

#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kSystemPrompt =
    "\nYou are an expert mathematical concept discoverer working with KELTRAN.\n"
    "\n"
    "Goal: Determine whether the discovered operator represents a genuine, reusable mathematical "
    "abstraction. Be precise, insightful, and mathematically mature. Prioritize geometric, "
    "constraint-based, and boundary-sensitive interpretations.\n"
    "\n"
    "Inputs:\n"
    "- Operator definition\n"
    "- Structural decomposition  \n"
    "- Behavioral fingerprint\n"
    "- Invariant families\n"
    "- Source expressions\n"
    "- Generated compositions\n"
    "\n"
    "Stage 1 \xe2\x80\x94 Core Invariant Extraction\n"
    "First, identify the simplest recurring primitive (e.g. M = 1 - (v1/v2)\xc2\xb2). Explain what "
    "this primitive fundamentally represents.\n"
    "\n"
    "Stage 2 \xe2\x80\x94 Source & Phenomenon Analysis\n"
    "Analyze the source expressions. Focus on the underlying phenomenon, not superficial algebra. "
    "What quantity or relationship do they model? What shared structure keeps appearing?\n"
    "\n"
    "Stage 3 \xe2\x80\x94 Semantic Hypotheses\n"
    "Generate 3\xe2\x80\x93"
    "5 specific, high-quality hypotheses. Avoid overly generic terms like "
    "\"decay\" unless truly central. Favor interpretations involving margins, boundaries, "
    "normalization, geometry, or constraints.\n"
    "\n"
    "Stage 4 \xe2\x80\x94 Validation\n"
    "For each hypothesis, evaluate support from:\n"
    "- Core invariant\n"
    "- Operator structure\n"
    "- Behavioral properties (especially domain boundaries and singularities)\n"
    "- Invariants & closure\n"
    "- Recurrence in sources and compositions\n"
    "Assign realistic confidence (0.0\xe2\x80\x93"
    "1.0)\n"
    "\n"
    "Stage 5 \xe2\x80\x94 Practical Utility\n"
    "Suggest 2\xe2\x80\x93"
    "3 strong, memorable names.\n"
    "Provide 2\xe2\x80\x93"
    "3 concrete, realistic use cases in applied domains (physics, optimization, "
    "graphics, resource allocation, confidence modeling, etc.).\n"
    "\n"
    "Stage 6 \xe2\x80\x94 Concept Judgment\n"
    "Classify as:\n"
    "- Not a Concept\n"
    "- Weak Candidate Concept  \n"
    "- Moderate Candidate Concept\n"
    "- Strong Candidate Concept\n"
    "\n"
    "Output Format (strict):\n"
    "\n"
    "OPERATOR\n...\n\nCORE INVARIANT\n...\n\nSOURCE ANALYSIS\n...\n\nCANDIDATE SEMANTICS\n...\n\n"
    "VALIDATION\n...\n\nPRACTICAL UTILITY & NAMES\n...\n\nCONCEPT FORMATION TEST\n...\n\n"
    "FINAL CLASSIFICATION\n...\n\nCONFIDENCE\n...";

// The outermost JSON object or array of an answer, or "".
object extract_json_span(handle text) {
    object re = import_module("re");
    object cleaned = strip_fences(text);
    object match = re.attr("search")(pystr("(\\{.*\\}|\\[.*\\])"), cleaned, re.attr("DOTALL"));
    return match.is_none() ? pystr("") : match.attr("group")(1);
}

object chat_message(const char* role, handle content) {
    object message = check(PyDict_New());
    check_status(PyDict_SetItemString(message.ptr(), "role", pystr(role).ptr()));
    check_status(PyDict_SetItemString(message.ptr(), "content", content.ptr()));
    return message;
}

[[noreturn]] void runtime_error(handle message) {
    PyErr_SetObject(PyExc_RuntimeError, message.ptr());
    throw nb::python_error();
}

}  // namespace

object llm_call(handle prompt, bool verbose, handle max_retries_given) {
    if (!PyNumber_Check(max_retries_given.ptr()))
        raise(PyExc_TypeError, "Argument 'max_retries' has incorrect type (expected int, got " +
                                   class_name_std(max_retries_given) + ")");
    object retries = check(PyNumber_Long(max_retries_given.ptr()));
    const long long max_retries = PyLong_AsLongLong(retries.ptr());
    if (max_retries == -1 && PyErr_Occurred()) throw nb::python_error();
    object json = import_module("json");
    object client = module_global("groq_client");
    if (client.is_none())
        raise(PyExc_RuntimeError,
              "Groq client not initialized. Set GROQ_API_KEY environment variable:\n"
              "  export GROQ_API_KEY='your-key-here'");
    object print = get_attr(state().builtins, "print");
    for (long long attempt = 0; attempt < max_retries; ++attempt) {
        object counter = concat({format(pyint(attempt + 1)), pystr("/"), format(retries)});
        try {
            object messages = check(PyList_New(0));
            check_status(PyList_Append(messages.ptr(), chat_message("user", prompt).ptr()));
            object create = get_attr(
                get_attr(get_attr(module_global("groq_client"), "chat"), "completions"), "create");
            object response = create(nb::arg("model") = module_global("GROQ_MODEL"),
                                     nb::arg("messages") = messages, nb::arg("temperature") = 0.0,
                                     nb::arg("max_tokens") = 4096);
            object content =
                get_attr(get_attr(item(get_attr(response, "choices"), 0), "message"), "content");
            if (!truth(content)) raise(PyExc_ValueError, "Empty response from LLM");
            object cleaned = extract_json_span(content);
            if (!truth(cleaned)) {
                if (verbose)
                    print(concat({pystr("LLM response (raw): "), item(content, slice(kOpen, 200)),
                                  pystr("...")}));
                raise(PyExc_ValueError, "No JSON object found in LLM response");
            }
            json.attr("loads")(cleaned);
            return cleaned;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            object error = nb::borrow(e.value());
            object text = str_of(error);
            const bool value_error = e.matches(PyExc_ValueError);
            if (value_error) {
                if (verbose)
                    print(concat({pystr("LLM attempt "), counter, pystr(" failed: "), text}));
                if (attempt < max_retries - 1) {
                    import_module("time").attr("sleep")(0.5);
                    continue;
                }
                runtime_error(concat({pystr("LLM call failed after "), format(retries),
                                      pystr(" attempts: "), text}));
            }
            if (verbose)
                print(concat({pystr("LLM error (attempt "), counter, pystr("): "),
                              class_name(error), pystr(": "), text}));
            if (attempt < max_retries - 1) {
                import_module("time").attr("sleep")(1.0);
                continue;
            }
            runtime_error(concat({pystr("LLM call failed unexpectedly: "), text}));
        }
    }
    raise(PyExc_RuntimeError, "LLM call failed unexpectedly");
}

object ai(handle report, handle api) {
    object groq = import_module("groq");
    object client = groq.attr("Groq")(nb::arg("api_key") = api);
    object messages = check(PyList_New(0));
    check_status(PyList_Append(messages.ptr(), chat_message("system", pystr(kSystemPrompt)).ptr()));
    check_status(PyList_Append(messages.ptr(), chat_message("user", report).ptr()));
    object stream = get_attr(get_attr(get_attr(client, "chat"), "completions"), "create")(
        nb::arg("model") = "openai/gpt-oss-120b", nb::arg("messages") = messages,
        nb::arg("temperature") = 1, nb::arg("max_completion_tokens") = 4096,
        nb::arg("top_p") = 0.95, nb::arg("stream") = true, nb::arg("stop") = none());
    object print = get_attr(state().builtins, "print");
    object it = check(PyObject_GetIter(stream.ptr()));
    while (object chunk = nb::steal(PyIter_Next(it.ptr()))) {
        object piece = get_attr(get_attr(item(get_attr(chunk, "choices"), 0), "delta"), "content");
        print(truth(piece) ? piece : pystr(""), nb::arg("end") = "");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return none();
}

object strip_fences(handle text) {
    object re = import_module("re");
    return re.attr("sub")(pystr("^```json\\s*|\\s*```$"), pystr(""), text.attr("strip")(),
                          nb::arg("flags") = re.attr("MULTILINE"));
}

}  // namespace kt
