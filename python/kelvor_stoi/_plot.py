"""plot_details: a pair's band-by-segment correlations and segment scores.

Imported only when a plot is asked for, so that the package itself does
not need matplotlib.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    import matplotlib.axes
    import matplotlib.figure

    from kelvor_stoi import Details

# One frame's hop at 10 kHz: consecutive segments lie this far apart
# unless silent frames were removed between them.
HOP_SECONDS = 128 / 10000.0
# Where segments lie further apart than this (a pause cut out as silent),
# the heat map and the curves leave the time between them blank; shorter
# cuts only widen the columns next to them.
GAP_SECONDS = 0.1


def _columns(d: "Details") -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Column edges in seconds, the heat map's values (a masked column for
    each gap) and the curves (x, ESTOI, STOI band mean; NaN at gaps)."""
    middle = (d.segment_start + d.segment_end) / 2.0
    corr = d.stoi_correlation
    estoi = d.estoi_segment
    stoi_mean = corr.mean(axis=0)
    blank = np.full(corr.shape[0], np.nan)
    edges = [middle[0] - HOP_SECONDS / 2]
    cols, x, e, s = [corr[:, 0]], [middle[0]], [estoi[0]], [stoi_mean[0]]
    for m in range(1, middle.shape[0]):
        step = middle[m] - middle[m - 1]
        if step > GAP_SECONDS:
            edges += [middle[m - 1] + HOP_SECONDS / 2, middle[m] - HOP_SECONDS / 2]
            cols.append(blank)
            x.append((middle[m - 1] + middle[m]) / 2)
            e.append(np.nan)
            s.append(np.nan)
        else:
            edges.append((middle[m - 1] + middle[m]) / 2)
        cols.append(corr[:, m])
        x.append(middle[m])
        e.append(estoi[m])
        s.append(stoi_mean[m])
    edges.append(middle[-1] + HOP_SECONDS / 2)
    grid = np.ma.masked_invalid(np.array(cols).T)
    return np.array(edges), grid, np.array([x, e, s])


def _band_edges(centres: np.ndarray) -> np.ndarray:
    """Edges of the one-third-octave bands around their centres."""
    step = 2.0 ** (1.0 / 6.0)
    return np.concatenate([[centres[0] / step], centres * step])


def draw_details(fig: "matplotlib.figure.Figure", d: "Details", rasterized: bool = False) -> "matplotlib.figure.Figure":
    """Both panels into an empty figure. The colour bar has a column of its
    own, so that both panels keep the same width and their time axes line
    up. rasterized draws the heat map as an image inside vector output."""
    if d.segment_count == 0:
        raise ValueError("the details hold no segment")
    grid = fig.add_gridspec(2, 2, height_ratios=[3, 1.3], width_ratios=[1, 0.02])
    heat_ax = fig.add_subplot(grid[0, 0])
    curve_ax = fig.add_subplot(grid[1, 0], sharex=heat_ax)
    colorbar_ax = fig.add_subplot(grid[0, 1])
    _draw(fig, d, heat_ax, curve_ax, colorbar_ax)
    if rasterized:
        for mesh in heat_ax.collections:
            mesh.set_rasterized(True)
    return fig


def plot_details(
    d: "Details",
    ax: Union[None, "matplotlib.axes.Axes", Sequence["matplotlib.axes.Axes"]] = None,
) -> "matplotlib.figure.Figure":
    import matplotlib.axes

    if d.segment_count == 0:
        raise ValueError("the details hold no segment")
    if ax is None:
        import matplotlib.pyplot as plt

        return draw_details(plt.figure(figsize=(10, 6), constrained_layout=True), d)
    if isinstance(ax, matplotlib.axes.Axes):
        heat_ax, curve_ax = ax, None
        fig = ax.figure
    else:
        try:
            heat_ax, curve_ax = ax
        except (TypeError, ValueError):
            raise ValueError("ax must be None, an Axes, or a pair of Axes (heat map, curves)") from None
        fig = heat_ax.figure
    return _draw(fig, d, heat_ax, curve_ax, None)


def _draw(
    fig: "matplotlib.figure.Figure",
    d: "Details",
    heat_ax: "matplotlib.axes.Axes",
    curve_ax: "Optional[matplotlib.axes.Axes]",
    colorbar_ax: "Optional[matplotlib.axes.Axes]",
) -> "matplotlib.figure.Figure":
    """The heat map (with its colour bar in colorbar_ax, or beside heat_ax)
    and, when curve_ax is given, the segment curves under it."""
    import matplotlib.ticker

    x_edges, grid, curves = _columns(d)
    y_edges = _band_edges(d.band_centre_hz)
    mesh = heat_ax.pcolormesh(x_edges, y_edges, grid, cmap="viridis", vmin=0.0, vmax=1.0, shading="flat")
    heat_ax.set_yscale("log")
    heat_ax.set_ylim(y_edges[0], y_edges[-1])
    heat_ax.yaxis.set_major_locator(matplotlib.ticker.FixedLocator(d.band_centre_hz))
    heat_ax.yaxis.set_major_formatter(
        matplotlib.ticker.FixedFormatter([f"{c:.0f}" for c in d.band_centre_hz])
    )
    heat_ax.yaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    heat_ax.tick_params(axis="y", labelsize=7)
    heat_ax.set_ylabel("band centre (Hz)")
    heat_ax.set_facecolor("0.92")
    if colorbar_ax is not None:
        fig.colorbar(mesh, cax=colorbar_ax, extend="min", label="clipped correlation (STOI)")
    else:
        fig.colorbar(mesh, ax=heat_ax, extend="min", label="clipped correlation (STOI)")
    s = d.scores
    heat_ax.set_title(f"STOI {s.stoi:.4f}   ESTOI {s.estoi:.4f}   delay {s.delay} samples ({s.delay_ms:g} ms)")

    if curve_ax is None:
        heat_ax.set_xlabel("time of the segment's middle (s)")
        return fig
    heat_ax.tick_params(axis="x", labelbottom=False)
    x, estoi, stoi_mean = curves
    curve_ax.plot(x, estoi, color="C3", lw=1.2, label="ESTOI per segment")
    curve_ax.plot(x, stoi_mean, color="0.35", lw=0.9, label="STOI band mean per segment")
    curve_ax.axhline(s.estoi, color="C3", lw=0.8, ls="--")
    curve_ax.axhline(s.stoi, color="0.35", lw=0.8, ls="--")
    curve_ax.set_xlim(x_edges[0], x_edges[-1])
    low = np.nanmin(np.concatenate([estoi, stoi_mean]))
    curve_ax.set_ylim(min(0.0, low - 0.05), 1.0)
    curve_ax.set_xlabel("time of the segment's middle (s)")
    curve_ax.set_ylabel("score")
    curve_ax.grid(True, lw=0.3)
    # Above the panel, between it and the heat map: inside, it would hide
    # a part of the curves.
    curve_ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize=7, ncol=2, borderaxespad=0.2,
                    frameon=False)
    return fig
