"""The analysis: results read back exactly, and the statistics of summarize
and compare against an independent computation with scipy and pandas."""
import csv
import json
import math
import re

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import kelvor_stoi
from kelvor_stoi import analysis

STANDARD = list(kelvor_stoi.COLUMNS)


def result_row(reference, stoi=None, estoi=None, status="ok", message="", **metadata):
    row = {c: "" for c in STANDARD}
    row.update(reference=reference, degraded=reference, status=status, message=message, rate="16000", seconds="3.5")
    if stoi is not None:
        row.update(stoi=repr(float(stoi)), estoi=repr(float(estoi)), delay_samples="0", delay_ms="0")
    row.update(metadata)
    return row


def write_csv(path, rows):
    names = STANDARD + [k for k in rows[0] if k not in STANDARD]
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        writer = csv.DictWriter(f, fieldnames=names, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    return path


def write_jsonl(path, rows):
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        for row in rows:
            record = {}
            for k, v in row.items():
                if k in ("stoi", "estoi", "delay_ms", "seconds", "delay_samples", "rate"):
                    record[k] = None if v == "" else (int(v) if k in ("delay_samples", "rate") else float(v))
                else:
                    record[k] = v
            f.write(json.dumps(record, ensure_ascii=False) + "\n")
    return path


def generated(seed=7):
    """Two systems at three SNRs with ragged groups: a group of one scored
    pair (snr 20) and a group of failures only (snr 30)."""
    rng = np.random.default_rng(seed)
    rows = []
    for snr, count in (("-5", 40), ("0", 37), ("5", 25)):
        for i in range(count):
            base = 0.55 + 0.03 * float(snr) + rng.normal(0, 0.08)
            for system, gain in (("noisy", 0.0), ("enhanced", 0.04)):
                if rng.random() < 0.06:
                    rows.append(result_row(f"u{i}.wav", status="too_short", message="too little speech", snr=snr,
                                           system=system))
                    continue
                s = base + gain + rng.normal(0, 0.03)
                rows.append(result_row(f"u{i}.wav", s, s - 0.2 + rng.normal(0, 0.02), snr=snr, system=system))
    rows.append(result_row("one.wav", 0.7, 0.5, snr="20", system="noisy"))
    rows.append(result_row("one.wav", 0.8, 0.55, snr="20", system="enhanced"))
    for system in ("noisy", "enhanced"):
        rows.append(result_row("gone.wav", status="missing", message="no such file", snr="30", system=system))
    return rows


# ------------------------------------------------------------ reading


HOSTILE_TEXT = ["NA", "null", "", "N/A", "nan", "a,b", 'say "hi"', "two\nlines", " padded ", "ünï", "0012", "1e3"]


@pytest.mark.parametrize("writer", [write_csv, write_jsonl], ids=["csv", "jsonl"])
def test_results_read_back_exactly(tmp_path, writer):
    rng = np.random.default_rng(3)
    values = np.concatenate([rng.random(300), [0.1 + 0.2, 5e-324, 1.0, -0.0, 0.99999999999999989]])
    rows = []
    for i, v in enumerate(values):
        text = HOSTILE_TEXT[i % len(HOSTILE_TEXT)]
        rows.append(result_row(f"dir {i}/{text}.wav", v, v / 3, snr=text, note=HOSTILE_TEXT[(i + 5) % len(HOSTILE_TEXT)]))
    rows.append(result_row("bad.wav", status="format", message="not audio, \"really\"", snr="NA", note="null"))
    path = writer(tmp_path / ("r.csv" if writer is write_csv else "r.jsonl"), rows)
    table = analysis.read_results(path)
    assert list(table.columns) == STANDARD + ["snr", "note"]
    assert analysis.metadata_columns(table) == ["snr", "note"]
    got = table["stoi"].to_numpy()
    assert [x.hex() for x in got[:-1]] == [float(v).hex() for v in values]
    assert math.isnan(got[-1]) and table["rate"].dtype == "Int64" and table["delay_samples"].isna().iloc[-1]
    for column in ("reference", "degraded", "status", "message", "snr", "note"):
        assert table[column].tolist() == [r[column] for r in rows], column
    if writer is write_csv:
        # What this guards against: pandas' default parser misreads such values.
        default = pd.read_csv(path)["stoi"].iloc[:-1].to_numpy(dtype=float)
        assert (default != values).any()


@pytest.mark.parametrize("suffix", [".csv", ".jsonl"])
def test_a_saved_dataframe_reads_back_as_it_was(tmp_path, suffix):
    # A table as score_manifest returns it (index "row": the manifest's
    # data rows), saved with pandas and read again.
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    table.index = pd.Index(range(10, 10 + len(table)), name="row")
    path = tmp_path / f"saved{suffix}"
    if suffix == ".csv":
        table.to_csv(path)
    else:
        with open(path, "w") as f:
            for record in table.reset_index(drop=True).to_dict(orient="records"):
                f.write(json.dumps({k: (None if v is pd.NA or v != v else v) for k, v in record.items()},
                                   default=int) + "\n")
        table = table.reset_index(drop=True).rename_axis("row")
    again = analysis.read_results(path)
    pd.testing.assert_frame_equal(again, table, check_exact=True, check_index_type=False)
    assert list(again.columns) == list(table.columns)  # no "row" metadata column


def test_results_of_kelvor_batch_itself(pair_folder):
    from conftest import demo_pair, run_batch, write_manifest

    ref, deg = demo_pair()
    manifest = write_manifest(pair_folder / "m.csv", [
        {"reference": "ref.wav", "degraded": "deg.wav", "align": "1"},
        {"reference": "ref.wav", "degraded": "none.wav"},
    ])
    written = run_batch(manifest)
    table = analysis.read_results(manifest.parent / "m.out.csv")
    assert table["stoi"].iloc[0] == float(written[0]["stoi"]) == kelvor_stoi.score(ref, deg, 8000, align=True).stoi
    assert table["status"].tolist() == ["ok", "missing"] and table["delay_samples"].iloc[0] == 320


def test_unreadable_results_say_why(tmp_path):
    (tmp_path / "bad.jsonl").write_text('{"stoi": 1}\n[1, 2]\n')
    with pytest.raises(ValueError, match="line 2 is not a JSON object"):
        analysis.read_results(tmp_path / "bad.jsonl")
    (tmp_path / "bad.csv").write_text("reference,stoi\na,zero\n")
    with pytest.raises(ValueError, match="'stoi' holds a value that is not a number"):
        analysis.read_results(tmp_path / "bad.csv")


def test_run_record_is_found_next_to_the_results(tmp_path):
    results = write_csv(tmp_path / "r.csv", generated())
    assert analysis.read_run_record(results) is None
    (tmp_path / "r.csv.run.json").write_text('{"program": "kelvor-batch", "command": ["kelvor-batch", "-o", "r.csv"]}')
    assert analysis.read_run_record(results)["command"] == ["kelvor-batch", "-o", "r.csv"]


# --------------------------------------------------------- statistics


@pytest.mark.parametrize("df", [1, 2, 3, 4, 7, 29, 30, 99, 1000, 123456])
def test_t_quantile_against_scipy(df):
    for p in (0.5, 0.6, 0.9, 0.975, 0.995, 0.9999, 0.025):
        q = analysis.t_quantile(p, df)
        # scipy's own quantile is good to about 1e-10; its distribution
        # function to the last bits.
        assert q == pytest.approx(stats.t.ppf(p, df), rel=1e-8, abs=1e-12)
        assert stats.t.cdf(q, df) == pytest.approx(p, rel=0, abs=3e-12)


def independent_summary(frame, by):
    """What summarize should give, from pandas and scipy."""
    out = []
    for key, group in frame.groupby(by if len(by) > 1 else by[0], sort=False):
        ok = group[group["status"] == "ok"]
        record = dict(zip(by, key if isinstance(key, tuple) else (key,)), n=len(group), failed=len(group) - len(ok))
        for m in ("stoi", "estoi"):
            v = ok[m]
            record[f"{m}_mean"] = v.mean()
            record[f"{m}_sd"] = v.std(ddof=1)
            if len(v) >= 2:
                low, high = stats.t.interval(0.95, len(v) - 1, loc=v.mean(), scale=stats.sem(v))
            else:
                low = high = float("nan")
            record[f"{m}_ci_low"], record[f"{m}_ci_high"] = low, high
        out.append(record)
    return pd.DataFrame(out)


@pytest.mark.parametrize("by", [["snr"], ["snr", "system"], ["system"]])
def test_summarize_against_pandas_and_scipy(tmp_path, by):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    got = analysis.summarize(table, by=by)
    expected = independent_summary(table, by)
    merged = got.merge(expected, on=by, suffixes=("", "_x"), validate="one_to_one")
    assert len(merged) == len(got) == len(expected)
    for column in expected.columns:
        if column in by:
            continue
        np.testing.assert_allclose(merged[column].astype(float), merged[f"{column}_x"].astype(float), rtol=1e-9,
                                   equal_nan=True, err_msg=column)
    if by != ["snr", "system"]:
        return
    # Numbers sort as numbers: the SNRs in ascending order.
    assert list(dict.fromkeys(got["snr"])) == ["-5", "0", "5", "20", "30"]
    # The group of one scored pair has a mean but no sd or interval; the
    # group of failures has no mean.
    one = got[got["snr"] == "20"].iloc[0]
    gone = got[got["snr"] == "30"].iloc[0]
    assert not math.isnan(one["stoi_mean"]) and math.isnan(one["stoi_sd"]) and math.isnan(one["stoi_ci_low"])
    assert gone["failed"] == gone["n"] and math.isnan(gone["stoi_mean"]) and math.isnan(gone["estoi_ci_high"])


def test_summarize_without_groups_is_the_whole_table(tmp_path):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    got = analysis.summarize(table)
    ok = table[table["status"] == "ok"]
    assert len(got) == 1 and got["n"].iloc[0] == len(table)
    assert got["stoi_mean"].iloc[0] == pytest.approx(ok["stoi"].mean(), rel=1e-12)


def test_compare_against_scipy(tmp_path):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    got = analysis.compare(table, "system", "noisy", "enhanced", by="snr", resamples=4000, seed=11)
    assert got.attrs["key"] == ["reference", "snr"]
    for snr in ("-5", "0", "5"):
        a = table[(table.snr == snr) & (table.system == "noisy")].set_index("reference")
        b = table[(table.snr == snr) & (table.system == "enhanced")].set_index("reference")
        both = a.join(b, lsuffix="_a", rsuffix="_b", how="inner")
        usable = both[(both.status_a == "ok") & (both.status_b == "ok")]
        for measure in ("stoi", "estoi"):
            row = got[(got.snr == snr) & (got.measure == measure)].iloc[0]
            d = usable[f"{measure}_b"] - usable[f"{measure}_a"]
            low, high = stats.t.interval(0.95, len(d) - 1, loc=d.mean(), scale=stats.sem(d))
            assert row["pairs"] == len(d) and row["failed"] == len(both) - len(usable)
            assert row["mean_diff"] == pytest.approx(d.mean(), rel=1e-12)
            assert (row["t_low"], row["t_high"]) == pytest.approx((low, high), rel=1e-9)
            assert row["b_higher"] == pytest.approx((d > 0).mean())
            assert row["mean_a"] == pytest.approx(usable[f"{measure}_a"].mean(), rel=1e-12)
            # The bootstrap interval is scipy's percentile interval up to the
            # resampling's own scatter (a few per cent of its width).
            reference = stats.bootstrap((d.to_numpy(),), np.mean, n_resamples=20000, method="percentile",
                                        random_state=1).confidence_interval
            width = reference.high - reference.low
            assert abs(row["boot_low"] - reference.low) < 0.08 * width
            assert abs(row["boot_high"] - reference.high) < 0.08 * width
            assert row["resamples"] == 4000
    one = got[(got.snr == "20") & (got.measure == "stoi")].iloc[0]
    assert one["pairs"] == 1 and one["mean_diff"] == pytest.approx(0.1) and math.isnan(one["t_low"])
    assert math.isnan(one["boot_low"])
    gone = got[(got.snr == "30") & (got.measure == "stoi")].iloc[0]
    assert gone["pairs"] == 0 and gone["failed"] == 1 and math.isnan(gone["mean_diff"])
    # Seeded: the same on every run, another seed moves the bootstrap only.
    again = analysis.compare(table, "system", "noisy", "enhanced", by="snr", resamples=4000, seed=11)
    pd.testing.assert_frame_equal(got, again)
    other = analysis.compare(table, "system", "noisy", "enhanced", by="snr", resamples=4000, seed=12)
    assert (other["boot_low"] != got["boot_low"]).any() and other["t_low"].equals(got["t_low"])


def test_compare_pairs_duplicates_and_unmatched_rows(tmp_path):
    rows = [
        result_row("a.wav", 0.5, 0.3, system="A", take="1"), result_row("a.wav", 0.6, 0.4, system="B", take="1"),
        # b.wav twice under A: ambiguous, both rows left out
        result_row("b.wav", 0.5, 0.3, system="A", take="1"), result_row("b.wav", 0.4, 0.3, system="A", take="1"),
        result_row("b.wav", 0.7, 0.5, system="B", take="1"),
        # c.wav only under B; d.wav with a take that differs per system
        result_row("c.wav", 0.7, 0.5, system="B", take="1"),
        result_row("d.wav", 0.2, 0.1, system="A", take="1"), result_row("d.wav", 0.3, 0.2, system="B", take="2"),
    ]
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    got = analysis.compare(table, "system", "A", "B").iloc[0]
    assert (got["pairs"], got["duplicates"], got["unmatched_a"], got["unmatched_b"]) == (1, 2, 1, 3)
    # Pairing on the reference alone finds d.wav's pair as well.
    on_reference = analysis.compare(table, "system", "A", "B", on=["reference"]).iloc[0]
    assert (on_reference["pairs"], on_reference["unmatched_b"]) == (2, 2)
    assert on_reference["mean_diff"] == pytest.approx(0.1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: analysis.summarize(t, by="nope"), r"^by: no column 'nope'"),
        (lambda t: analysis.summarize(t, confidence=95), r"^confidence must lie between 0 and 1"),
        (lambda t: analysis.compare(t, "nope", "a", "b"), r"^between: no column 'nope'"),
        (lambda t: analysis.compare(t, "system", "noisy", "robot"), r"^b: no row has system = 'robot'"),
        (lambda t: analysis.compare(t, "system", "noisy", "noisy"), r"^a and b are the same value"),
        (lambda t: analysis.compare(t, "system", "noisy", "enhanced", by="system"), r"^by: the compared column"),
        (lambda t: analysis.compare(t, "system", "noisy", "enhanced", resamples=0), r"^resamples must be"),
        (lambda t: analysis.compare(t, "system", "noisy", "enhanced", on="system"), r"^on: the compared column"),
    ],
)
def test_errors_name_the_python_arguments(tmp_path, call, message):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    with pytest.raises(ValueError, match=message) as caught:
        call(table)
    assert "--" not in str(caught.value)


# ------------------------------------------------- hostile inputs


def latin1(text):
    """text as a folder name written in Latin-1, as read back from UTF-8."""
    return text.encode("latin-1").decode("utf-8", "surrogateescape")


def test_values_that_are_not_utf8_stay_apart(tmp_path):
    # pandas 1.5 takes every string with a lone surrogate for one key.
    means = {"Jörg": 0.90, "René": 0.968, "Zoë": 0.937}
    rows = []
    for speaker, level in means.items():
        for i in range(6):
            for system, gain in (("noisy", 0.0), ("enhanced", 0.01)):
                s = level + gain + 0.001 * i
                rows.append(result_row(f"{speaker}/u{i}.wav", s, s - 0.2, speaker=latin1(speaker), system=system))
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    got = analysis.summarize(table, by=["speaker", "system"])
    assert [analysis.escaped_bytes(v) for v in got["speaker"][::2]] == ["J\\xf6rg", "Ren\\xe9", "Zo\\xeb"]
    assert got["n"].tolist() == [6] * 6
    assert got["stoi_mean"].iloc[::2].to_numpy() == pytest.approx(np.array(list(means.values())) + 0.0025)
    compared = analysis.compare(table, "system", "noisy", "enhanced", by="speaker")
    assert compared["pairs"].tolist() == [6] * 6 and compared["duplicates"].sum() == 0
    # The keys given to pandas users group the same way.
    pooled = analysis.groupable(table).groupby(["speaker", "system"], sort=False)["stoi"].agg(["size", "mean"])
    assert pooled["size"].tolist() == [6] * 6
    assert pooled["mean"].to_numpy() == pytest.approx(got["stoi_mean"].to_numpy())


def test_numbers_order_numerically_with_empty_cells_last(tmp_path):
    rows = [result_row(f"u{i}.wav", 0.5, 0.3, snr=snr) for i, snr in enumerate(["", "10", "-5", "0", "5", ""])]
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    assert analysis.summarize(table, by="snr")["snr"].tolist() == ["-5", "0", "5", "10", ""]


def test_only_the_results_files_own_run_record_is_read(tmp_path):
    (tmp_path / "old.csv.run.json").write_text('{"program": "kelvor-batch", "command": ["another", "run"]}')
    results = write_csv(tmp_path / "old.csv.bak", generated())
    assert analysis.run_record_path(results) is None and analysis.read_run_record(results) is None


def test_the_bootstrap_interval_holds_the_mean_of_equal_differences(tmp_path):
    rows = []
    for i in range(50):
        rows.append(result_row(f"u{i}.wav", 0.5, 0.25, system="A"))
        rows.append(result_row(f"u{i}.wav", 0.6, 0.35, system="B"))
    got = analysis.compare(analysis.read_results(write_csv(tmp_path / "r.csv", rows)), "system", "A", "B")
    for _, row in got.iterrows():
        assert row["boot_low"] == row["mean_diff"] == row["boot_high"], row


@pytest.mark.parametrize("df", [1.5, 3, 30, 299.5, 2999, 3000, 1e4, 1e6, 1e8, 1e12])
def test_t_quantile_to_1e12_at_any_df(df):
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 50
    for p in (0.5000001, 0.6, 0.975, 0.9999, 1 - 1e-9):
        got = analysis.t_quantile(p, df)
        v, q = mpmath.mpf(df), 1 - mpmath.mpf(p)
        tail = lambda t: mpmath.betainc(v / 2, 0.5, 0, v / (v + t * t), regularized=True) / 2 - q  # noqa: E731
        exact = mpmath.findroot(tail, mpmath.mpf(got), tol=mpmath.mpf(10) ** -40)
        assert abs(got - exact) <= 1e-12 * abs(exact), (p, got, exact)


@pytest.mark.parametrize(
    "content, message",
    [
        (b"\0" * (3 << 20), "the record on line 1 is longer than 1048576 bytes"),
        (b"reference,stoi\n\"a\n" + b"b\n" * 600000, "the record on line 2 is longer than 1048576 bytes"),
        (b'{"stoi": 0.5}\n' + b" " * (2 << 20) + b"\n", "line 2 is longer than 1048576 bytes"),
        (b'{"stoi": ' + b"[" * 100000 + b"\n", "line 1 is nested too deeply"),
        ("\n".join([",".join(STANDARD)] + [",".join(["a.wav", "a.wav", "1e308", "0.5"] + [""] * (len(STANDARD) - 4))])
         .encode(), "column 'stoi' holds 1e+308 in row 0, which is no score"),
    ],
    ids=["no line end", "open quote", "long json line", "deep json", "huge score"],
)
def test_unreadable_streams_are_refused_in_bounded_memory(tmp_path, content, message):
    path = tmp_path / "r"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: .*{re.escape(message)}"):
        analysis.read_results(path)


def test_results_from_a_pipe_and_from_standard_input(tmp_path):
    import subprocess
    import sys

    for writer, suffix in ((write_csv, ".csv"), (write_jsonl, ".jsonl")):
        path = writer(tmp_path / f"r{suffix}", generated())
        expected = analysis.read_results(path)
        # A pipe that hands out a few bytes at a time, read through /dev/stdin and "-".
        for name in ("/dev/stdin", "-"):
            code = (f"import sys, pickle; from kelvor_stoi import analysis; "
                    f"sys.stdout.buffer.write(pickle.dumps(analysis.read_results({name!r})))")
            feeder = subprocess.Popen(["sh", "-c", f"while read -r l; do printf '%s\\n' \"$l\"; done < '{path}'"],
                                      stdout=subprocess.PIPE)
            done = subprocess.run([sys.executable, "-c", code], stdin=feeder.stdout, capture_output=True)
            feeder.wait()
            assert done.returncode == 0, done.stderr.decode()
            import pickle

            pd.testing.assert_frame_equal(pickle.loads(done.stdout), expected, check_exact=True)
