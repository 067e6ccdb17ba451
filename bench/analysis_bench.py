#!/usr/bin/python3
"""Speed of kelvor-stoi's analysis against its targets: summarize and
compare of 100,000 result rows under 2 s, the report of 10,000 rows under
10 s, the report of 200 groups (speakers) of 2,000 rows under 5 s, on one
core; and the report of 1,000 groups of 10,000 rows, which has no target
but must stay in seconds.

Results files like kelvor-batch's (the standard columns with 17-digit
scores, then the metadata columns snr and system; 1 % error rows) are
generated once: ROWS rows (default 100,000) for summarize and compare,
REPORT_ROWS (default 10,000) for the report, half of them each of the
systems noisy and enhanced over four SNRs, every reference under both. Each
command then runs as a whole process (interpreter start, imports, reading,
statistics, output), pinned to one core with taskset when it is there,
RUNS times (default 5); the median wall time is reported next to its
target, with the in-process time of the function alone for comparison.
The report runs once without details and once with the details files of
the 8 pairs it shows (the demo pair's, at the names kelvor-batch gives
them), so that it draws their heat maps.

    PYTHONPATH=build/python /usr/bin/python3 bench/analysis_bench.py

Also run by `make bench-analysis`.
"""
import csv
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import kelvor_stoi
from kelvor_stoi import analysis, report

RUNS = int(os.environ.get("RUNS", "5"))
# Which cases to run: a comma-separated list of words that their names
# must contain (default every case).
ONLY = [w for w in os.environ.get("ONLY", "").split(",") if w]
# Another build of the package (a folder to put on PYTHONPATH, say a copy
# of build/python from before a change): each command also runs under it,
# taking turns with this one, and the ratio of the medians is printed.
BASELINE = os.environ.get("BASELINE")
ROWS = int(os.environ.get("ROWS", "100000"))
REPORT_ROWS = int(os.environ.get("REPORT_ROWS", "10000"))


def write_results(path: str, rows: int, seed: int = 1, speakers: int = 0) -> None:
    """rows rows; with speakers, a column spk (spk000, ...) as well, each
    reference a speaker's."""
    generator = random.Random(seed)
    columns = list(kelvor_stoi.COLUMNS) + ["snr", "system"] + (["spk"] if speakers else [])
    snrs = ["-5", "0", "5", "10"]
    # Each speaker's own level, so that the groups differ.
    level = [random.Random(seed * 1000 + k).gauss(0, 0.05) for k in range(speakers)]
    with open(path, "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(columns)
        for system, gain in (("noisy", 0.0), ("enhanced", 0.04)):
            generator.seed(seed)  # the same references and base scores under both systems
            for i in range(rows // 2):
                snr = snrs[i % 4]
                base = 0.6 + 0.025 * float(snr) + generator.gauss(0, 0.08) + (level[i % speakers] if speakers else 0)
                noise = generator.gauss(0, 0.02)
                failed = generator.random() < 0.01
                cells = dict.fromkeys(columns, "")
                cells.update(reference=f"spk{i % 40:02d}/utt{i:06d}.wav", seconds="3.2", rate="16000", snr=snr,
                             system=system)
                if speakers:
                    cells["spk"] = f"spk{i % speakers:03d}"
                    cells["reference"] = f"{cells['spk']}/utt{i:06d}.wav"
                cells["degraded"] = f"{system}/{cells['reference']}"
                if failed and system == "enhanced":
                    cells.update(status="too_short", message="too little speech")
                else:
                    s = min(1.0, base + gain + noise)
                    cells.update(stoi="%.17g" % s, estoi="%.17g" % (s - 0.25 + noise / 2), delay_samples="0",
                                 delay_ms="0", status="ok")
                writer.writerow([cells[c] for c in columns])


def write_details(results: str, folder: str) -> None:
    """Details files for the pairs the report shows (the lowest STOI),
    each the demo pair's, under the name and with the pair kelvor-batch
    would give them."""
    import json

    import numpy as np

    source = os.environ.get("KELVOR_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ref, _ = kelvor_stoi.read_audio(os.path.join(source, "samples", "ref.wav"))
    deg, _ = kelvor_stoi.read_audio(os.path.join(source, "samples", "deg.wav"))
    d = kelvor_stoi.details(ref, deg, 8000, align=True)
    table = analysis.read_results(results)
    ok = table[table["status"] == "ok"]
    os.makedirs(folder, exist_ok=True)
    for position in ok["stoi"].nsmallest(report.DEFAULT_WORST).index:
        row = table.loc[position]
        record = {"row": int(position), "reference": row["reference"], "degraded": row["degraded"],
                  "stoi": d.scores.stoi, "estoi": d.scores.estoi, "delay_samples": d.scores.delay,
                  "delay_ms": d.scores.delay_ms, "band_centre_hz": d.band_centre_hz.tolist(),
                  "frame_count": d.frame_count, "kept_frames": d.kept_frames.tolist(),
                  "estoi_segment": np.round(d.estoi_segment, 4).tolist(),
                  "stoi_correlation": np.round(d.stoi_correlation, 4).tolist()}
        with open(os.path.join(folder, f"{position}.json"), "w") as f:
            json.dump(record, f)


def timed(command, runs=RUNS, baseline=None):
    """Median wall time of command (and, taking turns with it, of the same
    command under the baseline package)."""
    pin = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    times = {None: [], baseline: []}
    for _ in range(runs):
        for package in [None] + ([baseline] if baseline else []):
            env = dict(os.environ, PYTHONPATH=package) if package else None
            start = time.perf_counter()
            done = subprocess.run(pin + command, capture_output=True, text=True, env=env)
            times[package].append(time.perf_counter() - start)
            if done.returncode != 0:
                raise SystemExit(f"{' '.join(command)} failed: {done.stderr}")
    return statistics.median(times[None]), (statistics.median(times[baseline]) if baseline else None)


def in_process(call, runs=RUNS):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    work = tempfile.mkdtemp(prefix="kelvor-analysis-bench-")
    try:
        big = os.path.join(work, "r100k.csv")
        small = os.path.join(work, "r10k.csv")
        speakers200 = os.path.join(work, "spk200.csv")
        speakers1000 = os.path.join(work, "spk1000.csv")
        write_results(big, ROWS)
        write_results(small, REPORT_ROWS, seed=2)
        write_results(speakers200, 2000, seed=3, speakers=200)
        write_results(speakers1000, 10000, seed=4, speakers=1000)
        details = os.path.join(work, "details")
        write_details(small, details)
        cli = [sys.executable, "-m", "kelvor_stoi"]
        between = ["--between", "system", "noisy", "enhanced"]
        cases = [
            ("summarize --by snr --by system", ROWS, 2.0,
             cli + ["summarize", big, "--by", "snr", "--by", "system"],
             lambda t: analysis.summarize(t, by=["snr", "system"]), big),
            ("compare --between system noisy enhanced --by snr", ROWS, 2.0,
             cli + ["compare", big] + between + ["--by", "snr"],
             lambda t: analysis.compare(t, "system", "noisy", "enhanced", by="snr"), big),
            ("report --by snr --between system noisy enhanced", REPORT_ROWS, 10.0,
             cli + ["report", small, "--by", "snr"] + between + ["-o", os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="snr", between=("system", "noisy", "enhanced")), small),
            ("  the same with --details (8 heat maps)", REPORT_ROWS, 10.0,
             cli + ["report", small, "--by", "snr"] + between + ["--details", details, "-o",
                                                                 os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="snr", between=("system", "noisy", "enhanced"), details_dir=details),
             small),
            ("report --by spk (200 groups)", 2000, 5.0,
             cli + ["report", speakers200, "--by", "spk", "-o", os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="spk"), speakers200),
            ("report --by spk --between system noisy enhanced", 2000, 5.0,
             cli + ["report", speakers200, "--by", "spk"] + between + ["-o", os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="spk", between=("system", "noisy", "enhanced")), speakers200),
            ("report --by spk (1,000 groups)", 10000, math.nan,
             cli + ["report", speakers1000, "--by", "spk", "-o", os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="spk"), speakers1000),
            ("report --by spk --between system (1,000 groups)", 10000, math.nan,
             cli + ["report", speakers1000, "--by", "spk"] + between + ["-o", os.path.join(work, "report.html")],
             lambda t: report.build_report(t, by="spk", between=("system", "noisy", "enhanced")), speakers1000),
        ]
        cases = [c for c in cases if not ONLY or any(w in c[0] for w in ONLY)]
        paths = sorted({c[-1] for c in cases})
        tables = {path: analysis.read_results(path) for path in paths}
        print(f"{'command':52} {'rows':>8} {'median s':>9} {'target s':>9} {'ratio':>6} {'function s':>11}"
              + (f" {'baseline s':>11} {'speed-up':>9}" if BASELINE else ""))
        for name, rows, target, command, call, path in cases:
            whole, before = timed(command, baseline=BASELINE)
            alone = in_process(lambda: call(tables[path]))
            print(f"{name:52} {rows:8,} {whole:9.3f} {target:9.1f} {whole / target:6.2f} {alone:11.3f}"
                  + (f" {before:11.3f} {before / whole:9.1f}" if BASELINE else ""), flush=True)
        for path in paths:
            print(f"read_results alone: {in_process(lambda: analysis.read_results(path)):.3f} s for "
                  f"{len(tables[path]):,} rows")
        print(f"Medians of {RUNS} runs, whole processes on one core.")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
