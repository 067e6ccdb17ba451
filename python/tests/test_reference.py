"""The default scores of the pairs of tests/data/reference are the same
whatever the sample type and the way in (arrays, files, kelvor-batch).
Their distance from the reference definition's scores is measured by
tools/check-reference (`make check-reference`, CTest's Reference.Agreement);
here that command is shown to catch a score that is off."""
import csv
import importlib.machinery
import importlib.util

import pytest

import kelvor_stoi
from conftest import SOURCE, run_batch, same_bits


def load_check():
    loader = importlib.machinery.SourceFileLoader("check_reference", str(SOURCE / "tools" / "check-reference"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


CHECK = load_check()
DATA = CHECK.DATA
ROWS = CHECK.rows()
RATES = sorted({int(r["rate"]) for r in ROWS})


def read(path):
    samples, rate = kelvor_stoi.read_audio(DATA / path)
    return samples, rate


@pytest.mark.parametrize("rate", RATES)
def test_every_way_in_gives_the_same_scores(rate):
    for row in (r for r in ROWS if int(r["rate"]) == rate):
        x, fs = read(row["reference"])
        y, _ = read(row["degraded"])
        files = DATA / row["reference"], DATA / row["degraded"]
        if row["condition"] == "too_short":
            for call in (lambda: kelvor_stoi.score(x, y, fs), lambda: kelvor_stoi.score_files(*files)):
                with pytest.raises(kelvor_stoi.TooShortError):
                    call()
            continue
        s = kelvor_stoi.score(x, y, fs)
        # The same samples as floats, and the files themselves.
        assert kelvor_stoi.score(x / 32768.0, y / 32768.0, fs) == s
        assert kelvor_stoi.score_files(*files) == s


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
        s = kelvor_stoi.score_files(DATA / row["reference"], DATA / row["degraded"])
        assert same_bits(float(out["stoi"]), s.stoi) and same_bits(float(out["estoi"]), s.estoi)


def test_the_check_fails_on_a_score_that_is_off(tmp_path, capsys):
    # The committed pairs with one reference score moved by 1e-6.
    (tmp_path / "audio").symlink_to(DATA / "audio")
    rows = [dict(r) for r in ROWS]
    moved = next(r for r in rows if r["condition"] == "lowpass1500" and r["rate"] == "16000")
    moved["stoi"] = repr(float(moved["stoi"]) + 1e-6)
    with open(tmp_path / "scores.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    results = CHECK.agreement(kelvor_stoi, tmp_path)
    assert [r.degraded for r in results if not r.within(1e-7)] == [moved["degraded"]]
    assert CHECK.report(results, 1e-7) is False
    out = capsys.readouterr().out
    assert out.splitlines()[-1].startswith("FAIL: 23 of 24 scores within 1e-07")
    assert f"{moved['degraded']}: |STOI - ref| 1.00e-06" in out


def test_the_tool_profile_is_another_number():
    x, _ = read("audio/u0_8000_clean.flac")
    y, _ = read("audio/u0_8000_gap_0.6s.flac")
    reference = kelvor_stoi.score(x, y, 8000)
    tool = kelvor_stoi.score(x, y, 8000, profile="tool")
    assert tool.stoi != reference.stoi and abs(tool.stoi - reference.stoi) < 0.05
    # The library judges the samples, not their type: floats that hold
    # 16-bit values are the tool's input too, and score as those values.
    assert kelvor_stoi.score(x / 32768.0, y / 32768.0, 8000, profile="tool") == tool
