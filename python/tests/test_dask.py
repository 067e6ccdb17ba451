"""kelvor_stoi.dask on a LocalCluster of two worker processes: the rows of
kelvor-batch, bit for bit, error rows included, also when a worker is
killed in the middle of the run."""
import logging
import math
import os
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster, wait

import kelvor_stoi
from conftest import (as_dtype, assert_column_dtypes, at_rate, batch_env, cell_value, demo_pair, run_batch, same_bits, write_manifest,
                      write_wav)
from kelvor_stoi.dask import score_manifest, submit_manifest

REF, DEG = demo_pair()


@pytest.fixture(scope="module")
def manifest(tmp_path_factory):
    """A manifest of 49 pairs: 8 kHz cuts of the demo pair with and without
    delays, other rates and sample types, and every kind of error row."""
    d = tmp_path_factory.mktemp("dask_pairs")
    (d / "sub").mkdir()
    rows = []
    for i in range(36):
        start = 800 * i
        write_wav(d / f"r{i}.wav", REF[start : start + 24000 + 100 * i], 8000)
        write_wav(d / "sub" / f"d{i}.wav", DEG[start : start + 24000 + 100 * i], 8000)
        shift, align = [("", "1"), ("320", ""), ("", "")][i % 3]
        rows.append({"reference": f"r{i}.wav", "degraded": f"sub/d{i}.wav", "shift": shift, "align": align})
    write_wav(d / "r16.wav", as_dtype(at_rate(REF, 16000), np.float32), 16000)
    write_wav(d / "d16.wav", as_dtype(at_rate(DEG, 16000), np.float32), 16000)
    write_wav(d / "r44.wav", as_dtype(at_rate(REF[:24000], 44100), np.int16), 44100)
    write_wav(d / "d44.wav", as_dtype(at_rate(DEG[:24000], 44100), np.int16), 44100)
    write_wav(d / "silent.wav", np.zeros(24000, np.int16), 8000)
    write_wav(d / "short.wav", REF[6000:9000], 8000)
    rows += [
        {"reference": "r16.wav", "degraded": "d16.wav", "shift": "", "align": "1"},
        {"reference": "r44.wav", "degraded": "d44.wav", "shift": "882", "align": ""},
        {"reference": "missing.wav", "degraded": "d16.wav", "shift": "", "align": ""},
        {"reference": "r16.wav", "degraded": "sub/d0.wav", "shift": "", "align": ""},  # rates differ
        {"reference": "silent.wav", "degraded": "r0.wav", "shift": "", "align": ""},
        {"reference": "r1.wav", "degraded": "sub/d0.wav", "shift": "", "align": ""},  # lengths differ
        {"reference": "short.wav", "degraded": "short.wav", "shift": "", "align": ""},
        {"reference": "r0.wav", "degraded": "sub/d0.wav", "shift": "abc", "align": ""},
        {"reference": "r0.wav", "degraded": "sub/d0.wav", "shift": "10", "align": "1"},
        {"reference": "r0.wav", "degraded": "sub/d0.wav", "shift": "5000", "align": ""},
        {"reference": "r0.wav", "degraded": "sub/d0.wav", "shift": "", "align": "maybe"},
        {"reference": "manifest.csv", "degraded": "sub/d0.wav", "shift": "", "align": ""},
        {"reference": "sub", "degraded": "sub/d0.wav", "shift": "", "align": ""},
    ]
    return write_manifest(d / "manifest.csv", rows)


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    cluster = LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",
        silence_logs=logging.CRITICAL,
        local_directory=str(tmp_path_factory.mktemp("dask")),
    )
    with cluster, Client(cluster) as c:
        yield c


def assert_table_is_batch(table, rows):
    assert list(table.columns) == list(kelvor_stoi.COLUMNS)
    assert list(table.index) == list(range(len(rows)))
    for i, row in enumerate(rows):
        for column in kelvor_stoi.COLUMNS:
            expected = cell_value(column, row[column])
            if column == "message":  # each front end names its own way to pad or trim
                expected = expected.replace("--unequal pad or --unequal trim", 'unequal="pad" or unequal="trim"')
            got = table.at[i, column]
            if got is pd.NA or (isinstance(got, float) and math.isnan(got)):
                got = None
            if isinstance(expected, float) or column in ("stoi", "estoi", "delay_ms", "seconds"):
                assert same_bits(got, expected), (i, column, got, expected)
            else:
                assert got == expected, (i, column, got, expected)


@pytest.mark.parametrize("options", [(), ("--align",)])
def test_rows_are_kelvor_batch_rows(client, manifest, options):
    table = score_manifest(str(manifest), client, partition_size=5, align=bool(options))
    rows = run_batch(manifest, *options)
    assert_table_is_batch(table, rows)
    assert {"ok", "missing", "rate_mismatch", "silent", "length_mismatch", "too_short", "bad_shift", "conflict", "bad_align"} <= set(
        table["status"]
    )
    assert_column_dtypes(table)


def test_a_killed_worker_loses_and_duplicates_no_row(client, manifest):
    run = submit_manifest(manifest, client, partition_size=2)
    # Kill the worker that holds the first finished partition while the
    # others are still being scored: its results and its task under way
    # are lost, and the scheduler must run them again on the other one.
    done, _ = wait(run.futures, return_when="FIRST_COMPLETED")
    holder = client.who_has(list(done)[:1])
    address = next(iter(holder.values()))[0]
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)
    table = run.result()
    assert_table_is_batch(table, run_batch(manifest))
    assert pid not in client.run(os.getpid).values()


def test_default_client_and_unusable_manifests(client, manifest, tmp_path):
    # The fixture's client is the default one.
    pd.testing.assert_frame_equal(
        score_manifest(manifest, partition_size=50), score_manifest(manifest, client, partition_size=7)
    )
    with pytest.raises(OSError, match="Can't read manifest"):
        score_manifest(tmp_path / "none.csv", client)
    (tmp_path / "bad.csv").write_text("source,noisy\na.wav,b.wav\n")
    with pytest.raises(OSError, match="needs a header naming"):
        score_manifest(tmp_path / "bad.csv", client)
    with pytest.raises(ValueError, match="partition_size"):
        score_manifest(manifest, client, partition_size=0)


def test_a_script_without_a_guard_scores_without_a_client(manifest, tmp_path):
    # A plain script run as a file, with no client and no
    # `if __name__ == "__main__":` guard: worker processes started for it
    # would import it again, and each would start a cluster of its own. The
    # call must return, print nothing, and leave no allocator setting of
    # Dask's nannies in the script's environment.
    script = tmp_path / "unguarded.py"
    script.write_text(
        "import os, sys\n"
        "from kelvor_stoi.dask import score_manifest\n"
        "t = score_manifest(sys.argv[1], partition_size=10)\n"
        "print(len(t), (t.status == 'ok').sum(), 'MALLOC_TRIM_THRESHOLD_' in os.environ)\n"
    )
    child = subprocess.Popen([sys.executable, str(script), str(manifest)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=batch_env(), start_new_session=True)
    try:
        out, err = child.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)  # the script and whatever it started
        out, err = child.communicate()
        pytest.fail(f"no result in 120 s: {err[-2000:]}")
    ok = sum(row["status"] == "ok" for row in run_batch(manifest))
    assert out.split() == ["49", str(ok), "False"], err[-2000:]
    assert err == ""


def test_the_manifests_columns_reach_the_table_as_without_dask(client, pair_folder):
    # kelvor_stoi.score_manifest with a client distributes; without one it
    # scores here: the same table, the manifest's columns byte for byte.
    manifest = pair_folder / "m.csv"
    manifest.write_bytes(b'clean,snr,estimate,"a,b",\xff\nref.wav,007,deg.wav,NA,\xe9\nref.wav,,gone.wav,"x\ny",\n')
    local = kelvor_stoi.score_manifest(manifest)
    assert list(local.columns[len(kelvor_stoi.COLUMNS) :]) == ["snr", "a,b", os.fsdecode(b"\xff")]
    assert [os.fsencode(v) for v in local.iloc[:, len(kelvor_stoi.COLUMNS) :].to_numpy().ravel()] == [
        b"007", b"NA", b"\xe9", b"", b"x\ny", b""]
    pd.testing.assert_frame_equal(kelvor_stoi.score_manifest(manifest, client=client), local)
    pd.testing.assert_frame_equal(score_manifest(manifest, client, partition_size=1), local)


def test_names_that_are_not_utf8_reach_the_table(client, pair_folder):
    # kelvor-batch keeps their bytes; the table holds them as os.fsdecode()
    # gives them.
    folder = os.fsencode(pair_folder)
    os.rename(pair_folder / "deg.wav", os.path.join(folder, b"d\xe9g\xff.wav"))
    manifest = os.path.join(folder, b"m\xff.csv")
    with open(manifest, "wb") as f:
        f.write(b"reference,degraded\nref.wav,d\xe9g\xff.wav\nref.wav,gone\xfe.wav\n")
    table = score_manifest(os.fsdecode(manifest), client, partition_size=1)
    assert list(table["degraded"]) == [os.fsdecode(b"d\xe9g\xff.wav"), os.fsdecode(b"gone\xfe.wav")]
    assert list(table["status"]) == ["ok", "missing"]
    assert os.fsencode(table.at[1, "message"]).endswith(b"/gone\xfe.wav'")
    assert table.at[0, "stoi"] == kelvor_stoi.score(REF, DEG, 8000).stoi
