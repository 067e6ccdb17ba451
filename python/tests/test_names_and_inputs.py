"""Files the package must neither wait on nor misread: named pipes, paths
with a NUL byte or bytes that are not UTF-8, signals so large the scores
overflow, multi-channel files (named by the Python argument), and Dask
arguments that only a worker would have refused."""
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_stoi
from conftest import demo_pair, write_wav
from kelvor_stoi.dask import submit_manifest

REF, DEG = demo_pair()


@pytest.fixture()
def folder(pair_folder):
    return pair_folder


def test_a_named_pipe_is_refused_without_waiting(folder):
    os.mkfifo(folder / "pipe.wav")
    # In a process of its own: a call that waits must not hold the suite.
    script = textwrap.dedent(
        """
        import sys, kelvor_stoi
        for call in (lambda: kelvor_stoi.read_audio(sys.argv[1]),
                     lambda: kelvor_stoi.score_files(sys.argv[2], sys.argv[1])):
            try:
                call()
            except OSError as e:
                print(type(e).__name__, e.status)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(folder / "pipe.wav"), str(folder / "ref.wav")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.stdout.split("\n")[:2] == ["UnreadableError unreadable"] * 2, done.stdout + done.stderr


@pytest.mark.parametrize("name", ["ref.wav\0.pcm", b"ref.wav\0.pcm"])
def test_a_nul_byte_in_a_path_is_refused(folder, name):
    path = os.path.join(os.fsencode(folder) if isinstance(name, bytes) else str(folder), name)
    with pytest.raises(ValueError, match="null byte"):
        kelvor_stoi.read_audio(path)
    with pytest.raises(ValueError, match="null byte"):
        kelvor_stoi.score_files(path, folder / "deg.wav")


def test_paths_that_are_not_utf8_are_read(folder):
    raw = os.path.join(os.fsencode(folder), b"caf\xe9 \xff.wav")
    os.link(folder / "deg.wav", raw)
    for path in (raw, os.fsdecode(raw)):
        samples, rate = kelvor_stoi.read_audio(path)
        assert rate == 8000 and np.array_equal(samples, DEG)
        assert kelvor_stoi.score_files(folder / "ref.wav", path) == kelvor_stoi.score(REF, DEG, 8000)
    missing = os.fsdecode(os.path.join(os.fsencode(folder), b"\xfe.wav"))
    with pytest.raises(FileNotFoundError, match=r"\\xfe\.wav"):
        kelvor_stoi.read_audio(missing)


def test_samples_far_from_full_scale_score_as_at_full_scale_never_nan():
    # Near the largest float the squares would overflow, far below full
    # scale the reference's small constant would swamp the signal: both are
    # scaled back by a power of two first.
    normal = kelvor_stoi.score(REF, DEG, 8000)
    for factor in (1e38, 1e-40):
        scaled = kelvor_stoi.score(REF / 32768.0 * factor, DEG / 32768.0 * factor, 8000)
        assert abs(scaled.stoi - normal.stoi) < 1e-12 and abs(scaled.estoi - normal.estoi) < 1e-12
    tiny = kelvor_stoi.details(REF / 32768.0 * 1e-40, DEG / 32768.0 * 1e-40, 8000)
    assert np.all(np.isfinite(tiny.stoi_correlation)) and np.all(np.isfinite(tiny.estoi_segment))


def test_a_multi_channel_file_names_the_python_argument(folder):
    write_wav(folder / "stereo.wav", np.stack([REF, DEG], axis=1), 8000)
    with pytest.raises(ValueError, match=r"choose one with channel=N") as raised:
        kelvor_stoi.read_audio(folder / "stereo.wav")
    assert raised.value.status == "channels"


@pytest.mark.parametrize("raw_rate", [10**12, 2**31, 0])
def test_dask_checks_raw_rate_before_submitting(folder, raw_rate):
    (folder / "m.csv").write_text("reference,degraded\nref.wav,deg.wav\n")
    # No client is needed: the arguments are refused first.
    with pytest.raises(ValueError, match="raw_rate"):
        submit_manifest(folder / "m.csv", None, raw_rate=raw_rate)


def test_options_and_pairs_cross_by_name_and_pickle_whole():
    core = kelvor_stoi._core
    options = core.PairOptions(align=True, profile="tool", channel=2)
    assert list(options.as_dict()) == list(core.PairOptions.FIELDS)
    assert options.as_dict() == {**core.PairOptions().as_dict(), "align": True, "profile": "tool", "channel": 2}
    assert pickle.loads(pickle.dumps(options)) == options != core.PairOptions()
    for bad in ({"channel": True}, {"channel": 65536}, {"raw_rate": 0}, {"profile": "default"}, {"shift": 2.5}):
        name = next(iter(bad))
        with pytest.raises(ValueError, match=f"^{name}="):
            core.PairOptions(**bad)
    with pytest.raises(TypeError, match="chanel"):
        core.PairOptions(chanel=1)
    pair = core.PairSpec()
    pair.reference, pair.degraded, pair.metadata = os.fsdecode(b"caf\xe9.wav"), "d.wav", ("x", os.fsdecode(b"\xff"))
    pair.status, pair.facts = kelvor_stoi.MissingError.code, "gone"
    back = pickle.loads(pickle.dumps(pair))
    assert (back.reference, back.metadata, back.status, back.facts) == (pair.reference, pair.metadata, pair.status, "gone")
