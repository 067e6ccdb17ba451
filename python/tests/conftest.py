"""Helpers of the kelvor_stoi tests: the executables they compare with, the
demo pair at any rate, WAV files of any sample type, kelvor-batch's rows.

CTest runs these tests with PYTHONPATH on the built package and the paths
of KELVOR_STOI and kelvor-batch in KELVOR_STOI_EXE and KELVOR_BATCH_EXE.
"""
import csv
import math
import os
import re
import struct
import subprocess
from pathlib import Path
from typing import Dict, List, Optional

import numpy as np
import pandas as pd
import pytest

import kelvor_stoi

SOURCE = Path(os.environ.get("KELVOR_SOURCE_DIR", Path(__file__).resolve().parents[2]))


def executable(variable: str) -> str:
    path = os.environ.get(variable, "")
    if not os.access(path, os.X_OK):
        pytest.skip(f"{variable} names no executable (the tests run through CTest)")
    return path


def demo_pair():
    """The bundled 8 kHz pair as int16 arrays."""
    ref, _ = kelvor_stoi.read_audio(SOURCE / "samples" / "ref.wav")
    deg, _ = kelvor_stoi.read_audio(SOURCE / "samples" / "deg.wav")
    return ref, deg


@pytest.fixture()
def pair_folder(tmp_path: Path) -> Path:
    """A fresh folder of its own for a test, holding the demo pair (the
    arrays of demo_pair()) as ref.wav and deg.wav."""
    ref, deg = demo_pair()
    write_wav(tmp_path / "ref.wav", ref, 8000)
    write_wav(tmp_path / "deg.wav", deg, 8000)
    return tmp_path


def at_rate(x: np.ndarray, rate: int) -> np.ndarray:
    """8 kHz samples x at `rate`, band-limited (FFT zero padding), as float64
    on the scale of full scale = 1."""
    n = x.shape[0]
    m = round(n * rate / 8000)
    spectrum = np.fft.rfft(x / 32768.0)
    out = np.zeros(m // 2 + 1, dtype=complex)
    k = min(out.shape[0], spectrum.shape[0])
    out[:k] = spectrum[:k]
    return np.fft.irfft(out, m) * (m / n)


def as_dtype(x: np.ndarray, dtype) -> np.ndarray:
    """float64 samples x as int16 (rounded, full scale 32768) or as floats."""
    if np.dtype(dtype) == np.int16:
        return np.clip(np.round(x * 32768.0), -32768, 32767).astype(np.int16)
    return x.astype(dtype)


def write_wav(path: Path, samples: np.ndarray, rate: int) -> Path:
    """A WAV file: 16-bit PCM for int16, IEEE float for float32/float64;
    mono, or one channel per column of a 2-D array."""
    a = np.asarray(samples)
    channels = a.shape[1] if a.ndim == 2 else 1
    if a.dtype == np.int16:
        tag, bits = 1, 16
    elif a.dtype in (np.float32, np.float64):
        tag, bits = 3, a.dtype.itemsize * 8
    else:
        raise TypeError(a.dtype)
    data = a.astype(a.dtype.newbyteorder("<")).tobytes()
    block = bits // 8 * channels
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    Path(path).write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    return Path(path)


def write_manifest(path: Path, rows: List[Dict[str, str]]) -> Path:
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["reference", "degraded", "shift", "align"])
        writer.writeheader()
        for row in rows:
            writer.writerow(row)
    return path


def batch_env() -> Dict[str, str]:
    """This process's environment for a child process, without the
    MALLOC_TRIM_THRESHOLD_ that a LocalCluster's nannies leave in it (it
    would slow kelvor-batch down tenfold)."""
    return {k: v for k, v in os.environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}


def run_batch(manifest: Path, *options: str) -> List[Dict[str, str]]:
    """kelvor-batch's CSV rows for a manifest, as dictionaries of strings."""
    out = manifest.parent / (manifest.stem + ".out.csv")
    env = batch_env()
    done = subprocess.run(
        [executable("KELVOR_BATCH_EXE"), "--quiet", "-j2", "-o", str(out), *options, str(manifest)],
        capture_output=True,
        text=True,
        env=env,
    )
    assert done.returncode in (0, 3), done.stderr
    with open(out, newline="") as f:
        return list(csv.DictReader(f))


#: The pandas dtype of each type of kelvor_stoi.COLUMN_TYPES; the listing's
#: own columns are text.
DTYPES = {"text": np.dtype(object), "real": np.dtype("float64"), "integer": pd.Int64Dtype()}


def assert_column_dtypes(table: "pd.DataFrame") -> None:
    """Every column of a scored table has the dtype of its type."""
    for name in table.columns:
        assert table[name].dtype == DTYPES[kelvor_stoi.COLUMN_TYPES.get(name, "text")], name


def cell_value(column: str, text: str):
    """A kelvor-batch CSV cell as a Python value; None for an empty cell."""
    if kelvor_stoi.COLUMN_TYPES[column] == "text":
        return text
    if text == "":
        return None
    return int(text) if kelvor_stoi.COLUMN_TYPES[column] == "integer" else float(text)


def same_bits(a: Optional[float], b: Optional[float]) -> bool:
    """Equal doubles to the last bit (NaN equal to NaN), or both missing."""
    if a is None or b is None:
        return a is None and b is None
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return float(a).hex() == float(b).hex()


def assert_score_is_row(score: "kelvor_stoi.Score", row: Dict[str, str]) -> None:
    assert row["status"] == "ok", row["message"]
    assert same_bits(score.stoi, float(row["stoi"])), (score.stoi, row["stoi"])
    assert same_bits(score.estoi, float(row["estoi"])), (score.estoi, row["estoi"])
    assert score.delay == int(row["delay_samples"])
    assert same_bits(score.delay_ms, float(row["delay_ms"]))


def run_tool(directory: Path, *arguments: str):
    """(STOI, ESTOI) as KELVOR_STOI prints them (%.4g), run in directory."""
    done = subprocess.run(
        [executable("KELVOR_STOI_EXE"), "-h", *arguments], cwd=directory, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stdout
    match = re.search(r"STOI (\S+)\s+ESTOI (\S+)", done.stdout)
    assert match, done.stdout
    return match.group(1), match.group(2)
