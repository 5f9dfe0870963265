"""Progress on a terminal: a bar per stage, ours where tqdm is not installed, wiped when its stage
is complete; nothing at all off a terminal."""

import io
import sys

import pytest

from source.cli.progress import Progress


@pytest.mark.parametrize("show", [True, False])
def test_without_tqdm_a_terminal_still_sees_each_stage(monkeypatch, show):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as on an install without the extra
    err = io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    progress = Progress(show)
    for done in range(0, 11):
        progress("describing", done, 10)
    with progress.step("writing"):
        pass
    progress.close()
    text = err.getvalue()
    if not show:
        assert text == ""
        return
    assert "describing: 100% [####################] 10/10" in text and "writing:" in text
    assert text.endswith("\r")  # the last line is wiped: the report starts on a clean line
    assert "\n" not in text  # redrawn in place, never a line per update
    assert set(progress.times) == {"describing", "writing"}
