#!/usr/bin/python3
"""Throughput of the Python package next to kelvor-batch, and the overhead
of scoring through Dask.

PAIRS pairs of exactly 3 s of speech at 16 kHz (16-bit), cut from the
bundled pair repeated three times at varying offsets and brought to 16 kHz
by band-limited (FFT) interpolation, are scored

- by kelvor_stoi.score_many on the arrays in memory, jobs=1 and jobs=N;
- by kelvor-batch -j1 and -jN on the same pairs as WAV files (a whole
  process each: start, reading, scoring, writing the CSV);
- by kelvor_stoi.dask.score_manifest on the same manifest, on a
  LocalCluster of N worker processes of one thread each (started once,
  before the timing), and again on a second such cluster whose workers
  keep Dask's allocator setting (tune_allocator=False),

N being the cores this process may run on. Each case runs RUNS times; the
median wall time is reported with pairs per second and the ratios of the
medians. Before the timing, every way is checked to give the same scores.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py

Environment: BATCH (kelvor-batch, default build/batch/kelvor-batch),
PAIRS (default 400), RUNS (default 5), PARTITION (pairs per Dask task,
default 25).
"""
import csv
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from pathlib import Path

import numpy as np

import kelvor_stoi

ROOT = Path(__file__).resolve().parent.parent
BATCH = os.environ.get("BATCH", str(ROOT / "build" / "batch" / "kelvor-batch"))
PAIRS = int(os.environ.get("PAIRS", "400"))
RUNS = int(os.environ.get("RUNS", "5"))
PARTITION = int(os.environ.get("PARTITION", "25"))
RATE = 16000
JOBS = len(os.sched_getaffinity(0))


def to_16k(x: np.ndarray) -> np.ndarray:
    n = x.shape[0]
    m = 2 * n
    spectrum = np.fft.rfft(x.astype(np.float64))
    out = np.zeros(m // 2 + 1, dtype=complex)
    out[: spectrum.shape[0]] = spectrum
    y = np.fft.irfft(out, m) * 2.0
    return np.clip(np.round(y), -32768, 32767).astype(np.int16)


def make_pairs(folder: Path):
    ref8, _ = kelvor_stoi.read_audio(ROOT / "samples" / "ref.wav")
    deg8, _ = kelvor_stoi.read_audio(ROOT / "samples" / "deg.wav")
    ref = to_16k(np.tile(ref8, 3))
    deg = to_16k(np.tile(deg8, 3))
    pairs = []
    with open(folder / "manifest.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["reference", "degraded"])
        for i in range(PAIRS):
            start = (i * 53 % 691) * RATE // 100
            pair = (ref[start : start + 3 * RATE], deg[start : start + 3 * RATE], RATE)
            for name, x in ((f"ref{i}.wav", pair[0]), (f"deg{i}.wav", pair[1])):
                with wave.open(str(folder / name), "wb") as w:
                    w.setnchannels(1)
                    w.setsampwidth(2)
                    w.setframerate(RATE)
                    w.writeframes(x.astype("<i2").tobytes())
            writer.writerow([f"ref{i}.wav", f"deg{i}.wav"])
            pairs.append(pair)
    return pairs, folder / "manifest.csv"


def timed(run) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def batch_run(manifest: Path, jobs: int, out: Path) -> None:
    # Not with the MALLOC_TRIM_THRESHOLD_ that the LocalCluster's nannies
    # leave in this process's environment (kelvor_stoi.dask explains it).
    env = {k: v for k, v in os.environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}
    subprocess.run([BATCH, f"-j{jobs}", "--quiet", "-o", str(out), str(manifest)], check=True, env=env)


def start_cluster(folder: Path):
    from distributed import Client, LocalCluster

    cluster = LocalCluster(
        n_workers=JOBS,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",
        silence_logs=logging.ERROR,
        local_directory=str(folder),
    )
    return cluster, Client(cluster, set_as_default=False)


def main() -> None:
    from kelvor_stoi.dask import score_manifest

    with tempfile.TemporaryDirectory(prefix="kelvor_python_bench_") as tmp:
        folder = Path(tmp)
        pairs, manifest = make_pairs(folder)
        out = folder / "batch.csv"
        # Two clusters of JOBS workers: the second one's workers keep Dask's
        # allocator setting (tune_allocator=False), to show what it costs.
        cluster, client = start_cluster(folder / "dask")
        plain_cluster, plain_client = start_cluster(folder / "dask_plain")

        def dask(c, tune):
            return lambda: score_manifest(str(manifest), c, partition_size=PARTITION, tune_allocator=tune)

        # The same scores every way.
        many = kelvor_stoi.score_many(pairs)
        batch_run(manifest, JOBS, out)
        with open(out, newline="") as f:
            rows = list(csv.DictReader(f))
        table = dask(client, True)()
        for s, row, stoi in zip(many, rows, table["stoi"]):
            assert float(row["stoi"]) == s.stoi == stoi, (row, s, stoi)

        cases = {
            "score_many jobs=1": lambda: kelvor_stoi.score_many(pairs, jobs=1),
            f"score_many jobs={JOBS}": lambda: kelvor_stoi.score_many(pairs, jobs=JOBS),
            "kelvor-batch -j1": lambda: batch_run(manifest, 1, out),
            f"kelvor-batch -j{JOBS}": lambda: batch_run(manifest, JOBS, out),
            f"Dask {JOBS} workers x 1 thread": dask(client, True),
            "  the same, tune_allocator=False": dask(plain_client, False),
        }
        walls = {name: [] for name in cases}
        for _ in range(RUNS):  # interleaved, so that load on the machine spreads over all cases
            for name, run in cases.items():
                walls[name].append(timed(run))
        for c in (client, cluster, plain_client, plain_cluster):
            c.close()

    print(f"{PAIRS} pairs of 3 s at 16 kHz (16-bit); {JOBS} cores; median of {RUNS} runs; "
          f"Dask partitions of {PARTITION} pairs")
    median = {name: statistics.median(w) for name, w in walls.items()}
    for name, m in median.items():
        spread = f"{min(walls[name]):.3f} .. {max(walls[name]):.3f}"
        print(f"{name:34s} {m:8.3f} s  {PAIRS / m:8.1f} pairs/s   (runs {spread} s)")
    one, many_, b1, bn, dk, plain = (median[name] for name in cases)
    print()
    print(f"score_many jobs={JOBS} / jobs=1 speed-up            {one / many_:.2f}")
    print(f"score_many jobs=1 / kelvor-batch -j1 speed         {b1 / one:.2f}")
    print(f"score_many jobs={JOBS} / kelvor-batch -j{JOBS} speed         {bn / many_:.2f}")
    print(f"Dask / kelvor-batch -j{JOBS} wall time              {dk / bn:.2f}  "
          f"({(dk - bn) * 1000 / PAIRS:+.2f} ms per pair)")
    print(f"Dask / score_many jobs={JOBS} wall time             {dk / many_:.2f}  "
          f"({(dk - many_) * 1000 / PAIRS:+.2f} ms per pair)")
    print(f"Dask untuned / tuned wall time                 {plain / dk:.2f}")


if __name__ == "__main__":
    if not os.access(BATCH, os.X_OK):
        sys.exit(f"no kelvor-batch at {BATCH} (build it first: make)")
    main()
