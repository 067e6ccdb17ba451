"""From a results file to the numbers of a paper: reading kelvor-batch's
rows exactly, per-group statistics, paired comparisons of two systems.

    from kelvor_stoi import analysis
    table = analysis.read_results("r.csv")
    analysis.summarize(table, by=["snr", "system"])
    analysis.compare(table, between="system", a="noisy", b="enhanced", by=["snr"])

Every function takes and returns pandas DataFrames. A results table has
kelvor-batch's standard columns (``kelvor_stoi.COLUMNS``) and, after them,
any number of metadata columns carried over from the manifest (text, any
names); ``score_manifest`` and ``kelvor_stoi.dask.score_manifest`` return
the same shape.

Statistics
----------
Scores are taken from the rows whose ``status`` is ``ok``; the others count
as failed. The confidence interval of a mean is Student's t interval,
``mean +- t(1 - (1 - confidence) / 2, k - 1) * sd / sqrt(k)`` over the k
scored rows, with the sample standard deviation (k - 1 in the
denominator). With one scored row there is no standard deviation and no
interval (NaN); with none there is no mean either.

Pairing in compare
------------------
Two rows are the same pair under the two systems when they agree on every
key column: by default ``reference`` and every metadata column other than
the compared one (so the groups of ``by``, and an utterance ``id`` or a
``condition``, must agree as well), or the columns given as ``on`` (to
which the by columns are added). A key
that occurs more than once on one side cannot be paired unambiguously: all
its rows are left out and counted as ``duplicates``. Rows without a
partner are counted as ``unmatched_a`` / ``unmatched_b``; matched pairs of
which a side failed are counted as ``failed``. Only pairs scored on both
sides enter the statistics.
"""
from __future__ import annotations

import io
import json
import math
import os
import re
import sys
from statistics import NormalDist
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from kelvor_stoi import COLUMN_TYPES, COLUMNS, _core

__all__ = [
    "MEASURES",
    "read_results",
    "read_run_record",
    "run_record_path",
    "metadata_columns",
    "summarize",
    "compare",
    "t_quantile",
    "DEFAULT_RESAMPLES",
    "DEFAULT_SEED",
]

PathLike = Union[str, "os.PathLike[str]"]

#: The measures every statistic is given for, as column names.
MEASURES: Tuple[str, ...] = ("stoi", "estoi")

#: Bootstrap resamples of compare, and the seed of its generator. 2,000
#: resamples put the 2.5 % and 97.5 % percentiles within about 0.1 % of
#: their limit (for the mean's distribution, in units of its width).
DEFAULT_RESAMPLES = 2000
DEFAULT_SEED = 0

# The standard columns that hold numbers, from the front-end core's column
# table; every other standard column, and every metadata column, is text
# and is read byte for byte.
_FLOAT_COLUMNS = frozenset(name for name, kind in COLUMN_TYPES.items() if kind == "real")
_INT_COLUMNS = frozenset(name for name, kind in COLUMN_TYPES.items() if kind == "integer")


# ------------------------------------------------------------- reading

#: The longest record read, in bytes (a line of JSON Lines, a record of
#: CSV, a run record): the batch core's own limit, so that a stream of
#: anything else (a device, a binary file) cannot exhaust memory.
MAX_RECORD_BYTES: int = _core.MAX_RECORD_BYTES

#: The range of a score: STOI and ESTOI are means of correlations.
SCORE_RANGE = (-1.0, 1.0)

_BLANK = b" \t\r\n"


class _Records(io.RawIOBase):
    """The bytes of a binary stream, with those already read from it (the
    head the format was told from) in front; raises ValueError as soon as
    a record grows beyond MAX_RECORD_BYTES. A record ends at a line end
    outside double quotes (CSV) or at any line end (quoting=False)."""

    def __init__(self, stream: Any, head: bytes, quoting: bool):
        super().__init__()
        self._stream = stream
        self._head = head
        self._quoting = quoting
        self._quoted = False
        self._length = 0  # bytes of the record read so far
        self._line = 1  # the line the current record began on
        self._lines = 1  # the line of the next byte

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            chunk, self._head = self._head[: len(buffer)], self._head[len(buffer) :]
        else:
            chunk = self._stream.read(len(buffer))
        if not chunk:
            return 0
        self._check(chunk)
        buffer[: len(chunk)] = chunk
        return len(chunk)

    def _too_long(self) -> None:
        raise ValueError(f"the record on line {self._line} is longer than {MAX_RECORD_BYTES} bytes: "
                         "not kelvor-batch results")

    def _check(self, chunk: bytes) -> None:
        parts = chunk.split(b"\n")
        if not self._quoted and (not self._quoting or b'"' not in chunk):
            # The common case: every line end ends a record, and no record
            # is too long.
            within = self._length + len(parts[0]) <= MAX_RECORD_BYTES and len(parts[-1]) <= MAX_RECORD_BYTES
            if within and (len(parts) < 3 or max(map(len, parts[1:-1])) < MAX_RECORD_BYTES):
                if len(parts) == 1:
                    self._length += len(chunk)
                else:
                    self._lines += len(parts) - 1
                    self._line = self._lines
                    self._length = len(parts[-1])
                return
        last = len(parts) - 1
        for k, part in enumerate(parts):
            self._length += len(part) + (k < last)
            if self._quoting:
                self._quoted ^= bool(part.count(b'"') & 1)
            if self._length > MAX_RECORD_BYTES:
                self._too_long()
            if k < last:
                self._lines += 1
                if not self._quoted:
                    self._length = 0
                    self._line = self._lines


def _open(path: PathLike) -> Tuple[Any, bool]:
    """(binary stream, whether to close it): '-' is standard input."""
    if os.fspath(path) == "-":
        return sys.stdin.buffer, False
    return open(path, "rb"), True


def _head(stream: Any) -> bytes:
    """The stream's first bytes up to its first one that is not blank (or
    its end), read as they come: a pipe is read once."""
    head = b""
    while len(head) <= MAX_RECORD_BYTES:
        chunk = stream.read(4096)
        if not chunk:
            break
        head += chunk
        if head.lstrip(_BLANK):
            break
    return head


def _is_jsonl(path: PathLike, head: bytes) -> bool:
    """JSON Lines by its name (.jsonl, .ndjson, .json), else by its first
    non-blank byte."""
    name = os.fspath(path).lower()
    if name.endswith((".jsonl", ".ndjson", ".json")):
        return True
    if name.endswith((".csv", ".tsv")):
        return False
    return head.lstrip(_BLANK).startswith(b"{")


def _floats(cells: np.ndarray, name: str) -> np.ndarray:
    """Text cells as float64: Python's own parser, which reads every
    shortest or 17-digit form back to the same double; empty -> NaN."""
    out = np.full(cells.shape[0], np.nan)
    filled = cells != ""
    if filled.any():
        try:
            out[filled] = cells[filled].astype(np.float64)
        except ValueError as e:
            raise ValueError(f"column {name!r} holds a value that is not a number ({e})") from None
    if name in MEASURES:
        low, high = SCORE_RANGE
        with np.errstate(invalid="ignore"):
            outside = np.flatnonzero(np.isfinite(out) & ((out < low) | (out > high)))
        if outside.size:
            i = int(outside[0])
            raise ValueError(f"column {name!r} holds {out[i]!r} in row {i}, which is no score "
                             f"(scores lie from {low:g} to {high:g})")
    return out


def _ints(cells: np.ndarray, name: str) -> pd.Series:
    """Text cells as nullable Int64; empty -> <NA>."""
    filled = cells != ""
    values = np.zeros(cells.shape[0], dtype=np.int64)
    if filled.any():
        try:
            values[filled] = [int(c) for c in cells[filled]]
        except (ValueError, OverflowError) as e:
            raise ValueError(f"column {name!r} holds a value that is not a whole number ({e})") from None
    return pd.arrays.IntegerArray(values, ~filled)


def _typed(columns: Dict[str, np.ndarray]) -> pd.DataFrame:
    """A table of text cells with the standard numeric columns converted."""
    data: Dict[str, Any] = {}
    for name, cells in columns.items():
        if name in _FLOAT_COLUMNS:
            data[name] = _floats(cells, name)
        elif name in _INT_COLUMNS:
            data[name] = _ints(cells, name)
        else:
            data[name] = cells
    n = len(next(iter(columns.values()))) if columns else 0
    table = pd.DataFrame(data, index=pd.RangeIndex(n, name="row"))
    return table


def _read_csv(stream: Any) -> pd.DataFrame:
    # Every cell as text, nothing taken for missing ("NA", "null" and empty
    # cells stay as they are); bytes that are not UTF-8 survive as
    # surrogates. The numbers are converted afterwards by Python's float(),
    # since pandas' default float parser does not read every 17-digit value
    # back to the same double.
    raw = pd.read_csv(
        io.BufferedReader(stream, 1 << 16),
        dtype=str,
        keep_default_na=False,
        na_filter=False,
        encoding="utf-8",
        encoding_errors="surrogateescape",
        skip_blank_lines=True,
    )
    return _typed({str(c): raw[c].to_numpy(dtype=object) for c in raw.columns})


def _text_cell(value: Any) -> str:
    """A JSON value of a text column as text: null as an empty string (as
    CSV writes it), true/false, lists and objects in their JSON form."""
    if value is None:
        return ""
    return json.dumps(value, ensure_ascii=False)


def _read_jsonl(stream: Any) -> pd.DataFrame:
    # Numbers are kept as their text and converted like CSV cells, so that
    # a metadata value written as a number keeps its digits.
    decoder = json.JSONDecoder(parse_float=str, parse_int=str, parse_constant=str)
    records = []
    lines = io.BufferedReader(stream, 1 << 16)
    number = 0
    while True:
        line = lines.readline(MAX_RECORD_BYTES + 1)
        if not line:
            break
        number += 1
        if len(line) > MAX_RECORD_BYTES:
            raise ValueError(f"line {number} is longer than {MAX_RECORD_BYTES} bytes: not kelvor-batch results")
        text = line.decode("utf-8", "surrogateescape")
        if not text.strip():
            continue
        try:
            record = decoder.decode(text)
        except json.JSONDecodeError as e:
            raise ValueError(f"line {number} is not a JSON object ({e.msg})") from None
        except RecursionError:
            raise ValueError(f"line {number} is nested too deeply to be a row of results") from None
        if not isinstance(record, dict):
            raise ValueError(f"line {number} is not a JSON object")
        records.append(record)
    if not records:
        return pd.DataFrame(index=pd.RangeIndex(0, name="row"))
    frame = pd.DataFrame.from_records(records)
    columns: Dict[str, np.ndarray] = {}
    for name in frame.columns:
        cells = frame[name].to_numpy(dtype=object)
        odd = [i for i, v in enumerate(cells) if type(v) is not str]
        for i in odd:
            v = cells[i]
            # A key missing from a line reads as pandas' NaN: empty, too.
            cells[i] = "" if isinstance(v, float) and v != v else _text_cell(v)
        columns[str(name)] = cells
    return _typed(columns)


def read_results(path: PathLike) -> pd.DataFrame:
    """The rows of a results file written by kelvor-batch (or by
    score_manifest saved with to_csv/to_json), read exactly.

    CSV or JSON Lines, told apart by the name (.jsonl, .ndjson, .json) or
    by the first character; ``"-"`` reads standard input, and pipes are
    read as they come. The scores and the other real numbers are
    float64 (NaN where a cell is empty or null) and read back to the very
    doubles written; ``delay_samples`` and ``rate`` are nullable Int64;
    every other column, the metadata columns included, is text byte for
    byte (``NA``, ``null`` and empty cells are kept as they are; bytes that
    are not UTF-8 are held as Python's "surrogateescape" holds them, see
    ``groupable``). The index
    is the 0-based row of the file (``row``), or, for a score_manifest
    DataFrame saved with ``to_csv`` (whose first column is its index
    ``row``), that column: the manifest's data row.

    Raises OSError when the file cannot be read, and ValueError naming the
    file when it holds no results: a record longer than MAX_RECORD_BYTES,
    a number that is not one, a score outside -1 to 1.
    """
    name = "standard input" if os.fspath(path) == "-" else os.fspath(path)
    stream, own = _open(path)
    try:
        head = _head(stream)
        jsonl = _is_jsonl(path, head)
        records = _Records(stream, head, quoting=not jsonl)
        table = _read_jsonl(records) if jsonl else _read_csv(records)
    except (ValueError, RecursionError) as e:
        text = str(e) if isinstance(e, ValueError) else "nested too deeply to be results"
        raise ValueError(f"{name}: {text}") from None
    finally:
        if own:
            stream.close()
    columns = list(table.columns)
    if len(columns) > 1 and columns[0] == "row" and columns[1] == COLUMNS[0]:
        # A score_manifest DataFrame saved with to_csv(): its index, the
        # manifest's data row, came first. It is the index again, not a
        # metadata column (which would take part in the pairing of compare).
        rows = table.pop("row")
        try:
            table.index = pd.Index([int(r) for r in rows], dtype="int64", name="row")
            table.attrs["listing_rows"] = True
        except ValueError:
            table.insert(0, "row", rows)
    return table


def run_record_path(results: PathLike) -> Optional[str]:
    """The run record kelvor-batch wrote for a results file,
    ``<results>.run.json``; None when there is none (and for standard
    input). Only the file's own record counts: another file of the same
    stem may belong to another run."""
    name = os.fspath(results)
    if name == "-":
        return None
    candidate = name + ".run.json"
    return candidate if os.path.isfile(candidate) else None


def read_run_record(results: PathLike) -> Optional[Dict[str, Any]]:
    """The run record of a results file as a dict, or None when there is
    none. A record that is not a JSON object, or longer than
    MAX_RECORD_BYTES, raises ValueError naming it."""
    path = run_record_path(results)
    if path is None:
        return None
    with open(path, "rb") as f:
        data = f.read(MAX_RECORD_BYTES + 1)
    if len(data) > MAX_RECORD_BYTES:
        raise ValueError(f"{path}: longer than {MAX_RECORD_BYTES} bytes, not a run record of kelvor-batch")
    try:
        record = json.loads(data.decode("utf-8", "surrogateescape"))
    except json.JSONDecodeError as e:
        raise ValueError(f"{path}: not a JSON run record ({e.msg})") from None
    except RecursionError:
        raise ValueError(f"{path}: nested too deeply to be a run record") from None
    if not isinstance(record, dict):
        raise ValueError(f"{path}: the run record is not a JSON object")
    return record


def metadata_columns(table: pd.DataFrame) -> List[str]:
    """The columns of a results table that are not kelvor-batch's standard
    ones, in their order: what the manifest carried along."""
    standard = set(COLUMNS)
    return [str(c) for c in table.columns if c not in standard]


def groupable(table: pd.DataFrame) -> pd.DataFrame:
    """A copy of a results table whose text values pandas can group, pair
    and sort: every value that holds bytes that are not UTF-8 (a folder
    named in Latin-1, say) shows each such byte as ``\\xNN``, as
    kelvor-stoi prints it; distinct values stay distinct.

    The table as read holds such bytes as lone surrogates, which keep
    every byte (``os.fsencode(value)`` gives the name back), but pandas 1.5
    takes all strings with surrogates for one key in ``groupby``,
    ``unique``, ``duplicated`` and ``merge``. Group a table of such values
    with ``groupable(table).groupby(...)``; summarize and compare need no
    such step.
    """
    out = table.copy()
    for name in out.columns:
        column = out[name]
        if column.dtype != object:
            continue
        cells = column.to_numpy(dtype=object)
        odd = [i for i, v in enumerate(cells) if isinstance(v, str) and _SURROGATE.search(v)]
        if not odd:
            continue
        taken = {v for v in cells if isinstance(v, str)}
        shown: Dict[str, str] = {}
        cells = cells.copy()
        for i in odd:
            value = cells[i]
            if value not in shown:
                text = escaped_bytes(value)
                # A valid value that reads like an escape keeps its own key.
                while text in taken:
                    text += "\\"
                taken.add(text)
                shown[value] = text
            cells[i] = shown[value]
        out[name] = cells
    return out


_SURROGATE = re.compile("[\udc80-\udcff]")


def escaped_bytes(text: str) -> str:
    """text with every byte that is not UTF-8 (held as a lone surrogate)
    as ``\\xNN``."""
    return _SURROGATE.sub(lambda m: f"\\x{ord(m.group()) - 0xDC00:02x}", text)


# ---------------------------------------------------------- t quantile


def _beta_fraction(a: float, b: float, x: float) -> float:
    """The continued fraction of the regularised incomplete beta function
    (modified Lentz), for x < (a + 1) / (a + b + 2)."""
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    h = d
    for m in range(1, 10000):
        m2 = 2 * m
        for numerator in (
            m * (b - m) * x / ((a + m2 - 1.0) * (a + m2)),
            -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0)),
        ):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            h *= d * c
        if abs(d * c - 1.0) < 1e-16:
            break
    return h


def _log_gamma_step(a: float) -> float:
    """log(Gamma(a + 1/2) / Gamma(a)): for large a from its asymptotic
    series, where the difference of two log-gammas would lose digits."""
    if a < 25.0:
        return math.lgamma(a + 0.5) - math.lgamma(a)
    r = 1.0 / (a * a)
    return 0.5 * math.log(a) - (1.0 / 8.0 - r * (1.0 / 192.0 - r * (1.0 / 640.0 - r * 17.0 / 14336.0))) / a


def _incomplete_beta(a: float, b: float, x: float, y: float, log_x: float, log_y: float) -> float:
    """I_x(a, b), the regularised incomplete beta function for b = 1/2 or
    a = 1/2, with y = 1 - x, log x and log y given as exactly as the
    caller knows them."""
    if x <= 0.0:
        return 0.0
    if y <= 0.0:
        return 1.0
    # log(Gamma(a + b) / (Gamma(a) Gamma(b))), one of a and b being 1/2.
    log_gammas = _log_gamma_step(a if b == 0.5 else b) - math.lgamma(0.5)
    log_front = log_gammas + a * log_x + b * log_y
    if x < (a + 1.0) / (a + b + 2.0):
        return math.exp(log_front) * _beta_fraction(a, b, x) / a
    return 1.0 - math.exp(log_front) * _beta_fraction(b, a, y) / b


def _t_upper(t: float, df: float) -> float:
    """P(T > t) for t >= 0, Student's t with df degrees of freedom."""
    return 0.5 * _incomplete_beta(df / 2.0, 0.5, *_t_beta_argument(t, df))


def _t_beta_argument(t: float, df: float) -> Tuple[float, float, float, float]:
    """x = df / (df + t^2), 1 - x, log x and log(1 - x), each without the
    others' rounding."""
    u = t * t / df
    log1p = math.log1p(u)
    return 1.0 / (1.0 + u), u / (1.0 + u), -log1p, (math.log(u) - log1p) if u > 0 else -math.inf


# From this many degrees of freedom on, the quantile comes from its
# expansion in 1 / df, whose first omitted term is below 1e-16 there; the
# incomplete beta function, whose terms grow with df, loses digits beyond.
_EXPANSION_DF = 1e4


def _t_expansion(z: float, df: float) -> float:
    """The t quantile at the normal quantile z, Cornish-Fisher's expansion
    to the fourth power of 1 / df (Abramowitz and Stegun 26.7.5)."""
    z2 = z * z
    g1 = (z2 + 1.0) * z / 4.0
    g2 = ((5.0 * z2 + 16.0) * z2 + 3.0) * z / 96.0
    g3 = (((3.0 * z2 + 19.0) * z2 + 17.0) * z2 - 15.0) * z / 384.0
    g4 = ((((79.0 * z2 + 776.0) * z2 + 1482.0) * z2 - 1920.0) * z2 - 945.0) * z / 92160.0
    return z + (g1 + (g2 + (g3 + g4 / df) / df) / df) / df


def t_quantile(p: float, df: float) -> float:
    """The p quantile of Student's t distribution with df > 0 degrees of
    freedom, without scipy: within 1e-13 relative for p from 1e-9 to
    1 - 1e-9 at every df (mostly within 1e-15)."""
    if not 0.0 < p < 1.0:
        raise ValueError(f"p must lie between 0 and 1, not {p!r}")
    if not df > 0:
        raise ValueError(f"df must be positive, not {df!r}")
    if p < 0.5:
        return -t_quantile(1.0 - p, df)
    if p == 0.5:
        return 0.0
    if df == 1:
        return math.tan(math.pi * (p - 0.5))
    if df == 2:
        return (2.0 * p - 1.0) / math.sqrt(2.0 * p * (1.0 - p))
    if df >= _EXPANSION_DF:
        return _t_expansion(NormalDist().inv_cdf(p), df)
    # Bracket, then Newton steps kept inside the bracket (bisection when a
    # step would leave it).
    low, high = 0.0, max(1.0, NormalDist().inv_cdf(p))
    while _t_excess(high, df, p) < 0:
        low, high = high, high * 2.0
    t = NormalDist().inv_cdf(p)
    if not low < t < high:
        t = (low + high) / 2.0
    log_norm = _log_gamma_step(df / 2) - 0.5 * math.log(df * math.pi)
    for _ in range(200):
        excess = _t_excess(t, df, p)
        if excess < 0:
            low = t
        else:
            high = t
        density = math.exp(log_norm - (df + 1) / 2 * math.log1p(t * t / df))
        following = t - excess / density
        if not low < following < high:
            following = (low + high) / 2.0
        if abs(following - t) <= 1e-15 * abs(following) or high - low <= 4e-16 * high:
            return following
        t = following
    return t


def _t_excess(t: float, df: float, p: float) -> float:
    """P(T <= t) - p for t >= 0 and p > 1/2, from whichever side keeps its
    digits: the tail above t (against 1 - p, exact) for p near 1, the mass
    between 0 and t (against p - 1/2, exact) for p near 1/2."""
    if p <= 0.75:
        x, y, log_x, log_y = _t_beta_argument(t, df)
        return 0.5 * _incomplete_beta(0.5, df / 2.0, y, x, log_y, log_x) - (p - 0.5)
    return (1.0 - p) - _t_upper(t, df)


# ------------------------------------------------------------ grouping


def _check_columns(table: pd.DataFrame, names: Sequence[str], argument: str) -> None:
    missing = [n for n in names if n not in table.columns]
    if missing:
        raise ValueError(
            f"{argument}: no column {', '.join(repr(m) for m in missing)} in the results; "
            f"its columns are {', '.join(map(str, table.columns))}"
        )


def _as_list(value: Union[None, str, Iterable[str]]) -> List[str]:
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    return [str(v) for v in value]


def _factorize(values: Any) -> Tuple[np.ndarray, List[Any]]:
    """Codes 0 .. K-1 in the order of first appearance, and the K distinct
    values; a missing value (NaN, None, <NA>) is an empty cell. Every
    distinct Python value is a key of its own: pandas' hash tables take
    all strings that hold bytes that are not UTF-8 (lone surrogates) for
    one, so text is never grouped, paired or ordered through them."""
    cells = np.asarray(values, dtype=object)
    missing = pd.isna(cells)
    if missing.any():
        cells = cells.copy()
        cells[missing] = ""
    # pandas' own factorize where no value holds a surrogate: strings that
    # it merged would show as a distinct value that holds one.
    codes, distinct = pd.factorize(cells, sort=False)
    if not _SURROGATE.search("".join(v for v in distinct if isinstance(v, str))):
        return codes.astype(np.int64, copy=False), list(distinct)
    index: Dict[Any, int] = {}
    codes = np.fromiter((index.setdefault(v, len(index)) for v in cells), dtype=np.int64, count=cells.shape[0])
    return codes, list(index)


def _value_order(distinct: Sequence[Any]) -> List[int]:
    """The positions of a column's distinct values in a reader's order:
    numerically when every value that is not empty is a number (SNRs: -5,
    0, 5, 10), with empty cells last (kelvor-batch writes one for a file
    outside every snr= folder); else in the order given (of first
    appearance, the manifest's order)."""
    numbers: List[Optional[float]] = []
    for v in distinct:
        if isinstance(v, str) and not v.strip():
            numbers.append(None)
            continue
        try:
            x = float(v)
        except (TypeError, ValueError, OverflowError):
            return list(range(len(distinct)))
        if math.isnan(x):
            return list(range(len(distinct)))
        numbers.append(x)
    return sorted(range(len(distinct)), key=lambda i: (numbers[i] is None, numbers[i] or 0.0))


def _group_codes(table: pd.DataFrame, by: List[str]) -> Tuple[np.ndarray, pd.DataFrame]:
    """A group number per row (0 .. G-1, in the order of _value_order per
    column, the first column slowest) and the groups' key values (a
    missing value shown as an empty cell)."""
    if not by:
        return np.zeros(len(table), dtype=np.int64), pd.DataFrame(index=pd.RangeIndex(1))
    codes = np.zeros(len(table), dtype=np.int64)
    columns = []
    first = np.zeros(0, dtype=np.int64)
    for name in by:
        values, distinct = _factorize(table[name].to_numpy(dtype=object))
        rank_of = np.empty(len(distinct), dtype=np.int64)
        rank_of[_value_order(distinct)] = np.arange(len(distinct))
        columns.append((name, values, np.array(distinct + [None], dtype=object)[:-1]))
        # Dense again after every column, so that no number of columns or
        # values can overflow; the first row of each group comes along.
        _, first, codes = np.unique(codes * len(distinct) + rank_of[values], return_index=True, return_inverse=True)
        codes = codes.astype(np.int64).reshape(-1)
    frame = pd.DataFrame({name: distinct[values[first]] for name, values, distinct in columns})
    return codes, frame


def _scored(table: pd.DataFrame) -> np.ndarray:
    """Rows that count as scored: status ok (every row where there is no
    status column) with finite scores."""
    ok = np.ones(len(table), dtype=bool)
    if "status" in table.columns:
        ok &= (table["status"] == "ok").to_numpy()
    for m in MEASURES:
        if m in table.columns:
            ok &= np.isfinite(table[m].to_numpy(dtype=np.float64, na_value=np.nan))
    return ok


def _t_factors(k: np.ndarray, confidence: float) -> np.ndarray:
    """t(1 - (1 - confidence) / 2, k - 1) per group of k scored rows; NaN
    below two rows."""
    p = 1.0 - (1.0 - confidence) / 2.0
    # Once per distinct count: groups of one size share their factor.
    sizes, where = np.unique(k, return_inverse=True)
    factors = np.array([t_quantile(p, float(n - 1)) if n >= 2 else math.nan for n in sizes], dtype=np.float64)
    return factors[where.reshape(-1)] if k.shape[0] else np.zeros(0)


def _interval(mean: np.ndarray, sd: np.ndarray, k: np.ndarray, t: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    half = np.full(mean.shape, np.nan)
    for i in range(mean.shape[0]):
        if k[i] >= 2 and np.isfinite(sd[i]):
            half[i] = t[i] * sd[i] / math.sqrt(k[i])
    return mean - half, mean + half


def _check_confidence(confidence: float) -> float:
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie between 0 and 1 (0.95 for 95 %), not {confidence!r}")
    return float(confidence)


def _grouped_moments(values: np.ndarray, codes: np.ndarray, k: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Mean and sample standard deviation of values per group, k values in
    each."""
    groups = k.shape[0]
    total = np.bincount(codes, weights=values, minlength=groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(k > 0, total / np.maximum(k, 1), np.nan)
        deviation = values - mean[codes]
        squares = np.bincount(codes, weights=deviation * deviation, minlength=groups)
        sd = np.where(k > 1, np.sqrt(squares / np.maximum(k - 1, 1)), np.nan)
    return mean, sd


def summarize(
    table: pd.DataFrame,
    by: Union[None, str, Sequence[str]] = None,
    confidence: float = 0.95,
) -> pd.DataFrame:
    """Per group of the by columns: n (rows), failed (rows not ok), and for
    STOI and ESTOI the mean, standard deviation and confidence interval
    of the mean (Student's t) over the scored rows.

    Returns one row per group, in the order of the group values (numbers
    ascending, text in order of appearance), with the columns ``*by``,
    ``n``, ``failed``, ``stoi_mean``, ``stoi_sd``, ``stoi_ci_low``,
    ``stoi_ci_high``, and the same for ``estoi``. Without by, one row for
    the whole table. A group of one scored row has no sd and no interval
    (NaN); a group of failures only has no mean either.
    """
    by_list = _as_list(by)
    _check_columns(table, by_list, "by")
    _check_distinct(by_list, "by")
    _check_columns(table, list(MEASURES), "table")
    confidence = _check_confidence(confidence)
    codes, keys = _group_codes(table, by_list)
    groups = len(keys)
    scored = _scored(table)
    scored_codes = codes[scored]
    # Every measure is scored on the same rows: one count and one t factor
    # per group serve them all.
    k = np.bincount(scored_codes, minlength=groups).astype(np.int64)
    t = _t_factors(k, confidence)
    out = keys.copy()
    out["n"] = np.bincount(codes, minlength=groups).astype(np.int64)
    out["failed"] = out["n"] - k
    for m in MEASURES:
        values = table[m].to_numpy(dtype=np.float64, na_value=np.nan)[scored]
        mean, sd = _grouped_moments(values, scored_codes, k)
        low, high = _interval(mean, sd, k, t)
        out[f"{m}_mean"] = mean
        out[f"{m}_sd"] = sd
        out[f"{m}_ci_low"] = low
        out[f"{m}_ci_high"] = high
    out.attrs["confidence"] = confidence
    return out


# ------------------------------------------------------------- compare


def _mean(values: np.ndarray) -> float:
    """The mean; where every value is equal, that value itself, which a
    sum of rounded terms can miss by a unit in the last place."""
    first = values[0]
    return float(first) if (values == first).all() else float(values.mean())


def _percentile_bootstrap(
    differences: np.ndarray, resamples: int, rng: np.random.Generator, confidence: float
) -> np.ndarray:
    """Percentile intervals (2 x measures) of the mean of the rows of
    differences (pairs x measures) under resampling of the pairs; one set
    of resampled indices serves every measure."""
    n, width = differences.shape
    # The deviations from the mean are resampled and the mean added back:
    # the same interval, with less rounding, and where every difference is
    # equal, exactly the mean at both ends. Two measures travel as the real
    # and imaginary part of one complex number, so that one gather fetches
    # both, which halves the random accesses that dominate the time.
    centre = np.array([_mean(differences[:, j]) for j in range(width)])
    deviations = differences - centre
    packed = []
    for j in range(0, width, 2):
        if j + 1 < width:
            packed.append(deviations[:, j] + 1j * deviations[:, j + 1])
        else:
            packed.append(deviations[:, j].copy())
    means = np.empty((resamples, width))
    # About four million draws at a time: a bounded buffer at any n.
    chunk = max(1, min(resamples, (1 << 22) // n))
    for start in range(0, resamples, chunk):
        count = min(chunk, resamples - start)
        # Indices of the machine's own width: take() would convert any other.
        picks = rng.integers(0, n, size=(count, n), dtype=np.intp)
        for k, column in enumerate(packed):
            total = np.take(column, picks).sum(axis=1) / n
            means[start : start + count, 2 * k] = total.real
            if 2 * k + 1 < width:
                means[start : start + count, 2 * k + 1] = total.imag
    tail = (1.0 - confidence) / 2.0
    return centre + np.quantile(means, [tail, 1.0 - tail], axis=0)


def _key_columns(table: pd.DataFrame, between: str, on: Optional[Sequence[str]], by: List[str]) -> List[str]:
    if on is None:
        key = ["reference"] + [c for c in metadata_columns(table) if c != between]
    else:
        key = _as_list(on)
        _check_columns(table, key, "on")
        _check_distinct(key, "on")
        _check_not_scores(key, "on")
        if between in key:
            raise ValueError(f"on: the compared column {between!r} cannot be part of the pairing key")
    for name in by:
        if name not in key:
            key.append(name)
    return key


def _check_distinct(names: Sequence[str], argument: str) -> None:
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"{argument}: the column {name!r} is named twice")
        seen.add(name)


def _check_not_scores(names: Sequence[str], argument: str) -> None:
    for name in names:
        if name in MEASURES:
            raise ValueError(f"{argument}: {name!r} is a score, which compare compares; "
                             "it cannot also tell the pairs or groups apart")


def _paired(
    table: pd.DataFrame, labels: pd.Series, a: str, b: str, key: List[str], by: List[str], scored: np.ndarray
) -> Tuple[pd.DataFrame, np.ndarray, List[pd.DataFrame]]:
    """The pairing of compare, shared with the report's scatter plot.

    Returns the rows labelled a and b merged on the key (an outer merge:
    ``_merge`` tells pairs from rows without a partner, the measures and
    ``_scored`` carry the suffixes _a and _b), which of its rows are pairs
    scored on both sides, and per side the by values of the rows left out
    because their key repeats on that side. Repeats are looked for among
    all rows of a side, failed ones included: a key listed twice is
    ambiguous whichever copy failed.
    """
    # The key as exact codes (see _factorize): pandas then pairs numbers.
    codes = {}
    distinct = {}
    for j, name in enumerate(key):
        codes[f"_k{j}"], values = _factorize(table[name].to_numpy(dtype=object))
        distinct[name] = np.array(values + [None], dtype=object)[:-1]
    code_names = list(codes)
    frame = pd.DataFrame(codes, index=table.index)
    for m in MEASURES:
        frame[m] = table[m].to_numpy(dtype=np.float64, na_value=np.nan)
    frame["_scored"] = scored
    by_codes = [f"_k{key.index(name)}" for name in by]
    sides = []
    duplicates = []
    for label in (a, b):
        side = frame.loc[(labels == label).to_numpy()]
        repeated = side.duplicated(subset=code_names, keep=False).to_numpy()
        duplicates.append(pd.DataFrame({name: distinct[name][side[c].to_numpy()[repeated]]
                                        for name, c in zip(by, by_codes)}, index=pd.RangeIndex(int(repeated.sum()))))
        sides.append(side.loc[~repeated])
    merged = sides[0].merge(sides[1], on=code_names, how="outer", suffixes=("_a", "_b"), indicator=True, sort=False)
    for j, name in enumerate(key):
        merged[name] = distinct[name][merged.pop(f"_k{j}").to_numpy()]
    usable = (
        (merged["_merge"] == "both").to_numpy()
        & merged["_scored_a"].fillna(False).to_numpy(dtype=bool)
        & merged["_scored_b"].fillna(False).to_numpy(dtype=bool)
    )
    return merged, usable, duplicates


def compare(
    table: pd.DataFrame,
    between: str,
    a: Any,
    b: Any,
    by: Union[None, str, Sequence[str]] = None,
    on: Union[None, str, Sequence[str]] = None,
    resamples: int = DEFAULT_RESAMPLES,
    seed: int = DEFAULT_SEED,
    confidence: float = 0.95,
) -> pd.DataFrame:
    """Paired differences B - A between the rows whose column ``between``
    is ``a`` and those where it is ``b``, per group of the by columns.

    Rows pair up when they agree on ``reference`` and every metadata column
    other than ``between`` (or on the columns ``on``); see the module's
    documentation for duplicates and unmatched rows. For STOI and ESTOI,
    over the pairs scored on both sides: ``pairs``, ``mean_a``, ``mean_b``,
    ``mean_diff`` (B - A), ``sd_diff``, the paired-t interval
    ``t_low``/``t_high``, the percentile bootstrap interval
    ``boot_low``/``boot_high`` from ``resamples`` resamples of the pairs
    (generator seeded with ``seed`` and the group's number, so the result
    is the same on every run), and ``b_higher``, the share of pairs where B
    scores strictly higher. Returns one row per group and measure (column
    ``measure``), with the labels ``a`` and ``b`` and the counts
    ``matched``, ``failed``, ``unmatched_a``, ``unmatched_b`` and
    ``duplicates`` of the group.
    """
    by_list = _as_list(by)
    if not isinstance(between, str):
        raise ValueError(f"between must be a column name, not {between!r}")
    _check_columns(table, [between], "between")
    _check_columns(table, by_list, "by")
    _check_columns(table, list(MEASURES), "table")
    if between in by_list:
        raise ValueError(f"by: the compared column {between!r} cannot also group the pairs")
    _check_not_scores([between], "between")
    _check_not_scores(by_list, "by")
    _check_distinct(by_list, "by")
    if isinstance(resamples, bool) or not isinstance(resamples, (int, np.integer)) or resamples < 1:
        raise ValueError(f"resamples must be a positive whole number, not {resamples!r}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a whole number >= 0, not {seed!r}")
    confidence = _check_confidence(confidence)
    key = _key_columns(table, between, on, by_list)
    labels = table[between].astype(str)
    a_text, b_text = str(a), str(b)
    if a_text == b_text:
        raise ValueError(f"a and b are the same value {a_text!r}")
    for label, name in ((a_text, "a"), (b_text, "b")):
        if not (labels == label).any():
            present = ", ".join(repr(v) for v in _factorize(labels)[1][:20])
            raise ValueError(f"{name}: no row has {between} = {label!r}; its values are {present}")

    merged, usable, duplicates = _paired(table, labels, a_text, b_text, key, by_list, _scored(table))

    # Groups: those of every row of either side, in the reader's order.
    if by_list:
        everything = pd.concat([merged[by_list]] + duplicates, ignore_index=True)
        codes_all, keys = _group_codes(everything, by_list)
        codes, dup_codes = codes_all[: len(merged)], codes_all[len(merged) :]
    else:
        codes, keys = _group_codes(merged, by_list)
        dup_codes = np.zeros(sum(len(d) for d in duplicates), dtype=np.int64)
    groups = len(keys)

    both = (merged["_merge"] == "both").to_numpy()
    only_a = (merged["_merge"] == "left_only").to_numpy()
    only_b = (merged["_merge"] == "right_only").to_numpy()

    counts = {
        "matched": np.bincount(codes[both], minlength=groups),
        "failed": np.bincount(codes[both & ~usable], minlength=groups),
        "unmatched_a": np.bincount(codes[only_a], minlength=groups),
        "unmatched_b": np.bincount(codes[only_b], minlength=groups),
        "duplicates": np.bincount(dup_codes, minlength=groups) if dup_codes.size else np.zeros(groups, dtype=np.int64),
    }
    value_a = np.column_stack([merged[f"{m}_a"].to_numpy(dtype=np.float64, na_value=np.nan) for m in MEASURES])
    value_b = np.column_stack([merged[f"{m}_b"].to_numpy(dtype=np.float64, na_value=np.nan) for m in MEASURES])
    order = np.argsort(codes[usable], kind="stable")
    pair_codes = codes[usable][order]
    pair_a = value_a[usable][order]
    pair_b = value_b[usable][order]
    starts = np.searchsorted(pair_codes, np.arange(groups + 1))
    p = 1.0 - (1.0 - confidence) / 2.0

    records = []
    factors: Dict[int, float] = {}
    for g in range(groups):
        lo, hi = starts[g], starts[g + 1]
        n = int(hi - lo)
        ga, gb = pair_a[lo:hi], pair_b[lo:hi]
        diff = gb - ga
        boot = np.full((2, len(MEASURES)), np.nan)
        if n >= 2:
            rng = np.random.default_rng([int(seed), g])
            boot = _percentile_bootstrap(diff, int(resamples), rng, confidence)
        if n not in factors:  # once per number of pairs
            factors[n] = t_quantile(p, n - 1) if n > 1 else math.nan
        t = factors[n]
        for j, measure in enumerate(MEASURES):
            record: Dict[str, Any] = {name: keys[name].iloc[g] for name in by_list}
            record["measure"] = measure
            record["a"] = a_text
            record["b"] = b_text
            record["pairs"] = n
            if n:
                d = diff[:, j]
                mean_diff = _mean(d)
                sd = float(d.std(ddof=1)) if n > 1 else math.nan
                half = t * sd / math.sqrt(n) if n > 1 else math.nan
                record.update(
                    mean_a=float(ga[:, j].mean()),
                    mean_b=float(gb[:, j].mean()),
                    mean_diff=mean_diff,
                    sd_diff=sd,
                    t_low=mean_diff - half,
                    t_high=mean_diff + half,
                    boot_low=float(boot[0, j]),
                    boot_high=float(boot[1, j]),
                    b_higher=float(np.count_nonzero(d > 0)) / n,
                )
            else:
                record.update(
                    mean_a=math.nan, mean_b=math.nan, mean_diff=math.nan, sd_diff=math.nan, t_low=math.nan,
                    t_high=math.nan, boot_low=math.nan, boot_high=math.nan, b_higher=math.nan,
                )
            record["resamples"] = int(resamples)
            for name, values in counts.items():
                record[name] = int(values[g])
            records.append(record)
    out = pd.DataFrame.from_records(records)
    out.attrs.update(between=between, a=a_text, b=b_text, key=key, resamples=int(resamples), seed=int(seed),
                     confidence=confidence)
    return out
