"""python/setup.py names what is missing for the interpreter that runs it,
before it builds anything."""
import subprocess
import sys

from conftest import SOURCE

# Runs setup.py in an interpreter in which the named modules cannot be
# imported (a None in sys.modules stops an import).
BLOCKING = """
import runpy, sys
for name in {blocked!r}:
    sys.modules[name] = None
sys.argv = ["setup.py", "--version"]
runpy.run_path({setup!r}, run_name="__main__")
"""


def run_setup(*blocked):
    code = BLOCKING.format(blocked=set(blocked), setup=str(SOURCE / "python" / "setup.py"))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=SOURCE / "python")


def test_missing_prerequisites_are_named_with_the_interpreter():
    done = run_setup("numpy", "wheel")
    assert done.returncode == 1
    assert f"kelvor_stoi cannot be built for {sys.executable}" in done.stderr
    assert "missing numpy (Debian: python3-numpy), wheel (Debian: python3-wheel)." in done.stderr


def test_nothing_missing_goes_on():
    done = run_setup()
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1] == __import__("kelvor_stoi").__version__
