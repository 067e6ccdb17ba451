"""STOI and ESTOI in PyTorch: a differentiable functional, a loss and a metric.

    from kelvor_stoi.torch import StoiLoss, StoiMetric, stoi

    loss_fn = StoiLoss(16000)                  # -STOI per item
    loss = loss_fn(estimate, clean).mean()     # estimate: (batch, time)
    loss.backward()

    metric = StoiMetric(16000, extended=True)  # mean ESTOI over every item
    metric.update(estimate, clean)
    metric.compute()

Argument order: the estimate comes first, the reference second
(``preds, target``), the reverse of ``kelvor_stoi.stoi(clean, degraded,
fs)``. Shapes are (..., time), one item per row along the last axis.

The values are the package's: each item's equals kelvor_stoi.stoi on the
same samples (the reference profile) bit for bit in float64, rounded once
to the dtype of ``preds`` otherwise. They are computed on the CPU, in
double precision, on ``jobs`` threads (default: every core this process may
run on) with the GIL released; tensors on another device are copied to the
CPU and the results (and gradients) copied back. The gradient is the
library's exact derivative with respect to every sample of ``preds``,
computed with the scores at about twice the CPU time of the scores
alone, in float64 (rounded once to float32 on the scoring threads for
float32 or narrower ``preds``, and multiplied by the incoming gradient in
that type); no gradient flows to ``target``.

Where the measures are not smooth the gradient follows one rule each:
where clipping is active (STOI), that of the branch taken; a band
envelope of zero (digital silence), or one without spread, contributes 0.
Elsewhere the gradient is exact and may be very large: both measures
normalise every band envelope of the estimate, so where the estimate is
nearly silent, or holds a steady tone or a DC offset, while the reference
speaks, the gradient grows as the inverse of the estimate's level there
(about 1e5 to 1e8 per unit of full scale at a level of 1e-9 or with a DC
offset alone, against about 1e-2 on noisy speech). It is largest where a
band's envelope of the estimate is constant over a segment up to rounding
(a looped frame, a steady tone whose period divides the hop): the measure
divides by that row's spread, and ESTOI's derivative reaches about 1e13
per sample; STOI's clipping usually, not always, caps it. That is the
true derivative, not a fault. Clip the gradients' norm when a model may
drive its output towards silence or a steady tone.

PyTorch is needed for this module alone: ``import kelvor_stoi`` works
without it.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

try:
    import torch
    from torch.autograd.function import once_differentiable
except ImportError as _missing:  # pragma: no cover - depends on the machine
    raise ImportError(
        "kelvor_stoi.torch needs PyTorch: install it (Debian: python3-torch; pip: torch)"
    ) from _missing

import kelvor_stoi
from kelvor_stoi import _batch, _core

__all__ = ["stoi", "StoiLoss", "StoiMetric"]

_REDUCTIONS = ("none", "mean", "sum")


def _array(x: Any, name: str) -> np.ndarray:
    """A tensor's samples as a numpy array on the CPU, without copying what
    need not be; half-precision types widened exactly to float32."""
    if not isinstance(x, torch.Tensor):
        return np.asarray(x)
    t = x.detach()
    if t.device.type != "cpu":
        t = t.cpu()
    if t.is_complex():
        raise ValueError(f"{name}: samples must be real, not {t.dtype}")
    if t.dtype in (torch.float16, torch.bfloat16):
        t = t.float()
    return t.resolve_conj().resolve_neg().numpy()


def _lengths(lengths: Any) -> Any:
    if isinstance(lengths, torch.Tensor):
        return lengths.detach().cpu().numpy()
    return lengths


def _unequal(unequal: Optional[str]) -> Optional[str]:
    """unequal as given, once the options have taken it (a ValueError
    names the keyword)."""
    kelvor_stoi._options(profile="reference", unequal=unequal)
    return unequal


def _result_dtype(preds: torch.Tensor) -> torch.dtype:
    return preds.dtype if preds.is_floating_point() else torch.get_default_dtype()


def _scores(
    preds: torch.Tensor,
    target: Any,
    fs: Any,
    extended: bool,
    lengths: Any,
    on_error: str,
    jobs: Optional[int],
    unequal: Optional[str],
    call: str,
    gradient: bool,
) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """(scores, gradient or None) as float64 arrays of the batch's shape
    (and of the batch's shape + (time,)); failed items NaN with a zero
    gradient, warned about or raised as on_error says."""
    _batch._check_on_error(on_error)
    batch = _batch.Batch(_array(target, "target"), _array(preds, "preds"), _lengths(lengths))
    options = kelvor_stoi._options(profile="reference", unequal=unequal)
    measure = "estoi" if extended else "stoi"
    # A gradient for float32 or narrower samples is rounded to float32 on
    # the scoring threads, which leaves backward half the memory to read.
    single = isinstance(preds, torch.Tensor) and preds.dtype in (torch.float32, torch.float16, torch.bfloat16)
    result = batch.score(fs, options, jobs, measure if gradient else "", single=single)
    values = getattr(result, measure)
    _batch.settle(result.errors, batch.shape, on_error, call, values)
    g = result.gradient
    if g is not None and result.errors:
        g[np.isnan(values)] = 0.0
    return values, g


class _Score(torch.autograd.Function):
    """The scores of a batch, differentiable with respect to preds: the
    library computes the gradient with the scores, on the CPU."""

    @staticmethod
    def forward(ctx: Any, preds: torch.Tensor, target: Any, fs: Any, extended: bool, lengths: Any, on_error: str,
                jobs: Optional[int], unequal: Optional[str], call: str) -> torch.Tensor:
        values, g = _scores(preds, target, fs, extended, lengths, on_error, jobs, unequal, call, gradient=True)
        ctx.preds_shape = preds.shape
        ctx.preds_device = preds.device
        ctx.preds_dtype = preds.dtype
        ctx.save_for_backward(torch.from_numpy(g))
        return torch.from_numpy(values).to(device=preds.device, dtype=_result_dtype(preds))

    @staticmethod
    @once_differentiable
    def backward(ctx: Any, grad_output: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]:
        (g,) = ctx.saved_tensors
        upstream = grad_output.detach().to(device="cpu", dtype=g.dtype).unsqueeze(-1)
        if g.shape == ctx.preds_shape:
            grad = torch.empty(g.shape, dtype=ctx.preds_dtype)
            torch.mul(g, upstream, out=grad)  # in g's dtype, rounded once to preds'
        else:  # preds broadcast against target: its items' gradients add
            grad = (upstream * g).sum_to_size(ctx.preds_shape).to(ctx.preds_dtype)
        return (grad.to(device=ctx.preds_device),) + (None,) * 8


def stoi(
    preds: torch.Tensor,
    target: torch.Tensor,
    fs: int,
    extended: bool = False,
    *,
    lengths: Any = None,
    on_error: str = "raise",
    jobs: Optional[int] = None,
    unequal: Optional[str] = None,
) -> torch.Tensor:
    """STOI (ESTOI with extended) of the estimate preds against the
    reference target, differentiable with respect to preds.

    The argument order is (estimate, reference): the REVERSE of
    kelvor_stoi.stoi(clean, degraded, fs).

    preds, target: tensors (or arrays) of shape (..., time) whose batch
        axes broadcast; floating-point samples on the scale of full
        scale = 1 (target may be int16). Time axes of different lengths
        are signals of different lengths: see unequal.
    fs: the sample rate in Hz.
    lengths: whole numbers of the batch's shape or of its leading axes
        (a tensor or array): the samples of each item that are scored; the
        rest is padding, not read, with zero gradient.
    on_error: "raise" (the default) raises the first failed item's error
        naming its index, after scoring every item; "nan" makes a failed
        item's value NaN, with zero gradient, and warns.
    jobs: threads (default: every core this process may run on).
    unequal: signals of different lengths, as kelvor_stoi.score takes
        them: refused by default (the reference profile's rule), "pad"
        (zeros after the shorter) or "trim" (both cut to the shorter; the
        cut samples of preds get zero gradient). lengths needs time axes
        of one length.

    Returns a tensor of shape (...) on preds' device, in preds' floating
    dtype (the default dtype for other types). Each value equals
    kelvor_stoi.stoi(target[i], preds[i], fs, extended) on the same samples,
    rounded once to that dtype. When autograd records (preds requires grad
    and grad mode is on), the library's exact gradient is computed with the
    scores on the CPU and returned to preds' device in backward; target
    must not require grad (no gradient flows to it: pass target.detach()).
    """
    if not isinstance(preds, torch.Tensor):
        raise TypeError(f"preds: expected a tensor, not {type(preds).__name__}")
    if isinstance(target, torch.Tensor) and target.requires_grad and torch.is_grad_enabled():
        raise ValueError(
            "target requires grad, but the score is differentiable with respect to preds only; pass target.detach()"
        )
    return _call(preds, target, fs, extended, lengths, on_error, jobs, unequal, "kelvor_stoi.torch.stoi")


def _call(preds: torch.Tensor, target: Any, fs: Any, extended: bool, lengths: Any, on_error: str,
          jobs: Optional[int], unequal: Optional[str], call: str) -> torch.Tensor:
    if torch.is_grad_enabled() and preds.requires_grad:
        if not preds.is_floating_point():
            raise ValueError(f"preds: a gradient needs floating-point samples, not {preds.dtype}")
        return _Score.apply(preds, target, fs, _core.flag("extended", extended), lengths, on_error, jobs, unequal,
                            call)
    values, _ = _scores(preds, target, fs, _core.flag("extended", extended), lengths, on_error, jobs, unequal, call,
                        gradient=False)
    return torch.from_numpy(values).to(device=preds.device, dtype=_result_dtype(preds))


class StoiLoss(torch.nn.Module):
    """The negated STOI (ESTOI with extended) of each item, as a loss to
    minimise, with the library's exact gradient.

        loss_fn = StoiLoss(16000)
        loss = loss_fn(estimate, clean).mean()   # or StoiLoss(..., reduction="mean")

    fs: the sample rate in Hz; extended: ESTOI instead of STOI.
    reduction: "none" (the default): one value per item, of shape
        (time,) -> (1,), (batch, time) -> (batch,), (batch, n_src, time)
        -> (batch, n_src) (any (..., time) -> (...)); "mean" and "sum":
        over the items that were scored.
    on_error: "raise" (the default): an item that cannot be scored (too
        short, a silent reference) raises its error, naming the item;
        "nan": its value is NaN and its gradient zero, the "mean" and "sum"
        reductions leave it out (with every item failed "mean" is NaN), and
        a RuntimeWarning counts such items.
    jobs: threads (default: every core this process may run on).
    unequal: signals of different lengths, as kelvor_stoi.torch.stoi
        takes them (refused by default; "pad" or "trim").

    forward(preds, target, lengths=None): the estimate first, the
    reference second (the reverse of kelvor_stoi.stoi); lengths as
    kelvor_stoi.torch.stoi takes them, one per item or per row of the
    batch ((batch,) for (batch, n_src, time)), so that padding is not
    scored. The result is on preds' device, in its dtype.
    """

    def __init__(self, fs: int, extended: bool = False, *, reduction: str = "none", on_error: str = "raise",
                 jobs: Optional[int] = None, unequal: Optional[str] = None) -> None:
        super().__init__()
        if reduction not in _REDUCTIONS:
            raise ValueError(f"reduction must be 'none', 'mean' or 'sum', not {reduction!r}")
        _batch._check_on_error(on_error)
        self.fs = kelvor_stoi._rate(fs)
        self.extended = _core.flag("extended", extended)
        self.reduction = reduction
        self.on_error = on_error
        self.jobs = jobs
        self.unequal = _unequal(unequal)

    def forward(self, preds: torch.Tensor, target: torch.Tensor, lengths: Any = None) -> torch.Tensor:
        if not isinstance(preds, torch.Tensor):
            raise TypeError(f"preds: expected a tensor, not {type(preds).__name__}")
        if isinstance(target, torch.Tensor) and target.requires_grad and torch.is_grad_enabled():
            raise ValueError(
                "target requires grad, but the loss is differentiable with respect to preds only; "
                "pass target.detach()"
            )
        loss = -_call(preds, target, self.fs, self.extended, lengths, self.on_error, self.jobs, self.unequal,
                      "StoiLoss")
        if preds.dim() == 1:
            loss = loss.reshape(1)
        if self.reduction == "none":
            return loss
        scored = loss[~torch.isnan(loss)]
        return scored.mean() if self.reduction == "mean" else scored.sum()

    def extra_repr(self) -> str:
        unequal = "" if self.unequal is None else f", unequal={self.unequal!r}"
        return (f"fs={self.fs}, extended={self.extended}, reduction={self.reduction!r}, "
                f"on_error={self.on_error!r}{unequal}")


class StoiMetric:
    """The mean STOI (ESTOI with extended) over every item seen, for
    validation.

        metric = StoiMetric(16000)
        for estimate, clean in loader:
            metric.update(estimate, clean)
        print(metric.compute())
        metric.reset()

    update(preds, target, lengths=None) scores a batch as
    kelvor_stoi.torch.stoi does (the estimate first; no gradient) and adds
    its values to ``sum`` (a float64 tensor, the values added one at a time
    in the order of the items) and its item count to ``count`` (an int64
    tensor); compute() returns sum / count as a float64 tensor on the CPU
    and raises RuntimeError when no item was scored; reset() sets both to 0.

    Several processes add theirs: ``merge(other)`` adds another metric's
    sum and count (a metric received from another process; metrics
    pickle), and torch.distributed adds the tensors in place:
    ``dist.all_reduce(metric.sum); dist.all_reduce(metric.count)`` (a
    backend that takes CPU tensors, such as gloo; move them for another).

    on_error: "raise" (the default) raises the error of an item that cannot
    be scored, naming it, and adds nothing of that batch; "nan" leaves such
    items out of sum and count, counts them in ``failed`` and warns.
    unequal: signals of different lengths, as kelvor_stoi.torch.stoi takes
    them (refused by default; "pad" or "trim").
    """

    def __init__(self, fs: int, extended: bool = False, *, on_error: str = "raise",
                 jobs: Optional[int] = None, unequal: Optional[str] = None) -> None:
        _batch._check_on_error(on_error)
        self.fs = kelvor_stoi._rate(fs)
        self.extended = _core.flag("extended", extended)
        self.on_error = on_error
        self.jobs = jobs
        self.unequal = _unequal(unequal)
        self.reset()

    def reset(self) -> None:
        self.sum = torch.zeros((), dtype=torch.float64)
        self.count = torch.zeros((), dtype=torch.int64)
        self.failed = 0

    def update(self, preds: Any, target: Any, lengths: Any = None) -> None:
        values, _ = _scores(preds, target, self.fs, self.extended, lengths, self.on_error, self.jobs, self.unequal,
                            "StoiMetric.update", gradient=False)
        total = float(self.sum)
        scored = 0
        for v in values.ravel().tolist():
            if v == v:
                total += v
                scored += 1
        self.sum.fill_(total)
        self.count += scored
        self.failed += values.size - scored

    def compute(self) -> torch.Tensor:
        if int(self.count) == 0:
            raise RuntimeError("StoiMetric.compute: no item has been scored since the last reset")
        return self.sum / self.count

    def merge(self, other: "StoiMetric") -> "StoiMetric":
        if not isinstance(other, StoiMetric) or (other.fs, other.extended) != (self.fs, self.extended):
            raise ValueError("merge: expected a StoiMetric of the same rate and measure")
        self.sum += other.sum
        self.count += other.count
        self.failed += other.failed
        return self

    def __repr__(self) -> str:
        return f"StoiMetric(fs={self.fs}, extended={self.extended}, count={int(self.count)})"
