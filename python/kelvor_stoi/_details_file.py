"""Reading the files of kelvor-batch --details back into Details.

The current files (``"details_format": 2``) hold the band correlations and
segment values rounded to 4 decimals, the kept frames as runs, and no
segment times: segment m spans the kept frames m .. m + 29, so it starts
at 128 * kept[m] / 10000 s and ends at (128 * kept[m + 29] + 256) / 10000 s,
the rule of the library (frames of 256 samples, hop 128, at 10 kHz). Files
of the first format (full doubles, every array written out) read as well.
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, Tuple, Union

import numpy as np

FRAME_HOP = 128
FRAME_LENGTH = 256
SEGMENT_FRAMES = 30
RATE = 10000.0

# The keys that hold the arrays; everything else describes the row.
ARRAY_KEYS = frozenset(
    {"band_centre_hz", "stoi_correlation", "estoi_segment", "segment_start", "segment_end", "kept_frames"}
)


def _floats(values: Any, name: str, path: str) -> np.ndarray:
    try:
        return np.array([np.nan if v is None else v for v in values], dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{path}: {name} is not a list of numbers") from None


def _kept_frames(value: Any, path: str) -> np.ndarray:
    """kept_frames as runs [[first, last], ...] or as a plain list."""
    if not isinstance(value, list):
        raise ValueError(f"{path}: kept_frames is not a list")
    if value and isinstance(value[0], list):
        parts = []
        for run in value:
            if not (isinstance(run, list) and len(run) == 2 and all(isinstance(x, int) for x in run) and run[0] <= run[1]):
                raise ValueError(f"{path}: kept_frames holds a run that is not [first, last]")
            parts.append(np.arange(run[0], run[1] + 1, dtype=np.int32))
        return np.concatenate(parts) if parts else np.zeros(0, dtype=np.int32)
    return np.array(value, dtype=np.int32)


def _load(name: str) -> Dict[str, Any]:
    """The JSON object of a details file, its format checked."""
    with open(name, encoding="utf-8", errors="surrogateescape") as f:
        try:
            record = json.load(f)
        except json.JSONDecodeError as e:
            raise ValueError(f"{name}: not a details file of kelvor-batch (no JSON object: {e.msg})") from None
    if not isinstance(record, dict) or "stoi_correlation" not in record or "kept_frames" not in record:
        raise ValueError(f"{name}: not a details file of kelvor-batch (no stoi_correlation or kept_frames)")
    version = record.get("details_format", 1)
    if version not in (1, 2):
        raise ValueError(f"{name}: details format {version!r} is newer than this kelvor_stoi reads (1 or 2)")
    return record


def _fields(record: Dict[str, Any]) -> Dict[str, Any]:
    return {k: v for k, v in record.items() if k not in ARRAY_KEYS}


def read_details_fields(path: Union[str, "os.PathLike[str]"]) -> Dict[str, Any]:
    """The row's own fields of one --details file (those of
    read_details_file), without building its arrays."""
    return _fields(_load(os.fspath(path)))


def read_details_file(path: Union[str, "os.PathLike[str]"]) -> Tuple[Dict[str, Any], "Details"]:
    """(the row's own fields, Details) of one --details file. The fields
    are everything but the arrays: row, reference, degraded, scores and
    whatever columns the row carried."""
    from kelvor_stoi import Details, Score

    name = os.fspath(path)
    record = _load(name)
    rows = record["stoi_correlation"]
    if not isinstance(rows, list) or not all(isinstance(r, list) for r in rows):
        raise ValueError(f"{name}: stoi_correlation is not a list of lists")
    segments = len(rows[0]) if rows else 0
    if any(len(r) != segments for r in rows):
        raise ValueError(f"{name}: the bands of stoi_correlation differ in length")
    correlation = np.array([_floats(r, "stoi_correlation", name) for r in rows]).reshape(len(rows), segments)
    estoi = _floats(record.get("estoi_segment", []), "estoi_segment", name)
    if estoi.shape[0] != segments:
        raise ValueError(f"{name}: estoi_segment has {estoi.shape[0]} values for {segments} segments")
    kept = _kept_frames(record["kept_frames"], name)
    if "segment_start" in record and "segment_end" in record:
        start = _floats(record["segment_start"], "segment_start", name)
        end = _floats(record["segment_end"], "segment_end", name)
    else:
        if kept.shape[0] < segments + SEGMENT_FRAMES - 1:
            raise ValueError(f"{name}: {kept.shape[0]} kept frames cannot hold {segments} segments")
        frames = kept.astype(np.float64)
        start = float(FRAME_HOP) * frames[:segments] / RATE
        end = (float(FRAME_HOP) * frames[SEGMENT_FRAMES - 1 : SEGMENT_FRAMES - 1 + segments] + FRAME_LENGTH) / RATE
    if start.shape[0] != segments or end.shape[0] != segments:
        raise ValueError(f"{name}: the segment times do not match the {segments} segments")

    def number(key: str, default: float = float("nan")) -> float:
        v = record.get(key)
        return default if v is None else float(v)

    delay = record.get("delay_samples")
    scores = Score(number("stoi"), number("estoi"), int(delay) if delay is not None else 0, number("delay_ms", 0.0))
    details = Details(
        scores=scores,
        band_centre_hz=_floats(record.get("band_centre_hz", []), "band_centre_hz", name),
        stoi_correlation=correlation,
        estoi_segment=estoi,
        segment_start=start,
        segment_end=end,
        frame_count=int(record.get("frame_count", 0)),
        kept_frames=kept,
    )
    return _fields(record), details
