"""The front page: the README's first Python example comes early and scores
the bundled pair as printed."""
import contextlib
import io
import re

from conftest import SOURCE


def test_the_readme_scores_a_pair_in_python_within_its_first_60_lines(monkeypatch):
    text = (SOURCE / "README.md").read_text(encoding="utf-8")
    block = re.search(r"^```python\n(.*?)^```$", text, re.M | re.S)
    assert block, "README.md has no Python example"
    last_line = text[: block.end()].count("\n") + 1
    assert last_line <= 60, f"the first Python example ends on line {last_line}"
    monkeypatch.chdir(SOURCE)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(block.group(1), "README.md", "exec"), {})
    assert printed.getvalue() == "STOI 0.8737  ESTOI 0.6419  delay 40.0 ms\n"


