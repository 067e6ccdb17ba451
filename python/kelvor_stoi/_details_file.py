"""Reading the files of kelvor-batch --details back into Details.

The current files (``"details_format": 2``) hold the band correlations and
segment values rounded to 4 decimals, the kept frames as runs, and no
segment times: they follow from the kept frames by the front-end core's
rule (``_core.segment_times``), the library's own. Files of the first
format (full doubles, every array written out) read as well.
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, Tuple, Union

import numpy as np

from kelvor_stoi import _core

SEGMENT_FRAMES = _core.SEGMENT_FRAMES

# The keys that hold the arrays; everything else describes the row.
ARRAY_KEYS = frozenset(
    {"band_centre_hz", "stoi_correlation", "estoi_segment", "segment_start", "segment_end", "kept_frames"}
)


def _floats(values: Any, name: str, path: str) -> np.ndarray:
    """A list of numbers (null for NaN) as a 1-D float64 array."""
    if not isinstance(values, list):
        raise ValueError(f"{path}: {name} is not a list of numbers")
    try:
        array = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{path}: {name} is not a list of numbers") from None
    if array.ndim != 1:
        raise ValueError(f"{path}: {name} is not a list of numbers")
    return array


def _whole(record: Dict[str, Any], key: str, path: str, default: int) -> int:
    """A whole number of the record (not true or false); default when
    absent or null."""
    value = record.get(key)
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{path}: {key} is not a whole number")
    return value


def _real(record: Dict[str, Any], key: str, path: str, default: float) -> float:
    """A number of the record (not true or false); default when absent or
    null."""
    value = record.get(key)
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{path}: {key} is not a number")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{path}: {key} is not a number") from None


def _kept_frames(value: Any, path: str, frame_count: int, most: int) -> np.ndarray:
    """kept_frames as runs [[first, last], ...] or as a plain list: at most
    `most` frames (what the file's segments can use), each below
    frame_count, ascending. Runs are counted before any is spread out, so
    a small file cannot ask for a large array."""
    if not isinstance(value, list):
        raise ValueError(f"{path}: kept_frames is not a list")
    if value and isinstance(value[0], list):
        total = 0
        previous = -1
        for run in value:
            if not (isinstance(run, list) and len(run) == 2
                    and all(isinstance(x, int) and not isinstance(x, bool) for x in run)
                    and previous < run[0] <= run[1]):
                raise ValueError(f"{path}: kept_frames holds a run that is not [first, last], ascending")
            total += run[1] - run[0] + 1
            previous = run[1]
            if total > most or run[1] >= frame_count:
                raise ValueError(f"{path}: kept_frames holds more frames than its {frame_count} frames and "
                                 "segments can have")
        if not value:
            return np.zeros(0, dtype=np.int32)
        return np.concatenate([np.arange(first, last + 1, dtype=np.int32) for first, last in value])
    if len(value) > most:
        raise ValueError(f"{path}: kept_frames holds more frames than its segments can have")
    try:
        kept = np.array(value, dtype=np.int64)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{path}: kept_frames is not a list of frame numbers") from None
    if kept.ndim != 1 or (kept.size and (kept[0] < 0 or kept[-1] >= frame_count or np.any(np.diff(kept) <= 0))):
        raise ValueError(f"{path}: kept_frames is not a list of ascending frame numbers below {frame_count}")
    return kept.astype(np.int32)


def _load(name: str) -> Dict[str, Any]:
    """The JSON object of a details file, its format checked."""
    with open(name, encoding="utf-8", errors="surrogateescape") as f:
        try:
            record = json.load(f)
        except json.JSONDecodeError as e:
            raise ValueError(f"{name}: not a details file of kelvor-batch (no JSON object: {e.msg})") from None
        except RecursionError:
            raise ValueError(f"{name}: not a details file of kelvor-batch (nested too deeply)") from None
    if not isinstance(record, dict) or "stoi_correlation" not in record or "kept_frames" not in record:
        raise ValueError(f"{name}: not a details file of kelvor-batch (no stoi_correlation or kept_frames)")
    version = record.get("details_format", 1)
    if version not in (1, 2) or isinstance(version, bool):
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
    # k kept frames hold k - 30 segments (the tool's chain: k - 31).
    most = segments + SEGMENT_FRAMES + 1
    frame_count = _whole(record, "frame_count", name, 0)
    if frame_count < 0:
        raise ValueError(f"{name}: frame_count is negative")
    kept = _kept_frames(record["kept_frames"], name, frame_count if "frame_count" in record else 2**31 - 1, most)
    if "segment_start" in record and "segment_end" in record:
        start = _floats(record["segment_start"], "segment_start", name)
        end = _floats(record["segment_end"], "segment_end", name)
    else:
        start, end = _core.segment_times(kept.tolist(), segments)
        if segments > 0 and start.shape[0] == 0:
            raise ValueError(f"{name}: {kept.shape[0]} kept frames cannot hold {segments} segments")
    if start.shape[0] != segments or end.shape[0] != segments:
        raise ValueError(f"{name}: the segment times do not match the {segments} segments")
    centres = _floats(record.get("band_centre_hz", []), "band_centre_hz", name)
    if segments and centres.shape[0] != len(rows):
        raise ValueError(f"{name}: band_centre_hz has {centres.shape[0]} values for {len(rows)} bands")

    scores = Score(_real(record, "stoi", name, float("nan")), _real(record, "estoi", name, float("nan")),
                   _whole(record, "delay_samples", name, 0), _real(record, "delay_ms", name, 0.0))
    details = Details(
        scores=scores,
        band_centre_hz=centres,
        stoi_correlation=correlation,
        estoi_segment=estoi,
        segment_start=start,
        segment_end=end,
        frame_count=frame_count,
        kept_frames=kept,
    )
    return _fields(record), details
