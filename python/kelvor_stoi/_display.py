"""The tables of summarize and compare as a reader sees them: cells of text
for the terminal, Markdown and the HTML report; and the exact forms (CSV,
JSON) for programs."""
from __future__ import annotations

import html
import io
import json
import math
from typing import Any, List, Sequence

import pandas as pd

from kelvor_stoi.analysis import MEASURES

NAMES = {"stoi": "STOI", "estoi": "ESTOI"}
DASH = "\u2013"  # shown for a value that does not exist (no scored pair)
MINUS = "\u2212"


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
    (right-aligned) and notes printed under it."""

    def __init__(self, headers: List[str], rows: List[List[str]], numeric: List[bool], notes: List[str]):
        self.headers = headers
        self.rows = rows
        self.numeric = numeric
        self.notes = notes


def summary_cells(summary: pd.DataFrame, by: Sequence[str]) -> Cells:
    """The cells of summarize's table."""
    confidence = summary.attrs.get("confidence", 0.95)
    level = f"{100 * confidence:g} % CI"
    headers = list(by) + ["n", "failed"]
    numeric = [False] * len(by) + [True, True]
    for m in MEASURES:
        headers += [f"{NAMES[m]} mean", "sd", level]
        numeric += [True, True, True]
    rows = []
    single = empty = False
    for _, r in summary.iterrows():
        row = [str(r[b]) for b in by] + [str(int(r["n"])), str(int(r["failed"]))]
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


def comparison_cells(comparison: pd.DataFrame, by: Sequence[str]) -> Cells:
    """The cells of compare's table."""
    attrs = comparison.attrs
    confidence = attrs.get("confidence", 0.95)
    level = f"{100 * confidence:g} %"
    resamples = attrs.get("resamples", "")
    headers = list(by) + ["measure", "pairs", "mean A", "mean B", f"B {MINUS} A", f"{level} CI (paired t)",
                          f"{level} CI (bootstrap)", "B higher"]
    numeric = [False] * len(by) + [False, True, True, True, True, True, True, True]
    rows = []
    notes = []
    for _, r in comparison.iterrows():
        row = [str(r[b]) for b in by] + [
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
            where = ", ".join(f"{b} {r[b]}" for b in by) or "all pairs"
            left = []
            if r["failed"]:
                left.append(f"{int(r['failed'])} matched pair(s) with a failed side")
            if r["unmatched_a"]:
                left.append(f"{int(r['unmatched_a'])} row(s) of A without a partner in B")
            if r["unmatched_b"]:
                left.append(f"{int(r['unmatched_b'])} row(s) of B without a partner in A")
            if r["duplicates"]:
                left.append(f"{int(r['duplicates'])} row(s) whose pairing key repeats on one side")
            if left:
                notes.append(f"{where}: left out {'; '.join(left)}.")
            if int(r["pairs"]) == 1:
                notes.append(f"{where}: one pair only, no interval.")
    key = attrs.get("key", [])
    notes.insert(
        0,
        f"A = {attrs.get('between', '')} {attrs.get('a', '')}, B = {attrs.get('between', '')} {attrs.get('b', '')}; "
        f"pairs matched on {', '.join(key)}. Bootstrap: percentile interval from {resamples} resamples of the "
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
    return text.replace("\\", "\\\\").replace("|", "\\|").replace("\n", " ")


def as_markdown(cells: Cells) -> str:
    out = ["| " + " | ".join(_markdown_cell(h) for h in cells.headers) + " |"]
    out.append("|" + "|".join("---:" if num else "---" for num in cells.numeric) + "|")
    out += ["| " + " | ".join(_markdown_cell(c) for c in row) + " |" for row in cells.rows]
    if cells.notes:
        out += [""] + cells.notes
    return "\n".join(out) + "\n"


def as_html(cells: Cells) -> str:
    out = ['<table class="numbers">']
    out.append("<thead><tr>" + "".join(
        f'<th class="{"num" if num else "key"}">{html.escape(h)}</th>' for h, num in zip(cells.headers, cells.numeric)
    ) + "</tr></thead><tbody>")
    for row in cells.rows:
        out.append("<tr>" + "".join(
            f'<td class="{"num" if num else "key"}">{html.escape(c)}</td>' for c, num in zip(row, cells.numeric)
        ) + "</tr>")
    out.append("</tbody></table>")
    if cells.notes:
        out.append('<p class="notes">' + "<br>".join(html.escape(n) for n in cells.notes) + "</p>")
    return "\n".join(out)


def _plain(v: Any) -> Any:
    """A cell as a JSON value: NaN and <NA> as null, numpy scalars as Python."""
    if v is None or v is pd.NA:
        return None
    if hasattr(v, "item"):
        v = v.item()
    if isinstance(v, float) and math.isnan(v):
        return None
    return v


def as_csv(frame: pd.DataFrame) -> str:
    # Floats in Python's shortest round-trip form; NaN as an empty cell.
    buffer = io.StringIO()
    frame.to_csv(buffer, index=False, lineterminator="\n")
    return buffer.getvalue()


def as_json(frame: pd.DataFrame) -> str:
    records = [{str(k): _plain(v) for k, v in row.items()} for row in frame.to_dict(orient="records")]
    return json.dumps(records, indent=1, ensure_ascii=False, allow_nan=False) + "\n"


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


