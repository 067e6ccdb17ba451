"""A self-contained HTML report of a results file: run facts, the summary
table, the distributions per group, a paired comparison of two systems and
the worst pairs with their per-band heat maps and players.

    from kelvor_stoi import analysis, report
    table = analysis.read_results("r.csv")
    page = report.build_report(table, by=["snr"], between=("system", "noisy", "enhanced"))
    report.write_report("r.csv", "report.html", by=["snr"], between=("system", "noisy", "enhanced"))

The page is one HTML file: its figures are SVG images inlined as data
URIs (dense parts such as heat maps and point clouds rasterised inside
them), its style sheet is inline, it runs no script and loads nothing
from the network, and it prints on A4 or Letter with each figure kept on
one page. Its only links are relative ones to the audio of the worst
pairs, where the report's folder reaches it.

It reads at any number of groups: the tables hold every group under a
pooled "all" row (in a scrolling box when they are long), and above
COMPACT_GROUPS groups the figures show each group as a dot with its
interval, ranked, at a fixed size. Above MAX_GROUPS groups there is no
report (a table of that many rows is not read; summarize gives it).
Every label is drawn as plain text, cut to LABEL_CHARS characters.
"""
from __future__ import annotations

import base64
import datetime
import html
import io
import json
import math
import os
import shlex
import sys
import tempfile
import urllib.parse
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from kelvor_stoi import COLUMNS, __version__, _core
from kelvor_stoi import analysis
from kelvor_stoi._display import NAMES, Cells, _number, as_html, comparison_cells, shown, summary_cells

__all__ = ["build_report", "write_report", "write_page", "check_output", "DEFAULT_WORST", "COMPACT_GROUPS",
           "MAX_GROUPS"]

#: Worst pairs shown (lowest STOI among the scored pairs).
DEFAULT_WORST = 8
#: Above this many groups the figures are compact: one dot and interval
#: per group, ranked, at a fixed size.
COMPACT_GROUPS = 20
#: The most groups (rows of the summary) a report shows.
MAX_GROUPS = 5000
#: The longest label drawn in a figure, in characters (tables show all).
LABEL_CHARS = 40
#: Extensions of the audio a browser plays, which get players.
PLAYABLE = (".wav", ".wave", ".flac", ".ogg", ".oga", ".opus")
#: The label of the pooled rows and points.
POOLED = "all"

Between = Tuple[str, Any, Any]

# Colours of the groups of the compared column, then of other groups:
# distinguishable in colour and in grey print.
PALETTE = ["#4C72B0", "#DD8452", "#55A868", "#C44E52", "#8172B3", "#937860", "#DA8BC3", "#8C8C8C"]
# At most this many points of a group are drawn over its box.
STRIP_POINTS = 600
# At most this many pairs of a group in the scatter plot of A against B.
SCATTER_POINTS = 2000
# Groups named under a ranked figure: this many at each end.
NAMED_AT_ENDS = 5
# Ranked figures of more dots than this draw them as an image inside the
# SVG: smaller then, while fewer stay vectors, which are quicker to draw.
RASTER_ABOVE = 1000
# Tables longer than this scroll inside a box of their own on screen.
LONG_TABLE = 20


STYLE = """
:root { --ink: #1d232b; --muted: #5b6570; --rule: #d5dbe1; --band: #f3f5f8; --accent: #4C72B0; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.45 "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; color: var(--ink);
       background: #fff; }
main { max-width: 1120px; margin: 0 auto; padding: 24px 28px 48px; }
header { border-bottom: 3px solid var(--accent); margin-bottom: 18px; padding-bottom: 10px; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 30px 0 10px; padding-bottom: 4px; border-bottom: 1px solid var(--rule); }
h3 { font-size: 16px; margin: 20px 0 6px; }
.sub { color: var(--muted); font-size: 13.5px; }
nav { font-size: 13.5px; margin: 8px 0 0; }
nav a { color: var(--accent); text-decoration: none; margin-right: 14px; }
.cards { display: flex; flex-wrap: wrap; gap: 10px; margin: 14px 0 4px; }
.card { background: var(--band); border-radius: 6px; padding: 8px 14px; min-width: 120px; }
.card b { display: block; font-size: 20px; }
.card span { color: var(--muted); font-size: 12.5px; }
.card.bad b { color: #b23b3b; }
table { border-collapse: collapse; margin: 6px 0; font-size: 13.5px; }
table.numbers { width: 100%; }
th, td { padding: 4px 9px; border-bottom: 1px solid var(--rule); vertical-align: top; }
th { background: var(--band); text-align: left; font-weight: 600; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.text { overflow-wrap: anywhere; }
td.key, th.key { max-width: 22em; overflow-wrap: anywhere; }
tr.pooled td { font-weight: 600; background: #eef2f8 !important; border-bottom: 2px solid var(--rule); }
.scroll { max-height: 600px; overflow: auto; border: 1px solid var(--rule); margin: 6px 0; }
.scroll table { margin: 0; }
.scroll thead th { position: sticky; top: 0; z-index: 1; box-shadow: 0 1px 0 var(--rule); }
.players { display: flex; flex-wrap: wrap; gap: 6px 18px; font-size: 12.5px; color: var(--muted); margin: 4px 0; }
.players audio { display: block; height: 32px; width: 300px; }
tbody tr:nth-child(even) td { background: #fafbfc; }
table.facts th { width: 150px; background: none; }
table.facts td { font-family: "DejaVu Sans Mono", Menlo, monospace; font-size: 12.5px; overflow-wrap: anywhere; }
.notes { color: var(--muted); font-size: 12.5px; margin: 4px 0 10px; }
figure { margin: 10px 0 18px; break-inside: avoid; page-break-inside: avoid; }
figure img { display: block; max-width: 100%; height: auto; }
figcaption { color: var(--muted); font-size: 12.5px; margin-top: 2px; }
.pair { break-inside: avoid; page-break-inside: avoid; margin-bottom: 16px; }
.pair h3 { font-size: 14.5px; overflow-wrap: anywhere; }
.missing { color: var(--muted); font-style: italic; }
footer { color: var(--muted); font-size: 12px; margin-top: 36px; border-top: 1px solid var(--rule); padding-top: 8px; }
@media print {
  @page { size: auto; margin: 14mm 12mm; }
  body { font-size: 11pt; }
  main { max-width: none; padding: 0; }
  nav { display: none; }
  h2 { break-after: avoid; page-break-after: avoid; }
  table { break-inside: auto; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  thead { display: table-header-group; }
  tbody tr:nth-child(even) td { background: none; }
  .scroll { max-height: none; overflow: visible; border: none; }
  .players { display: none; }
}
"""



# ----------------------------------------------------------------- figures


def _rc() -> Dict[str, Any]:
    return {
        "svg.fonttype": "none",  # text stays text: small and sharp
        "svg.hashsalt": "kelvor-stoi",  # the same figure gives the same bytes
        "font.family": "DejaVu Sans",
        "font.size": 9.5,
        "axes.titlesize": 10.5,
        "axes.labelsize": 9.5,
        "axes.spines.top": False,
        "axes.spines.right": False,
        "legend.frameon": False,
        # Values are text, never math: "$5" and "$6" stay prices.
        "text.parse_math": False,
        "text.usetex": False,
    }


def _label(value: Any, limit: int = LABEL_CHARS) -> str:
    """A value as a figure or a heading shows it: escaped (see shown) and
    cut to limit characters."""
    text = shown(value)
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"


def _svg(fig: Any, alt: str, caption: Optional[str] = None) -> str:
    """The figure as an <img> holding its SVG as a data URI: each figure a
    document of its own, so the ids inside different SVGs cannot clash."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="svg", dpi=130, metadata={"Date": None})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    width, height = fig.get_size_inches()
    out = (
        f'<figure><img alt="{html.escape(shown(alt))}" width="{int(width * 96)}" height="{int(height * 96)}" '
        f'src="data:image/svg+xml;base64,{data}">'
    )
    if caption:
        out += f"<figcaption>{html.escape(shown(caption))}</figcaption>"
    return out + "</figure>"


def _group_label(values: Sequence[Any], names: Sequence[str], separator: str = "\n") -> str:
    if not names:
        return "all pairs"
    return separator.join(f"{_label(n)} {_label(v)}" for n, v in zip(names, values))


def _fitted(values: np.ndarray, pad: float = 0.06) -> Tuple[float, float]:
    """Axis limits around the finite values, a little beyond them, within
    the range of a score."""
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return 0.0, 1.0
    low, high = float(finite.min()), float(finite.max())
    span = max(high - low, 0.02)
    return max(low - pad * span, -1.05), min(high + pad * span, 1.05)


class _Groups:
    """The groups of a figure: the outer groups (of the by columns), the
    values of the compared column within them (hue), and for each summary
    row its outer group and hue."""

    def __init__(self, table: pd.DataFrame, by: List[str], hue: Optional[str]):
        self.by = by
        self.hue = hue
        self.outer_codes, self.outer_keys = analysis._group_codes(table, by)
        if hue:
            self.hue_codes, hue_keys = analysis._group_codes(table, [hue])
            self.hue_values = hue_keys[hue].tolist()
        else:
            self.hue_codes, self.hue_values = np.zeros(len(table), dtype=np.int64), [None]
        self.count = len(self.outer_keys) if by else 1
        self.colours = [PALETTE[i % len(PALETTE)] for i in range(len(self.hue_values))]
        # Each summary row (the groups of by + hue, in their order) as
        # (outer, hue): the order of _group_codes over both.
        combined = self.outer_codes * len(self.hue_values) + self.hue_codes
        present = np.unique(combined)
        self.rows = [(int(c) // len(self.hue_values), int(c) % len(self.hue_values)) for c in present]
        self.row_codes = np.searchsorted(present, combined)

    def label(self, outer: int, separator: str = "\n") -> str:
        if not self.by:
            return "all pairs"
        return _group_label(tuple(self.outer_keys.iloc[outer]), self.by, separator)

    def values(self, outer: int) -> str:
        """The group's values alone, for a list that names its columns."""
        return ", ".join(_label(v) for v in self.outer_keys.iloc[outer])

    def hue_label(self, k: int) -> str:
        return f"{_label(self.hue)} {_label(self.hue_values[k])}"


def _legend_above(ax: Any, handles: List[Any]) -> None:
    """A legend over the axes, outside them: inside it would hide data."""
    ax.legend(handles=handles, loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=min(4, len(handles)),
              fontsize=8.5, borderaxespad=0.3)


def _box_figure(table: pd.DataFrame, scored: np.ndarray, groups: _Groups) -> str:
    """Box plots per group (and value of the compared column), the scored
    pairs as dots over them."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    hues = len(groups.hue_values)
    width_each = 0.8 / hues
    codes = groups.row_codes[scored]
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(groups.rows) + 1))
    positions = [outer - 0.4 + width_each * (k + 0.5) for outer, k in groups.rows]
    colours = [groups.colours[k] for _, k in groups.rows]

    fig = Figure(figsize=(min(11.0, 3.2 + 0.9 * groups.count * hues ** 0.5), 5.4), layout="constrained")
    axes = fig.subplots(2, 1, sharex=True)
    rng = np.random.default_rng(0)
    for ax, measure in zip(axes, analysis.MEASURES):
        scores = table[measure].to_numpy(dtype=np.float64, na_value=np.nan)[scored][order]
        values = [scores[bounds[g] : bounds[g + 1]] for g in range(len(groups.rows))]
        drawn = [(x, v, c) for x, v, c in zip(positions, values, colours) if v.shape[0]]
        if drawn:
            parts = ax.boxplot(
                [v for _, v, _ in drawn], positions=[x for x, _, _ in drawn], widths=width_each * 0.75,
                patch_artist=True, showfliers=False, whis=(5, 95), medianprops={"color": "#1d232b", "lw": 1.3},
                manage_ticks=False, showmeans=True,
                meanprops={"marker": "D", "markerfacecolor": "white", "markeredgecolor": "#1d232b", "markersize": 4.5},
            )
            for patch, (_, _, colour) in zip(parts["boxes"], drawn):
                patch.set_facecolor(colour)
                patch.set_alpha(0.35)
                patch.set_edgecolor(colour)
            for x, v, colour in drawn:
                if v.shape[0] > STRIP_POINTS:
                    v = rng.choice(v, STRIP_POINTS, replace=False)
                jitter = rng.uniform(-width_each * 0.3, width_each * 0.3, v.shape[0])
                size, alpha = (5, 0.45) if v.shape[0] > 150 else (13, 0.7)
                ax.scatter(x + jitter, v, s=size, color=colour, alpha=alpha, lw=0, rasterized=True, zorder=3)
        ax.set_ylim(*_fitted(scores))
        ax.set_ylabel(NAMES[measure])
        ax.grid(True, axis="y", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    axes[-1].set_xticks(range(groups.count))
    axes[-1].set_xticklabels([groups.label(i) for i in range(groups.count)], fontsize=8.5)
    axes[-1].set_xlim(-0.6, groups.count - 0.4)
    if groups.hue:
        _legend_above(axes[0], [Patch(facecolor=c, alpha=0.6, edgecolor=c, label=groups.hue_label(k))
                                for k, c in enumerate(groups.colours[: len(PALETTE)])])
    caption = (
        "Boxes: quartiles; whiskers: 5th and 95th percentiles; line: median; diamond: mean; dots: "
        f"the scored pairs (at most {STRIP_POINTS} per box, chosen at random)."
    )
    return _svg(fig, "Distributions of STOI and ESTOI per group", caption)


def _ranking(means: np.ndarray) -> np.ndarray:
    """The rank of each value, lowest first, NaN last."""
    order = np.argsort(np.where(np.isnan(means), np.inf, means), kind="stable")
    rank = np.empty(means.shape[0], dtype=np.int64)
    rank[order] = np.arange(means.shape[0])
    return rank


def _ends(names: List[str], values: np.ndarray, rank: np.ndarray, signed: bool = False) -> str:
    """The groups at both ends of a ranking, named with their values."""
    finite = np.flatnonzero(np.isfinite(values))
    order = finite[np.argsort(rank[finite])]
    if order.size == 0:
        return ""
    count = min(NAMED_AT_ENDS, (order.size + 1) // 2)

    def listed(positions: np.ndarray) -> str:
        return ", ".join(f"{names[i]} ({_number(values[i], signed)})" for i in positions)

    return f" Lowest: {listed(order[:count])}. Highest: {listed(order[::-1][:count])}."


def _dot_figure(summary: pd.DataFrame, outer: pd.DataFrame, pooled: pd.DataFrame, groups: _Groups) -> str:
    """Many groups: each group's mean with its interval, one dot per value
    of the compared column, the groups ranked by their mean STOI; the
    pooled mean of every pair as a dashed line."""
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    hues = len(groups.hue_values)
    rank = _ranking(outer["stoi_mean"].to_numpy(dtype=np.float64))
    offsets = (np.arange(hues) - (hues - 1) / 2.0) * min(0.3, 0.8 / hues)
    x = np.array([rank[o] + offsets[k] for o, k in groups.rows])
    hue_of = np.array([k for _, k in groups.rows])
    fig = Figure(figsize=(10.0, 5.6))
    axes = fig.subplots(2, 1, sharex=True)
    # Fixed margins: the labels of a ranked figure are the same at any
    # number of groups, and a computed layout would double its time.
    fig.subplots_adjust(left=0.085, right=0.985, bottom=0.055, top=0.93, hspace=0.07)
    level = f"{100 * summary.attrs.get('confidence', 0.95):g} %"
    size = 16 if groups.count <= 100 else 9 if groups.count <= 400 else 4
    width = 1.2 if groups.count <= 400 else 0.6
    dense = len(groups.rows) > RASTER_ABOVE
    for ax, measure in zip(axes, analysis.MEASURES):
        mean = summary[f"{measure}_mean"].to_numpy(dtype=np.float64)
        low = summary[f"{measure}_ci_low"].to_numpy(dtype=np.float64)
        high = summary[f"{measure}_ci_high"].to_numpy(dtype=np.float64)
        for k in range(hues):
            mine = hue_of == k
            ends = mine & np.isfinite(low)
            ax.vlines(x[ends], low[ends], high[ends], color=groups.colours[k], lw=width, alpha=0.55,
                      rasterized=dense, zorder=2)
            ax.scatter(x[mine], mean[mine], s=size, color=groups.colours[k], lw=0, rasterized=dense, zorder=3)
        for k in range(hues):
            ax.axhline(float(pooled[f"{measure}_mean"].iloc[k]), color=groups.colours[k], lw=0.9, ls="--", zorder=1)
        ax.set_ylim(*_fitted(np.concatenate([mean, low, high])))
        ax.set_ylabel(NAMES[measure])
        ax.grid(True, axis="y", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    axes[-1].set_xlim(-1.0, groups.count)
    axes[-1].set_xlabel(f"the {groups.count:,} groups of {', '.join(_label(b) for b in groups.by)}, "
                        "ranked by mean STOI (lowest left)")
    for ax in axes:
        ax.set_xticks([])
    handles = [Line2D([], [], color=groups.colours[k], marker="o", ms=4, lw=1, label=groups.hue_label(k) if groups.hue
                      else f"group mean and {level} CI") for k in range(min(hues, len(PALETTE)))]
    handles.append(Line2D([], [], color="#5b6570", lw=0.9, ls="--", label=f"{POOLED}: mean of every pair"))
    _legend_above(axes[0], handles)
    names = [groups.values(i) for i in range(groups.count)]
    caption = (f"Each dot is a group's mean, its bar the {level} confidence interval (Student's t); dashed: the "
               "mean of every pair pooled. Every group is in the summary table."
               + _ends(names, outer["stoi_mean"].to_numpy(dtype=np.float64), rank))
    return _svg(fig, "Mean STOI and ESTOI per group, ranked", caption)


def _forest_figure(comparison: pd.DataFrame, pooled: Optional[pd.DataFrame], by: List[str]) -> str:
    """A few groups: each group's mean difference with both intervals, one
    row per group under the pooled row."""
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    attrs = comparison.attrs
    keys = comparison.loc[comparison["measure"] == analysis.MEASURES[0], by] if by else None
    labels = [_group_label(tuple(r), by, ", ") for r in keys.itertuples(index=False)] if by else ["all pairs"]
    parts = {m: comparison[comparison["measure"] == m] for m in analysis.MEASURES}
    if pooled is not None:
        labels = [POOLED] + labels
        parts = {m: pd.concat([pooled[pooled["measure"] == m], parts[m]]) for m in analysis.MEASURES}
    rows = len(labels)
    fig = Figure(figsize=(10.0, 1.8 + 0.42 * rows), layout="constrained")
    # The legend gets a row of its own under the panels (constrained
    # layout leaves figure legends out of its sums).
    grid = fig.add_gridspec(2, 2, height_ratios=[1.4 + 0.42 * rows, 0.35])
    axes = [fig.add_subplot(grid[0, 0])]
    axes.append(fig.add_subplot(grid[0, 1], sharey=axes[0]))
    legend_ax = fig.add_subplot(grid[1, :])
    legend_ax.axis("off")
    y = np.arange(rows)[::-1]
    for ax, measure in zip(axes, analysis.MEASURES):
        part = parts[measure]
        ax.axvline(0, color="#8C8C8C", lw=0.9)
        spans = []
        for yi, (_, r) in zip(y, part.iterrows()):
            if r["pairs"] == 0:
                continue
            if not math.isnan(r["boot_low"]):
                ax.plot([r["boot_low"], r["boot_high"]], [yi - 0.16, yi - 0.16], color="#DD8452", lw=2.2,
                        solid_capstyle="butt")
            if not math.isnan(r["t_low"]):
                ax.plot([r["t_low"], r["t_high"]], [yi + 0.16, yi + 0.16], color="#4C72B0", lw=2.2,
                        solid_capstyle="butt")
            ax.plot([r["mean_diff"]], [yi], marker="o", color="#1d232b", ms=5)
            spans += [r["boot_low"], r["boot_high"], r["t_low"], r["t_high"], r["mean_diff"], 0.0]
        low, high = _fitted(np.array(spans, dtype=np.float64), pad=0.08)
        ax.set_xlim(low, high)
        ax.set_title(f"{NAMES[measure]}: {_label(attrs.get('b'))} \u2212 {_label(attrs.get('a'))}")
        ax.set_xlabel("mean paired difference")
        ax.grid(True, axis="x", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    if pooled is not None:
        for ax in axes:
            ax.axhline(rows - 1.5, color="#d5dbe1", lw=0.8)
    axes[0].set_yticks(y)
    axes[0].set_yticklabels(labels)
    if pooled is not None:
        axes[0].get_yticklabels()[0].set_fontweight("bold")
    axes[0].set_ylim(-0.7, rows - 0.3)
    level = f"{100 * attrs.get('confidence', 0.95):g} %"
    handles = [
        Line2D([], [], color="#1d232b", marker="o", ls="none", ms=5, label="mean difference B \u2212 A"),
        Line2D([], [], color="#4C72B0", lw=2.2, label=f"{level} CI, paired t"),
        Line2D([], [], color="#DD8452", lw=2.2, label=f"{level} CI, bootstrap ({attrs.get('resamples')} resamples)"),
    ]
    legend_ax.legend(handles=handles, loc="center", ncol=3, fontsize=8.5)
    axes[1].tick_params(axis="y", labelleft=False)
    return _svg(fig, "Mean paired differences with confidence intervals",
                "Right of the grey line: B scores higher. Each row is one group; bars are the intervals of the mean."
                + (f" The first row, {POOLED}, pools every pair." if pooled is not None else ""))


def _ranked_differences_figure(comparison: pd.DataFrame, pooled: pd.DataFrame, by: List[str]) -> str:
    """Many groups: each group's mean difference with its paired-t
    interval, ranked by the difference in STOI; coloured by whether the
    interval lies above 0, below 0, or holds it."""
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    attrs = comparison.attrs
    first = comparison[comparison["measure"] == analysis.MEASURES[0]]
    names = [", ".join(_label(v) for v in r) for r in first[by].itertuples(index=False)]
    rank = _ranking(first["mean_diff"].to_numpy(dtype=np.float64))
    count = len(names)
    fig = Figure(figsize=(10.0, 5.6))
    axes = fig.subplots(2, 1, sharex=True)
    # Fixed margins: the labels of a ranked figure are the same at any
    # number of groups, and a computed layout would double its time.
    fig.subplots_adjust(left=0.085, right=0.985, bottom=0.055, top=0.93, hspace=0.07)
    size = 16 if count <= 100 else 9 if count <= 400 else 4
    width = 1.2 if count <= 400 else 0.6
    dense = count > RASTER_ABOVE
    colours = {"above": "#55A868", "below": "#C44E52", "holds": "#8C8C8C"}
    counted = {}
    for ax, measure in zip(axes, analysis.MEASURES):
        part = comparison[comparison["measure"] == measure]
        mean = part["mean_diff"].to_numpy(dtype=np.float64)
        low = part["t_low"].to_numpy(dtype=np.float64)
        high = part["t_high"].to_numpy(dtype=np.float64)
        with np.errstate(invalid="ignore"):
            kind = np.where(low > 0, "above", np.where(high < 0, "below", "holds"))
        kind = np.where(np.isnan(low), "holds", kind)
        counted[measure] = {k: int(np.count_nonzero((kind == k) & np.isfinite(low))) for k in colours}
        ax.axhline(0.0, color="#5b6570", lw=0.9)
        ax.axhline(float(pooled.loc[pooled["measure"] == measure, "mean_diff"].iloc[0]), color="#1d232b", lw=0.9,
                   ls="--")
        for k, colour in colours.items():
            mine = kind == k
            ends = mine & np.isfinite(low)
            ax.vlines(rank[ends], low[ends], high[ends], color=colour, lw=width, alpha=0.6, rasterized=dense)
            ax.scatter(rank[mine], mean[mine], s=size, color=colour, lw=0, rasterized=dense, zorder=3)
        ax.set_ylim(*_fitted(np.concatenate([mean, low, high, [0.0]]), pad=0.08))
        ax.set_ylabel(f"{NAMES[measure]}: B \u2212 A")
        ax.grid(True, axis="y", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    axes[-1].set_xlim(-1.0, count)
    axes[-1].set_xlabel(f"the {count:,} groups of {', '.join(_label(b) for b in by)}, ranked by the mean "
                        "difference in STOI (lowest left)")
    for ax in axes:
        ax.set_xticks([])
    level = f"{100 * attrs.get('confidence', 0.95):g} %"
    _legend_above(axes[0], [
        Line2D([], [], color=colours["above"], marker="o", ms=4, lw=1, label=f"{level} CI above 0: B higher"),
        Line2D([], [], color=colours["below"], marker="o", ms=4, lw=1, label=f"{level} CI below 0: A higher"),
        Line2D([], [], color=colours["holds"], marker="o", ms=4, lw=1, label="CI holds 0"),
        Line2D([], [], color="#1d232b", lw=0.9, ls="--", label=f"{POOLED}: pooled difference"),
    ])
    tally = "; ".join(
        f"{NAMES[m]}: above 0 in {c['above']:,}, below 0 in {c['below']:,}, holding 0 in {c['holds']:,}"
        for m, c in counted.items())
    caption = (f"Each dot is a group's mean difference B \u2212 A ({_label(attrs.get('b'))} \u2212 "
               f"{_label(attrs.get('a'))}), its bar the {level} paired-t interval; dashed: the difference over "
               f"every pair pooled. Groups with an interval: {tally}. Both intervals of every group are in the "
               "table above." + _ends(names, first["mean_diff"].to_numpy(dtype=np.float64), rank, signed=True))
    return _svg(fig, "Mean paired differences per group, ranked", caption)


def _scatter_figure(table: pd.DataFrame, scored: np.ndarray, between: Between, by: List[str], key: List[str]) -> str:
    from matplotlib.figure import Figure

    column, a, b = between
    # The very pairs of compare's statistics.
    merged, usable, _ = analysis._paired(table, table[column].astype(str), str(a), str(b), key, by, scored)
    pairs = merged.loc[usable]
    # A colour per group where there are few; one colour for many.
    coloured = bool(by) and len(pairs) > 0
    if coloured:
        codes, keys = analysis._group_codes(pairs, by)
        coloured = 1 < len(keys) <= len(PALETTE)
    # With a legend of labels of any length the layout is computed; without
    # one, fixed margins do, in half the time.
    fig = Figure(figsize=(10.0, 4.2), layout="constrained" if coloured else None)
    axes = fig.subplots(1, 2)
    if not coloured:
        fig.subplots_adjust(left=0.07, right=0.97, bottom=0.12, top=0.97, wspace=0.2)
    if coloured:
        order = [tuple(r) for r in keys.itertuples(index=False)]
    else:
        codes, order = np.zeros(len(pairs), dtype=np.int64), [()]
    # Fewer dots are drawn larger and stronger, so that a small test set
    # stays visible.
    size, alpha = (6, 0.5) if len(pairs) > 1000 else (14, 0.65) if len(pairs) > 200 else (26, 0.8)
    rng = np.random.default_rng(0)
    for ax, measure in zip(axes, analysis.MEASURES):
        both = pairs[[f"{measure}_a", f"{measure}_b"]].to_numpy(dtype=np.float64)
        low, high = _fitted(both.ravel())
        ax.plot([low, high], [low, high], color="#8C8C8C", lw=0.9, zorder=1)
        for i, k in enumerate(order):
            part = both[codes == i]
            if part.shape[0] > SCATTER_POINTS:
                part = part[rng.choice(part.shape[0], SCATTER_POINTS, replace=False)]
            ax.scatter(part[:, 0], part[:, 1], s=size, lw=0, alpha=alpha,
                       color=PALETTE[(i + 2) % len(PALETTE)] if coloured else PALETTE[0],
                       label=_group_label(k, by, ", ") if coloured else None, rasterized=True, zorder=2)
        ax.set_xlim(low, high)
        ax.set_ylim(low, high)
        ax.set_aspect("equal")
        ax.set_xlabel(f"{NAMES[measure]}, {_label(column)} {_label(a)} (A)")
        ax.set_ylabel(f"{NAMES[measure]}, {_label(column)} {_label(b)} (B)")
        ax.grid(True, lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    if coloured:
        axes[1].legend(loc="upper left", bbox_to_anchor=(1.02, 1.0), fontsize=8, markerscale=1.5, borderaxespad=0)
    return _svg(fig, "Paired scores, A against B",
                f"One dot per pair scored on both sides (at most {SCATTER_POINTS:,} per group, chosen at random); "
                "above the diagonal B scores higher.")


def _details_figure(details: Any) -> str:
    from matplotlib.figure import Figure

    from kelvor_stoi._plot import draw_details

    fig = Figure(figsize=(10.0, 4.6), layout="constrained")
    draw_details(fig, details, rasterized=True)
    return _svg(fig, "Per-band correlation over time", None)


# ------------------------------------------------------------------ details


class _DetailsFinder:
    """Finds the --details file of a results row: DIR/<row>.json by its
    listing row, checked against the file's reference, degraded and the
    row's metadata; a scan of the folder when the guess is wrong (results
    joined from shards, a filtered table)."""

    def __init__(self, folder: str, shard: Optional[Tuple[int, int]]):
        self.folder = folder
        self.shard = shard
        # (reference, degraded) -> [(path, the file's own fields)]
        self._index: Optional[Dict[Tuple[str, str], List[Tuple[str, Dict[str, Any]]]]] = None
        # The files passed over, each with why: (path, message).
        self.skipped: Dict[str, str] = {}

    @staticmethod
    def _matches(fields: Dict[str, Any], row: pd.Series) -> bool:
        for name, value in fields.items():
            if name in ("reference", "degraded") or (name in row.index and name not in COLUMNS):
                if name in row.index and str(value if value is not None else "") != str(row[name]):
                    return False
        return True

    def _read(self, path: str) -> Optional[Tuple[Dict[str, Any], Any]]:
        from kelvor_stoi._details_file import read_details_file

        try:
            return read_details_file(path)
        except (OSError, ValueError) as e:
            self.skipped.setdefault(path, str(e))
            return None

    def _build_index(self) -> Dict[Tuple[str, str], List[Tuple[str, Dict[str, Any]]]]:
        """The fields of every details file of the folder, read once; the
        arrays are built only for the file that matches."""
        from kelvor_stoi._details_file import read_details_fields

        index: Dict[Tuple[str, str], List[Tuple[str, Dict[str, Any]]]] = {}
        try:
            names = sorted(os.listdir(self.folder))
        except OSError:
            names = []
        for name in names:
            if not name.endswith(".json"):
                continue
            path = os.path.join(self.folder, name)
            try:
                fields = read_details_fields(path)
            except (OSError, ValueError) as e:
                self.skipped.setdefault(path, str(e))
                continue
            key = (str(fields.get("reference", "")), str(fields.get("degraded", "")))
            index.setdefault(key, []).append((path, fields))
        return index

    def find(self, position: int, row: pd.Series, listing_row: Optional[int] = None) -> Optional[Any]:
        k, n = self.shard or (1, 1)
        if listing_row is None:
            listing_row = _core.shard_row(position, k, n)
        guess = os.path.join(self.folder, f"{listing_row}.json")
        found = self._read(guess) if os.path.isfile(guess) else None
        if found is not None and self._matches(found[0], row):
            return found[1]
        if self._index is None:
            self._index = self._build_index()
        for path, fields in self._index.get((str(row.get("reference", "")), str(row.get("degraded", ""))), []):
            if self._matches(fields, row):
                got = self._read(path)
                if got is not None:
                    return got[1]
        return None


def _shard(run: Optional[Dict[str, Any]]) -> Optional[Tuple[int, int]]:
    value = (run or {}).get("shard")
    return _core.parse_shard(value) if isinstance(value, str) else None


# -------------------------------------------------------------------- audio


class _Audio:
    """Links from the report's folder to the audio of a results row: its
    paths taken from where kelvor-batch took them (a manifest's folder,
    the --ref-dir and --deg-dir folders, per the run record), else from the
    results file's folder; only files that exist and that a browser
    plays."""

    def __init__(self, report_dir: str, run: Optional[Dict[str, Any]], source: Optional[str]):
        self.report_dir = report_dir
        fallback = os.path.dirname(os.path.abspath(source)) if source and source != "-" else os.getcwd()
        self.reference_base = self.degraded_base = fallback
        self.systems: Dict[str, str] = {}
        listing = run.get("listing") if isinstance(run, dict) else None
        if isinstance(listing, dict):
            manifest = listing.get("manifest")
            if isinstance(manifest, str) and manifest != "-":
                self.reference_base = self.degraded_base = os.path.dirname(manifest)
            if isinstance(listing.get("ref_dir"), str):
                self.reference_base = listing["ref_dir"]
                for folder in listing.get("deg_dirs") or []:
                    if isinstance(folder, dict) and isinstance(folder.get("dir"), str):
                        self.systems[str(folder.get("system"))] = folder["dir"]

    def link(self, path: Any, base: str) -> Optional[str]:
        if not isinstance(path, str) or not path or "\0" in path or not path.lower().endswith(PLAYABLE):
            return None
        full = os.path.join(base, path)
        if not os.path.isfile(full):
            return None
        relative = os.path.relpath(os.path.abspath(full), self.report_dir)
        return urllib.parse.quote(relative, safe="/", errors="surrogateescape")

    def players(self, row: pd.Series) -> str:
        degraded_base = self.systems.get(str(row.get("system")), self.degraded_base) if self.systems else \
            self.degraded_base
        out = []
        for name, base in (("reference", self.reference_base), ("degraded", degraded_base)):
            href = self.link(row.get(name), base)
            if href is not None:
                out.append(f'<label>{name}<audio controls preload="none" src="{html.escape(href)}"></audio></label>')
        return f'<div class="players">{"".join(out)}</div>' if out else ""


# ------------------------------------------------------------------ sections


def _fact_value(value: Any, depth: int = 0) -> str:
    if depth > 3:
        return "\u2026"
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return shlex.join(value)
    if isinstance(value, dict):
        return ", ".join(f"{k}={_fact_value(v, depth + 1)}" for k, v in value.items()) or "(none)"
    if isinstance(value, list):
        return "[" + ", ".join(_fact_value(v, depth + 1) for v in value) + "]"
    if value is None:
        return "(none)"
    if isinstance(value, str):
        return value
    return json.dumps(value)


def _facts_section(table: pd.DataFrame, scored: np.ndarray, run: Optional[Dict[str, Any]], source: Optional[str]) -> str:
    total = len(table)
    failed = int(total - scored.sum())
    out = ['<section id="run"><h2>Run</h2>']
    cards = [
        (f"{total:,}", "pairs in the results", False),
        (f"{int(scored.sum()):,}", "scored", False),
        (f"{failed:,}", "failed", failed > 0),
    ]
    if scored.any():
        cards.append((f"{float(table.loc[scored, 'stoi'].mean()):.4f}", "mean STOI of the scored", False))
        cards.append((f"{float(table.loc[scored, 'estoi'].mean()):.4f}", "mean ESTOI of the scored", False))
    out.append('<div class="cards">' + "".join(
        f'<div class="card{" bad" if bad else ""}"><b>{html.escape(v)}</b><span>{html.escape(t)}</span></div>'
        for v, t, bad in cards) + "</div>")
    rows: List[Tuple[str, str]] = []
    if source:
        rows.append(("results", "standard input" if source == "-" else source))
    if run:
        preferred = ["program", "version", "profile", "command", "listing", "shard", "options", "started"]
        for name in preferred + [k for k in run if k not in preferred]:
            if name in run:
                rows.append((name, _fact_value(run[name])))
    if "rate" in table.columns:
        rates = table["rate"].dropna().unique()
        if len(rates):
            rows.append(("sample rates", ", ".join(f"{int(r)} Hz" for r in sorted(rates))))
    meta = analysis.metadata_columns(table)
    if meta:
        rows.append(("metadata columns", ", ".join(meta)))
    out.append('<table class="facts">' + "".join(
        f"<tr><th>{html.escape(shown(k))}</th><td>{html.escape(shown(v))}</td></tr>" for k, v in rows) + "</table>")
    if run is None:
        out.append('<p class="notes">No run record (RESULTS.run.json) was found next to the results: the '
                   "facts of the run (version, profile, command) are not known.</p>")
    out.append("</section>")
    return "\n".join(out)


def _table(cells: Cells, pooled: int = 0) -> str:
    """A table of the report: its first `pooled` rows marked as pooled, in
    a box of its own that scrolls when it is long."""
    cells.pooled = pooled
    out = as_html(cells)
    if len(cells.rows) > LONG_TABLE:
        end = out.index("</table>") + len("</table>")
        out = (f'<div class="scroll">{out[:end]}</div><p class="notes">{len(cells.rows):,} rows; the table '
               f"scrolls, its header stays.</p>{out[end:]}")
    return out


def _failures_section(table: pd.DataFrame) -> str:
    if "status" not in table.columns:
        return ""
    failed = table[(table["status"] != "ok").to_numpy()]
    if failed.empty:
        return ""
    out = ['<section id="failures"><h2>Failures</h2>']
    codes, statuses = analysis._factorize(failed["status"].to_numpy(dtype=object))
    counts = np.bincount(codes, minlength=len(statuses))
    messages = failed["message"].to_numpy(dtype=object) if "message" in failed.columns else None
    first = {}
    for position, code in enumerate(codes):
        first.setdefault(int(code), position)
    out.append('<table class="numbers"><thead><tr><th class="text">status</th><th class="num">pairs</th>'
               '<th class="text">first message</th></tr></thead><tbody>')
    for code in np.argsort(-counts, kind="stable"):
        message = messages[first[int(code)]] if messages is not None else ""
        out.append(f'<tr><td class="text">{html.escape(shown(statuses[code]))}</td><td class="num">{counts[code]:,}'
                   f'</td><td class="text">{html.escape(shown(message))}</td></tr>')
    out.append("</tbody></table>")
    shown_rows = failed.head(10)
    cols = [c for c in ("reference", "degraded") if c in table.columns] + analysis.metadata_columns(table)
    out.append(f'<p class="notes">The first {len(shown_rows)} of {len(failed):,} failed rows:</p>')
    out.append('<table class="numbers"><thead><tr>' + "".join(
        f'<th class="text">{html.escape(shown(c))}</th>' for c in cols + ["status"]) + "</tr></thead><tbody>")
    for _, r in shown_rows.iterrows():
        out.append("<tr>" + "".join(f'<td class="text">{html.escape(shown(r[c]))}</td>' for c in cols + ["status"])
                   + "</tr>")
    out.append("</tbody></table></section>")
    return "\n".join(out)


def _worst_section(
    table: pd.DataFrame, scored: np.ndarray, worst: int, finder: Optional[_DetailsFinder], details_dir: Optional[str],
    audio: Optional[_Audio],
) -> str:
    if worst <= 0 or not scored.any():
        return ""
    positions = np.flatnonzero(scored)
    values = table["stoi"].to_numpy(dtype=np.float64)[positions]
    order = positions[np.argsort(values, kind="stable")[:worst]]
    meta = analysis.metadata_columns(table)
    out = [f'<section id="worst"><h2>The {len(order)} lowest-scoring pairs</h2>']
    notes = []
    if details_dir is None:
        notes.append("Per-band heat maps need the details of the run: score with kelvor-batch --details DIR and "
                     "give the report the same DIR.")
    if notes:
        out.append(f'<p class="notes">{html.escape(" ".join(notes))}</p>')
    players = 0
    for rank, position in enumerate(order, 1):
        r = table.iloc[position]
        tags = ", ".join(f"{_label(m)} {_label(r[m])}" for m in meta)
        title = f"{rank}. STOI {r['stoi']:.4f}, ESTOI {r['estoi']:.4f}" + (f" \u2014 {tags}" if tags else "")
        out.append(f'<div class="pair"><h3>{html.escape(title)}</h3>')
        out.append(f'<p class="notes">reference {html.escape(shown(r["reference"]))}<br>degraded '
                   f'{html.escape(shown(r["degraded"]))}<br>row {position} of the results</p>')
        if audio is not None:
            found_players = audio.players(r)
            players += bool(found_players)
            out.append(found_players)
        if finder is not None:
            listed = int(table.index[position]) if table.attrs.get("listing_rows") else None
            found = finder.find(int(position), r, listed)
            if found is None:
                out.append('<p class="missing">No details file of this pair in the details folder.</p>')
            elif found.segment_count == 0:
                out.append('<p class="missing">Its details hold no segment.</p>')
            else:
                out.append(_details_figure(found))
        out.append("</div>")
    if audio is not None:
        out.append('<p class="notes">' + (
            "The players link to the audio files relative to the report's folder: keep the report where it is "
            "beside them." if players else
            "No players: the report's folder does not reach these pairs' audio files, or they are in a format a "
            "browser does not play (it plays WAV, FLAC and Ogg).") + "</p>")
    if finder is not None and finder.skipped:
        path, why = next(iter(finder.skipped.items()))
        more = len(finder.skipped) - 1
        out.append(f'<p class="notes">Passed over {len(finder.skipped):,} file(s) of the details folder that are no '
                   f"details of kelvor-batch: {html.escape(shown(why))}"
                   + (f" (and {more:,} more)" if more else "") + ".</p>")
    out.append("</section>")
    return "\n".join(out)


def _pooled_rows(frame: pd.DataFrame, by: List[str]) -> pd.DataFrame:
    """A frame of pooled statistics with POOLED in every by column."""
    frame = frame.copy()
    for position, name in enumerate(by):
        frame.insert(position, name, POOLED)
    return frame


def build_report(
    table: pd.DataFrame,
    by: Union[None, str, Sequence[str]] = None,
    between: Optional[Between] = None,
    details_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    run: Optional[Dict[str, Any]] = None,
    source: Optional[str] = None,
    worst: int = DEFAULT_WORST,
    resamples: int = analysis.DEFAULT_RESAMPLES,
    seed: int = analysis.DEFAULT_SEED,
    title: Optional[str] = None,
    audio_base: Optional[Union[str, "os.PathLike[str]"]] = None,
) -> str:
    """The report of a results table as one HTML page (a string).

    by: the grouping columns of the summary and the figures. between: a
    (column, a, b) triple for the paired comparison B - A (see
    analysis.compare); the summary then groups by that column as well.
    details_dir: the folder of kelvor-batch --details, for the heat maps of
    the worst pairs. run: the run record (analysis.read_run_record), shown
    as the run's facts. source: the results file's name, for the heading.
    worst: how many of the lowest-scoring pairs to show. audio_base: the
    folder the page will be written to, for players of the worst pairs'
    audio (None: no players).

    Raises ValueError for arguments that cannot be used, and for more than
    MAX_GROUPS groups.
    """
    import matplotlib

    by_list = analysis._as_list(by)
    analysis._check_columns(table, by_list, "by")
    analysis._check_distinct(by_list, "by")
    if isinstance(worst, bool) or not isinstance(worst, (int, np.integer)) or worst < 0:
        raise ValueError(f"worst must be a whole number >= 0, not {worst!r}")
    if between is not None:
        try:
            column, a, b = between
        except (TypeError, ValueError):
            raise ValueError("between must be a (column, a, b) triple") from None
        analysis._check_columns(table, [column], "between")
    groups = by_list + ([between[0]] if between is not None and between[0] not in by_list else [])
    count = int(analysis._group_codes(table, groups)[0].max()) + 1 if len(table) else 0
    if count > MAX_GROUPS:
        raise ValueError(f"by: {', '.join(groups)} make {count:,} groups; a report shows at most {MAX_GROUPS:,} "
                         "(group by fewer columns, or use summarize for a table of every group)")
    summary = analysis.summarize(table, by=groups)
    pooled_summary = None
    if by_list:
        pooled_summary = analysis.summarize(table, by=[between[0]] if between is not None else [])
    comparison = pooled_comparison = None
    if between is not None:
        comparison = analysis.compare(table, between[0], between[1], between[2], by=by_list, resamples=resamples,
                                      seed=seed)
        if by_list:
            pooled_comparison = analysis.compare(table, between[0], between[1], between[2], resamples=resamples,
                                                 seed=seed)
    scored = analysis._scored(table)
    finder = None
    if details_dir is not None:
        finder = _DetailsFinder(os.fspath(details_dir), _shard(run))
    audio = _Audio(os.path.abspath(os.fspath(audio_base)), run, source) if audio_base is not None else None

    hue = between[0] if between is not None else None
    figure_groups = _Groups(table, by_list if hue else groups, hue)
    compact = figure_groups.count > COMPACT_GROUPS or len(figure_groups.rows) > 3 * COMPACT_GROUPS
    name = "standard input" if source == "-" else os.path.basename(source) if source else "results"
    heading = shown(title or f"Intelligibility report: {name}")
    created = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(heading)}</title>",
        f"<style>{STYLE}</style></head><body><main>",
        f"<header><h1>{html.escape(heading)}</h1>",
        f'<div class="sub">STOI and ESTOI of {len(table):,} pairs'
        + (f", grouped by {html.escape(', '.join(shown(g) for g in groups))}" if groups else "")
        + (f" ({figure_groups.count:,} groups of {html.escape(', '.join(shown(b) for b in by_list))})"
           if by_list and hue else "")
        + (f"; {html.escape(shown(between[2]))} against {html.escape(shown(between[1]))}" if between else "")
        + f". Made {html.escape(created)} by kelvor_stoi {html.escape(__version__)}.</div>",
        '<nav><a href="#run">Run</a><a href="#summary">Summary</a><a href="#distributions">Distributions</a>'
        + ('<a href="#comparison">Comparison</a>' if between else "")
        + '<a href="#worst">Worst pairs</a></nav></header>',
    ]
    with matplotlib.rc_context(_rc()):
        parts.append(_facts_section(table, scored, run, source))
        parts.append('<section id="summary"><h2>Summary</h2>')
        shown_summary = summary if pooled_summary is None else \
            pd.concat([_pooled_rows(pooled_summary, [g for g in groups if g != hue]), summary], ignore_index=True)
        shown_summary = shown_summary[summary.columns]
        shown_summary.attrs = summary.attrs
        parts.append(_table(summary_cells(shown_summary, groups), 0 if pooled_summary is None else len(pooled_summary)))
        if pooled_summary is not None:
            parts.append(f'<p class="notes">The first row{"s" if len(pooled_summary) > 1 else ""}, '
                         f"{POOLED}, pool{'' if len(pooled_summary) > 1 else 's'} every pair"
                         + (f" of each {html.escape(shown(hue))}" if hue else "") + ".</p>")
        parts.append("</section>")
        parts.append('<section id="distributions"><h2>Distributions</h2>')
        if len(table):
            if compact:
                outer = analysis.summarize(table, by=figure_groups.by) if hue else summary
                pooled = pooled_summary if pooled_summary is not None else analysis.summarize(table)
                parts.append(_dot_figure(summary, outer, pooled, figure_groups))
            else:
                parts.append(_box_figure(table, scored, figure_groups))
        parts.append("</section>")
        if comparison is not None:
            parts.append('<section id="comparison"><h2>Paired comparison: '
                         f"{html.escape(shown(between[2]))} \u2212 {html.escape(shown(between[1]))}</h2>")
            shown_comparison = comparison if pooled_comparison is None else \
                pd.concat([_pooled_rows(pooled_comparison, by_list), comparison], ignore_index=True)
            shown_comparison.attrs = comparison.attrs
            pooled_rows = 0 if pooled_comparison is None else len(pooled_comparison)
            parts.append(_table(comparison_cells(shown_comparison, by_list, pooled_rows // len(analysis.MEASURES)),
                                pooled_rows))
            if (comparison["pairs"] > 0).any():
                if compact and by_list:
                    parts.append(_ranked_differences_figure(comparison, pooled_comparison, by_list))
                else:
                    parts.append(_forest_figure(comparison, pooled_comparison, by_list))
                parts.append(_scatter_figure(table, scored, between, by_list, comparison.attrs["key"]))
            parts.append("</section>")
        parts.append(_failures_section(table))
        parts.append(_worst_section(table, scored, worst, finder, None if details_dir is None else os.fspath(details_dir),
                                    audio))
    parts.append(
        "<footer>Intervals of a mean: Student's t over the pairs scored (status ok). Paired comparison: "
        "differences B \u2212 A over pairs matched on the reference and every metadata column other than the "
        "compared one; bootstrap intervals are percentile intervals of resampled pairs, seeded so that the "
        "report is the same on every run.</footer>"
    )
    parts.append("</main></body></html>")
    return "\n".join(p for p in parts if p) + "\n"


def check_output(output: Union[str, "os.PathLike[str]"], results: Union[str, "os.PathLike[str]"]) -> None:
    """Refuses (ValueError) an output that would replace the results file
    or its run record (the same file under any name, or the record's own
    name), as kelvor-batch refuses an output that is one of its inputs."""
    output = os.fspath(output)
    results = os.fspath(results)
    if output == "-" or results == "-":
        return
    for path, what in ((results, "the results file"), (results + ".run.json", "the results' run record")):
        same = os.path.abspath(output) == os.path.abspath(path)
        try:
            mine, theirs = os.stat(output), os.stat(path)
            same = same or (mine.st_dev, mine.st_ino) == (theirs.st_dev, theirs.st_ino)
        except OSError:
            pass
        if same:
            raise ValueError(f"{shown(output)} is {what} {shown(path)}: the report would replace it; "
                             "write it elsewhere")


def write_report(
    results: Union[str, "os.PathLike[str]"],
    output: Union[str, "os.PathLike[str]"],
    by: Union[None, str, Sequence[str]] = None,
    between: Optional[Between] = None,
    details_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    worst: int = DEFAULT_WORST,
    resamples: int = analysis.DEFAULT_RESAMPLES,
    seed: int = analysis.DEFAULT_SEED,
) -> None:
    """Reads a results file (and its run record, when there is one) and
    writes its report to output ("-": standard output), through a
    temporary file renamed into place. The arguments are those of
    build_report; the worst pairs get players of their audio where the
    output's folder reaches it. An output that is the results file or its
    run record raises ValueError."""
    check_output(output, results)
    table = analysis.read_results(results)
    run = analysis.read_run_record(results)
    target = os.fspath(output)
    page = build_report(table, by=by, between=between, details_dir=details_dir, run=run, source=os.fspath(results),
                        worst=worst, resamples=resamples, seed=seed,
                        audio_base=os.getcwd() if target == "-" else os.path.dirname(os.path.abspath(target)))
    write_page(target, page)


def write_page(path: str, page: str) -> None:
    """Writes a page through a temporary file renamed into place, so that a
    page present is whole ("-": standard output). The temporary file is
    created new (never through a name that exists, a planted link
    included), beside the page, with the permissions a new file gets."""
    data = page.encode("utf-8", "backslashreplace")
    if path == "-":
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
    try:
        mask = os.umask(0)
        os.umask(mask)
        os.fchmod(descriptor, 0o666 & ~mask)
        with os.fdopen(descriptor, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
