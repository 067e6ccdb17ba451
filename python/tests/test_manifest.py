"""kelvor_stoi.score_manifest without Dask: kelvor-batch's rows bit for bit
with the manifest's own columns byte for byte, the dtypes of the shared
column table, errors that name Python arguments; and the README's two
commands, folders (or a manifest) to report, end to end."""
import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import kelvor_stoi
from conftest import assert_column_dtypes, batch_env, cell_value, demo_pair, executable, same_bits, write_wav

REF, DEG = demo_pair()

# Column names and cells as bytes, of every awkward kind.
NAMES = [b"snr", b"a,b \"c\"", b"\xff\xfe name", b"NA", b"row id"]
CELLS = [
    [b"007", b"x\ny", b"\xe9", b"NA", b""],
    [b"-5", b"", b"caf\xc3\xa9", b"null", b"12"],
    [b"10"],
]


def quoted(cell: bytes) -> bytes:
    return b'"' + cell.replace(b'"', b'""') + b'"' if any(c in cell for c in b',"\n') else cell


@pytest.fixture(scope="module")
def manifest(tmp_path_factory):
    d = tmp_path_factory.mktemp("manifest_columns")
    write_wav(d / "ref.wav", REF[:24000], 8000)
    write_wav(d / "deg.wav", DEG[:24000], 8000)
    lines = [b",".join([b"Clean", b"Enhanced"] + [quoted(n) for n in NAMES])]
    for pair, cells in zip([(b"ref.wav", b"deg.wav"), (b"ref.wav", b"gone.wav"), (b"deg.wav", b"ref.wav")], CELLS):
        lines.append(b",".join(list(pair) + [quoted(c) for c in cells]))
    path = d / "m.csv"
    path.write_bytes(b"\n".join(lines) + b"\n")
    return path


def batch_rows(manifest, *options):
    """kelvor-batch's CSV output for a manifest, as a header and rows of str
    (os.fsdecode of the bytes)."""
    env = batch_env()
    done = subprocess.run([executable("KELVOR_BATCH_EXE"), "--quiet", *options, str(manifest)], capture_output=True,
                          env=env)
    assert done.returncode in (0, 3), done.stderr
    text = done.stdout.decode("utf-8", "surrogateescape")
    records = list(csv.reader(io.StringIO(text, newline="")))
    return records[0], records[1:]


def test_rows_are_kelvor_batchs_with_the_manifests_columns(manifest):
    table = kelvor_stoi.score_manifest(manifest, jobs=2)
    header, rows = batch_rows(manifest)
    names = [os.fsdecode(n) for n in NAMES]
    assert list(table.columns) == list(kelvor_stoi.COLUMNS) + names == header
    assert list(table.index) == [0, 1, 2] and table.index.name == "row"
    assert_column_dtypes(table)
    assert list(table["status"]) == ["ok", "missing", "bad_row"]
    for i, row in enumerate(rows):
        for name, text in zip(kelvor_stoi.COLUMNS, row):
            got = table.at[i, name]
            got = None if got is pd.NA or (isinstance(got, float) and np.isnan(got)) else got
            want = cell_value(name, text)
            assert same_bits(got, want) if isinstance(want, float) else got == want, (i, name)
        # The manifest's cells, byte for byte (the short row's missing
        # cells empty), as kelvor-batch wrote them.
        assert [os.fsencode(table.at[i, n]) for n in names] == (CELLS[i] if i < 2 else [b"10", b"", b"", b"", b""])
        assert [table.at[i, n] for n in names] == row[len(kelvor_stoi.COLUMNS):]


def test_the_options_and_no_dask(manifest):
    one = kelvor_stoi.score_manifest(str(manifest), jobs=1, align=True)
    pd.testing.assert_frame_equal(one, kelvor_stoi.score_manifest(os.fsencode(manifest), jobs=3, align=True))
    _, rows = batch_rows(manifest, "--align")
    assert one.at[0, "delay_samples"] == int(rows[0][4]) and same_bits(one.at[0, "stoi"], float(rows[0][2]))
    script = "import sys, kelvor_stoi; kelvor_stoi.score_manifest(sys.argv[1]); print('distributed' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", script, str(manifest)], capture_output=True, text=True)
    assert done.stdout.strip() == "False", done.stderr


def test_failures_name_python_arguments(manifest, pair_folder):
    write_wav(pair_folder / "stereo.wav", np.stack([REF, DEG], axis=1), 8000)
    (pair_folder / "m.csv").write_text("reference,degraded\nref.wav,stereo.wav\n")
    table = kelvor_stoi.score_manifest(pair_folder / "m.csv")
    assert table.at[0, "status"] == "channels"
    assert "channel=" in table.at[0, "message"] and "--" not in table.at[0, "message"]
    assert kelvor_stoi.score_manifest(pair_folder / "m.csv", channel=1).at[0, "stoi"] == 1.0
    cases = [
        ({"channel": -1}, ValueError, "channel="),
        ({"raw_rate": 0}, ValueError, "raw_rate="),
        ({"jobs": 0}, ValueError, "jobs"),
        ({"profile": "fast"}, ValueError, "profile="),
        ({"chanel": 2}, TypeError, "unexpected keyword argument 'chanel'"),
    ]
    for arguments, error, message in cases:
        with pytest.raises(error, match=message) as raised:
            kelvor_stoi.score_manifest(manifest, **arguments)
        assert "--" not in str(raised.value)
    (pair_folder / "bad.csv").write_text("source,noisy,snr\na.wav,b.wav,5\n")
    with pytest.raises(OSError, match="needs a header naming a reference and a degraded column"):
        kelvor_stoi.score_manifest(pair_folder / "bad.csv")


def run(command, cwd):
    env = batch_env()
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_the_readmes_two_commands(tmp_path):
    # Six references; a noisy system (the demo's degraded signal) and an
    # enhanced one (half way back to the reference), at two SNRs for the
    # manifest's variant.
    batch = executable("KELVOR_BATCH_EXE")
    rows = []
    for i in range(6):
        cut = slice(3000 * i, 3000 * i + 24000)
        ref = REF[cut]
        noisy = DEG[cut]
        enhanced = ((ref.astype(np.int32) + noisy) // 2).astype(np.int16)
        snr = f"snr={0 if i % 2 else 5}"
        for system in ("refs", "out/noisy", "out/enhanced"):
            (tmp_path / system / snr).mkdir(parents=True, exist_ok=True)
        write_wav(tmp_path / "refs" / snr / f"s{i}.wav", ref, 8000)
        write_wav(tmp_path / "out/noisy" / snr / f"s{i}.wav", noisy, 8000)
        write_wav(tmp_path / "out/enhanced" / snr / f"s{i}.wav", enhanced, 8000)
        for system in ("noisy", "enhanced"):
            rows.append(f"refs/{snr}/s{i}.wav,out/{system}/{snr}/s{i}.wav,{0 if i % 2 else 5},{system}")

    # Exactly the README's two commands: the snr column from the folders.
    run([batch, "--quiet", "--ref-dir", "refs", "--deg-dir", "noisy=out/noisy", "--deg-dir", "out/enhanced", "-o",
         "r.csv"], tmp_path)
    run([sys.executable, "-m", "kelvor_stoi", "report", "r.csv", "--by", "snr", "--between", "system", "noisy",
         "enhanced", "-o", "report.html"], tmp_path)
    page = (tmp_path / "report.html").read_text()
    assert "enhanced" in page and "noisy" in page and page.count('src="data:image/svg+xml') >= 3
    assert list(pd.read_csv(tmp_path / "r.csv", dtype=str).columns[-2:]) == ["system", "snr"]
    compared = json.loads(run([sys.executable, "-m", "kelvor_stoi", "compare", "r.csv", "--between", "system",
                               "noisy", "enhanced", "--format", "json"], tmp_path))
    results = pd.read_csv(tmp_path / "r.csv")
    stoi = results.pivot(index="reference", columns="system", values="stoi")
    record = next(r for r in compared if r["measure"] == "stoi")
    assert record["pairs"] == 6
    assert record["mean_diff"] == pytest.approx((stoi["enhanced"] - stoi["noisy"]).mean(), abs=1e-12)

    # With a manifest that names the SNR: the report by SNR.
    (tmp_path / "test_set.csv").write_text("reference,degraded,snr,system\n" + "\n".join(rows) + "\n")
    run([batch, "--quiet", "-o", "r2.csv", "test_set.csv"], tmp_path)
    run([sys.executable, "-m", "kelvor_stoi", "report", "r2.csv", "--by", "snr", "--between", "system", "noisy",
         "enhanced", "-o", "report2.html"], tmp_path)
    summary = json.loads(run([sys.executable, "-m", "kelvor_stoi", "summarize", "r2.csv", "--by", "snr", "--by",
                              "system", "--format", "json"], tmp_path))
    assert [(s["snr"], s["system"], s["n"]) for s in summary] == [
        ("0", "noisy", 3), ("0", "enhanced", 3), ("5", "noisy", 3), ("5", "enhanced", 3)]
