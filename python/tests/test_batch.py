"""Batches of shape (..., time): stoi, stoi_batch, score_batch and
stoi_gradient against the 1-D calls item by item; lengths, errors,
signals."""
import os
import signal
import threading
import time

import numpy as np
import pytest

import kelvor_stoi
from conftest import as_dtype, at_rate, demo_pair, same_bits

REF, DEG = demo_pair()
CROP = 12000  # 1.5 s at 8 kHz


def crops(x: np.ndarray, count: int) -> np.ndarray:
    return np.stack([x[k * 3000 : k * 3000 + CROP] for k in range(count)])


def items(shape, dtype):
    """clean and degraded arrays of shape + (CROP,), every item a different
    stretch of the demo pair."""
    n = int(np.prod(shape))
    clean = as_dtype(crops(REF, n) / 32768.0, dtype).reshape(shape + (CROP,))
    degraded = as_dtype(crops(DEG, n) / 32768.0, dtype).reshape(shape + (CROP,))
    return clean, degraded


@pytest.mark.parametrize("shape", [(3,), (2, 2), (1, 2, 2)])
@pytest.mark.parametrize("dtype", ["int16", "float32", "float64"])
@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_every_item_is_the_1d_call_to_the_last_bit(shape, dtype, jobs):
    clean, degraded = items(shape, dtype)
    scores = kelvor_stoi.score_batch(clean, degraded, 8000, jobs=jobs)
    estoi = kelvor_stoi.stoi_batch(clean, degraded, 8000, True, jobs=jobs)
    assert scores.shape == estoi.shape == shape
    for index in np.ndindex(*shape):
        one = kelvor_stoi.score(clean[index], degraded[index], 8000)
        assert tuple(scores[index].tolist()) == tuple(one)
        assert same_bits(estoi[index], one.estoi)
    assert np.array_equal(kelvor_stoi.stoi(clean, degraded, 8000), scores["stoi"])
    if dtype != "int16":
        values, _ = kelvor_stoi.stoi_gradient(clean, degraded, 8000, jobs=jobs)
        assert np.array_equal(values, scores["stoi"])


@pytest.mark.parametrize(
    "options", [{"shift": 160}, {"align": True}, {"profile": "tool"}, {"profile": "tool", "align": True}]
)
def test_options_apply_to_every_item(options):
    clean, degraded = crops(REF, 2), crops(DEG, 2)
    scores = kelvor_stoi.score_batch(clean, degraded, 8000, **options)
    for i in range(2):
        assert tuple(scores[i].tolist()) == tuple(kelvor_stoi.score(clean[i], degraded[i], 8000, **options))


def test_batch_axes_broadcast_and_are_read_in_place():
    clean, degraded = items((3,), "float32")
    one_clean = clean[0][::-1].copy()[::-1]  # a reversed view: negative strides
    result = kelvor_stoi.stoi_batch(one_clean, degraded, 8000)
    assert [kelvor_stoi.stoi(one_clean, d, 8000) for d in degraded] == result.tolist()
    assert kelvor_stoi.stoi_batch(clean[0], degraded[0], 8000).shape == ()


def test_lengths_leave_the_padding_unread():
    clean, degraded = items((2, 2), "float64")
    lengths = np.array([[CROP, 9000], [8000, CROP]])
    padded_clean, padded_degraded = clean.copy(), degraded.copy()
    for index in np.ndindex(2, 2):
        padded_clean[index][lengths[index] :] = np.nan
        padded_degraded[index][lengths[index] :] = 1e6
    # A gradient of every sample first, so that the allocator may hand its
    # memory, non-zero, to the padded batch's.
    kelvor_stoi.stoi_gradient(clean, degraded, 8000)
    values, grad = kelvor_stoi.stoi_gradient(padded_clean, padded_degraded, 8000, lengths=lengths)
    for index in np.ndindex(2, 2):
        n = lengths[index]
        assert same_bits(values[index], kelvor_stoi.stoi(clean[index][:n], degraded[index][:n], 8000))
        assert not grad[index][n:].any()
    # One length per row of the leading axis stands for its whole row.
    by_row = kelvor_stoi.stoi_batch(padded_clean[:, :1], padded_degraded[:, :1], 8000, lengths=[CROP, 8000])
    assert by_row.tolist() == [[values[0, 0]], [values[1, 0]]]


@pytest.mark.parametrize(
    "lengths, message",
    [
        ([CROP, -1], r"lengths\[1\]: -1 is not a length"),
        ([CROP, CROP + 1], r"lengths\[1\]"),
        ([1.0, 2.0], "whole numbers"),
        ([CROP, CROP, CROP], "shape of the batch"),
    ],
)
def test_lengths_that_cannot_be_used_are_refused(lengths, message):
    clean, degraded = items((2,), "float64")
    with pytest.raises(ValueError, match=message):
        kelvor_stoi.stoi_batch(clean, degraded, 8000, lengths=lengths)


def test_a_failed_item_is_named_and_the_others_are_scored():
    clean, degraded = items((4,), "float64")
    clean[1] = 0.0  # silent reference
    lengths = [CROP, CROP, CROP, 1000]  # too short
    with pytest.raises(kelvor_stoi.SilentError, match=r"^item 1 of the batch: .*\(1 other item failed too\)") as e:
        kelvor_stoi.stoi_batch(clean, degraded, 8000, lengths=lengths)
    assert e.value.index == (1,) and e.value.failed == [(1,), (3,)]
    expected = [kelvor_stoi.stoi(clean[0], degraded[0], 8000), np.nan, kelvor_stoi.stoi(clean[2], degraded[2], 8000)]
    assert np.array_equal(e.value.scores[:3], expected, equal_nan=True)
    with pytest.warns(RuntimeWarning, match="2 of 4 items could not be scored"):
        scores = kelvor_stoi.score_batch(clean, degraded, 8000, lengths=lengths, on_error="nan")
    assert np.isnan(scores["stoi"][[1, 3]]).all() and scores["delay"][[1, 3]].tolist() == [-1, -1]
    assert np.array_equal(scores["stoi"], e.value.scores, equal_nan=True)
    with pytest.warns(RuntimeWarning):
        values, grad = kelvor_stoi.stoi_gradient(clean, degraded, 8000, lengths=lengths, on_error="nan")
    assert np.isnan(grad[[1, 3]]).all() and np.isfinite(grad[[0, 2]]).all()
    with pytest.raises(kelvor_stoi.SilentError, match=r"^item \(0, 1\) of the batch"):
        kelvor_stoi.stoi(clean.reshape(2, 2, CROP), degraded.reshape(2, 2, CROP), 8000)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c, d: kelvor_stoi.score(c, d, 8000), ValueError, "kelvor_stoi.score_batch"),
        (lambda c, d: kelvor_stoi.details(c, d, 8000), ValueError, "kelvor_stoi.score_batch"),
        (lambda c, d: kelvor_stoi.stoi_batch(c, d[:, :-1], 8000), kelvor_stoi.LengthMismatchError, "12000 samples .*, the degraded signal 11999"),
        (lambda c, d: kelvor_stoi.stoi_batch(c, d[:1].repeat(3, 0), 8000), ValueError, "do not broadcast"),
        (lambda c, d: kelvor_stoi.stoi_batch(c, d, 8000, on_error="skip"), ValueError, "on_error"),
        (lambda c, d: kelvor_stoi.stoi_batch(c, d.astype(np.int32), 8000), ValueError, "int16 or floating"),
        (lambda c, d: kelvor_stoi.stoi_batch(c, d, 8000, jobs=0), ValueError, "jobs"),
        (lambda c, d: kelvor_stoi.stoi_gradient(c, d.astype(np.int16), 8000), ValueError, "floating-point"),
        (lambda c, d: kelvor_stoi.stoi_gradient(c, d, 8000, shift=-1), kelvor_stoi.BadShiftError, "item 0"),
    ],
)
def test_arguments_that_cannot_be_used(call, error, message):
    clean, degraded = items((2,), "float64")
    with pytest.raises(error, match=message):
        call(clean, degraded)


@pytest.mark.parametrize("extended", [False, True])
@pytest.mark.parametrize("shift", [0, 200])
def test_gradient_of_a_padded_shifted_batch_is_its_central_difference(extended, shift):
    """The binding's layout (rows, padding, shift) against directional
    central differences; the library's own check covers the chain."""
    rng = np.random.default_rng(7)
    clean = crops(REF, 2) / 32768.0
    degraded = clean + 0.02 * rng.standard_normal(clean.shape)
    lengths = [CROP, 10000]
    values, grad = kelvor_stoi.stoi_gradient(clean, degraded, 8000, extended, shift=shift, lengths=lengths)
    assert not grad[:, :shift].any() and not grad[1, 10000:].any()
    h = 1e-6
    for _ in range(2):
        v = rng.standard_normal(degraded.shape)
        up, _ = kelvor_stoi.stoi_gradient(clean, degraded + h * v, 8000, extended, shift=shift, lengths=lengths)
        down, _ = kelvor_stoi.stoi_gradient(clean, degraded - h * v, 8000, extended, shift=shift, lengths=lengths)
        assert np.allclose((up - down) / (2 * h), (grad * v).sum(axis=-1), rtol=1e-5, atol=1e-9)


def test_a_nearly_constant_band_row_has_a_large_true_gradient():
    """A looped tone (its period divides the hop) whose bands vary by 1e-9
    from frame to frame: ESTOI's exact derivative is in the millions there
    and the central difference agrees; the gradient is never capped."""
    rng = np.random.default_rng(1)
    clean = at_rate(REF[:16000], 10000)
    degraded = clean + 0.02 * rng.standard_normal(clean.shape)
    tone = 0.1 * np.sin(2 * np.pi * 13 * np.arange(128) / 128)
    degraded[8000:14000] = np.tile(tone, 47)[:6000] * (1 + 1e-9 * rng.standard_normal(6000))
    _, grad = kelvor_stoi.stoi_gradient(clean, degraded, 10000, True)
    k, h = np.abs(grad).argmax(), 1e-13
    step = np.zeros_like(degraded)
    step[k] = h
    up, down = (kelvor_stoi.stoi(clean, degraded + s, 10000, True) for s in (step, -step))
    central = (up - down) / (2 * h)
    assert abs(grad[k]) > 1e6 and 8000 <= k < 14000
    assert central == pytest.approx(grad[k], rel=1e-3)


def test_a_batch_stops_when_a_signal_handler_raises():
    def stop(signum, frame):
        raise InterruptedError

    clean, degraded = crops(REF, 1), crops(DEG, 1)
    long_batch = (np.broadcast_to(clean, (4000, CROP)), np.broadcast_to(degraded, (4000, CROP)))  # seconds
    previous = signal.signal(signal.SIGUSR1, stop)
    try:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        start = time.monotonic()
        with pytest.raises(InterruptedError):
            kelvor_stoi.stoi_batch(*long_batch, 8000, jobs=1)
        assert time.monotonic() - start < 2.0
    finally:
        signal.signal(signal.SIGUSR1, previous)
