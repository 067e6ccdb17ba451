#!/usr/bin/python3
"""Trains a learnable FIR filter to enhance noisy speech with the STOI loss.

The noise is a steady whine (six tones inside the speech bands) over a
little white noise, added to speech of the bundled sample at 8 kHz; the
model is one FIR filter of TAPS taps, started as the identity (it passes
the noisy speech unchanged). It is trained with StoiLoss on 2-second crops
of one recording and scored with StoiMetric on crops of another, which it
never saw, before and after training:

    PYTHONPATH=build/python /usr/bin/python3 examples/train_fir.py [steps]

The filter learns notches at the tones, and the held-out STOI rises.
"""
import sys
from pathlib import Path

import numpy as np
import torch

import kelvor_stoi
from kelvor_stoi.torch import StoiLoss, StoiMetric

ROOT = Path(__file__).resolve().parent.parent
FS = 8000
CROP = 2 * FS  # samples per item
TAPS = 129
TONES_HZ = (430.0, 770.0, 1130.0, 1650.0, 2350.0, 3150.0)


def speech(path: Path) -> torch.Tensor:
    samples, rate = kelvor_stoi.read_audio(path)
    assert rate == FS, f"{path} is at {rate} Hz"
    return torch.from_numpy(samples / 32768.0)


def noisy_batch(clean: torch.Tensor, batch: int, generator: torch.Generator):
    """(noisy, clean) crops of shape (batch, CROP): speech with the whine at
    15 dB above the speech and white noise at 15 dB below the speech."""
    starts = torch.randint(0, clean.shape[0] - CROP, (batch,), generator=generator)
    x = torch.stack([clean[s : s + CROP] for s in starts.tolist()])
    power = x.pow(2).mean(dim=1, keepdim=True)
    t = torch.arange(CROP, dtype=torch.float64) / FS
    whine = torch.zeros_like(x)
    for hz in TONES_HZ:
        phase = 2 * np.pi * torch.rand(batch, 1, generator=generator, dtype=torch.float64)
        whine += torch.sin(2 * np.pi * hz * t + phase)
    whine *= torch.sqrt(power * 10 ** (15 / 10) / whine.pow(2).mean(dim=1, keepdim=True))
    hiss = torch.randn(x.shape, generator=generator, dtype=torch.float64)
    hiss *= torch.sqrt(power * 10 ** (-15 / 10))
    return (x + whine + hiss).float(), x.float()


class FIR(torch.nn.Module):
    """One FIR filter without delay (its middle tap is the present sample)."""

    def __init__(self, taps: int) -> None:
        super().__init__()
        h = torch.zeros(taps)
        h[taps // 2] = 1.0
        self.h = torch.nn.Parameter(h)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.nn.functional.conv1d(x.unsqueeze(1), self.h.flip(0).view(1, 1, -1), padding=self.h.shape[0] // 2)
        return y.squeeze(1)


def held_out_stoi(model: FIR, noisy: torch.Tensor, clean: torch.Tensor) -> float:
    metric = StoiMetric(FS)
    with torch.no_grad():
        metric.update(model(noisy), clean)
    return float(metric.compute())


def train(steps: int = 150, batch: int = 8, seed: int = 0, log=print):
    """Trains for `steps` steps; returns the held-out STOI before and after."""
    generator = torch.Generator().manual_seed(seed)
    train_speech = speech(ROOT / "samples" / "ref.wav")
    test_speech = speech(ROOT / "tests" / "data" / "reference" / "audio" / "u0_8000_clean.flac")
    test_noisy, test_clean = noisy_batch(test_speech, 16, generator)

    model = FIR(TAPS)
    loss_fn = StoiLoss(FS, reduction="mean")
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    before = held_out_stoi(model, test_noisy, test_clean)
    log(f"held-out STOI before training: {before:.4f}")
    for step in range(1, steps + 1):
        noisy, clean = noisy_batch(train_speech, batch, generator)
        loss = loss_fn(model(noisy), clean)
        optimiser.zero_grad()
        loss.backward()
        # Gradients grow without bound where the output falls silent; a
        # filter never does here, but the clipping costs nothing.
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        optimiser.step()
        if step % 25 == 0 or step == steps:
            log(f"step {step:4d}  training STOI {-loss.item():.4f}  held-out {held_out_stoi(model, test_noisy, test_clean):.4f}")
    after = held_out_stoi(model, test_noisy, test_clean)
    log(f"held-out STOI after {steps} steps: {after:.4f} (from {before:.4f})")
    return before, after


if __name__ == "__main__":
    train(int(sys.argv[1]) if len(sys.argv) > 1 else 150)
