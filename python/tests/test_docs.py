"""The front page and the documentation: every relative link leads to a file
(and a heading, where it names one), and the README's first Python example
comes early and scores the bundled pair as printed."""
import contextlib
import io
import os
import re
from pathlib import Path

import pytest

from conftest import SOURCE

PAGES = [SOURCE / "README.md", *sorted((SOURCE / "docs").glob("*.md"))]
FENCE = re.compile(r"^```.*?^```[ \t]*$", re.M | re.S)
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)\)")


def prose(page: Path) -> str:
    """The page without its fenced code blocks, whose brackets are code."""
    return FENCE.sub("", page.read_text(encoding="utf-8"))


def anchors(page: Path):
    """The anchors of a page's headings, as a Markdown renderer makes them:
    lower case, punctuation dropped, blanks as hyphens."""
    found = set()
    for heading in re.findall(r"^#+ (.*)$", prose(page), re.M):
        found.add(re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-"))
    return found


def relative_links():
    for page in PAGES:
        for target in dict.fromkeys(LINK.findall(prose(page))):
            if not re.match(r"^[a-z][a-z0-9+.-]*:", target):
                yield pytest.param(page, target, id=f"{page.name}:{target}")


@pytest.mark.parametrize("page, target", list(relative_links()))
def test_relative_links_lead_somewhere(page, target):
    path, _, anchor = target.partition("#")
    destination = (page.parent / path).resolve() if path else page
    assert destination.exists(), f"{page.relative_to(SOURCE)} links to {target}, which does not exist"
    if anchor and destination.suffix == ".md":
        assert anchor in anchors(destination), f"{page.relative_to(SOURCE)}: no heading '#{anchor}' in {path or page.name}"


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


def test_the_pages_are_found():
    # A glob that finds nothing would pass every link test above.
    assert {"README.md", "python.md", "profiles.md", "failures.md"} <= {p.name for p in PAGES}
    assert os.path.isfile(SOURCE / "docs" / "report-example.png")
