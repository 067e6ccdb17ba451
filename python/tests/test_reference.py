"""The default scores equal those of the published reference definition on
the pairs of tests/data/reference, at every rate, whatever the sample type
and the way in (arrays, files, kelvor-batch)."""
import csv

import pytest

import kelvor_stoi
from conftest import SOURCE, run_batch

DATA = SOURCE / "tests" / "data" / "reference"
ROWS = list(csv.DictReader(open(DATA / "scores.csv")))
RATES = sorted({int(r["rate"]) for r in ROWS})
# Measured agreement is about 1e-14; the bound leaves room for other
# processors and compilers, far below what a paper prints.
TOLERANCE = 1e-10


def read(path):
    samples, rate = kelvor_stoi.read_audio(DATA / path)
    return samples, rate


@pytest.mark.parametrize("rate", RATES)
def test_scores_equal_the_reference(rate):
    for row in (r for r in ROWS if int(r["rate"]) == rate):
        x, fs = read(row["reference"])
        y, _ = read(row["degraded"])
        assert fs == rate
        if row["condition"] == "too_short":
            with pytest.raises(kelvor_stoi.TooShortError):
                kelvor_stoi.score(x, y, fs)
            continue
        s = kelvor_stoi.score(x, y, fs)
        assert abs(s.stoi - float(row["stoi"])) <= TOLERANCE, row["degraded"]
        if row["estoi_deterministic"] == "1":
            assert abs(s.estoi - float(row["estoi"])) <= TOLERANCE, row["degraded"]
        # The same samples as floats, and the files themselves.
        assert kelvor_stoi.score(x / 32768.0, y / 32768.0, fs) == s
        assert kelvor_stoi.score_files(DATA / row["reference"], DATA / row["degraded"]) == s


def test_kelvor_batch_rows_are_the_same_scores(tmp_path):
    manifest = tmp_path / "m.csv"
    with open(manifest, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["reference", "degraded"])
        for row in ROWS:
            writer.writerow([DATA / row["reference"], DATA / row["degraded"]])
    rows = run_batch(manifest)
    assert len(rows) == len(ROWS)
    for row, out in zip(ROWS, rows):
        if row["condition"] == "too_short":
            assert out["status"] == "too_short"
            continue
        assert out["status"] == "ok", out["message"]
        assert abs(float(out["stoi"]) - float(row["stoi"])) <= TOLERANCE


def test_the_tool_profile_is_another_number():
    x, _ = read("audio/u0_8000_clean.flac")
    y, _ = read("audio/u0_8000_gap_0.6s.flac")
    reference = kelvor_stoi.score(x, y, 8000)
    tool = kelvor_stoi.score(x, y, 8000, profile="tool")
    assert tool.stoi != reference.stoi and abs(tool.stoi - reference.stoi) < 0.05
