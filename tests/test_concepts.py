"""The language-model client, streamed analysis and concept discovery (no network: fake clients)."""

import json
import sys
import time
import types

import _brenmoor_testing as kernels
import pytest
import sympy as sp

x, y, n = sp.symbols("x y n")
phi1 = sp.Symbol("φ1")


class FakeClient:
    """`chat.completions.create` answering from a list, recording each request."""

    def __init__(self, answers):
        self.answers, self.requests = list(answers), []
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self.create))

    def create(self, **kwargs):
        self.requests.append(kwargs)
        answer = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if isinstance(answer, Exception):
            raise answer
        message = types.SimpleNamespace(content=answer)
        return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)])


@pytest.fixture
def pauses(monkeypatch):
    slept = []
    monkeypatch.setattr(time, "sleep", slept.append)
    return slept


@pytest.fixture
def client(m, monkeypatch):
    def install(*answers):
        fake = FakeClient(answers)
        monkeypatch.setattr(m, "groq_client", fake)
        monkeypatch.setattr(m, "GROQ_MODEL", "test-model")
        return fake

    return install


# ---- llm_call -----------------------------------------------------------------------------
@pytest.mark.parametrize(
    "answer, text",
    [
        ('```json\n{"a": 1}\n```', '{"a": 1}'),
        ('Sure! Here it is: {"a": [1, 2]} hope that helps', '{"a": [1, 2]}'),
        ('[1, 2] and later {"b": 2}', "[1, 2]"),
        ('{"a": 1} then {"b": 2}', None),  # one span from the first brace to the last: invalid
    ],
)
def test_llm_call_extracts_json(m, client, pauses, answer, text):
    fake = client(answer)
    if text is None:  # the array span runs to the last ']': not valid JSON, retried, then fails
        with pytest.raises(RuntimeError, match="LLM call failed after 3 attempts"):
            m.llm_call("q")
        return
    assert m.llm_call("q") == text
    assert fake.requests == [
        {
            "model": "test-model",
            "messages": [{"role": "user", "content": "q"}],
            "temperature": 0.0,
            "max_tokens": 4096,
        }
    ]
    assert pauses == []


def test_llm_call_retries_prose_with_half_second_pauses(m, client, pauses, capsys):
    fake = client("no json here at all " * 20)
    with pytest.raises(RuntimeError) as err:
        m.llm_call("q", verbose=True)
    assert (
        str(err.value) == "LLM call failed after 3 attempts: No JSON object found in LLM response"
    )
    assert len(fake.requests) == 3 and pauses == [0.5, 0.5]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "LLM response (raw): " + ("no json here at all " * 20)[:200] + "..."
    assert lines[1] == "LLM attempt 1/3 failed: No JSON object found in LLM response"
    assert len(lines) == 6


def test_llm_call_other_errors_pause_a_second(m, client, pauses, capsys):
    fake = client(ConnectionError("down"), None, '{"ok": true}')
    assert m.llm_call("q", True, 3) == '{"ok": true}'
    assert pauses == [1.0, 0.5] and len(fake.requests) == 3
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "LLM error (attempt 1/3): ConnectionError: down",
        "LLM attempt 2/3 failed: Empty response from LLM",
    ]
    client(KeyError("boom"))
    with pytest.raises(RuntimeError, match="^LLM call failed unexpectedly: 'boom'$"):
        m.llm_call("q", max_retries=1)


@pytest.mark.parametrize("retries, requests", [(0, 0), (-2, 0), (1, 1), (2.0, 2)])
def test_llm_call_attempt_counts(m, client, pauses, retries, requests):
    fake = client("prose")
    with pytest.raises(RuntimeError):
        m.llm_call("q", max_retries=retries)
    assert len(fake.requests) == requests and len(pauses) == max(0, requests - 1)
    with pytest.raises(TypeError, match="max_retries"):
        m.llm_call("q", max_retries="3")


def test_llm_call_without_client(m, monkeypatch, pauses):
    monkeypatch.setattr(m, "groq_client", None)
    with pytest.raises(
        RuntimeError,
        match="^Groq client not initialized. Set GROQ_API_KEY environment "
        "variable:\n  export GROQ_API_KEY='your-key-here'$",
    ):
        m.llm_call("q")
    assert pauses == []


# ---- ai -----------------------------------------------------------------------------------
def test_ai_streams_with_its_own_client(m, monkeypatch, capsys):
    seen = {}

    class Groq:
        def __init__(self, api_key):
            seen["key"] = api_key
            self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self.create))

        def create(self, **kwargs):
            seen["request"] = kwargs
            chunk = lambda text: types.SimpleNamespace(
                choices=[types.SimpleNamespace(delta=types.SimpleNamespace(content=text))]
            )
            return iter([chunk("Strong "), chunk(None), chunk("concept")])

    monkeypatch.setitem(sys.modules, "groq", types.SimpleNamespace(Groq=Groq))
    monkeypatch.setattr(m, "groq_client", None)
    assert m.ai("REPORT", "k-1") is None
    assert capsys.readouterr().out == "Strong concept"
    request = seen["request"]
    assert seen["key"] == "k-1" and request["model"] == "openai/gpt-oss-120b"
    assert [
        request[k] for k in ("temperature", "max_completion_tokens", "top_p", "stream", "stop")
    ] == [1, 4096, 0.95, True, None]
    system, user = request["messages"]
    assert user == {"role": "user", "content": "REPORT"} and system["role"] == "system"
    prompt = system["content"]
    assert prompt.startswith(
        "\nYou are an expert mathematical concept discoverer working with KELTRAN.\n\n"
    )
    assert (
        prompt.endswith("CONFIDENCE\n...") and "Stage 1 \u2014 Core Invariant Extraction" in prompt
    )
    assert "Generate 3\u20135 specific" in prompt and "(v1/v2)\u00b2" in prompt
    assert [l for l in prompt.split("\n") if l.endswith("  ")] == [
        "- Structural decomposition  ",
        "- Weak Candidate Concept  ",
    ]


# ---- discover_concept ---------------------------------------------------------------------
def discover(m, report, **kwargs):
    return m.discover_concept(report, **kwargs)


@pytest.mark.parametrize(
    "report, name, definition, params",
    [
        ({"name": "K", "definition": "x*y + 1"}, "K", x * y + 1, [x, y]),
        ({"name": "K", "definition": "x*y + 1", "params": ["y", "x"]}, "K", x * y + 1, [y, x]),
        (json.dumps({"name": "J", "definition": "x + 2"}), "J", x + 2, [x]),
        (
            "\u2500\u2500 novel structures \u2500\u2500\n  [0] x**2 + y\n       behavior : linear",
            "concept",
            x**2 + y,
            [x, y],
        ),
        (
            "2*x + 1",
            "concept",
            2 * x + 1,
            [x],
        ),  # a formula starting with digits is no numbered line
        ("3 x + y", "concept", x + y, [x, y]),  # "3 " numbers the line
    ],
)
def test_report_forms(m, capsys, report, name, definition, params):
    c = discover(m, report)
    assert (c.name, c.operator_definition, c.params) == (name, definition, params)
    assert capsys.readouterr().out.splitlines()[0] == str(report).splitlines()[0]


def test_candidate_object_params_are_sorted_by_name(m):
    cand = m.GeneralizedCandidate(
        formula=sp.Symbol("w") * sp.Symbol("k") + sp.Symbol("d"),
        members=[],
        growth_class="linear",
        novelty=1.0,
        closest_lib="none",
    )
    c = discover(m, cand)
    assert c.name == "concept" and [str(p) for p in c.params] == ["d", "k", "w"]


@pytest.mark.parametrize(
    "report, error, text",
    [
        ("   ", TypeError, "report string is empty"),
        (42, TypeError, "report must be JSON string, dict, candidate object, or report string"),
        ('{"name": "only"}', KeyError, "report must include 'name' and 'definition'"),
    ],
)
def test_report_errors(m, report, error, text):
    with pytest.raises(error, match=text):
        discover(m, report)


def test_symbolic_exponent_takes_the_short_path(m, capsys):
    c = discover(m, {"name": "P", "definition": "x**n"})
    kinds = [i.op_type for i in c.invariants]
    assert kinds.count("derivative") == 2 and kinds.count("parameter_recursion") == 2
    assert kinds.count("power_2") == 1 and "integral" not in kinds
    assert all(i.is_operator_form for i in c.invariants if i.op_type != "power_2")
    rec = [i for i in c.invariants if i.op_type == "parameter_recursion"]
    assert [i.parameter_shift for i in rec] == [-1, 1] and rec[0].coefficient == 1 / x
    assert type(c).__qualname__ == "discover_concept.<locals>.Concept"
    assert type(c.invariants[0]).__name__ == "Invariant"


def test_wildcard_operator_derivative_closes_with_a_shift(m):
    c = discover(m, {"name": "W", "definition": phi1 * x**2 + x, "params": ["φ1", "x"]})
    d = [i for i in c.invariants if i.op_type == "derivative" and i.wrt == "φ1"][0]
    assert d.is_operator_form and d.closure_type == "closed" and d.parameter_shift == -2
    assert any(i.op_type == "parameter_recursion" for i in c.invariants)


def test_deterministic_families_and_report(m, capsys):
    c = discover(m, {"name": "P", "definition": "x**n"})
    assert list(c.families) == ["derivative", "parameter", "power"]
    assert c.families["derivative"]["group_name"] == "Derivative"
    assert (
        c.families["derivative"]["summary"]
        == "Differentiation produces scaled/self-similar operator variants."
    )
    assert c.families["parameter"]["summary"] == "Family for parameter invariants."
    assert c.closure_properties == ["power"]
    assert c.concept_summary.startswith(
        "Concept P: discovered 5 invariants across 3 families. 4 invariants"
    )
    out = capsys.readouterr().out.splitlines()
    assert "Families:" in out and out[-1] == "Closure properties: ['power']"
    assert "  [EXP] power_2              wrt=None   [open]" in out  # "None" padded to six
    assert any(
        l.startswith("  [OP] parameter_recursion  wrt=n      [closed] (shift: -1)") for l in out
    )


def test_model_grouping(m, capsys):
    answers = []

    def model(prompt):
        answers.append(prompt)
        return (
            'Here:\n```json\n{"groups": [{"name": "Shift closure", "summary": "s", "rules": ["%s"]}]}\n```'
            % rule
        )

    probe = discover(m, {"name": "P", "definition": "x**n"})
    rule = str(probe.invariants[0].rule)
    c = discover(m, {"name": "P", "definition": "x**n"}, llm_client=model)
    assert list(c.families) == ["Shift closure"] and c.closure_properties == ["Shift closure"]
    assert c.invariants[0].semantic_group == "Shift closure"
    assert answers[0].startswith("Group these invariants by their mathematical meaning")
    assert "[0] op_type=derivative; wrt=n; rule=" in answers[0] and answers[0].endswith(
        "Respond with JSON only."
    )
    empty = discover(m, {"name": "P", "definition": "x**n"}, llm_client=lambda p: '{"groups": []}')
    assert empty.families == {} and "across 0 families" in empty.concept_summary


@pytest.mark.parametrize(
    "answer, reason",
    [
        ("   ", "Empty response"),
        ("no braces", "Empty response"),
        ('{"groups": [{"summary": "nameless"}]}', "a group has no 'name'"),
    ],
)
def test_failed_model_answers_fall_back(m, capsys, answer, reason):
    c = discover(m, {"name": "P", "definition": "x**n"}, llm_client=lambda p: answer, verbose=True)
    assert list(c.families) == ["derivative", "parameter", "power"]
    assert f"LLM grouping failed, falling back: {reason}" in capsys.readouterr().out


def test_run_with_timeout(m):
    counter = [0]

    def count(c):
        while True:
            c[0] += 1

    start = time.perf_counter()
    with pytest.raises(TimeoutError, match="^count timed out after 1s$"):
        kernels.run_with_timeout(count, 1, (counter,))
    assert time.perf_counter() - start < 1.8
    time.sleep(0.1)
    seen = counter[0]
    time.sleep(0.3)
    assert counter[0] == seen > 0  # the worker was stopped, not left computing
    error = ZeroDivisionError("own")
    with pytest.raises(ZeroDivisionError) as raised:
        kernels.run_with_timeout(lambda: (_ for _ in ()).throw(error), 1)
    assert raised.value is error  # raised again unchanged
    assert kernels.run_with_timeout(max, 1, (2, 5)) == 5
    assert kernels.run_with_timeout(max, 1, [2, 5]) == 5
