"""A self-contained HTML report of a results file: run facts, the summary
table, the distributions per group, a paired comparison of two systems and
the worst pairs with their per-band heat maps.

    from kelvor_stoi import analysis, report
    table = analysis.read_results("r.csv")
    page = report.build_report(table, by=["snr"], between=("system", "noisy", "enhanced"))
    report.write_report("r.csv", "report.html", by=["snr"], between=("system", "noisy", "enhanced"))

The page is one HTML file: its figures are SVG images inlined as data
URIs (dense parts such as heat maps and point clouds rasterised inside
them), its style sheet is inline, it runs no script and loads nothing, and
it prints on A4 or Letter with each figure kept on one page.
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
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from kelvor_stoi import COLUMNS, __version__
from kelvor_stoi import analysis
from kelvor_stoi._display import NAMES, comparison_cells, summary_cells, as_html

__all__ = ["build_report", "write_report", "DEFAULT_WORST"]

#: Worst pairs shown (lowest STOI among the scored pairs).
DEFAULT_WORST = 8

Between = Tuple[str, Any, Any]

# Colours of the groups of the compared column, then of other groups:
# distinguishable in colour and in grey print.
PALETTE = ["#4C72B0", "#DD8452", "#55A868", "#C44E52", "#8172B3", "#937860", "#DA8BC3", "#8C8C8C"]
# At most this many points of a group are drawn over its box.
STRIP_POINTS = 600
# At most this many pairs of a group in the scatter plot of A against B.
SCATTER_POINTS = 2000

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
td.key, th.key { white-space: nowrap; }
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
    }


def _svg(fig: Any, alt: str, caption: Optional[str] = None) -> str:
    """The figure as an <img> holding its SVG as a data URI: each figure a
    document of its own, so the ids inside different SVGs cannot clash."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="svg", dpi=130, metadata={"Date": None})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    width, height = fig.get_size_inches()
    out = (
        f'<figure><img alt="{html.escape(alt)}" width="{int(width * 96)}" height="{int(height * 96)}" '
        f'src="data:image/svg+xml;base64,{data}">'
    )
    if caption:
        out += f"<figcaption>{html.escape(caption)}</figcaption>"
    return out + "</figure>"


def _group_label(values: Sequence[Any], names: Sequence[str]) -> str:
    if not names:
        return "all pairs"
    return "\n".join(f"{n} {v}" for n, v in zip(names, values))


def _distribution_figure(table: pd.DataFrame, scored: np.ndarray, by: List[str], hue: Optional[str]) -> str:
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    data = table.loc[scored]
    # The groups of the summary, in its order.
    outer_keys: List[Tuple[Any, ...]] = (
        [tuple(r) for r in analysis._group_codes(table, by)[1].itertuples(index=False)] if by else [()]
    )
    hue_values = analysis._value_order(table[hue]) if hue else [None]
    colours = {v: PALETTE[i % len(PALETTE)] for i, v in enumerate(hue_values)}
    width_each = 0.8 / len(hue_values)

    groups = data.groupby(by + ([hue] if hue else []), sort=False) if (by or hue) else None
    positions, boxes, box_colours = [], [], []
    for i, key in enumerate(outer_keys):
        for k, h in enumerate(hue_values):
            full = tuple(key) + ((h,) if hue else ())
            if groups is None:
                part = data
            else:
                try:
                    part = groups.get_group(full if len(full) > 1 else full[0])
                except KeyError:
                    continue
            positions.append(i - 0.4 + width_each * (k + 0.5))
            boxes.append(part)
            box_colours.append(colours[h])

    count = max(1, len(outer_keys))
    fig = Figure(figsize=(min(11.0, 3.2 + 0.9 * count * max(1, len(hue_values)) ** 0.5), 5.4), layout="constrained")
    axes = fig.subplots(2, 1, sharex=True)
    rng = np.random.default_rng(0)
    for ax, measure in zip(axes, analysis.MEASURES):
        values = [b[measure].to_numpy(dtype=np.float64) for b in boxes]
        if positions:
            parts = ax.boxplot(
                values, positions=positions, widths=width_each * 0.75, patch_artist=True, showfliers=False,
                whis=(5, 95), medianprops={"color": "#1d232b", "lw": 1.3}, manage_ticks=False,
                showmeans=True, meanprops={"marker": "D", "markerfacecolor": "white", "markeredgecolor": "#1d232b",
                                           "markersize": 4.5},
            )
            for patch, colour in zip(parts["boxes"], box_colours):
                patch.set_facecolor(colour)
                patch.set_alpha(0.35)
                patch.set_edgecolor(colour)
            for x, v, colour in zip(positions, values, box_colours):
                if v.shape[0] > STRIP_POINTS:
                    v = rng.choice(v, STRIP_POINTS, replace=False)
                jitter = rng.uniform(-width_each * 0.3, width_each * 0.3, v.shape[0])
                size, alpha = (5, 0.45) if v.shape[0] > 150 else (13, 0.7)
                ax.scatter(x + jitter, v, s=size, color=colour, alpha=alpha, lw=0, rasterized=True, zorder=3)
        ax.set_ylabel(NAMES[measure])
        ax.grid(True, axis="y", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    axes[-1].set_xticks(range(len(outer_keys)))
    axes[-1].set_xticklabels([_group_label(k, by) for k in outer_keys], fontsize=8.5)
    axes[-1].set_xlim(-0.6, len(outer_keys) - 0.4)
    if hue:
        handles = [Patch(facecolor=colours[h], alpha=0.6, edgecolor=colours[h], label=f"{hue} {h}") for h in hue_values]
        axes[0].legend(handles=handles, loc="lower right", ncol=min(4, len(handles)), fontsize=8.5)
    caption = (
        "Boxes: quartiles; whiskers: 5th and 95th percentiles; line: median; diamond: mean; dots: "
        f"the scored pairs (at most {STRIP_POINTS} per box, chosen at random)."
    )
    return _svg(fig, "Distributions of STOI and ESTOI per group", caption)


def _forest_figure(comparison: pd.DataFrame, by: List[str]) -> str:
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    attrs = comparison.attrs
    keys = comparison.loc[comparison["measure"] == analysis.MEASURES[0], by] if by else None
    labels = [_group_label(tuple(r), by).replace("\n", ", ") for r in keys.itertuples(index=False)] if by else ["all pairs"]
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
        part = comparison[comparison["measure"] == measure]
        ax.axvline(0, color="#8C8C8C", lw=0.9)
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
        ax.set_title(f"{NAMES[measure]}: {attrs.get('b')} \u2212 {attrs.get('a')}")
        ax.set_xlabel("mean paired difference")
        ax.grid(True, axis="x", lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    axes[0].set_yticks(y)
    axes[0].set_yticklabels(labels)
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
                "Right of the grey line: B scores higher. Each row is one group; bars are the intervals of the mean.")


def _scatter_figure(table: pd.DataFrame, scored: np.ndarray, between: Between, by: List[str], key: List[str]) -> str:
    from matplotlib.figure import Figure

    column, a, b = between
    # The very pairs of compare's statistics.
    merged, usable, _ = analysis._paired(table, table[column].astype(str), str(a), str(b), key, by, scored)
    pairs = merged.loc[usable]
    fig = Figure(figsize=(10.0, 4.0), layout="constrained")
    axes = fig.subplots(1, 2)
    if by and len(pairs):
        codes, keys = analysis._group_codes(pairs, by)
        order = [tuple(r) for r in keys.itertuples(index=False)]
    else:
        codes, order = np.zeros(len(pairs), dtype=np.int64), [()]
    # Fewer dots are drawn larger and stronger, so that a small test set
    # stays visible.
    size, alpha = (6, 0.5) if len(pairs) > 1000 else (14, 0.65) if len(pairs) > 200 else (26, 0.8)
    rng = np.random.default_rng(0)
    for ax, measure in zip(axes, analysis.MEASURES):
        ax.plot([-0.2, 1.0], [-0.2, 1.0], color="#8C8C8C", lw=0.9, zorder=1)
        for i, k in enumerate(order):
            part = pairs.loc[codes == i]
            x = part[f"{measure}_a"].to_numpy()
            yv = part[f"{measure}_b"].to_numpy()
            if x.shape[0] > SCATTER_POINTS:
                pick = rng.choice(x.shape[0], SCATTER_POINTS, replace=False)
                x, yv = x[pick], yv[pick]
            ax.scatter(x, yv, s=size, lw=0, alpha=alpha, color=PALETTE[(i + 2) % len(PALETTE)] if by else PALETTE[0],
                       label=_group_label(k, by).replace("\n", ", "), rasterized=True, zorder=2)
        low = min(0.0, float(np.nanmin(pairs[[f"{measure}_a", f"{measure}_b"]].to_numpy()))) if len(pairs) else 0.0
        ax.set_xlim(low, 1.0)
        ax.set_ylim(low, 1.0)
        ax.set_aspect("equal")
        ax.set_xlabel(f"{NAMES[measure]}, {column} {a} (A)")
        ax.set_ylabel(f"{NAMES[measure]}, {column} {b} (B)")
        ax.grid(True, lw=0.4, color="#d5dbe1")
        ax.set_axisbelow(True)
    if by and len(order) > 1:
        axes[1].legend(loc="lower right", fontsize=8, markerscale=2)
    return _svg(fig, "Paired scores, A against B",
                f"One dot per pair scored on both sides (at most {SCATTER_POINTS:,} per group, chosen at random); "
                "above the diagonal B scores higher.")


def _details_figure(details: Any) -> str:
    from matplotlib.figure import Figure

    from kelvor_stoi._plot import draw_details

    fig = Figure(figsize=(10.0, 4.4), layout="constrained")
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
        except (OSError, ValueError):
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
            except (OSError, ValueError):
                continue
            key = (str(fields.get("reference", "")), str(fields.get("degraded", "")))
            index.setdefault(key, []).append((path, fields))
        return index

    def find(self, position: int, row: pd.Series, listing_row: Optional[int] = None) -> Optional[Any]:
        k, n = self.shard or (1, 1)
        if listing_row is None:
            listing_row = (k - 1) + n * position
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
    if isinstance(value, str) and "/" in value:
        try:
            k, n = (int(x) for x in value.split("/", 1))
            if 1 <= k <= n:
                return k, n
        except ValueError:
            pass
    return None


# ------------------------------------------------------------------ sections


def _fact_value(value: Any) -> str:
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return shlex.join(value)
    if isinstance(value, dict):
        return ", ".join(f"{k}={_fact_value(v)}" for k, v in value.items()) or "(none)"
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
        rows.append(("results", source))
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
        f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>" for k, v in rows) + "</table>")
    if run is None:
        out.append('<p class="notes">No run record (RESULTS.run.json) was found next to the results: the '
                   "facts of the run (version, profile, command) are not known.</p>")
    out.append("</section>")
    return "\n".join(out)


def _failures_section(table: pd.DataFrame) -> str:
    if "status" not in table.columns:
        return ""
    failed = table[table["status"] != "ok"]
    if failed.empty:
        return ""
    out = ['<section id="failures"><h2>Failures</h2>']
    counts = failed.groupby("status", sort=False).size().sort_values(ascending=False)
    out.append('<table class="numbers"><thead><tr><th class="text">status</th><th class="num">pairs</th>'
               '<th class="text">first message</th></tr></thead><tbody>')
    for status, n in counts.items():
        message = failed.loc[failed["status"] == status, "message"].iloc[0] if "message" in failed.columns else ""
        out.append(f'<tr><td class="text">{html.escape(str(status))}</td><td class="num">{n:,}</td>'
                   f'<td class="text">{html.escape(str(message))}</td></tr>')
    out.append("</tbody></table>")
    shown = failed.head(10)
    cols = [c for c in ("reference", "degraded") if c in table.columns] + analysis.metadata_columns(table)
    out.append(f'<p class="notes">The first {len(shown)} of {len(failed):,} failed rows:</p>')
    out.append('<table class="numbers"><thead><tr>' + "".join(f'<th class="text">{html.escape(c)}</th>' for c in cols + ["status"])
               + "</tr></thead><tbody>")
    for _, r in shown.iterrows():
        out.append("<tr>" + "".join(f'<td class="text">{html.escape(str(r[c]))}</td>' for c in cols + ["status"]) + "</tr>")
    out.append("</tbody></table></section>")
    return "\n".join(out)


def _worst_section(
    table: pd.DataFrame, scored: np.ndarray, worst: int, finder: Optional[_DetailsFinder], details_dir: Optional[str]
) -> str:
    if worst <= 0 or not scored.any():
        return ""
    positions = np.flatnonzero(scored)
    values = table["stoi"].to_numpy(dtype=np.float64)[positions]
    order = positions[np.argsort(values, kind="stable")[:worst]]
    meta = analysis.metadata_columns(table)
    out = [f'<section id="worst"><h2>The {len(order)} lowest-scoring pairs</h2>']
    if details_dir is None:
        out.append('<p class="notes">Per-band heat maps need the details of the run: score with '
                   "kelvor-batch --details DIR and give the report the same DIR.</p>")
    for rank, position in enumerate(order, 1):
        r = table.iloc[position]
        tags = ", ".join(f"{m} {r[m]}" for m in meta)
        title = f"{rank}. STOI {r['stoi']:.4f}, ESTOI {r['estoi']:.4f}" + (f" \u2014 {tags}" if tags else "")
        out.append(f'<div class="pair"><h3>{html.escape(title)}</h3>')
        out.append(f'<p class="notes">reference {html.escape(str(r["reference"]))}<br>degraded '
                   f'{html.escape(str(r["degraded"]))}<br>row {position} of the results</p>')
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
    out.append("</section>")
    return "\n".join(out)


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
) -> str:
    """The report of a results table as one HTML page (a string).

    by: the grouping columns of the summary and the figures. between: a
    (column, a, b) triple for the paired comparison B - A (see
    analysis.compare); the summary then groups by that column as well.
    details_dir: the folder of kelvor-batch --details, for the heat maps of
    the worst pairs. run: the run record (analysis.read_run_record), shown
    as the run's facts. source: the results file's name, for the heading.
    worst: how many of the lowest-scoring pairs to show.
    """
    import matplotlib

    by_list = analysis._as_list(by)
    analysis._check_columns(table, by_list, "by")
    if isinstance(worst, bool) or not isinstance(worst, (int, np.integer)) or worst < 0:
        raise ValueError(f"worst must be a whole number >= 0, not {worst!r}")
    if between is not None:
        try:
            column, a, b = between
        except (TypeError, ValueError):
            raise ValueError("between must be a (column, a, b) triple") from None
        analysis._check_columns(table, [column], "between")
    groups = by_list + ([between[0]] if between is not None and between[0] not in by_list else [])
    summary = analysis.summarize(table, by=groups)
    comparison = None
    if between is not None:
        comparison = analysis.compare(table, between[0], between[1], between[2], by=by_list, resamples=resamples,
                                      seed=seed)
    scored = analysis._scored(table)
    finder = None
    if details_dir is not None:
        finder = _DetailsFinder(os.fspath(details_dir), _shard(run))

    name = os.path.basename(source) if source else "results"
    heading = title or f"Intelligibility report: {name}"
    created = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(heading)}</title>",
        f"<style>{STYLE}</style></head><body><main>",
        f"<header><h1>{html.escape(heading)}</h1>",
        f'<div class="sub">STOI and ESTOI of {len(table):,} pairs'
        + (f", grouped by {html.escape(', '.join(groups))}" if groups else "")
        + (f"; {html.escape(str(between[2]))} against {html.escape(str(between[1]))}" if between else "")
        + f". Made {html.escape(created)} by kelvor_stoi {html.escape(__version__)}.</div>",
        '<nav><a href="#run">Run</a><a href="#summary">Summary</a><a href="#distributions">Distributions</a>'
        + ('<a href="#comparison">Comparison</a>' if between else "")
        + '<a href="#worst">Worst pairs</a></nav></header>',
    ]
    with matplotlib.rc_context(_rc()):
        parts.append(_facts_section(table, scored, run, source))
        parts.append('<section id="summary"><h2>Summary</h2>')
        parts.append(as_html(summary_cells(summary, groups)))
        parts.append("</section>")
        parts.append('<section id="distributions"><h2>Distributions</h2>')
        hue = between[0] if between is not None else None
        parts.append(_distribution_figure(table, scored, by_list if hue else groups, hue))
        parts.append("</section>")
        if comparison is not None:
            parts.append('<section id="comparison"><h2>Paired comparison: '
                         f"{html.escape(str(between[2]))} \u2212 {html.escape(str(between[1]))}</h2>")
            parts.append(as_html(comparison_cells(comparison, by_list)))
            if (comparison["pairs"] > 0).any():
                parts.append(_forest_figure(comparison, by_list))
                parts.append(_scatter_figure(table, scored, between, by_list, comparison.attrs["key"]))
            parts.append("</section>")
        parts.append(_failures_section(table))
        parts.append(_worst_section(table, scored, worst, finder, None if details_dir is None else os.fspath(details_dir)))
    parts.append(
        "<footer>Intervals of a mean: Student's t over the pairs scored (status ok). Paired comparison: "
        "differences B \u2212 A over pairs matched on the reference and every metadata column other than the "
        "compared one; bootstrap intervals are percentile intervals of resampled pairs, seeded so that the "
        "report is the same on every run.</footer>"
    )
    parts.append("</main></body></html>")
    return "\n".join(p for p in parts if p) + "\n"


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
    writes its report to output, through a temporary file renamed into
    place. The arguments are those of build_report."""
    table = analysis.read_results(results)
    run = analysis.read_run_record(results)
    page = build_report(table, by=by, between=between, details_dir=details_dir, run=run, source=os.fspath(results),
                        worst=worst, resamples=resamples, seed=seed)
    write_page(os.fspath(output), page)


def write_page(path: str, page: str) -> None:
    """Writes a page through a temporary file renamed into place, so that a
    page present is whole."""
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        with open(temporary, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(page)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
