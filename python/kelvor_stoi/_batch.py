"""Scores of batches: arrays of shape (..., time), one pair per item.

stoi(), stoi_batch(), score_batch() and stoi_gradient() of the package. An
item is the pair of rows clean[i] and degraded[i] along the last axis; it
is scored by the same front-end call as the 1-D functions, so its values
equal theirs on the same samples bit for bit, on any number of threads.
"""
from __future__ import annotations

import operator
import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np

import kelvor_stoi
from kelvor_stoi import _core, _progress
from kelvor_stoi._errors import KelvorError, error_of

#: The record of score_batch's results: the fields of kelvor_stoi.Score.
SCORE_DTYPE = np.dtype([("stoi", "f8"), ("estoi", "f8"), ("delay", "i8"), ("delay_ms", "f8")])

_ON_ERROR = ("raise", "nan")


class Batch:
    """Two arrays of one batch shape (...), broadcast, with time axes of
    their own, and the samples of each item to score. Items whose signals
    differ in length are the library's to judge (unequal=: refused in the
    reference profile by default, padded or trimmed on request)."""

    def __init__(self, clean: Any, degraded: Any, lengths: Any) -> None:
        c = self._signal(clean, "clean")
        d = self._signal(degraded, "degraded")
        try:
            self.shape: Tuple[int, ...] = np.broadcast_shapes(c.shape[:-1], d.shape[:-1])
        except ValueError:
            raise ValueError(
                f"clean and degraded: batch shapes {c.shape[:-1]} and {d.shape[:-1]} do not broadcast"
            ) from None
        if lengths is not None and c.shape[-1] != d.shape[-1]:
            raise ValueError(
                f"lengths: the samples of both signals of an item, on one time axis; clean holds "
                f"{c.shape[-1]} samples per item, degraded {d.shape[-1]}"
            )
        self.time = int(c.shape[-1])
        self.clean = np.broadcast_to(c, self.shape + (c.shape[-1],))
        self.degraded = np.broadcast_to(d, self.shape + (d.shape[-1],))
        self.lengths = None if lengths is None else self._lengths(lengths)

    @staticmethod
    def _signal(x: Any, name: str) -> np.ndarray:
        a = np.asarray(x)
        if a.ndim == 0:
            raise ValueError(f"{name}: expected an array of shape (..., time), got a scalar")
        return kelvor_stoi._sample_values(a, name)

    def _lengths(self, lengths: Any) -> np.ndarray:
        n = np.asarray(lengths)
        if n.dtype.kind not in "iu":
            raise ValueError(f"lengths: expected whole numbers of samples, not an array of {n.dtype}")
        if n.shape != self.shape[: n.ndim]:
            raise ValueError(
                f"lengths: expected the shape of the batch {self.shape} or of its leading axes, not {n.shape}"
            )
        bad = np.flatnonzero((n < 0) | (n > self.time))
        if bad.size:
            index = np.unravel_index(bad[0], n.shape)
            raise ValueError(
                f"lengths{list(index)}: {n[index]} is not a length from 0 to the {self.time} samples of the time axis"
            )
        n = n.reshape(n.shape + (1,) * (len(self.shape) - n.ndim))
        return np.ascontiguousarray(np.broadcast_to(n, self.shape), dtype=np.int64)

    def score(
        self,
        fs: Any,
        options: "_core.PairOptions",
        jobs: Optional[int],
        gradient: str,
        progress: Any = False,
        call: str = "",
        single: bool = False,
    ) -> "_core.BatchResult":
        """The items scored; progress (off unless asked for: a loss
        computed on every step of training shows none) as
        kelvor_stoi._progress shows it, under the name of the call; the
        gradient in float32 with single."""
        rate = kelvor_stoi._rate(fs)
        threads = kelvor_stoi._jobs(jobs)
        count = int(np.prod(self.shape, dtype=np.int64))
        with _progress.shown(progress, count, call, "item") as shown:
            return _core.score_batch(
                self.clean,
                self.degraded,
                rate,
                options,
                lengths=self.lengths,
                jobs=threads,
                gradient=gradient,
                progress=shown,
                single=single,
            )


def _check_on_error(on_error: Any) -> None:
    if not isinstance(on_error, str) or on_error not in _ON_ERROR:
        raise ValueError(f"on_error must be 'raise' or 'nan', not {on_error!r}")


def item_text(index: Tuple[int, ...]) -> str:
    """How a message names an item: 'item 3', 'item (3, 1)'."""
    return f"item {index[0]}" if len(index) == 1 else f"item {index}"


def failed_items(errors: Dict[int, BaseException], shape: Tuple[int, ...]) -> Dict[Tuple[int, ...], BaseException]:
    """The exceptions of failed items by their index in the batch, in order."""
    return {tuple(int(k) for k in np.unravel_index(i, shape)): errors[i] for i in sorted(errors)}


def settle(errors: Dict[int, BaseException], shape: Tuple[int, ...], on_error: str, call: str, values: Any) -> None:
    """Raises the first failed item's error (on_error="raise") or warns of
    the failures (on_error="nan"); nothing when every item was scored.

    The error raised is of the item's class, its message naming the item;
    it carries ``index`` (the item's index), ``failed`` (every failed
    item's index) and ``scores`` (the batch's values, NaN at the failed
    items, which were scored all the same)."""
    if not errors:
        return
    failed = failed_items(errors, shape)
    index, first = next(iter(failed.items()))
    others = len(failed) - 1
    more = f" ({others} other item{'s' if others != 1 else ''} failed too)" if others else ""
    if on_error == "raise":
        error = type(first)(f"{item_text(index)} of the batch: {first}{more}")
        if isinstance(error, KelvorError):
            error.index = index  # type: ignore[attr-defined]
            error.failed = list(failed)  # type: ignore[attr-defined]
            error.scores = values  # type: ignore[attr-defined]
        raise error
    count = int(np.prod(shape, dtype=np.int64))
    warnings.warn(
        f"{call}: {len(failed)} of {count} items could not be scored and are NaN; "
        f"{item_text(index)}: {first}",
        RuntimeWarning,
        stacklevel=3,
    )


def stoi_batch(
    clean: Any,
    degraded: Any,
    fs: Any,
    extended: bool = False,
    *,
    profile: Optional[str] = None,
    jobs: Optional[int] = None,
    lengths: Any = None,
    on_error: str = "raise",
    progress: Optional[bool] = None,
    unequal: Optional[str] = None,
) -> np.ndarray:
    """STOI (ESTOI with extended) of every item of two arrays of shape
    (..., time): a float64 array of shape (...). See score_batch."""
    _check_on_error(on_error)
    estoi = _core.flag("extended", extended)
    batch = Batch(clean, degraded, lengths)
    options = kelvor_stoi._options(profile=profile, unequal=unequal)
    result = batch.score(fs, options, jobs, "", progress, "stoi_batch")
    values = result.estoi if estoi else result.stoi
    settle(result.errors, batch.shape, on_error, "stoi", values)
    return values


def score_batch(
    clean: Any,
    degraded: Any,
    fs: Any,
    *,
    align: bool = False,
    shift: int = 0,
    double_table: bool = False,
    profile: Optional[str] = None,
    jobs: Optional[int] = None,
    lengths: Any = None,
    on_error: str = "raise",
    progress: Optional[bool] = None,
    unequal: Optional[str] = None,
) -> np.ndarray:
    """STOI and ESTOI of every item of two arrays of shape (..., time).

    clean, degraded: arrays of shape (..., time) whose batch axes (all but
        the last) broadcast against each other (one clean signal against a
        batch of degraded ones, say); an item is one row of each along the
        last axis. Time axes of different lengths are signals of
        different lengths, which unequal= decides on. Sample types are
        those of score(); the arrays are read where they lie, never
        copied, and must not change during the call.
    fs, align, shift, double_table, profile, unequal: those of score(),
        for every item.
    jobs: the threads that score (default: every core this process may run
        on), the GIL released. The values do not depend on it.
    lengths: whole numbers of the batch's shape, or of its leading axes
        (one per row of a (batch, n_src, time) array: shape (batch,)): the
        samples of each item that are scored, from the start, in both
        signals (time axes of one length); the rest is padding, never read.
    on_error: "raise" (the default): every item is scored, then the first
        failed item's error is raised, its message naming the item's
        index; its ``index``, ``failed`` and ``scores`` attributes hold
        that index, every failed item's, and the results with NaN at the
        failed items. "nan": the failed items hold NaN (and delay -1), and
        a RuntimeWarning counts them.
    progress: the items done, shown as score_many() shows its pairs:
        None (the default) in interactive use only, True always, False
        never.

    Returns a structured array of the batch's shape with the fields of
    Score: stoi, estoi, delay_ms (float64) and delay (int64): ``r["stoi"]``
    is the array of STOI values; each item equals score() on its samples
    bit for bit. Ctrl-C stops handing out items and raises
    KeyboardInterrupt.
    """
    _check_on_error(on_error)
    batch = Batch(clean, degraded, lengths)
    options = kelvor_stoi._options(
        align=align, shift=shift, double_table=double_table, profile=profile, unequal=unequal
    )
    result = batch.score(fs, options, jobs, "", progress, "score_batch")
    scores = np.empty(batch.shape, SCORE_DTYPE)
    for name in SCORE_DTYPE.names:
        scores[name] = getattr(result, name)
    settle(result.errors, batch.shape, on_error, "score_batch", scores)
    return scores


def stoi_gradient(
    clean: Any,
    degraded: Any,
    fs: Any,
    extended: bool = False,
    *,
    shift: int = 0,
    jobs: Optional[int] = None,
    lengths: Any = None,
    on_error: str = "raise",
    progress: Optional[bool] = None,
    unequal: Optional[str] = None,
) -> Tuple[np.ndarray, np.ndarray]:
    """STOI (ESTOI with extended) and its gradient with respect to every
    degraded sample, for arrays of shape (..., time) or (time,).

    Returns (scores, gradient): scores as stoi_batch gives them (shape
    (...), the same bits), gradient float64 of the shape (..., time): d
    score / d degraded[..., t] per unit of full scale, 0 where a sample is
    padding (past lengths), shifted out or trimmed (unequal="trim").
    degraded must hold floating-point samples (the gradient is per unit of
    full scale); clean may also be int16. The reference profile only;
    shift and unequal are honoured (align has no gradient). jobs, lengths,
    on_error and progress are score_batch's; a failed item has NaN as its
    score and as every value of its gradient.

    Where the measure is not smooth the gradient follows one rule each:
    where clipping is active (STOI), that of the branch taken; a band
    envelope of zero, or one without spread, contributes 0.
    """
    _check_on_error(on_error)
    estoi = _core.flag("extended", extended)
    d = np.asarray(degraded)
    if d.dtype.kind != "f":
        raise ValueError(
            f"degraded: the gradient is taken with respect to floating-point samples, not {d.dtype} "
            "(divide int16 samples by 32768)"
        )
    batch = Batch(clean, d, lengths)
    measure = "estoi" if estoi else "stoi"
    options = kelvor_stoi._options(shift=shift, unequal=unequal)
    result = batch.score(fs, options, jobs, measure, progress, "stoi_gradient")
    values = getattr(result, measure)
    settle(result.errors, batch.shape, on_error, "stoi_gradient", values)
    return values, result.gradient
