"""Every failure is a Python exception of its kind, with the message of the
library or the front-end core and kelvor-batch's status code."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_stoi
from conftest import demo_pair, write_wav

REF, DEG = demo_pair()
REF3, DEG3 = REF[:24000], DEG[:24000]
NOISE = np.random.default_rng(1).normal(0, 0.1, 24000)


def with_sample(x, value):
    y = x.astype(np.float64)
    y[5000] = value
    return y


# (arguments of score, message fragment, status or None for a check made
# before the library is called)
BAD_SCORES = {
    "two_dimensional": ((REF3.reshape(2, -1), DEG3, 8000), {}, "1-D", None),
    "int32_samples": ((REF3.astype(np.int32), DEG3, 8000), {}, "int16 or floating point", None),
    "complex_samples": ((NOISE + 0j, NOISE, 16000), {}, "int16 or floating point", None),
    "bool_samples": ((NOISE > 0, NOISE > 0, 16000), {}, "int16 or floating point", None),
    "rate_zero": ((NOISE, NOISE, 0), {}, "sample rate", "bad_rate"),
    "rate_negative": ((NOISE, NOISE, -16000), {}, "sample rate", "bad_rate"),
    "rate_fraction": ((NOISE, NOISE, 16000.5), {}, "sample rate", "bad_rate"),
    "rate_text": ((NOISE, NOISE, "16000"), {}, "sample rate", "bad_rate"),
    "rate_bool": ((NOISE, NOISE, True), {}, "sample rate", "bad_rate"),
    "rate_one": ((NOISE, NOISE, 1), {}, "Sample rate", "bad_rate"),
    "rate_too_fine": ((NOISE, NOISE, 9999), {}, "Sample rate", "bad_rate"),
    "tool_profile_at_16k": ((NOISE, NOISE, 16000), {"profile": "tool"}, "tool profile", "profile"),
    "tool_profile_floats": ((REF3 / 32768.0 + 1e-7, DEG3 / 32768.0, 8000), {"profile": "tool"}, "tool profile", "profile"),
    "unknown_profile": ((REF3, DEG3, 8000), {"profile": "pystoi"}, "profile=", None),
    "nan_sample": ((with_sample(NOISE, np.nan), NOISE, 16000), {}, "not a finite number", "not_finite"),
    "infinite_sample": ((NOISE, with_sample(NOISE, -np.inf), 16000), {}, "not a finite number", "not_finite"),
    "silent_reference": ((np.zeros(24000, np.int16), DEG3, 8000), {}, "digital silence", "silent"),
    "too_short": ((REF[6000:9000], DEG[6000:9000], 8000), {}, "speech", "too_short"),
    "empty": ((np.zeros(0, np.int16), np.zeros(0, np.int16), 8000), {}, "no samples", "too_short"),
    "shift_too_large": ((REF3, DEG3, 8000), {"shift": 901}, "901", "bad_shift"),
    "shift_negative": ((NOISE, NOISE, 16000), {"shift": -1}, "-1", "bad_shift"),
    "align_with_shift": ((REF3, DEG3, 8000), {"align": True, "shift": 10}, "shift", "conflict"),
}


@pytest.mark.parametrize("case", BAD_SCORES)
def test_bad_input_raises_value_error(case):
    args, kwargs, fragment, status = BAD_SCORES[case]
    for call in (kelvor_stoi.score, kelvor_stoi.details):
        with pytest.raises(ValueError, match=fragment) as raised:
            call(*args, **kwargs)
        assert getattr(raised.value, "status", None) == status
        if status is not None:
            assert isinstance(raised.value, kelvor_stoi.KelvorError)
            assert type(raised.value) is kelvor_stoi._errors.error_class(status)


def test_every_status_has_a_class_that_is_also_its_builtin():
    kinds = {"input": ValueError, "memory": MemoryError, "file": OSError, "missing": FileNotFoundError}
    for code, name, kind, text in kelvor_stoi._core.STATUSES[1:]:
        cls = kelvor_stoi._errors.error_class(name)
        assert issubclass(cls, kelvor_stoi.KelvorError) and issubclass(cls, kinds.get(kind, RuntimeError))
        assert (cls.status, cls.code) == (name, code)
        assert getattr(kelvor_stoi, cls.__name__) is cls
        assert kelvor_stoi._errors.error_class(code) is cls
    # A status the table does not hold is the caller's fault, never a
    # class guessed for it.
    for unknown in ("fialed", "ok", -999, 0):
        with pytest.raises(LookupError):
            kelvor_stoi._errors.error_class(unknown)
    assert kelvor_stoi.TooShortError.__name__ == "TooShortError"
    assert issubclass(kelvor_stoi.MissingError, FileNotFoundError)


def test_score_many_names_bad_pairs_and_jobs():
    with pytest.raises(ValueError, match=r"pairs\[1\]: clean: expected a 1-D"):
        kelvor_stoi.score_many([(REF3, DEG3, 8000), (REF3.reshape(2, -1), DEG3, 8000)])
    with pytest.raises(ValueError, match=r"pairs\[0\]: expected a \(clean, degraded, fs\)"):
        kelvor_stoi.score_many([(REF3, DEG3)])
    for jobs in (0, -1, 2.5, "2"):
        with pytest.raises(ValueError, match="jobs"):
            kelvor_stoi.score_many([(REF3, DEG3, 8000)], jobs=jobs)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("files")
    write_wav(d / "ref.wav", REF3, 8000)
    write_wav(d / "ref16.wav", np.zeros(16000, np.int16) + 1, 16000)
    (d / "text.wav").write_text("not audio at all, just some text long enough to be read\n" * 10)
    write_wav(d / "stereo.wav", np.stack([REF3, DEG3], axis=1), 8000)
    # Cut short: the header states 24,000 frames, 12,000 remain.
    (d / "cut.wav").write_bytes((d / "ref.wav").read_bytes()[: 44 + 24000])
    # A sparse raw file one sample longer than the reference profile takes
    # (2^36 samples; it streams, so only the length is looked at).
    with open(d / "long.pcm", "wb") as f:
        f.truncate(2 * (2**36 + 1))
    return d


# (reference, degraded, exception, status)
BAD_FILES = {
    "missing": ("nothing.wav", "ref.wav", FileNotFoundError, "missing"),
    "directory": (".", "ref.wav", OSError, "unreadable"),
    "not_audio": ("text.wav", "ref.wav", OSError, "format"),
    "cut_short": ("cut.wav", "ref.wav", OSError, "format"),
    "stereo": ("stereo.wav", "stereo.wav", ValueError, "channels"),
    "rates_differ": ("ref.wav", "ref16.wav", ValueError, "rate_mismatch"),
    "too_long": ("long.pcm", "long.pcm", ValueError, "too_long"),
}


@pytest.mark.parametrize("case", BAD_FILES)
def test_file_failures_raise_their_exception(files, case):
    reference, degraded, error, status = BAD_FILES[case]
    reference = os.path.join(files, reference)
    with pytest.raises(error) as raised:
        kelvor_stoi.score_files(reference, os.path.join(files, degraded))
    assert raised.value.status == status
    if status == "rate_mismatch":
        return
    assert f"'{reference}'" in str(raised.value)
    with pytest.raises(error) as raised:
        kelvor_stoi.read_audio(reference)
    assert raised.value.status == status


def test_running_out_of_memory_raises_memory_error():
    # A process whose address space ends 4 MB above what it uses: a pair of
    # 100 s, which the library keeps at 10 kHz between its passes (16 MB),
    # cannot be held. (The arrays themselves are read where they lie.)
    script = textwrap.dedent(
        """
        import resource
        import numpy as np
        import kelvor_stoi
        x = np.ones(800_000, np.int16)
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), resource.RLIM_INFINITY))
        try:
            kelvor_stoi.score(x, x, 8000)
        except MemoryError as e:
            print("MemoryError", e.status)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ)
    assert done.stdout.strip() == "MemoryError no_memory", done.stdout + done.stderr
