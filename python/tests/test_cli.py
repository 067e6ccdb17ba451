"""kelvor-stoi's command line (python -m kelvor_stoi): the formats agree
with the functions, failures name the flags and set the exit status."""
import csv
import io
import json
import math
import os
import subprocess
import sys

import pytest

from kelvor_stoi import analysis
from kelvor_stoi.__main__ import FORMATS
from test_analysis import generated, result_row, write_csv


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "kelvor_stoi", *map(str, arguments)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    return write_csv(tmp_path_factory.mktemp("cli") / "r.csv", generated())


def same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return b is None or b == "" or (isinstance(b, float) and math.isnan(b))
    return str(a) == str(b) or (isinstance(b, str) and b != "" and float(b) == a)


@pytest.mark.parametrize("command", ["summarize", "compare"])
def test_machine_formats_hold_the_exact_numbers(results, command):
    table = analysis.read_results(results)
    if command == "summarize":
        options = ["--by", "snr", "--by", "system"]
        expected = analysis.summarize(table, by=["snr", "system"])
    else:
        options = ["--between", "system", "noisy", "enhanced", "--by", "snr", "--resamples", "500", "--seed", "3"]
        expected = analysis.compare(table, "system", "noisy", "enhanced", by="snr", resamples=500, seed=3)
    as_csv = run(command, results, *options, "--format", "csv")
    as_json = run(command, results, *options, "--format", "json")
    assert as_csv.returncode == 0 and as_json.returncode == 0, as_csv.stderr + as_json.stderr
    rows = list(csv.DictReader(io.StringIO(as_csv.stdout)))
    records = json.loads(as_json.stdout)
    assert len(rows) == len(records) == len(expected)
    for want, row, record in zip(expected.to_dict(orient="records"), rows, records):
        for column, value in want.items():
            assert same(value, row[column]) and same(value, record[column]), (column, value, row[column], record[column])


def test_text_and_markdown_tables(results):
    text = run("summarize", results, "--by", "snr", "--by", "system")
    assert text.returncode == 0, text.stderr
    lines = text.stdout.splitlines()
    assert lines[0].split()[:4] == ["snr", "system", "n", "failed"]
    assert any(line.split()[:2] == ["20", "noisy"] and "n/a" in line for line in lines)  # one scored pair
    assert any(line.split()[:2] == ["30", "noisy"] and "\u2013" in line for line in lines)  # failures only
    assert "no standard deviation and no confidence interval" in text.stdout
    markdown = run("compare", results, "--between", "system", "noisy", "enhanced", "--format", "markdown")
    assert markdown.returncode == 0, markdown.stderr
    head = markdown.stdout.splitlines()
    assert head[0].startswith("| measure | pairs |") and head[1].startswith("|---|---:|")
    assert "2000 resamples" in markdown.stdout


@pytest.mark.parametrize(
    "arguments, status, message",
    [
        (["summarize", "{results}", "--by", "speaker"], 1, "--by speaker: the results have no such column"),
        (["compare", "{results}", "--between", "system", "noisy", "robot"], 1, "no row has the value 'robot'"),
        (["compare", "{results}", "--between", "system", "noisy", "enhanced", "--by", "system"], 1,
         "cannot also be a --by column"),
        (["summarize", "{missing}"], 1, "no such file"),
        (["summarize", "{results}", "--format", "xml"], 2, "invalid choice"),
        (["compare", "{results}"], 2, "--between"),
        (["compare", "{results}", "--between", "system", "noisy", "enhanced", "--resamples", "0"], 2,
         "--resamples must be positive"),
        (["report", "{results}", "-o", "{out}", "--details", "{missing}"], 1, "no such folder"),
    ],
)
def test_failures_name_the_flags(results, tmp_path, arguments, status, message):
    names = {"results": results, "missing": tmp_path / "missing", "out": tmp_path / "r.html"}
    done = run(*(a.format(**names) for a in arguments))
    assert done.returncode == status and message in done.stderr, done.stderr
    assert done.stdout == ""
    assert "Traceback" not in done.stderr


def test_version_and_console_script_entry():
    done = run("--version")
    assert done.returncode == 0 and done.stdout.startswith("kelvor-stoi ")
    import kelvor_stoi.__main__ as entry

    assert entry.main(["--version"]) == 0


def test_several_columns_after_one_flag(results):
    one_flag = run("summarize", results, "--by", "snr", "system", "--format", "csv")
    two_flags = run("summarize", results, "--by", "snr", "--by", "system", "--format", "csv")
    assert one_flag.returncode == 0 and one_flag.stdout == two_flags.stdout
    on = run("compare", results, "--between", "system", "noisy", "enhanced", "--on", "reference", "snr")
    assert on.returncode == 0 and "pairs matched on reference, snr" in on.stdout


def test_help_shows_percent_signs_once():
    done = run("summarize", "--help")
    assert "95% confidence interval" in " ".join(done.stdout.split()) and "%%" not in done.stdout


@pytest.mark.parametrize("command", ["summarize", "report"])
def test_a_missing_package_is_named(results, tmp_path, command):
    # pandas as if it were not installed.
    code = ("import sys; sys.modules['pandas'] = None; from kelvor_stoi.__main__ import main; "
            f"sys.exit(main([{command!r}, {str(results)!r}, '-o' if {command!r} == 'report' else '--by', "
            f"{str(tmp_path / 'r.html')!r} if {command!r} == 'report' else 'snr']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1 and "needs the Python package pandas" in done.stderr, done.stderr
    assert "python3-pandas" in done.stderr and "Traceback" not in done.stderr


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """Files that used to end in a traceback, each in a folder of its own."""
    folder = tmp_path_factory.mktemp("hostile")
    rows = generated()
    for name, record in (("list", "[1]"), ("cut", '{"program": "kelvor-batch", '), ("deep", "[" * 100000)):
        (folder / name).mkdir()
        write_csv(folder / name / "r.csv", rows)
        (folder / name / "r.csv.run.json").write_text(record)
    with open(folder / "deep.jsonl", "w") as f:
        f.write('{"reference": ' + "[" * 100000 + "\n")
    huge = [dict(r) for r in rows]
    huge[3].update(stoi="1e308")
    huge[4].update(stoi="-1e308")
    write_csv(folder / "huge.csv", huge)
    return folder


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["report", "{hostile}/list/r.csv", "-o", "{out}"], "r.csv.run.json: the run record is not a JSON object"),
        (["report", "{hostile}/cut/r.csv", "-o", "{out}"], "r.csv.run.json: not a JSON run record"),
        (["report", "{hostile}/deep/r.csv", "-o", "{out}"], "r.csv.run.json: nested too deeply"),
        (["summarize", "{hostile}/deep.jsonl"], "deep.jsonl: line 1 is nested too deeply"),
        (["summarize", "{hostile}/huge.csv"], "huge.csv: column 'stoi' holds 1e+308 in row 3, which is no score"),
        (["compare", "{results}", "--between", "system", "noisy", "enhanced", "--on", "reference", "--on",
          "reference"], "--on: the column 'reference' is named twice"),
        (["compare", "{results}", "--between", "system", "noisy", "enhanced", "--on", "stoi"],
         "--on: 'stoi' is a score"),
        (["report", "{results}", "-o", "{results}"], "is the results file"),
        (["report", "{results}", "-o", "{results}.run.json"], "is the results' run record"),
        (["report", "{results}", "-o", "{link}"], "is the results file"),
    ],
)
def test_bad_inputs_are_messages_not_tracebacks(results, hostile, tmp_path, arguments, message):
    link = tmp_path / "link.html"
    link.symlink_to(results)
    before = results.read_bytes()
    names = {"results": results, "hostile": hostile, "out": tmp_path / "r.html", "link": link}
    done = run(*(a.format(**names) for a in arguments))
    assert done.returncode == 1 and message in done.stderr, done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""
    assert results.read_bytes() == before and not (tmp_path / "r.html").exists()


def latin1(text):
    return text.encode("latin-1").decode("utf-8", "surrogateescape")


def test_bytes_that_are_not_utf8_and_controls_are_shown_escaped(tmp_path):
    rows = []
    for speaker in (latin1("Jörg"), "Zoë\x1b]0;owned\x07", "<b>bold</b>"):
        for i in range(3):
            rows.append(result_row(f"u{i}.wav", 0.5 + 0.1 * i, 0.3, speaker=speaker))
    results = write_csv(tmp_path / "r.csv", rows)
    env = {**os.environ, "LC_ALL": "C.UTF-8", "PYTHONIOENCODING": ""}
    outputs = {}
    for fmt in FORMATS:
        done = subprocess.run([sys.executable, "-m", "kelvor_stoi", "summarize", str(results), "--by", "speaker",
                               "--format", fmt], capture_output=True, env=env)
        assert done.returncode == 0, done.stderr.decode()
        outputs[fmt] = done.stdout
    for fmt in ("text", "markdown", "json"):
        text = outputs[fmt].decode("utf-8")  # valid UTF-8
        assert "\x1b" not in text and "\x07" not in text, fmt
    assert "J\\xf6rg" in outputs["text"].decode() and "Zo\u00eb\\x1b]0;owned\\x07" in outputs["text"].decode()
    assert "&lt;b&gt;bold&lt;/b&gt;" in outputs["markdown"].decode() and "<b>" not in outputs["markdown"].decode()
    # The machine formats keep every byte: CSV as it is, JSON as \udcXX.
    assert b"J\xf6rg" in outputs["csv"]
    assert [r["speaker"] for r in json.loads(outputs["json"])] == [r["speaker"] for r in rows[::3]]


def test_non_finite_numbers_are_null_in_json_and_empty_in_csv():
    import pandas as pd

    from kelvor_stoi._display import as_csv, as_json

    frame = pd.DataFrame({"g": ["a", "b", "c"], "stoi_sd": [math.inf, -math.inf, math.nan]})
    assert [r["stoi_sd"] for r in json.loads(as_json(frame))] == [None, None, None]
    assert as_csv(frame).splitlines()[1:] == ["a,", "b,", "c,"]


def test_report_to_standard_output_and_by_default(results, tmp_path):
    done = subprocess.run([sys.executable, "-m", "kelvor_stoi", "report", str(results), "-o", "-"],
                          capture_output=True, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.startswith(b"<!DOCTYPE html>") and not (tmp_path / "-").exists()
    done = subprocess.run([sys.executable, "-m", "kelvor_stoi", "report", str(results)], capture_output=True,
                          text=True, cwd=tmp_path)
    assert done.returncode == 0 and "wrote report.html" in done.stderr
    assert (tmp_path / "report.html").read_text().startswith("<!DOCTYPE html>")
