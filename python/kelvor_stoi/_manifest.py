"""Scoring a kelvor-batch manifest into a pandas DataFrame: what the local
path (kelvor_stoi.score_manifest) and the Dask path (kelvor_stoi.dask)
share, and the DataFrame both return.

The DataFrame's standard columns and their dtypes come from the front-end
core's one column table (``_core.COLUMN_TYPES``): text columns are object
(str), real numbers float64 with NaN, whole numbers nullable Int64 with
<NA>, where kelvor-batch leaves a cell empty. The manifest's own columns
follow, as str, exactly as written.
"""
from __future__ import annotations

from typing import Any, Dict, List, Sequence, Tuple

import pandas as pd

from kelvor_stoi import COLUMN_TYPES, COLUMNS, _core, _path, _progress

#: The pandas dtype of each type of the column table.
DTYPES: Dict[str, Any] = {"text": object, "real": "float64", "integer": "Int64"}


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


def read_manifest(manifest: Any) -> Tuple[Tuple[str, ...], List["_core.PairSpec"]]:
    """(metadata column names, listed pairs) of a manifest, read with
    kelvor-batch's own parser. Raises OSError for an unusable manifest."""
    names, listed = _core.read_manifest(_path(manifest, "manifest"))
    return tuple(names), listed


def positive(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name}= must be a positive whole number, not {value!r}")
    return value


def score_locally(manifest: Any, jobs: int, options: "_core.PairOptions", progress: Any = False) -> pd.DataFrame:
    """Every pair of the manifest scored on `jobs` threads of this process,
    progress shown as kelvor_stoi._progress shows it."""
    names, listed = read_manifest(manifest)
    with _progress.shown(progress, len(listed), "score_manifest") as shown:
        rows = _core.score_pairs(listed, options, jobs, shown)
    return frame(rows, [pair.index for pair in listed], names)
