"""The HTML report in a real headless browser: it loads without errors, the table sorts, a
search filters rows, and what a person sees is not a blank page."""

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest
from test_cli import run

BROWSER = (
    shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")
)
pytestmark = pytest.mark.skipif(
    BROWSER is None,
    reason="no headless chromium on this machine (`make test` installs "
    "Debian's chromium where the package registry is reachable)",
)

# Runs first, before the page's own script: records every error and console.error.
CATCH = """<script>
window.__errors = [];
window.addEventListener('error', function (e) { window.__errors.push(String(e.message)); });
var __error = console.error;
console.error = function () { window.__errors.push(Array.prototype.join.call(arguments, ' ')); __error.apply(console, arguments); };
</script>"""

# Runs last, as a person would act: sorts by score both ways, then searches.
ACT = """<script>
(function () {
  var table = document.getElementById('structures');
  var head = Array.prototype.filter.call(table.tHead.rows[0].cells, function (th) { return th.textContent.trim() === 'score'; })[0];
  var column = head.cellIndex;
  function scores() {
    return Array.prototype.map.call(table.tBodies[0].rows, function (r) { return r.cells[column].getAttribute('data-sort'); });
  }
  var result = {initial: scores()};
  head.click(); result.ascending = scores();
  head.click(); result.descending = scores();
  var input = document.querySelector('input[data-filter=structures]');
  input.value = 'coulomb'; input.dispatchEvent(new Event('input'));
  result.visible = Array.prototype.filter.call(table.tBodies[0].rows, function (r) { return !r.hidden; })
    .map(function (r) { return r.textContent; });
  result.shown = document.getElementById('structures-shown').textContent;
  result.errors = window.__errors;
  var out = document.createElement('pre'); out.id = 'test-result'; out.textContent = JSON.stringify(result);
  document.body.appendChild(out);
})();
</script>"""


def browser(*args):
    # The browser runs without the sanitizer runtime a sanitized test run preloads.
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    }
    return subprocess.run(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    folder = tmp_path_factory.mktemp("html")
    rows = [
        "Q*q/(4*pi*eps0*d**2)",
        "a*b/(4*pi*e*s**2)",
        "3*M*u**2",
        "M2*u2**2/5",
        "sin(x)*y*z",
        "sin(t)*u*w",
        "sin(p)*c*d",
        "exp(-a1*t1)",
        "x1 + y1",
    ]
    (folder / "bank.txt").write_text("\n".join(rows) + "\n")
    (folder / "laws.csv").write_text(
        "id,formula\ncoulomb,q1*q2/(4*pi*epsilon*r**2)\nkinetic,m*v**2/2\n"
    )
    out = run(folder, "detect", "bank.txt", "--library", "laws.csv", "--html", "report.html")
    assert out.returncode == 0, out.stderr
    return folder / "report.html"


def test_the_report_is_self_contained(page):
    text = page.read_text()
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:|//)""", text), (
        "no resource from the network"
    )
    assert not re.search(r"<script[^>]*\ssrc|<link\b|@import|url\(", text), "nothing loaded"
    assert "data:image/png;base64," in text and "known law: coulomb" in text
    assert "<math" in text, "formulas typeset in the page itself"


def test_the_table_sorts_and_the_search_filters_without_errors(page, tmp_path):
    text = page.read_text()
    probe = tmp_path / "probe.html"
    probe.write_text(
        text.replace("<head>", "<head>" + CATCH, 1).replace("</body>", ACT + "</body>", 1)
    )
    dom = browser("--virtual-time-budget=10000", "--dump-dom", probe.as_uri()).stdout
    found = re.search(r'<pre id="test-result">(.*?)</pre>', dom, re.S)
    assert found, dom[-2000:]
    result = json.loads(
        found.group(1)
        .replace("&quot;", '"')
        .replace("&amp;", "&")
        .replace("&lt;", "<")
        .replace("&gt;", ">")
    )
    assert result["errors"] == []
    values = [float(v) for v in result["ascending"]]
    assert values == sorted(values) and len(values) >= 2
    assert [float(v) for v in result["descending"]] == sorted(values, reverse=True)
    assert len(result["visible"]) == 1 and "coulomb" in result["visible"][0]
    assert re.fullmatch(r"1 of \d+ shown", result["shown"]), result["shown"]


def test_a_person_sees_a_page_not_a_blank(page, tmp_path):
    shot = tmp_path / "shot.png"
    browser("--window-size=1280,1600", f"--screenshot={shot}", page.as_uri())
    import matplotlib.pyplot as plt

    pixels = plt.imread(shot)[..., :3]
    assert pixels.shape[:2] == (1600, 1280)
    colours = np.unique((pixels.reshape(-1, 3) * 255).astype(int), axis=0)
    assert len(colours) > 100 and pixels.std() > 0.05  # text, table and heat map, not one colour
