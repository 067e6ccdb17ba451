"""The HTML report, opened in a real browser: headless Chromium loads it,
reports every figure decoded, and renders it to a PNG in which each
figure is drawn (not blank). The PNG is kept in the build folder for a
person to look at."""
import base64
import csv
import json
import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse
import warnings

import numpy as np
import pytest

from conftest import batch_env, demo_pair, executable, write_wav
from kelvor_stoi import analysis, report
from test_analysis import generated, result_row, write_csv

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

# Set on <body> after the load event by the probe the test adds to a copy
# of the page (the report itself runs no script).
PROBE = """<script>
window.addEventListener("load", () => {
  const boxes = [...document.images].map(i => {
    const r = i.getBoundingClientRect();
    return [Math.round(r.left), Math.round(r.top + scrollY), Math.round(r.width), Math.round(r.height),
            i.complete && i.naturalWidth > 0 ? 1 : 0];
  });
  document.body.setAttribute("data-probe", JSON.stringify({height: document.documentElement.scrollHeight, boxes}));
});
</script>"""


def chromium(*arguments):
    if CHROMIUM is None:
        pytest.skip("Chromium is not installed (Debian: chromium; make test installs it)")
    with tempfile.TemporaryDirectory() as profile:
        done = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", "--hide-scrollbars", "--enable-logging=stderr", "--v=0",
             *arguments],
            capture_output=True, text=True, timeout=180,
        )
    assert done.returncode == 0, done.stderr[-3000:]
    return done


def scored_set(folder):
    """Results of a small real test set: 3 utterances x 3 SNRs x 2
    systems, scored by kelvor-batch with --details, with the manifest's
    snr and system columns on every row."""
    ref, _ = demo_pair()
    rng = np.random.default_rng(5)
    speech = ref.astype(np.float64)
    utterances = {"u1": speech, "u2": speech[::-1].copy(), "u3": np.roll(speech, 9000)}
    rows = []
    for name, clean in utterances.items():
        write_wav(folder / f"{name}.wav", np.round(clean).astype(np.int16), 8000)
        power = np.mean(clean**2)
        for snr in (-5, 0, 5):
            noise = rng.normal(0, np.sqrt(power / 10 ** (snr / 10)), clean.shape[0])
            for system, gain in (("noisy", 1.0), ("enhanced", 0.45)):
                degraded = np.clip(np.round(clean + gain * noise), -32768, 32767).astype(np.int16)
                path = f"{system}_{snr}_{name}.wav"
                write_wav(folder / path, degraded, 8000)
                rows.append({"reference": f"{name}.wav", "degraded": path, "snr": str(snr), "system": system})
    rows.append({"reference": "u1.wav", "degraded": "gone.wav", "snr": "10", "system": "noisy"})
    with open(folder / "m.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["reference", "degraded", "snr", "system"], lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    env = batch_env()
    done = subprocess.run(
        [executable("KELVOR_BATCH_EXE"), "--quiet", "-j2", "--details", str(folder / "details"), "-o",
         str(folder / "r.csv"), str(folder / "m.csv")], capture_output=True, text=True, env=env)
    assert done.returncode in (0, 3), done.stderr
    table = analysis.read_results(folder / "r.csv")
    # kelvor-batch carries the manifest's own columns, row for row.
    assert analysis.metadata_columns(table) == ["snr", "system"]
    assert list(table["snr"]) == [r["snr"] for r in rows] and list(table["system"]) == [r["system"] for r in rows]
    return table


@pytest.fixture(scope="module")
def rendered(tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    table = scored_set(folder)
    run = {"program": "kelvor-batch", "version": "1.0.0", "command": ["kelvor-batch", "--details", "details", "-o",
           "r.csv", "m.csv"], "profile": "default", "listing": "m.csv", "shard": None, "options": {"align": False},
           "started": "2026-12-08T10:00:00Z"}
    page = report.build_report(table, by="snr", between=("system", "noisy", "enhanced"),
                               details_dir=folder / "details", run=run, source=str(folder / "r.csv"), worst=3,
                               audio_base=folder)
    html_path = folder / "report.html"
    html_path.write_text(page, encoding="utf-8")
    probe_path = folder / "probe.html"
    probe_path.write_text(page.replace("</body>", PROBE + "</body>"), encoding="utf-8")
    dom = chromium("--virtual-time-budget=10000", "--window-size=1280,900", "--dump-dom", probe_path.as_uri())
    match = re.search(r'data-probe="([^"]*)"', dom.stdout)
    assert match, "the page did not finish loading"
    probe = json.loads(match.group(1).replace("&quot;", '"'))
    shot = os.path.join(os.environ.get("KELVOR_ARTIFACT_DIR", str(folder)), "report.png")
    chromium(f"--window-size=1280,{probe['height']}", f"--screenshot={shot}", html_path.as_uri())
    return page, probe, dom, shot


def test_the_page_loads_every_figure(rendered):
    page, probe, dom, _ = rendered
    assert "<script" not in page and "http://" not in page and "https://" not in page
    # Distributions, the forest and scatter plots, three heat maps.
    assert len(probe["boxes"]) == 6
    assert all(box[4] == 1 for box in probe["boxes"]), probe["boxes"]
    console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line]
    assert console == [], console


def test_every_figure_is_drawn_in_the_screenshot(rendered):
    from PIL import Image

    _, probe, _, shot = rendered
    image = np.asarray(Image.open(shot).convert("RGB")).astype(int)
    assert image.shape[0] >= probe["height"] - 1 and image.shape[1] == 1280
    for left, top, width, height, _ in probe["boxes"]:
        assert width > 600 and height > 200
        part = image[top : top + height, left : left + width]
        ink = np.any(part < 200, axis=2).mean()
        coloured = np.count_nonzero(part.max(axis=2) - part.min(axis=2) > 40)
        assert 0.01 < ink < 0.9 and coloured > 300, (top, ink, coloured)


def test_sections_and_numbers_of_the_report(rendered):
    page, _, _, _ = rendered
    for title in ("Run", "Summary", "Distributions", "Paired comparison: enhanced \u2212 noisy", "Failures",
                  "The 3 lowest-scoring pairs"):
        assert f">{title}</h2>" in page, title
    assert "kelvor-batch --details details -o r.csv m.csv" in page  # the run's command
    assert "No details file" not in page
    assert page.count("Per-band correlation over time") == 3
    # Each of the worst pairs has its two files beside the page.
    assert len(re.findall(r'<audio controls preload="none" src="[^"/]+\.wav">', page)) == 6


def test_reports_of_awkward_tables(tmp_path):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", generated()))
    # Without groups, with groups of one pair and of failures only, and
    # with details asked for but not there: a page all the same.
    for options in ({}, {"by": ["snr", "system"]}, {"by": "snr", "between": ("system", "noisy", "enhanced")},
                    {"details_dir": tmp_path, "worst": 2}):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # matplotlib's among them
            page = report.build_report(table, **options)
        assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")
    assert "No details file of this pair" in page
    only_failures = table[table["status"] != "ok"]
    assert "Failures" in report.build_report(only_failures, by="snr")
    with pytest.raises(ValueError, match="^between must be a"):
        report.build_report(table, between="system")
    with pytest.raises(ValueError, match="^by: no column"):
        report.build_report(table, by="speaker")


def test_the_scatter_plot_shows_the_pairs_of_compare(tmp_path, monkeypatch):
    # u0.wav is listed twice under noisy, once failed: compare leaves the key
    # out as ambiguous, and so must the scatter plot.
    rows = [result_row("u0.wav", status="too_short", message="too little speech", system="noisy")]
    for i in range(4):
        rows.append(result_row(f"u{i}.wav", 0.5 + 0.1 * i, 0.3 + 0.1 * i, system="noisy"))
        rows.append(result_row(f"u{i}.wav", 0.55 + 0.1 * i, 0.35 + 0.1 * i, system="enhanced"))
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    figures = {}
    monkeypatch.setattr(report, "_svg", lambda fig, alt, caption=None: figures.setdefault(alt, fig) and "")
    report.build_report(table, between=("system", "noisy", "enhanced"), worst=0)
    comparison = analysis.compare(table, "system", "noisy", "enhanced").set_index("measure")
    for ax, measure in zip(figures["Paired scores, A against B"].axes, analysis.MEASURES):
        points = np.concatenate([c.get_offsets() for c in ax.collections])
        assert len(points) == comparison.at[measure, "pairs"] == 3
        assert points[:, 0].mean() == pytest.approx(comparison.at[measure, "mean_a"])
        assert points[:, 1].mean() == pytest.approx(comparison.at[measure, "mean_b"])
        # The axes fit the pairs (0.3 to 0.85), not the whole range of a score.
        low, high = ax.get_xlim()
        assert 0.2 < low < points.min() and points.max() < high < 0.95 and ax.get_ylim() == (low, high)


def test_details_are_found_by_their_fields_when_the_names_do_not_match(tmp_path, monkeypatch):
    # One pair under two SNRs; none of the files has the name of its row,
    # and the first file that matches on its fields is unreadable.
    rows = [result_row("r.wav", 0.5, 0.3, snr="0"), result_row("r.wav", 0.6, 0.4, snr="5")]
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    details = tmp_path / "details"
    details.mkdir()
    for name, snr, segment in (("7", "5", "broken"), ("8", "0", [0.1]), ("9", "5", [0.9])):
        (details / f"{name}.json").write_text(json.dumps({
            "details_format": 2, "reference": "r.wav", "degraded": "r.wav", "snr": snr, "band_centre_hz": [150.0],
            "stoi_correlation": [[0.5]], "estoi_segment": segment, "kept_frames": [[0, 29]]}))
    # A stray file that matches on its fields but is no details file.
    (details / "0-stray.json").write_text(json.dumps({
        "reference": "r.wav", "degraded": "r.wav", "snr": "5", "stoi": {}, "stoi_correlation": [[0.5]],
        "kept_frames": [[0, 29]]}))
    shown = []
    monkeypatch.setattr(report, "_details_figure", lambda d: shown.append(d.estoi_segment.tolist()) or "")
    page = report.build_report(table, details_dir=details, worst=2)
    assert shown == [[0.1], [0.9]] and "No details file" not in page
    assert "Passed over 2 file(s) of the details folder" in page


def many_speakers(count=200, utterances=5, seed=11):
    """count speakers of utterances sentences each under two systems, each
    speaker with a level and a gain of their own: 2,000 rows at 200."""
    rng = np.random.default_rng(seed)
    rows = []
    for k in range(count):
        level, gain = rng.normal(0.68, 0.08), rng.normal(0.03, 0.03)
        for i in range(utterances):
            base = float(np.clip(level + rng.normal(0, 0.06), 0.05, 0.95))
            for system, shift in (("noisy", 0.0), ("enhanced", gain + rng.normal(0, 0.02))):
                s = float(np.clip(base + shift, 0.0, 1.0))
                rows.append(result_row(f"spk{k:03d}/u{i}.wav", s, s - 0.25 + rng.normal(0, 0.03),
                                       spk=f"spk{k:03d}", system=system))
    return rows


def probed(folder, page, name):
    """Chromium's boxes of the page's images, and a screenshot of the whole
    page kept for a person to look at."""
    (folder / f"{name}.html").write_text(page, encoding="utf-8")
    probe_path = folder / f"{name}-probe.html"
    probe_path.write_text(page.replace("</body>", PROBE + "</body>"), encoding="utf-8")
    dom = chromium("--virtual-time-budget=10000", "--window-size=1280,900", "--dump-dom", probe_path.as_uri())
    probe = json.loads(re.search(r'data-probe="([^"]*)"', dom.stdout).group(1).replace("&quot;", '"'))
    shot = os.path.join(os.environ.get("KELVOR_ARTIFACT_DIR", str(folder)), f"{name}.png")
    chromium(f"--window-size=1280,{probe['height']}", f"--screenshot={shot}", (folder / f"{name}.html").as_uri())
    return probe, shot


def test_a_report_of_200_groups_stays_readable(tmp_path):
    table = analysis.read_results(write_csv(tmp_path / "r.csv", many_speakers()))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # matplotlib's layout warnings among them
        page = report.build_report(table, by="spk", between=("system", "noisy", "enhanced"), source="r.csv")
    probe, shot = probed(tmp_path, page, "report-200")
    # The ranked distributions and differences, and the scatter plot: each
    # within a laptop's screen, none stretched to the number of groups.
    assert len(probe["boxes"]) == 3 and all(box[4] == 1 for box in probe["boxes"])
    for left, top, width, height, _ in probe["boxes"]:
        assert 600 < width <= 1070 and 300 < height <= 700, probe["boxes"]
    assert probe["height"] < 7000
    # Pooled rows first; the 200 groups in tables that scroll.
    assert page.count('<tr class="pooled">') == 4 and page.count('<div class="scroll">') == 2
    assert "Lowest: spk" in page and ">all</td>" in page


def test_labels_are_plain_text_escaped_and_cut(tmp_path):
    names = ["$\\foo$", "$^{" * 300 + "x" + "}$" * 300, "price $5", "price $6", "J\udcf6rg", "x" * 100000]
    rows = [result_row(f"u{i}.wav", 0.4 + 0.01 * i + 0.08 * j, 0.3, name=n, system=s)
            for j, n in enumerate(names) for i in range(3) for s in ("A", "B")]
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        page = report.build_report(table, by="name", between=("system", "A", "B"), worst=3)
        bare = report.build_report(table, worst=36)  # the values only in the worst pairs' headings
    for text in (page, bare):
        assert "\udcf6" not in text and "J\\xf6rg" in text
    # The SVG of the distributions holds the labels as text, cut.
    svg = base64.b64decode(re.search(r'src="data:image/svg\+xml;base64,([^"]+)"', page).group(1)).decode()
    assert "price $5" in svg and "price $6" in svg and "$\\foo$" in svg and "x" * 100 not in svg


def test_the_temporary_file_never_follows_a_planted_link(tmp_path):
    target = tmp_path / "precious.txt"
    target.write_text("keep me")
    output = tmp_path / "report.html"
    for pid in range(os.getpid() - 2, os.getpid() + 3):
        (tmp_path / f"report.html.{pid}.tmp").symlink_to(target)
    report.write_page(str(output), "<!DOCTYPE html>page")
    assert target.read_text() == "keep me"
    assert output.read_text() == "<!DOCTYPE html>page" and not output.is_symlink()
    assert oct(output.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_worst_pairs_get_players_where_the_report_reaches_the_audio(tmp_path):
    ref, deg = demo_pair()
    (tmp_path / "audio" / "sys a").mkdir(parents=True)
    write_wav(tmp_path / "audio" / "ref é.wav", ref, 8000)
    write_wav(tmp_path / "audio" / "sys a" / "deg.wav", deg, 8000)
    rows = [result_row("ref é.wav", 0.5, 0.3), result_row("gone.wav", 0.4, 0.2)]
    rows[0]["degraded"] = "sys a/deg.wav"
    results = write_csv(tmp_path / "audio" / "r.csv", rows)
    (tmp_path / "out").mkdir()
    report.write_report(results, tmp_path / "out" / "report.html", worst=2)
    page = (tmp_path / "out" / "report.html").read_text()
    links = re.findall(r'<audio controls preload="none" src="([^"]+)">', page)
    assert links == ["../audio/ref%20%C3%A9.wav", "../audio/sys%20a/deg.wav"]
    for link in links:
        assert (tmp_path / "out" / urllib.parse.unquote(link)).is_file()
    # Without a folder for the page, or where nothing is reachable, no player.
    assert "<audio" not in report.build_report(analysis.read_results(results))


def test_too_many_groups_are_refused(tmp_path):
    rows = [result_row(f"u{i}.wav", 0.5, 0.3, id=str(i)) for i in range(report.MAX_GROUPS + 1)]
    table = analysis.read_results(write_csv(tmp_path / "r.csv", rows))
    with pytest.raises(ValueError, match=r"^by: id make 5,001 groups; a report shows at most 5,000"):
        report.build_report(table, by="id")
