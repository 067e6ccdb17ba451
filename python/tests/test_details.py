"""details: consistent with the scores and the frame grid; plot_details
draws them (and renders the demo pair to a PNG for a person to look at)."""
import json
import os

import numpy as np
import pytest

import kelvor_stoi
from conftest import as_dtype, at_rate, demo_pair, run_batch, write_manifest, write_wav

REF, DEG = demo_pair()
CASES = {
    "8k_int16_align_tool": (REF, DEG, 8000, {"align": True, "profile": "tool"}),
    "8k_int16_double_table_tool": (REF, DEG, 8000, {"shift": 320, "double_table": True, "profile": "tool"}),
    "8k_int16_align": (REF, DEG, 8000, {"align": True}),
    "16k_float32": (as_dtype(at_rate(REF, 16000), np.float32), as_dtype(at_rate(DEG, 16000), np.float32), 16000, {}),
    "10k_float64_align": (at_rate(REF, 10000), at_rate(DEG, 10000), 10000, {"align": True}),
}


def in_order(values):
    """The sum in memory order, one addition at a time."""
    total = 0.0
    for v in np.ravel(values):
        total += float(v)
    return total


def stoi_sum(d, options):
    """The STOI correlations summed as the profile sums them: the tool's in
    memory order (band by band), the reference's segment by segment."""
    if options.get("profile") == "tool":
        return in_order(d.stoi_correlation)
    return in_order([in_order(segment) for segment in d.stoi_correlation.T])


@pytest.mark.parametrize("case", CASES)
def test_details_means_are_the_scores(case):
    clean, degraded, fs, options = CASES[case]
    d = kelvor_stoi.details(clean, degraded, fs, **options)
    assert d.scores == kelvor_stoi.score(clean, degraded, fs, **options)
    m = d.segment_count
    assert d.stoi_correlation.shape == (15, m)
    assert stoi_sum(d, options) / (15 * m) == d.scores.stoi
    assert in_order(d.estoi_segment) / m == d.scores.estoi


@pytest.mark.parametrize("case", CASES)
def test_segments_lie_on_the_kept_frames(case):
    clean, degraded, fs, options = CASES[case]
    d = kelvor_stoi.details(clean, degraded, fs, **options)
    kept = d.kept_frames
    assert np.all(np.diff(kept) > 0) and 0 <= kept[0] and kept[-1] < d.frame_count
    # k kept frames rebuild a signal of k - 1 frames, which holds k - 30
    # segments of 30 (the tool's chain: one fewer); segment m spans kept
    # frames m .. m + 29.
    m = d.segment_count
    assert m == kept.shape[0] - (31 if options.get("profile") == "tool" else 30)
    np.testing.assert_array_equal(d.segment_start, kept[:m] * 128 / 10000.0)
    np.testing.assert_array_equal(d.segment_end, (kept[29 : 29 + m] * 128 + 256) / 10000.0)
    np.testing.assert_allclose(d.band_centre_hz, 150.0 * 2.0 ** (np.arange(15) / 3.0), rtol=1e-12)
    assert np.all(np.abs(d.stoi_correlation) <= 1 + 1e-12) and np.all(np.abs(d.estoi_segment) <= 1 + 1e-12)


def test_details_files_load_back_as_the_details(pair_folder):
    manifest = write_manifest(pair_folder / "m.csv", [{"reference": "ref.wav", "degraded": "deg.wav", "align": "1"}])
    run_batch(manifest, "--details", str(pair_folder / "details"))
    path = pair_folder / "details" / "0.json"
    loaded = kelvor_stoi.load_details(path)
    d = kelvor_stoi.details(REF, DEG, 8000, align=True)
    # The scores, the delay and the frame grid to the last bit; the arrays
    # to their 4 written decimals.
    assert loaded.scores == d.scores
    assert loaded.frame_count == d.frame_count
    for name in ("band_centre_hz", "segment_start", "segment_end", "kept_frames"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(d, name), err_msg=name)
    for name in ("stoi_correlation", "estoi_segment"):
        np.testing.assert_allclose(getattr(loaded, name), getattr(d, name), rtol=0, atol=5.000001e-5, err_msg=name)
    # Compact: under 8 bytes per value of the arrays (the first format
    # took about 21).
    values = 16 * d.segment_count
    assert os.path.getsize(path) < 8 * values + 2000
    record = json.loads(path.read_text())
    assert (record["row"], record["reference"], record["degraded"]) == (0, "ref.wav", "deg.wav")


def test_first_format_files_load_exactly(tmp_path):
    d = kelvor_stoi.details(REF, DEG, 8000, align=True)
    record = {"row": 3, "reference": "a.wav", "degraded": "b.wav", "stoi": d.scores.stoi, "estoi": d.scores.estoi}
    for name in ("band_centre_hz", "stoi_correlation", "estoi_segment", "segment_start", "segment_end", "kept_frames"):
        record[name] = getattr(d, name).tolist()
    record["frame_count"] = d.frame_count
    (tmp_path / "3.json").write_text(json.dumps(record))
    loaded = kelvor_stoi.load_details(tmp_path / "3.json")
    assert (loaded.scores.stoi, loaded.scores.estoi) == (d.scores.stoi, d.scores.estoi)
    for name in ("band_centre_hz", "stoi_correlation", "estoi_segment", "segment_start", "segment_end", "kept_frames"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(d, name), err_msg=name)


@pytest.mark.parametrize(
    "content, message",
    [
        ("not json", "no JSON object"),
        ('{"stoi": 0.5}', "no stoi_correlation"),
        ('{"details_format": 9, "stoi_correlation": [], "kept_frames": []}', "newer"),
        ('{"stoi_correlation": [[0.1, 0.2], [0.3]], "kept_frames": []}', "differ in length"),
        ('{"stoi_correlation": [[0.1]], "estoi_segment": [0.1], "kept_frames": [[0, 5]]}', "cannot hold"),
        ('{"stoi_correlation": [[0.1]], "estoi_segment": [0.1], "kept_frames": [[0, 1000000000]]}', "more frames"),
        ('{"stoi_correlation": [], "kept_frames": [' + "[" * 100000, "nested too deeply"),
        ({"frame_count": [1]}, "frame_count is not a whole number"),
        ({"stoi": {}}, "stoi is not a number"),
        ({"delay_ms": [1]}, "delay_ms is not a number"),
        ({"delay_samples": True}, "delay_samples is not a whole number"),
        ({"estoi_segment": [[0.5]]}, "estoi_segment is not a list of numbers"),
        ({"kept_frames": [[0, 29], [10, 12]]}, "not .first, last., ascending"),
        ({"kept_frames": [[0, 45]]}, "more frames than its 40 frames"),
        ({"band_centre_hz": [150.0, 189.0]}, "band_centre_hz has 2 values for 1 bands"),
    ],
)
def test_files_that_are_not_details_are_refused(tmp_path, content, message):
    if isinstance(content, dict):
        # A valid file of one segment with one field broken.
        content = json.dumps({"details_format": 2, "stoi_correlation": [[0.5]], "estoi_segment": [0.5],
                              "band_centre_hz": [150.0], "kept_frames": [[0, 29]], "frame_count": 40, **content})
    (tmp_path / "x.json").write_text(content)
    with pytest.raises(ValueError, match=f"^{tmp_path / 'x.json'}: .*{message}"):
        kelvor_stoi.load_details(tmp_path / "x.json")


@pytest.fixture(scope="module")
def demo_details():
    return kelvor_stoi.details(REF, DEG, 8000, align=True, profile="tool")


def test_plot_of_the_demo_pair(demo_details, tmp_path):
    import matplotlib.figure

    fig = kelvor_stoi.plot_details(demo_details)
    assert isinstance(fig, matplotlib.figure.Figure)
    heat, curves, colour_bar = fig.axes
    assert heat.get_title().startswith("STOI 0.8735   ESTOI 0.6411")
    assert curves.get_shared_x_axes().joined(heat, curves)
    assert [t.get_text() for t in heat.get_yticklabels()][:3] == ["150", "189", "238"]
    # The render a person looks at: the build folder under CTest.
    folder = os.environ.get("KELVOR_ARTIFACT_DIR", str(tmp_path))
    path = os.path.join(folder, "demo_details.png")
    fig.savefig(path, dpi=100)
    assert os.path.getsize(path) > 10000


def test_plot_into_given_axes(demo_details):
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1)
    assert kelvor_stoi.plot_details(demo_details, ax=(top, bottom)) is fig
    assert len(bottom.get_lines()) >= 2
    fig, single = plt.subplots()
    assert kelvor_stoi.plot_details(demo_details, ax=single) is fig
    assert len(fig.axes) == 2  # the heat map and its colour bar
    with pytest.raises(ValueError, match="pair of Axes"):
        kelvor_stoi.plot_details(demo_details, ax=[top])
    plt.close("all")


def test_details_compare_their_arrays_and_print_briefly():
    a, b = kelvor_stoi.details(REF, DEG, 8000), kelvor_stoi.details(REF, DEG, 8000)
    assert a == b and not a != b
    assert a != kelvor_stoi.details(REF, DEG, 8000, align=True)
    assert a != a.scores
    text = repr(a)
    assert text.startswith("Details(stoi=") and "segments=" in text and len(text) < 120
    with pytest.raises(TypeError):
        hash(a)
