"""Scoring a kelvor-batch manifest into a pandas DataFrame: the arguments
shared by the local path (kelvor_stoi.score_manifest) and the Dask path
(kelvor_stoi.dask), and the DataFrame both return.

The DataFrame's standard columns and their dtypes come from the batch
core's one column table (``_core.COLUMN_TYPES``): text columns are object
(str), real numbers float64 with NaN, whole numbers nullable Int64 with
<NA>, where kelvor-batch leaves a cell empty. The manifest's own columns
follow, as str, exactly as written.
"""
from __future__ import annotations

from typing import Any, Dict, List, Sequence, Tuple

import pandas as pd

from kelvor_stoi import COLUMN_TYPES, COLUMNS, _channel, _core, _path, _rate

#: The pandas dtype of each type of the column table.
DTYPES: Dict[str, Any] = {"text": object, "real": "float64", "integer": "Int64"}

ListedPair = Tuple[Any, ...]


def frame(rows: Sequence[Tuple[Any, ...]], index: Sequence[int], metadata: Sequence[str]) -> pd.DataFrame:
    """The rows (tuples of the standard columns, then the metadata values)
    as a DataFrame indexed by the manifest's 0-based data row ("row")."""
    names = list(COLUMNS) + list(metadata)
    table = pd.DataFrame.from_records(list(rows), columns=names)
    table.index = pd.Index(list(index), dtype="int64", name="row")
    for name in COLUMNS:
        dtype = DTYPES[COLUMN_TYPES[name]]
        if dtype is not object:
            table[name] = table[name].astype(dtype)
    return table


def read_manifest(manifest: Any) -> Tuple[Tuple[str, ...], List[ListedPair]]:
    """(metadata column names, listed pairs) of a manifest, read with
    kelvor-batch's own parser. Raises OSError for an unusable manifest."""
    names, listed = _core.read_manifest(_path(manifest, "manifest"))
    return tuple(names), listed


def positive(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name}= must be a positive whole number, not {value!r}")
    return value


def raw_rate(value: Any) -> int:
    """raw_rate checked here, as score_files checks it, so that a value the
    scoring threads or workers cannot take fails before anything runs."""
    try:
        return _rate(value)
    except ValueError:
        raise ValueError(f"raw_rate= must be a positive whole number of hertz, not {value!r}") from None


def channel(value: Any) -> int:
    """channel checked as read_audio checks it, under score_manifest's
    own message; True and False are no channel numbers here."""
    message = f"channel= must be 0 (mono only) or 1 .. 65535, not {value!r}"
    if isinstance(value, bool):
        raise ValueError(message)
    try:
        return _channel(value)
    except ValueError:
        raise ValueError(message) from None


#: The reading arguments of score_manifest and their defaults.
READING = {"align": False, "raw_rate": 8000, "channel": 0}


def reading_arguments(reading: Dict[str, Any]) -> Tuple[bool, int, int]:
    """(align, raw_rate, channel) of score_manifest's **reading, checked."""
    unknown = sorted(set(reading) - set(READING))
    if unknown:
        accepted = ", ".join(f"{k}=" for k in READING)
        raise TypeError(f"score_manifest() got an unexpected keyword argument {unknown[0]!r} (it reads {accepted})")
    values = {**READING, **reading}
    return bool(values["align"]), raw_rate(values["raw_rate"]), channel(values["channel"])


def score_locally(manifest: Any, jobs: int, align: bool, raw: int, chan: int, profile: int) -> pd.DataFrame:
    """Every pair of the manifest scored on `jobs` threads of this process."""
    names, listed = read_manifest(manifest)
    rows = _core.score_pairs(listed, align, raw, chan, jobs, profile)
    return frame(rows, [pair[0] for pair in listed], names)
