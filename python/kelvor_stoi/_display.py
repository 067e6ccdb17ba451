"""The tables of summarize and compare as a reader sees them: cells of text
for the terminal, Markdown and the HTML report; and the exact forms (CSV,
JSON) for programs.

Text meant for a reader (terminal, Markdown, HTML, figures) goes through
shown(): bytes that are not UTF-8 and control characters appear as
escapes, so that no value can write invalid UTF-8 or drive a terminal.
The exact forms keep every byte: CSV writes them as they are, JSON as
\\udcXX escapes (what Python's "surrogateescape" reads back, as
kelvor-batch writes them)."""
from __future__ import annotations

import html
import io
import json
import math
import re
from typing import Any, List, Sequence

import numpy as np
import pandas as pd

from kelvor_stoi import _core
from kelvor_stoi.analysis import MEASURES

NAMES = {"stoi": "STOI", "estoi": "ESTOI"}
DASH = "\u2013"  # shown for a value that does not exist (no scored pair)
MINUS = "\u2212"


def shown(value: Any) -> str:
    """A value as a reader is shown it: text, with every byte that is not
    UTF-8 and every control character as a \\xNN escape (\\uNNNN for the
    marks that reorder text), never raw; kelvor-batch's own rule."""
    text = value if isinstance(value, str) else str(value)
    try:
        data = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate no file's bytes give
        data = text.encode("utf-8", "backslashreplace")
    return _core.shown(data)


def _number(v: Any, signed: bool = False, digits: int = 4) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)) or v is pd.NA:
        return DASH
    text = f"{v:+.{digits}f}" if signed else f"{v:.{digits}f}"
    return text.replace("-", MINUS)


def _interval(low: Any, high: Any, signed: bool = False) -> str:
    if any(v is None or (isinstance(v, float) and math.isnan(v)) for v in (low, high)):
        return "n/a"
    return f"[{_number(low, signed)}, {_number(high, signed)}]"


def _percent(v: Any) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return DASH
    return f"{100 * v:.1f} %"


class Cells:
    """A table as text cells: headers, rows, which columns are numbers
    (right-aligned) and notes printed under it; the first `pooled` rows
    pool the others (the HTML marks them)."""

    def __init__(self, headers: List[str], rows: List[List[str]], numeric: List[bool], notes: List[str],
                 pooled: int = 0):
        self.headers = headers
        self.rows = rows
        self.numeric = numeric
        self.notes = notes
        self.pooled = pooled


def summary_cells(summary: pd.DataFrame, by: Sequence[str]) -> Cells:
    """The cells of summarize's table."""
    confidence = summary.attrs.get("confidence", 0.95)
    level = f"{100 * confidence:g} % CI"
    headers = [shown(b) for b in by] + ["n", "failed"]
    numeric = [False] * len(by) + [True, True]
    for m in MEASURES:
        headers += [f"{NAMES[m]} mean", "sd", level]
        numeric += [True, True, True]
    rows = []
    single = empty = False
    for _, r in summary.iterrows():
        row = [shown(r[b]) for b in by] + [str(int(r["n"])), str(int(r["failed"]))]
        for m in MEASURES:
            row += [_number(r[f"{m}_mean"]), _number(r[f"{m}_sd"]), _interval(r[f"{m}_ci_low"], r[f"{m}_ci_high"])]
        scored = int(r["n"]) - int(r["failed"])
        single |= scored == 1
        empty |= scored == 0
        rows.append(row)
    notes = []
    if single:
        notes.append("A group with one scored pair has no standard deviation and no confidence interval (n/a).")
    if empty:
        notes.append(f"A group whose pairs all failed has no mean ({DASH}).")
    notes.append(
        f"Statistics over the pairs scored (status ok); {level}: Student's t interval of the mean."
    )
    return Cells(headers, rows, numeric, notes)


#: Above this many groups with something left out, the notes under a
#: comparison sum them up instead of giving one line per group.
NOTED_GROUPS = 5

# What compare leaves out, by its count columns.
LEFT_OUT = (
    ("failed", "matched pair(s) with a failed side"),
    ("unmatched_a", "row(s) of A without a partner in B"),
    ("unmatched_b", "row(s) of B without a partner in A"),
    ("duplicates", "row(s) whose pairing key repeats on one side"),
)


def comparison_cells(comparison: pd.DataFrame, by: Sequence[str], pooled: int = 0) -> Cells:
    """The cells of compare's table; its first `pooled` rows pool every
    group (their notes are always their own)."""
    attrs = comparison.attrs
    confidence = attrs.get("confidence", 0.95)
    level = f"{100 * confidence:g} %"
    resamples = attrs.get("resamples", "")
    headers = [shown(b) for b in by] + ["measure", "pairs", "mean A", "mean B", f"B {MINUS} A", f"{level} CI (paired t)",
                          f"{level} CI (bootstrap)", "B higher"]
    numeric = [False] * len(by) + [False, True, True, True, True, True, True, True]
    rows = []
    notes = []
    # Per group: (where, {what: count}, one pair only)
    groups = []
    for position, (_, r) in enumerate(comparison.iterrows()):
        row = [shown(r[b]) for b in by] + [
            NAMES.get(r["measure"], r["measure"]),
            str(int(r["pairs"])),
            _number(r["mean_a"]),
            _number(r["mean_b"]),
            _number(r["mean_diff"], signed=True),
            _interval(r["t_low"], r["t_high"], signed=True),
            _interval(r["boot_low"], r["boot_high"], signed=True),
            _percent(r["b_higher"]),
        ]
        rows.append(row)
        if r["measure"] == MEASURES[0]:
            where = ", ".join(f"{shown(b)} {shown(r[b])}" for b in by) or "all pairs"
            left = {what: int(r[column]) for column, what in LEFT_OUT if r[column]}
            if position < pooled:
                if left:
                    notes.append(f"{where}: left out {'; '.join(f'{n} {w}' for w, n in left.items())}.")
            elif left or int(r["pairs"]) == 1:
                groups.append((", ".join(shown(r[b]) for b in by), where, left, int(r["pairs"]) == 1))
    noted = [g for g in groups if g[2]]
    single = [g for g in groups if g[3]]
    if len(noted) + len(single) <= NOTED_GROUPS:
        for _, where, left, one in groups:
            if left:
                notes.append(f"{where}: left out {'; '.join(f'{n} {w}' for w, n in left.items())}.")
            if one:
                notes.append(f"{where}: one pair only, no interval.")
    else:
        def named(part: List[Any]) -> str:
            names = ", ".join(g[0] for g in part[:NOTED_GROUPS])
            return names + (f" and {len(part) - NOTED_GROUPS:,} more" if len(part) > NOTED_GROUPS else "")

        if noted:
            totals = {w: sum(g[2].get(w, 0) for g in noted) for _, w in LEFT_OUT}
            notes.append(f"In {len(noted):,} groups ({named(noted)}): left out "
                         + "; ".join(f"{n:,} {w}" for w, n in totals.items() if n) + ".")
        if single:
            notes.append(f"{len(single):,} groups have one pair only, and no interval ({named(single)}).")
    key = attrs.get("key", [])
    notes.insert(
        0,
        f"A = {shown(attrs.get('between', ''))} {shown(attrs.get('a', ''))}, "
        f"B = {shown(attrs.get('between', ''))} {shown(attrs.get('b', ''))}; "
        f"pairs matched on {', '.join(shown(k) for k in key)}. Bootstrap: percentile interval from {resamples} resamples of the "
        f"pairs (seed {attrs.get('seed', '')}). B higher: share of pairs where B scores strictly higher.",
    )
    return Cells(headers, rows, numeric, notes)


def as_text(cells: Cells) -> str:
    widths = [len(h) for h in cells.headers]
    for row in cells.rows:
        widths = [max(w, len(c)) for w, c in zip(widths, row)]

    def line(values: Sequence[str]) -> str:
        parts = [v.rjust(w) if num else v.ljust(w) for v, w, num in zip(values, widths, cells.numeric)]
        return "  ".join(parts).rstrip()

    out = [line(cells.headers), line(["-" * w for w in widths])]
    out += [line(row) for row in cells.rows]
    out += [""] + cells.notes if cells.notes else []
    return "\n".join(out) + "\n"


def _markdown_cell(text: str) -> str:
    # Markup is written as entities and escapes, so that a value cannot
    # become raw HTML, a link, code or emphasis where the table is rendered.
    text = re.sub(r"([\\`*_|])", r"\\\1", html.escape(text, quote=False))
    return re.sub(r"\](?=[(\[])", r"\\]", text).replace("\n", " ")


def as_markdown(cells: Cells) -> str:
    out = ["| " + " | ".join(_markdown_cell(h) for h in cells.headers) + " |"]
    out.append("|" + "|".join("---:" if num else "---" for num in cells.numeric) + "|")
    out += ["| " + " | ".join(_markdown_cell(c) for c in row) + " |" for row in cells.rows]
    if cells.notes:
        out += [""] + [_markdown_cell(n) for n in cells.notes]
    return "\n".join(out) + "\n"


def as_html(cells: Cells) -> str:
    out = ['<table class="numbers">']
    out.append("<thead><tr>" + "".join(
        f'<th class="{"num" if num else "key"}">{html.escape(shown(h))}</th>'
        for h, num in zip(cells.headers, cells.numeric)
    ) + "</tr></thead><tbody>")
    for position, row in enumerate(cells.rows):
        out.append(("<tr>" if position >= cells.pooled else '<tr class="pooled">') + "".join(
            f'<td class="{"num" if num else "key"}">{html.escape(shown(c))}</td>' for c, num in zip(row, cells.numeric)
        ) + "</tr>")
    out.append("</tbody></table>")
    if cells.notes:
        out.append('<p class="notes">' + "<br>".join(html.escape(shown(n)) for n in cells.notes) + "</p>")
    return "\n".join(out)


def _plain(v: Any) -> Any:
    """A cell as a JSON value: a number that is not finite (NaN, an
    infinite sd) and <NA> as null, numpy scalars as Python."""
    if v is None or v is pd.NA:
        return None
    if hasattr(v, "item"):
        v = v.item()
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def as_csv(frame: pd.DataFrame) -> str:
    # Floats in Python's shortest round-trip form; a number that is not
    # finite as an empty cell, as kelvor-batch writes it. Text keeps its
    # bytes (the caller writes it with "surrogateescape").
    numbers = frame.select_dtypes(include=[np.floating]).columns
    if len(numbers):
        frame = frame.copy()
        for name in numbers:
            frame[name] = frame[name].where(np.isfinite(frame[name]))
    buffer = io.StringIO()
    frame.to_csv(buffer, index=False, lineterminator="\n")
    return buffer.getvalue()


_SURROGATE = re.compile("[\udc80-\udcff]")


def as_json(frame: pd.DataFrame) -> str:
    records = [{str(k): _plain(v) for k, v in row.items()} for row in frame.to_dict(orient="records")]
    text = json.dumps(records, indent=1, ensure_ascii=False, allow_nan=False) + "\n"
    # A byte that is not UTF-8 as the escape of its lone surrogate: valid
    # JSON, which Python's json reads back to the same string.
    return _SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def render(frame: pd.DataFrame, cells: Cells, fmt: str) -> str:
    if fmt == "text":
        return as_text(cells)
    if fmt == "markdown":
        return as_markdown(cells)
    if fmt == "csv":
        return as_csv(frame)
    if fmt == "json":
        return as_json(frame)
    raise ValueError(f"format must be text, csv, markdown or json, not {fmt!r}")


