"""kelvor-stoi's command line (python -m kelvor_stoi): the formats agree
with the functions, failures name the flags and set the exit status."""
import csv
import io
import json
import math
import subprocess
import sys

import pytest

from kelvor_stoi import analysis
from test_analysis import generated, write_csv


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
