#!/usr/bin/python3
"""Batched scores and the gradient through kelvor_stoi.torch, against the
forward pass alone and against score_many, on one and on two threads.

A (16, 48000) batch at 16 kHz (3 s per item), float32 as a model gives
it: crops of the 16 kHz reference utterance with white noise at SNRs from
-5 to 20 dB. The cases run in turn, RUNS rounds; the wall time of each is
reported as the median (with its range), and the ratios of the medians:

- forward plus backward (StoiLoss on a tensor that requires grad, then
  backward) against the forward alone (the same loss without grad, which
  computes both measures), on one thread: what the gradient costs per
  core; stoi_gradient (numpy) against stoi on the array likewise;
- each batched call against itself on JOBS threads: the share-out;
- stoi on the (16, 48000) array against score_many on its 16 rows.

    PYTHONPATH=build/python /usr/bin/python3 bench/torch_bench.py

Environment: RUNS (default 15), JOBS (default: the cores this process may
run on). The load average is printed before and after.
"""
import os
import statistics
import time
from pathlib import Path

import numpy as np
import torch

import kelvor_stoi
from kelvor_stoi.torch import StoiLoss

ROOT = Path(__file__).resolve().parent.parent
RUNS = int(os.environ.get("RUNS", "15"))
JOBS = int(os.environ.get("JOBS", str(len(os.sched_getaffinity(0)))))
RATE = 16000
BATCH, TIME = 16, 48000


def batch():
    speech, rate = kelvor_stoi.read_audio(ROOT / "tests" / "data" / "reference" / "audio" / "u0_16000_clean.flac")
    assert rate == RATE
    x = speech / 32768.0
    rng = np.random.default_rng(0)
    clean = np.stack([x[k * 2600 : k * 2600 + TIME] for k in range(BATCH)])
    noise = rng.standard_normal(clean.shape)
    snr = np.linspace(-5, 20, BATCH)[:, None]
    gain = np.sqrt((clean**2).mean(axis=1, keepdims=True) / (noise**2).mean(axis=1, keepdims=True)) * 10 ** (-snr / 20)
    return clean.astype(np.float32), (clean + gain * noise).astype(np.float32)


def main():
    clean, noisy = batch()
    target, estimate = torch.from_numpy(clean), torch.from_numpy(noisy)
    pairs = list(zip(clean, noisy, [RATE] * BATCH))

    def forward(jobs, extended=False):
        def run():
            with torch.no_grad():
                StoiLoss(RATE, extended, jobs=jobs)(estimate, target)
        return run

    def forward_backward(jobs, extended=False):
        def run():
            preds = estimate.clone().requires_grad_()
            StoiLoss(RATE, extended, jobs=jobs)(preds, target).sum().backward()
        return run

    cases = {}
    for jobs in sorted({1, JOBS}):
        cases[f"loss forward, STOI, jobs={jobs}"] = forward(jobs)
        cases[f"loss forward + backward, STOI, jobs={jobs}"] = forward_backward(jobs)
        cases[f"loss forward + backward, ESTOI, jobs={jobs}"] = forward_backward(jobs, True)
        cases[f"stoi on the (16, 48000) array, jobs={jobs}"] = lambda jobs=jobs: kelvor_stoi.stoi_batch(
            clean, noisy, RATE, jobs=jobs
        )
        cases[f"stoi_gradient on the array, ESTOI, jobs={jobs}"] = lambda jobs=jobs: kelvor_stoi.stoi_gradient(
            clean, noisy, RATE, True, jobs=jobs
        )
        cases[f"score_many on its 16 rows, jobs={jobs}"] = lambda jobs=jobs: kelvor_stoi.score_many(pairs, jobs=jobs)

    # The same values every way, before the timing.
    values = kelvor_stoi.stoi_batch(clean, noisy, RATE)
    assert values.tolist() == [s.stoi for s in kelvor_stoi.score_many(pairs)]
    assert np.array_equal(-StoiLoss(RATE)(estimate.double(), target).numpy(), values)

    print(f"load average before: {os.getloadavg()}")
    times = {name: [] for name in cases}
    cpu = {name: [] for name in cases}
    for name, run in cases.items():  # warm-up: tables, allocator
        run()
    for _ in range(RUNS):
        for name, run in cases.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            run()
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    print(f"load average after: {os.getloadavg()}")
    median = {name: statistics.median(t) for name, t in times.items()}
    median_cpu = {name: statistics.median(t) for name, t in cpu.items()}
    print(f"\n{RUNS} rounds, (16, 48000) at 16 kHz, float32; wall time, median (range); CPU time of the process, median\n")
    for name, t in times.items():
        print(f"| {name} | {median[name] * 1e3:.1f} ms ({min(t) * 1e3:.1f}–{max(t) * 1e3:.1f}) | {median_cpu[name] * 1e3:.1f} ms |")
    print()
    one = 1
    ratios = []
    for what, m in (("wall", median), ("CPU", median_cpu)):
        for measure in ("STOI", "ESTOI"):
            ratios.append((f"forward + backward / forward, {measure}, one thread ({what})",
                           m[f"loss forward + backward, {measure}, jobs={one}"] / m[f"loss forward, STOI, jobs={one}"]))
        ratios.append((f"stoi_gradient / stoi, ESTOI, one thread ({what})",
                       m[f"stoi_gradient on the array, ESTOI, jobs={one}"] / m[f"stoi on the (16, 48000) array, jobs={one}"]))
    if JOBS != 1:
        for case in ("loss forward, STOI", "loss forward + backward, STOI", "loss forward + backward, ESTOI",
                     "stoi on the (16, 48000) array", "stoi_gradient on the array, ESTOI", "score_many on its 16 rows"):
            ratios.append((f"{case}: one thread / {JOBS}", median[f"{case}, jobs=1"] / median[f"{case}, jobs={JOBS}"]))
    for jobs in sorted({1, JOBS}):
        ratios.append((f"stoi / score_many, jobs={jobs}",
                       median[f"stoi on the (16, 48000) array, jobs={jobs}"] / median[f"score_many on its 16 rows, jobs={jobs}"]))
    for name, r in ratios:
        print(f"| {name} | {r:.2f}× |")


if __name__ == "__main__":
    main()
