"""The package as a drop-in for the Python reference: its keyword names,
arguments refused rather than guessed at, long calls that Ctrl-C ends, and
the progress of the calls that score many pairs."""
import importlib
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_stoi
from conftest import cell_value, demo_pair, run_batch, same_bits, write_manifest, write_wav

REF, DEG = demo_pair()


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: kelvor_stoi.stoi(x=REF, y=DEG, fs_sig=8000), lambda: kelvor_stoi.score(REF, DEG, 8000).stoi),
        (lambda: kelvor_stoi.stoi(REF, DEG, fs_sig=8000, extended=True), lambda: kelvor_stoi.score(REF, DEG, 8000).estoi),
        (lambda: kelvor_stoi.stoi(clean=REF, degraded=DEG, fs=8000), lambda: kelvor_stoi.score(REF, DEG, 8000).stoi),
        (lambda: kelvor_stoi.score(REF, DEG, fs_sig=8000), lambda: kelvor_stoi.score(REF, DEG, 8000)),
        (
            lambda: kelvor_stoi.stoi(x=np.stack([REF, DEG]), y=np.stack([DEG, DEG]), fs_sig=8000).tolist(),
            lambda: [kelvor_stoi.stoi(REF, DEG, 8000), 1.0],
        ),
    ],
)
def test_the_reference_keywords_name_the_same_arguments(call, expected):
    assert call() == expected()


SHORT = DEG[:-1000]  # signals of different lengths, the degraded one shorter


@pytest.mark.parametrize(
    "unequal, profile, expected",
    [
        (None, None, None),
        ("refuse", "tool", None),
        ("pad", None, (REF, np.concatenate([SHORT, np.zeros(1000, SHORT.dtype)]))),
        (None, "tool", (REF, np.concatenate([SHORT, np.zeros(1000, SHORT.dtype)]))),
        ("trim", None, (REF[:-1000], SHORT)),
        ("trim", "tool", (REF[:-1000], SHORT)),
    ],
)
def test_signals_of_different_lengths_in_every_front_end(tmp_path, unequal, profile, expected):
    """Refused by default in the reference profile, as the reference
    refuses them, with both lengths and the way to choose; padded in the
    tool profile; padded or trimmed on request: in score, stoi, the
    batches, score_files and kelvor-batch alike."""
    write_wav(tmp_path / "r.wav", REF, 8000)
    write_wav(tmp_path / "d.wav", SHORT, 8000)
    options = {"unequal": unequal, "profile": profile}
    batch_options = [f"--unequal={unequal}"] if unequal else []
    batch_options += ["--profile", profile] if profile else []
    (row,) = run_batch(write_manifest(tmp_path / "m.csv", [{"reference": "r.wav", "degraded": "d.wav"}]), *batch_options)
    calls = [
        lambda: kelvor_stoi.score(REF, SHORT, 8000, **options),
        lambda: kelvor_stoi.stoi(REF, SHORT, 8000, **options),
        lambda: kelvor_stoi.stoi_batch(REF[None], SHORT[None], 8000, **options)[0],
        lambda: kelvor_stoi.score_files(tmp_path / "r.wav", tmp_path / "d.wav", **options),
    ]
    if expected is None:
        for call in calls:
            with pytest.raises(kelvor_stoi.LengthMismatchError, match='46054 samples .* 45054 .*unequal="pad"'):
                call()
        assert row["status"] == "length_mismatch"
        assert "46054 samples" in row["message"] and "--unequal pad or --unequal trim" in row["message"]
        return
    s = kelvor_stoi.score(*expected, 8000, profile=profile)
    assert [call() for call in calls] == [s, s.stoi, s.stoi, s]
    assert row["status"] == "ok" and same_bits(cell_value("stoi", row["stoi"]), s.stoi)
    assert cell_value("seconds", row["seconds"]) == len(expected[0]) / 8000  # the seconds scored


def test_the_lengths_are_compared_before_a_shift():
    # A shift drops the degraded signal's first samples and adds zeros at
    # its end: equal lengths stay equal, unequal ones stay unequal.
    assert kelvor_stoi.score(REF, DEG, 8000, shift=100).stoi > 0
    with pytest.raises(kelvor_stoi.LengthMismatchError):
        kelvor_stoi.score(REF, DEG[:-100], 8000, shift=100)
    with pytest.raises(ValueError, match="unequal"):
        kelvor_stoi.score(REF, DEG, 8000, unequal="cut")


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda: kelvor_stoi.stoi(REF, DEG, 8000, x=REF), "'clean' and 'x'"),
        (lambda: kelvor_stoi.stoi(x=REF, y=DEG, fs=8000, fs_sig=8000), "'fs' and 'fs_sig'"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, fs_sig=8000), "'fs' and 'fs_sig'"),
        (lambda: kelvor_stoi.stoi(x=REF, fs_sig=8000), "missing required argument 'degraded' \\(or 'y'\\)"),
        (lambda: kelvor_stoi.score(REF, DEG), "missing required argument 'fs'"),
    ],
)
def test_an_argument_given_twice_or_not_at_all_is_a_type_error(call, match):
    with pytest.raises(TypeError, match=match):
        call()


@pytest.mark.parametrize(
    "call, keyword",
    [
        (lambda: kelvor_stoi.score(REF, DEG, 8000, align="no"), "align"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, align=2), "align"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, double_table="yes"), "double_table"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, shift=True), "shift"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, shift=np.True_), "shift"),
        (lambda: kelvor_stoi.score(REF, DEG, 8000, profile="tool\0junk"), "profile"),
        (lambda: kelvor_stoi.score_files("r.wav", "d.wav", channel=np.True_), "channel"),
        (lambda: kelvor_stoi.stoi(REF, DEG, 8000, "no"), "extended"),
        (lambda: kelvor_stoi.stoi_batch(REF[None], DEG[None], 8000, "no"), "extended"),
        (lambda: kelvor_stoi.score_many([(REF, DEG, 8000)], return_exceptions="no"), "return_exceptions"),
        (lambda: kelvor_stoi.score_many([(REF, DEG, 8000)], jobs=True), "jobs"),
        (lambda: kelvor_stoi.score_many([(REF, DEG, 8000)], progress="yes"), "progress"),
        (lambda: importlib.import_module("kelvor_stoi.torch").StoiLoss(8000, extended="no"), "extended"),
    ],
)
def test_strings_and_booleans_are_refused_where_they_mean_something_else(call, keyword):
    with pytest.raises(ValueError, match=f"^{keyword}"):
        call()


def test_flags_take_exactly_the_flag_values():
    found = kelvor_stoi.score(REF, DEG, 8000, align=True)
    for value in (1, np.True_, np.int64(1)):
        assert kelvor_stoi.score(REF, DEG, 8000, align=value) == found
    for value in (0, False, np.False_):
        assert kelvor_stoi.score(REF, DEG, 8000, align=value) == kelvor_stoi.score(REF, DEG, 8000)


def sparse_wav(path, rate, frames, head):
    """A 16-bit WAV file of `frames` samples: head, then a hole of zeros
    that takes no room on disk."""
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    size = frames * 2
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + size) + b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt)
        f.write(b"data" + struct.pack("<I", size) + head.astype("<i2").tobytes())
        f.truncate(44 + size)


# Three hours at 48 kHz: some 20 s of scoring on a fast machine, read in
# place (a broadcast array) or from a sparse file, so neither memory nor
# disk grows with it.
LONG = 3 * 3600 * 48000


@pytest.mark.parametrize("call", ["score", "details", "score_files"])
def test_ctrl_c_ends_a_long_single_pair_call(tmp_path, call):
    sparse_wav(tmp_path / "long.wav", 48000, LONG, np.tile(REF, 12))
    script = textwrap.dedent(
        f"""
        import os, signal, sys, threading, time
        import numpy as np
        import kelvor_stoi
        x = np.broadcast_to(np.int16(1000), ({LONG},))
        calls = {{
            "score": lambda: kelvor_stoi.score(x, x, 48000),
            "details": lambda: kelvor_stoi.details(x, x, 48000),
            "score_files": lambda: kelvor_stoi.score_files(sys.argv[1], sys.argv[1]),
        }}
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            calls["{call}"]()
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "long.wav")], capture_output=True, text=True, timeout=300
    )
    words = done.stdout.split()
    assert words[:1] == ["interrupted"], done.stdout + done.stderr
    # A poll ten times a second ends it at once; the whole pair takes tens
    # of seconds.
    assert float(words[1]) < 5.0, done.stdout


PAIRS = [(REF, DEG, 8000)] * 3


@pytest.fixture()
def no_tqdm(monkeypatch):
    """tqdm as if it were not installed."""
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)


def three_listed(folder):
    sparse_wav(folder / "ref.wav", 8000, REF.shape[0], REF)
    sparse_wav(folder / "deg.wav", 8000, DEG.shape[0], DEG)
    return write_manifest(folder / "m.csv", [{"reference": "ref.wav", "degraded": "deg.wav"}] * 3)


@pytest.mark.parametrize("tqdm", [True, False])
@pytest.mark.parametrize(
    "call, name, unit",
    [
        (lambda p, folder: kelvor_stoi.score_many(PAIRS, progress=p), "score_many", "pair"),
        (
            lambda p, folder: kelvor_stoi.score_batch(np.stack([REF] * 3), np.stack([DEG] * 3), 8000, progress=p),
            "score_batch",
            "item",
        ),
        (lambda p, folder: kelvor_stoi.score_manifest(three_listed(folder), progress=p), "score_manifest", "pair"),
    ],
)
def test_progress_is_shown_when_asked_for_and_quiet_otherwise(request, tmp_path, capsys, call, name, unit, tqdm):
    if not tqdm:
        request.getfixturevalue("no_tqdm")
    call(None, tmp_path)  # standard error is no terminal here
    call(False, tmp_path)
    assert capsys.readouterr().err == ""
    call(True, tmp_path)
    err = capsys.readouterr().err
    assert f"{name}: " in err and "3/3" in err, err
    if not tqdm:
        assert err == f"{name}: 3/3 {unit}s (100%), 0 s\n"


def test_an_exception_of_the_bar_part_way_ends_the_call(monkeypatch):
    from kelvor_stoi import _progress

    class Broken:
        def __init__(self, total, *args):
            self.total = total

        def show(self, done):
            if done < self.total:
                raise RuntimeError("bar")

        def close(self):
            pass

    monkeypatch.setattr(_progress, "_Line", Broken)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(RuntimeError, match="bar"):
        kelvor_stoi.score_many(PAIRS * 30, jobs=1, progress=True)


def test_progress_of_a_manifest_on_dask_counts_the_pairs_of_the_tasks_done(tmp_path, capsys, no_tqdm):
    from kelvor_stoi.dask import score_manifest

    table = score_manifest(three_listed(tmp_path), partition_size=2, progress=True)
    assert list(table.status) == ["ok"] * 3
    assert capsys.readouterr().err.splitlines()[-1].startswith("score_manifest: 3/3 pairs (100%)")
