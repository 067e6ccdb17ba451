"""The pip route from the repository's root: setup.py names what a build
lacks before it compiles anything, and a source distribution made from a
copy of the tree installs offline into a fresh virtual environment, where
the package imports, scores the bundled pair as the build tree does and
installs the kelvor-stoi command with its man page."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tarfile

import pytest

import kelvor_stoi
from conftest import SOURCE

# setup.py run in an interpreter in which the named modules cannot be
# imported (a None in sys.modules stops an import).
BLOCKING = """
import runpy, sys
for name in {blocked!r}:
    sys.modules[name] = None
sys.argv = ["setup.py", *{arguments!r}]
runpy.run_path("setup.py", run_name="__main__")
"""


@pytest.mark.parametrize(
    "arguments, status, expected",
    [
        # A source distribution, or the metadata, needs neither.
        (["--version"], 0, kelvor_stoi.__version__ + "\n"),
        # pip's first step towards a wheel stops with the message.
        (["dist_info"], 1, "missing numpy (Debian: python3-numpy), wheel (Debian: python3-wheel)."),
    ],
)
def test_setup_names_what_a_build_lacks(arguments, status, expected):
    code = BLOCKING.format(blocked={"numpy", "wheel"}, arguments=arguments)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=SOURCE)
    assert done.returncode == status, done.stderr
    if status == 0:
        assert done.stdout.endswith(expected)
    else:
        assert f"kelvor_stoi cannot be built for {sys.executable}" in done.stderr
        assert expected in done.stderr


def test_the_citation_and_the_changelog_keep_up_with_the_version():
    # CITATION.cff may name the version under preparation before the
    # project's number moves to it, never an older one.
    def numbers(version):
        return tuple(int(part) for part in version.split("."))

    cited = re.search(r"^version: (\S+)$", (SOURCE / "CITATION.cff").read_text(), re.M)
    assert cited and numbers(cited.group(1)) >= numbers(kelvor_stoi.__version__)
    headings = re.findall(r"^## .*$", (SOURCE / "CHANGELOG.md").read_text(), re.M)
    assert any(kelvor_stoi.__version__ in h for h in headings), headings


def without_builds(folder, names):
    """The tree as a clone has it: no build folders, no packaging leftovers."""
    top = os.path.samefile(folder, SOURCE)
    return [n for n in names if n in (".git", "__pycache__") or n.endswith(".egg-info")
            or (top and (n.startswith("build") or n == "dist"))]


def test_the_source_distribution_installs_offline_and_scores(tmp_path):
    for module in ("build", "pip", "venv", "pybind11"):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{sys.executable} has no {module} (tools/bootstrap-deps installs it)")
    tree, dist, env = tmp_path / "tree", tmp_path / "dist", tmp_path / "env"
    shutil.copytree(SOURCE, tree, ignore=without_builds, symlinks=True)
    # Nothing of this process's package may leak into the children.
    clean = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    clean["CMAKE_BUILD_PARALLEL_LEVEL"] = "2"

    def run(*command, cwd=tmp_path):
        done = subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=clean, timeout=900)
        assert done.returncode == 0, (done.stdout[-3000:], done.stderr[-3000:])
        return done.stdout

    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(dist), str(tree))
    (sdist,) = dist.glob("kelvor-stoi-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    assert f"kelvor-stoi-{kelvor_stoi.__version__}/python/src/core.cpp" in names
    assert not [n for n in names if "/tests/" in n or "/build" in n], "tests or builds in the sdist"

    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(env))
    python = str(env / "bin" / "python")
    run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(sdist))
    pair = [str(SOURCE / "samples" / name) for name in ("ref.wav", "deg.wav")]
    out = run(python, "-c", "import sys, kelvor_stoi as k; print(k.__file__); print(repr(k.score_files(*sys.argv[1:])))",
              *pair).splitlines()
    assert out[0].startswith(str(env)), out[0]
    assert out[1] == repr(kelvor_stoi.score_files(*pair))
    assert run(str(env / "bin" / "kelvor-stoi"), "--version").strip() == f"kelvor-stoi {kelvor_stoi.__version__}"
    assert (env / "share" / "man" / "man1" / "kelvor-stoi.1").is_file()
