#include "operators/symbolic_operator.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

#include "operators/text.hpp"
#include "runtime/state.hpp"

namespace kt::symbolic_operator {

namespace {

// Where `expand` gives up: calls nested this deep, or text this long, are far beyond any
// composition. A body that calls its own operator gets there; so can arguments that the
// parameter rewriting keeps growing.
constexpr int kMaxExpandPasses = 256;
constexpr size_t kMaxExpandedLength = 1 << 20;

}  // namespace

object init(handle self, handle name, handle params, handle body) {
    check_status(PyObject_SetAttrString(self.ptr(), "name", name.ptr()));
    check_status(PyObject_SetAttrString(self.ptr(), "params", params.ptr()));
    check_status(PyObject_SetAttrString(self.ptr(), "body", body.ptr()));
    check_status(
        PyObject_SetAttrString(self.ptr(), "_param_set", check(PySet_New(params.ptr())).ptr()));
    return none();
}

object call(handle self, handle args) {
    object name = get_attr(self, "name");
    const Py_ssize_t want = length(get_attr(self, "params")), got = PyTuple_GET_SIZE(args.ptr());
    if (want != got)
        raise(PyExc_ValueError, "Operator '" + utf8(format(name)) + "' expects " +
                                    std::to_string(want) + " args, got " + std::to_string(got));
    object parts = new_list();
    for (Py_ssize_t i = 0; i < got; ++i) append(parts, str_of(PyTuple_GET_ITEM(args.ptr(), i)));
    object joined = check(PyUnicode_Join(pystr(", ").ptr(), parts.ptr()));
    return check(PyNumber_Add(check(PyNumber_Add(name.ptr(), pystr("(").ptr())).ptr(),
                              concat({joined, pystr(")")}).ptr()));
}

namespace {

struct Call {
    size_t start, end;
    std::u32string args;
};

// Calls of `name` in `s`, outermost only, left to right. A name is matched only where it is
// not the tail of a longer identifier; an unclosed call runs to the end of the text.
std::vector<Call> find_calls(const std::u32string& s, const std::u32string& name) {
    std::vector<Call> calls;
    const std::u32string opener = name + U"(";
    size_t i = 0;
    while (i < s.size()) {
        const bool at_call =
            s.compare(i, opener.size(), opener) == 0 && (i == 0 || !is_identifier_char(s[i - 1]));
        if (!at_call) {
            ++i;
            continue;
        }
        const size_t start = i;
        i += opener.size();
        const size_t arg_start = i;
        int depth = 1;
        while (i < s.size() && depth > 0) {
            if (s[i] == U'(')
                ++depth;
            else if (s[i] == U')')
                --depth;
            ++i;
        }
        const size_t arg_end = i > arg_start ? i - 1 : arg_start;
        calls.push_back({start, i, s.substr(arg_start, arg_end - arg_start)});
    }
    return calls;
}

// The starts of the whole-word occurrences of `word` in `text`, left to right and not
// overlapping: where re.sub(r"\b" + re.escape(word) + r"\b", ...) replaces. A boundary lies
// between a word character (letter, digit, underscore) and any other character or an end.
std::vector<size_t> word_positions(const std::u32string& text, const std::u32string& word) {
    auto is_word = [&](size_t i) { return i < text.size() && is_identifier_char(text[i]); };
    auto boundary = [&](size_t i) { return (i > 0 && is_word(i - 1)) != is_word(i); };
    std::vector<size_t> found;
    for (size_t i = 0; i + word.size() <= text.size();) {
        if (text.compare(i, word.size(), word) == 0 && boundary(i) && boundary(i + word.size())) {
            found.push_back(i);
            i += word.size();
        } else {
            ++i;
        }
    }
    return found;
}

// `text` with each of `positions` (occurrences of a `width`-long word) replaced by "(arg)".
std::u32string replace_at(const std::u32string& text, const std::vector<size_t>& positions,
                          size_t width, const std::u32string& arg) {
    std::u32string out;
    out.reserve(text.size() + positions.size() * (arg.size() + 2));
    size_t copied = 0;
    for (size_t at : positions) {
        out.append(text, copied, at - copied);
        out += U'(';
        out += arg;
        out += U')';
        copied = at + width;
    }
    out.append(text, copied, std::u32string::npos);
    return out;
}

// The operator's parameters, each a Python identifier: an empty name would match at every word
// boundary, and a name with other characters never matches whole.
Items checked_params(handle self, handle name) {
    Items params(get_attr(self, "params"));
    for (Py_ssize_t k = 0; k < params.size(); ++k)
        if (!PyUnicode_Check(params[k].ptr()) || !truth(params[k].attr("isidentifier")()))
            raise(PyExc_ValueError, "parameter " + utf8(repr_of(params[k])) + " of operator '" +
                                        utf8(format(name)) + "' is not an identifier");
    return params;
}

// Why `expand` stopped: the limit reached, and whether the body calls the operator itself,
// which makes the expansion endless (RecursionError); text grown too long by other means is a
// ValueError.
[[noreturn]] void stop_expanding(handle self, handle name, const std::string& limit, bool length) {
    const bool self_calling =
        !find_calls(code_points(get_attr(self, "body")), code_points(name)).empty();
    const std::string message =
        "expanding operator '" + utf8(format(name)) + "' did not finish: " + limit;
    if (self_calling) raise(PyExc_RecursionError, message + "; its body calls the operator itself");
    raise(length ? PyExc_ValueError : PyExc_RecursionError, message);
}

[[noreturn]] void too_long(handle self, handle name, size_t length) {
    stop_expanding(self, name,
                   "the text would grow to " + std::to_string(length) +
                       " characters, beyond the limit of " + std::to_string(kMaxExpandedLength),
                   true);
}

}  // namespace

object expand(handle self, handle given) {
    object expr = nb::borrow(given);
    object split = get_attr(self, "_split_args");
    checked_params(self, get_attr(self, "name"));
    for (int pass = 0;; ++pass) {
        object name = get_attr(self, "name");
        const std::u32string text = code_points(expr);
        const std::vector<Call> calls = find_calls(text, code_points(name));
        // Each call is replaced by its inlined body; the calls do not overlap, so the new text
        // is built in one sweep (the same text as replacing them right to left).
        std::u32string out;
        size_t copied = 0;
        bool changed = false;
        for (const Call& call : calls) {
            object args = split(from_code_points(call.args));
            Items params = checked_params(self, name);
            if (length(args) != params.size()) continue;
            Items values(args);
            // Parameter by parameter, as re.sub would: text inserted for one parameter is scanned
            // for the later ones. Each result's length is known before it is built.
            std::u32string result = code_points(get_attr(self, "body"));
            for (Py_ssize_t k = 0; k < params.size(); ++k) {
                const std::u32string param = code_points(params[k]),
                                     arg = printed_code_points(values[k]);
                const std::vector<size_t> at = word_positions(result, param);
                const size_t grown =
                    result.size() - at.size() * param.size() + at.size() * (arg.size() + 2);
                if (grown > kMaxExpandedLength) too_long(self, name, grown);
                result = replace_at(result, at, param.size(), arg);
            }
            out.append(text, copied, call.start - copied);
            out += U'(';
            out += result;
            out += U')';
            copied = call.end;
            changed = true;
            if (out.size() > kMaxExpandedLength)
                too_long(self, name, out.size() + (text.size() - copied));
        }
        if (!changed) return expr;
        if (pass == kMaxExpandPasses)
            stop_expanding(self, name,
                           "calls are left after " + std::to_string(kMaxExpandPasses) +
                               " passes, the pass limit",
                           false);
        out.append(text, copied, std::u32string::npos);
        if (out.size() > kMaxExpandedLength) too_long(self, name, out.size());
        expr = from_code_points(out);
    }
}

object split_args(handle arg_str) {
    const std::u32string s = code_points(arg_str);
    object args = new_list();
    std::u32string current;
    int depth = 0;
    auto flush = [&] {
        object piece = from_code_points(current);
        append(args, piece.attr("strip")());
        current.clear();
    };
    for (char32_t c : s) {
        if (c == U'(')
            ++depth;
        else if (c == U')')
            --depth;
        else if (c == U',' && depth == 0) {
            flush();
            continue;
        }
        current.push_back(c);
    }
    if (!current.empty()) flush();
    return args;
}

object from_structure(handle cls, handle name, handle given) {
    object structure = PyUnicode_Check(given.ptr()) ? nb::borrow(given) : str_of(given);
    object tokens = module_global("re").attr("findall")(pystr("[v\xcf\x86]\\d+"), structure);
    std::vector<std::u32string> seen;
    Items found(tokens);
    for (Py_ssize_t i = 0; i < found.size(); ++i) {
        std::u32string t = code_points(found[i]);
        if (std::find(seen.begin(), seen.end(), t) == seen.end()) seen.push_back(t);
    }
    object params = new_list();
    for (size_t k = 0; k < seen.size(); ++k) append(params, pystr(numbered("p", (long long)k)));
    if (seen.empty()) return nb::borrow(cls)(name, params, structure);

    // One left-to-right pass; at each position the longest token wins (φ12 before φ1).
    std::vector<size_t> order(seen.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t x, size_t y) { return seen[x].size() > seen[y].size(); });
    const std::u32string text = code_points(structure);
    std::u32string body;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (size_t k : order) {
            if (text.compare(i, seen[k].size(), seen[k]) != 0) continue;
            const std::string param = numbered("p", (long long)k);
            body.append(param.begin(), param.end());
            i += seen[k].size();
            replaced = true;
            break;
        }
        if (!replaced) body.push_back(text[i++]);
    }
    return nb::borrow(cls)(name, params, from_code_points(body));
}

object repr(handle self) {
    return concat({pystr("SymbolicOperator('"), str_of(get_attr(self, "name")), pystr("', "),
                   str_of(get_attr(self, "params")), pystr(", '"), str_of(get_attr(self, "body")),
                   pystr("')")});
}

}  // namespace kt::symbolic_operator
