"""score, stoi, score_files and score_many against the C library, the tool
and kelvor-batch, at every rate and sample type; input conversions."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kelvor_stoi
from conftest import (
    SOURCE,
    as_dtype,
    assert_score_is_row,
    at_rate,
    demo_pair,
    run_batch,
    run_tool,
    write_manifest,
    write_wav,
)

REF, DEG = demo_pair()
# 3 s of the demo pair, the degraded side lagging by 320 samples (40 ms).
REF3, DEG3 = REF[:24000], DEG[:24000]

# Pairs scored through kelvor-batch --profile tool (whose rows are the C
# library's bits and the tool's numbers): (name, clean, degraded, rate,
# shift, align).
EIGHT_K = [
    ("demo_align", REF, DEG, 8000, 0, True),
    ("demo_shift", REF, DEG, 8000, 320, False),
    ("demo_plain", REF, DEG, 8000, 0, False),
    ("unequal_lengths", REF[:30000], DEG[1000:29000], 8000, 0, True),
]
RATES = [8000, 10000, 16000, 44100, 48000]
DTYPES = ["int16", "float32", "float64"]


def rate_pair(rate, dtype):
    return as_dtype(at_rate(REF3, rate), dtype), as_dtype(at_rate(DEG3, rate), dtype)


def manifest_rows(folder, cases):
    rows = []
    for name, clean, degraded, rate, shift, align in cases:
        write_wav(folder / f"{name}_ref.wav", clean, rate)
        write_wav(folder / f"{name}_deg.wav", degraded, rate)
        rows.append(
            {
                "reference": f"{name}_ref.wav",
                "degraded": f"{name}_deg.wav",
                "shift": str(shift) if shift else "",
                "align": "1" if align else "",
            }
        )
    return rows


@pytest.fixture(scope="module")
def batch_rows(tmp_path_factory):
    """kelvor-batch's row for every pair of this module, by name: the tool
    profile's for the 8 kHz pairs (and "ref_" + name for the reference
    profile's), the reference profile's for the others."""
    folder = tmp_path_factory.mktemp("pairs")
    cases = [(f"{rate}_{dtype}", *rate_pair(rate, dtype), rate, 0, True) for rate in RATES for dtype in DTYPES]
    cases.append(("16k_shift", *rate_pair(16000, "float32"), 16000, 640, False))
    cases += [("ref_" + name, *rest) for name, *rest in EIGHT_K]
    out = run_batch(write_manifest(folder / "manifest.csv", manifest_rows(folder, cases)), "--unequal", "pad")
    tool = run_batch(write_manifest(folder / "tool.csv", manifest_rows(folder, EIGHT_K)), "--profile", "tool")
    return folder, {row["reference"][: -len("_ref.wav")]: row for row in out + tool}


@pytest.mark.parametrize("name,clean,degraded,rate,shift,align", EIGHT_K, ids=[c[0] for c in EIGHT_K])
def test_8k_int16_has_the_bits_of_the_library_and_the_tool(batch_rows, name, clean, degraded, rate, shift, align):
    folder, rows = batch_rows
    s = kelvor_stoi.score(clean, degraded, rate, align=align, shift=shift, profile="tool")
    assert_score_is_row(s, rows[name])
    if not (align or shift):
        assert (
            kelvor_stoi.stoi(clean, degraded, rate, profile="tool"),
            kelvor_stoi.stoi(clean, degraded, rate, True, profile="tool"),
        ) == s[:2]
    options = ["-a"] if align else ([f"-s{shift}"] if shift else [])
    printed = run_tool(folder, *options, f"{name}_ref.wav", f"{name}_deg.wav")
    assert printed == (f"{s.stoi:.4g}", f"{s.estoi:.4g}")
    # The reference profile on the same samples, as int16 or as floats.
    reference = kelvor_stoi.score(clean, degraded, rate, align=align, shift=shift, unequal="pad")
    assert_score_is_row(reference, rows["ref_" + name])
    floats = kelvor_stoi.score(clean / 32768.0, degraded / 32768.0, rate, align=align, shift=shift, unequal="pad")
    assert floats == reference


def test_double_table_is_the_tools_r(batch_rows):
    folder, _ = batch_rows
    s = kelvor_stoi.score(REF, DEG, 8000, align=True, double_table=True, profile="tool")
    assert run_tool(folder, "-a", "-r", "demo_align_ref.wav", "demo_align_deg.wav") == (
        f"{s.stoi:.4g}",
        f"{s.estoi:.4g}",
    )
    assert s.stoi != kelvor_stoi.score(REF, DEG, 8000, align=True, profile="tool").stoi


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("rate", RATES)
def test_every_rate_and_sample_type_scores_as_kelvor_batch(batch_rows, rate, dtype):
    folder, rows = batch_rows
    clean, degraded = rate_pair(rate, dtype)
    row = rows[f"{rate}_{dtype}"]
    assert_score_is_row(kelvor_stoi.score(clean, degraded, rate, align=True), row)
    files = kelvor_stoi.score_files(folder / f"{rate}_{dtype}_ref.wav", folder / f"{rate}_{dtype}_deg.wav", align=True)
    assert_score_is_row(files, row)
    # The delay of 40 ms is found at every rate (in 10 kHz steps elsewhere).
    assert files.delay_ms == 40.0


def test_shift_is_in_samples_of_the_rate(batch_rows):
    _, rows = batch_rows
    s = kelvor_stoi.score(*rate_pair(16000, "float32"), 16000, shift=640)
    assert_score_is_row(s, rows["16k_shift"])
    assert (s.delay, s.delay_ms) == (640, 40.0)


FLOAT = at_rate(REF3, 16000), at_rate(DEG3, 16000)
F32 = FLOAT[0].astype(np.float32), FLOAT[1].astype(np.float32)
# (given, equivalent): arguments that must score the same bits.
EQUIVALENT = {
    "float32_widened_exactly": ((*F32, 16000), (F32[0].astype(np.float64), F32[1].astype(np.float64), 16000)),
    "strided_view": ((np.repeat(FLOAT[0], 2)[::2], FLOAT[1], 16000), (*FLOAT, 16000)),
    "lists": ((FLOAT[0].tolist(), FLOAT[1].tolist(), 16000), (*FLOAT, 16000)),
    "rate_as_float": ((*FLOAT, 16000.0), (*FLOAT, 16000)),
    "rate_as_numpy_integer": ((*FLOAT, np.int64(16000)), (*FLOAT, 16000)),
    "big_endian_int16": ((REF3.astype(">i2"), DEG3.astype(">i2"), 8000), (REF3, DEG3, 8000)),
    # Read where they lie: views of every sample type, any strides.
    "float32_strided_view": ((np.repeat(F32[0], 2)[::2], F32[1], 16000), (*F32, 16000)),
    "reversed_views": ((FLOAT[0][::-1], FLOAT[1][::-1], 16000), (FLOAT[0][::-1].copy(), FLOAT[1][::-1].copy(), 16000)),
    "int16_strided_view": ((np.repeat(REF3, 3)[::3], DEG3, 8000), (REF3, DEG3, 8000)),
    "int16_as_value_over_32768": ((REF3, DEG3, 16000), (REF3 / 32768.0, DEG3 / 32768.0, 16000)),
    # Converted first: another byte order, another floating type.
    "big_endian_float32": ((F32[0].astype(">f4"), F32[1].astype(">f4"), 16000), (*F32, 16000)),
    "float16_widened_exactly": (
        (F32[0].astype(np.float16), F32[1].astype(np.float16), 16000),
        (F32[0].astype(np.float16).astype(np.float64), F32[1].astype(np.float16).astype(np.float64), 16000),
    ),
}


@pytest.mark.parametrize("case", EQUIVALENT)
def test_equivalent_inputs_give_the_same_bits(case):
    given, equivalent = EQUIVALENT[case]
    assert kelvor_stoi.score(*given) == kelvor_stoi.score(*equivalent)


def test_views_give_the_same_details_and_tool_scores():
    view = kelvor_stoi.details(np.repeat(F32[0], 2)[::2], F32[1], 16000, align=True)
    whole = kelvor_stoi.details(F32[0].astype(np.float64), F32[1].astype(np.float64), 16000, align=True)
    assert view.scores == whole.scores
    assert np.array_equal(view.stoi_correlation, whole.stoi_correlation)
    assert np.array_equal(view.kept_frames, whole.kept_frames)
    strided = kelvor_stoi.score(np.repeat(REF3, 2)[::2], DEG3, 8000, align=True, profile="tool")
    assert strided == kelvor_stoi.score(REF3, DEG3, 8000, align=True, profile="tool")


def test_long_float32_arrays_are_scored_without_a_copy():
    # Ten minutes at 16 kHz (37 MB per float32 array) in a process of its
    # own, whose peak resident memory is reset once the arrays are made: a
    # copy of either array (77 MB as float64) would show.
    script = textwrap.dedent(
        """
        import sys
        import numpy as np
        import kelvor_stoi
        def kb(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key))
        ref, _ = kelvor_stoi.read_audio(sys.argv[1] + "/ref.wav")
        deg, _ = kelvor_stoi.read_audio(sys.argv[1] + "/deg.wav")
        kelvor_stoi.score(ref, deg, 16000)
        clean = np.resize((ref / 32768.0).astype(np.float32), 16000 * 600)
        degraded = np.resize((deg / 32768.0).astype(np.float32), 16000 * 600)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = kb("VmRSS:")
        kelvor_stoi.score(clean, degraded, 16000, align=True)
        print(kb("VmHWM:") - before)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(SOURCE / "samples")], capture_output=True, text=True, env=os.environ
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 16 * 1024


MANY = [
    (REF, DEG, 8000),
    (REF3, DEG3, 8000),
    (*rate_pair(16000, "float32"), 16000),
    (*rate_pair(10000, "float64"), 10000),
    (*rate_pair(44100, "int16"), 44100),
] * 2


@pytest.mark.parametrize("jobs", [1, 3, None])
def test_score_many_equals_a_loop_in_order(jobs):
    expected = [kelvor_stoi.score(c, d, fs, align=True) for c, d, fs in MANY]
    assert kelvor_stoi.score_many(iter(MANY), jobs=jobs, align=True) == expected


def test_score_many_failures_raise_or_stay_in_place():
    pairs = [MANY[0], (np.zeros(len(DEG3), np.int16), DEG3, 8000), MANY[2], (REF3[:2000], DEG3[:2000], 8000)]
    with pytest.raises(ValueError) as raised:
        kelvor_stoi.score_many(pairs, jobs=2)
    assert raised.value.status == "silent"
    if sys.version_info >= (3, 11):
        assert raised.value.__notes__ == ["in pair 1 of score_many"]
    results = kelvor_stoi.score_many(pairs, jobs=2, return_exceptions=True)
    assert results[0] == kelvor_stoi.score(*MANY[0])
    assert results[2] == kelvor_stoi.score(*MANY[2])
    assert [type(results[1]), results[1].status] == [kelvor_stoi.SilentError, "silent"]
    assert [type(results[3]), results[3].status] == [kelvor_stoi.TooShortError, "too_short"]


def test_score_many_stops_when_a_signal_handler_raises():
    def stop(signum, frame):
        raise InterruptedError

    previous = signal.signal(signal.SIGUSR1, stop)
    try:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        start = time.monotonic()
        with pytest.raises(InterruptedError):
            kelvor_stoi.score_many([(REF, DEG, 8000)] * 400, jobs=1, align=True)  # several seconds
        assert time.monotonic() - start < 2.0
    finally:
        signal.signal(signal.SIGUSR1, previous)
