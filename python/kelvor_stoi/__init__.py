"""STOI and ESTOI, exact and fast, for numpy arrays and audio files.

Scores how intelligible a degraded speech signal is next to its clean
reference, with the two published measures STOI (Short-Time Objective
Intelligibility) and ESTOI (Extended STOI), computed by the KELVOR_STOI
library. Higher is better; identical signals score 1.

    import kelvor_stoi
    d = kelvor_stoi.stoi(clean, degraded, 16000)           # STOI
    e = kelvor_stoi.stoi(clean, degraded, 16000, True)     # ESTOI
    s = kelvor_stoi.score(clean, degraded, 16000)          # both: s.stoi, s.estoi, s.delay
    t = kelvor_stoi.score_manifest("test_set.csv")         # a DataFrame of kelvor-batch's rows

Signals are 1-D numpy arrays (or sequences) of int16 samples, or of
floating-point samples on the scale of full scale = 1, at any sample rate
from 1000 to 768000 Hz (int16 samples count as their value / 32768, so the
same samples score alike in either type). Two scoring profiles:

- ``profile="reference"`` (the default): the published reference
  definition of the measures, in double precision, with the reference's
  own resampler to 10 kHz; the numbers papers report, to about 1e-14.
- ``profile="tool"``: the KELVOR_STOI tool's chain (its delay search, its
  8 to 10 kHz resampler, its single-precision FFT); int16 at 8000 Hz only,
  the tool's and the C library's numbers to the last bit.

Every function releases the GIL while it works. Failures raise a subclass
of KelvorError that is also ValueError (bad input, too little speech),
MemoryError, OSError or FileNotFoundError (files); its ``status``
attribute holds kelvor-batch's status code.

Text that is not UTF-8 (a file or folder named in Latin-1) is kept byte
for byte, as Python's "surrogateescape" keeps it: os.fsencode(value) gives
the bytes back. pandas 1.5 takes all such strings for one key when it
groups, merges or finds duplicates, so group a DataFrame of them through
``kelvor_stoi.analysis.groupable(table)``, which shows each such byte as
``\\xNN`` and keeps distinct values distinct; ``analysis.summarize`` and
``analysis.compare`` need no such step.
"""
from __future__ import annotations

import importlib
import operator
import os
from dataclasses import dataclass, fields
from typing import (
    TYPE_CHECKING,
    Any,
    Dict,
    Iterable,
    List,
    Literal,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
    overload,
)

import numpy as np

from kelvor_stoi import _core, _progress
from kelvor_stoi._errors import ERRORS, KelvorError, error_of

globals().update({cls.__name__: cls for cls in ERRORS.values()})

if TYPE_CHECKING:
    import matplotlib.axes
    import matplotlib.figure
    import pandas
    from distributed import Client

__all__ = [
    "KelvorError",
    *sorted(cls.__name__ for cls in ERRORS.values()),
    "Score",
    "Details",
    "stoi",
    "score",
    "stoi_batch",
    "score_batch",
    "stoi_gradient",
    "SCORE_DTYPE",
    "score_files",
    "score_many",
    "details",
    "plot_details",
    "load_details",
    "read_audio",
    "score_manifest",
    "COLUMNS",
    "COLUMN_TYPES",
    "__version__",
]

__version__: str = _core.version()

#: The standard columns of kelvor-batch's output, in its order; also the
#: first columns of ``score_manifest``'s DataFrame (the manifest's own
#: columns follow them).
COLUMNS: Tuple[str, ...] = tuple(_core.COLUMNS)

#: What each standard column holds: "text" (str, object dtype), "real"
#: (float64, NaN where the output's cell is empty) or "integer" (nullable
#: Int64). From the front-end core's column table, as COLUMNS.
COLUMN_TYPES: Dict[str, str] = dict(_core.COLUMN_TYPES)

ArrayLike = Union[np.ndarray, Sequence[float], Sequence[int]]
Rate = Union[int, float, np.integer, np.floating]
#: A file name: str (with the surrogates of os.fsdecode for bytes that are
#: not UTF-8), bytes, or a path-like object.
PathName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Score(NamedTuple):
    """The scores of one pair.

    stoi:     STOI, in [-1, 1].
    estoi:    ESTOI, in [-1, 1].
    delay:    the delay of the degraded signal in effect, in samples of the
              pair's rate: the one found (align), the one given (shift), or 0.
              Away from 8 kHz int16 the delay is found on the 10 kHz signals
              and converted to the pair's rate, rounded to nearest.
    delay_ms: the same delay in milliseconds; when it was found away from
              8 kHz int16, the 10 kHz delay / 10 (0.1 ms steps).
    """

    stoi: float
    estoi: float
    delay: int
    delay_ms: float


@dataclass(frozen=True, eq=False, repr=False)
class Details:
    """The intermediate results behind one pair's scores.

    Frames are 256 samples at 10 kHz with a hop of 128 (frame i starts at
    i * 12.8 ms of the reference); the frames in which the reference is
    more than 40 dB below its loudest frame are removed from both signals,
    and a segment is 30 consecutive frames of what is left.

    scores:           the pair's Score.
    band_centre_hz:   (15,) centre frequencies of the one-third-octave bands.
    stoi_correlation: (15, M) clipped correlation of band j in segment m;
                      its mean, summed in memory order, is the STOI.
    estoi_segment:    (M,) ESTOI value of each segment; its mean, summed
                      in order, is the ESTOI.
    segment_start:    (M,) seconds of the reference at which each segment's
    segment_end:      first kept frame starts and its last kept frame ends
                      (longer than 0.3968 s where silent frames were cut
                      out in between).
    frame_count:      frames of the reference before silent-frame removal.
    kept_frames:      (K,) indices of the frames that survived, ascending.
    """

    scores: Score
    band_centre_hz: np.ndarray
    stoi_correlation: np.ndarray
    estoi_segment: np.ndarray
    segment_start: np.ndarray
    segment_end: np.ndarray
    frame_count: int
    kept_frames: np.ndarray

    @property
    def segment_count(self) -> int:
        """M, the number of segments."""
        return int(self.estoi_segment.shape[0])

    def __eq__(self, other: object) -> bool:
        """Equal when the scores and every array are: the same values and
        shapes (NaN equals NaN, as the details of one pair read twice)."""
        if not isinstance(other, Details):
            return NotImplemented
        return all(
            np.array_equal(getattr(self, f.name), getattr(other, f.name), equal_nan=True)
            if isinstance(getattr(self, f.name), np.ndarray)
            else getattr(self, f.name) == getattr(other, f.name)
            for f in fields(self)
        )

    # Mutable arrays make no hash.
    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        s = self.scores
        return (
            f"Details(stoi={s.stoi:.5f}, estoi={s.estoi:.5f}, delay={s.delay}, "
            f"segments={self.segment_count}, frames={self.frame_count}, kept={int(self.kept_frames.shape[0])})"
        )


# ------------------------------------------------------------ arguments


def _samples(x: Any, name: str) -> np.ndarray:
    """x as a 1-D array of int16, float32 or float64 samples in the
    machine's byte order, which the core reads where they lie (any strides).
    Only what it cannot read so is converted: another byte order, and other
    floating types (float16 to float32, wider ones to float64)."""
    a = np.asarray(x)
    if a.ndim != 1:
        raise ValueError(
            f"{name}: expected a 1-D array of samples, got an array of shape {a.shape}; "
            "arrays of shape (..., time) are scored by kelvor_stoi.stoi and kelvor_stoi.score_batch"
        )
    return _sample_values(a, name)


def _sample_values(a: np.ndarray, name: str) -> np.ndarray:
    """An array of samples of any shape as _samples converts them."""
    if a.dtype.kind == "i" and a.dtype.itemsize == 2:
        return a if a.dtype.isnative else a.astype(np.int16)
    if a.dtype.kind == "f":
        if a.dtype.itemsize in (4, 8):
            return a if a.dtype.isnative else a.astype(a.dtype.newbyteorder("="))
        return a.astype(np.float32 if a.dtype.itemsize < 4 else np.float64)
    raise ValueError(
        f"{name}: samples must be int16 or floating point (float32, float64), not {a.dtype}; "
        "convert other integers to int16 or to floats on the scale of full scale = 1"
    )


def _rate(fs: Any) -> int:
    """fs as a positive int; a float is accepted when it is a whole number.
    The library judges which rates it scores."""

    def refused() -> KelvorError:
        return error_of("bad_rate", f"the sample rate {fs!r} is not a positive whole number of hertz")

    if isinstance(fs, (bool, np.bool_)):
        raise refused()
    try:
        rate = operator.index(fs)
    except TypeError:
        if isinstance(fs, (float, np.floating)) and float(fs).is_integer():
            rate = int(fs)
        else:
            raise refused() from None
    if not 0 < rate <= 2**31 - 1:
        raise refused()
    return rate


Profile = Optional[Literal["reference", "tool"]]
#: What to do with signals of different lengths (see score()).
Unequal = Optional[Literal["refuse", "pad", "trim"]]


def _options(**given: Any) -> "_core.PairOptions":
    """The options of a pair from the keywords of a call, checked by the
    core's record (a ValueError names the keyword); None keeps an option's
    default."""
    return _core.PairOptions(**{name: value for name, value in given.items() if value is not None})


def _jobs(jobs: Optional[int]) -> int:
    if jobs is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:
            return os.cpu_count() or 1
    try:
        if isinstance(jobs, (bool, np.bool_)):
            raise TypeError  # True is no count of threads
        n = operator.index(jobs)
    except TypeError:
        raise ValueError(f"jobs must be a positive whole number or None, not {jobs!r}") from None
    if not 1 <= n <= _core.MAX_JOBS:
        raise ValueError(f"jobs must be from 1 to {_core.MAX_JOBS}, not {n}")
    return n


def _path(path: Any, name: str = "path") -> bytes:
    """A file name as the bytes the file system knows it by: str (also
    with the surrogates of os.fsdecode), bytes or a path-like object. A NUL
    byte, which no file name holds, raises ValueError as open() does."""
    raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError(f"{name}: embedded null byte")
    return raw


class _Unset:
    """The default of an argument that has two names: given under neither."""

    def __repr__(self) -> str:
        return "<required>"


_UNSET: Any = _Unset()


def _one_of(call: str, name: str, value: Any, alias: str, alias_value: Any) -> Any:
    """The value of an argument that has two names, this package's (name)
    and the Python reference's (alias): given under one of them, never
    both (TypeError, as Python's own for an argument given twice)."""
    if value is _UNSET:
        if alias_value is _UNSET:
            raise TypeError(f"{call}() missing required argument '{name}' (or '{alias}')")
        return alias_value
    if alias_value is not _UNSET:
        raise TypeError(f"{call}() got '{name}' and '{alias}', two names of one argument: give one")
    return value


def _score(raw: Tuple[float, float, int, float]) -> Score:
    return Score(float(raw[0]), float(raw[1]), int(raw[2]), float(raw[3]))


# -------------------------------------------------------------- scoring


def score(
    clean: ArrayLike,
    degraded: ArrayLike,
    fs: Rate = _UNSET,
    align: bool = False,
    shift: int = 0,
    double_table: bool = False,
    profile: Profile = None,
    *,
    unequal: Unequal = None,
    fs_sig: Rate = _UNSET,
) -> Score:
    """STOI and ESTOI of degraded against clean, both sampled at fs Hz.

    clean, degraded: 1-D arrays of int16 samples or of floating-point
        samples (full scale = 1), of one length (see unequal).
        int16, float32 and float64 arrays are read where they lie (any
        strides), never copied; they must not change during the call.
    fs: the sample rate in Hz, a whole number from 1000 to 768000 (16000.0
        is 16000) whose ratio to 10000 reduces to terms of at most 1000.
        Also taken as fs_sig=, stoi()'s name (not both).
    align: search the delay of the degraded signal (0 to 112.4 ms): with
        the tool profile the tool's search over 0 to 899 samples at 8 kHz,
        otherwise the same rule on the 10 kHz signals (0 to 1123 samples,
        0.1 ms steps).
    shift: delay the degraded signal by this many samples of fs (0 to
        floor(0.1125 * fs), i.e. up to 112.5 ms), applied at fs before any
        resampling. Excludes align.
    double_table: tool profile only: resample with the double-precision
        coefficient table (the tool's -r).
    profile: "reference" (None, the default) or "tool" (see the package's
        documentation).
    unequal: signals of different lengths. None (the default) takes the
        profile's rule: the reference profile refuses them, as the
        reference definition does (LengthMismatchError, a ValueError whose
        message gives both lengths), the tool profile pads them, as the
        tool does. "pad": zeros after the shorter, to the longer's length;
        "trim": the longer cut at its end to the shorter's length (the rest
        is not read); "refuse": refused in either profile. The lengths
        compared are those given, before any shift; brought to one length
        N, the pair is scored as any pair of N samples (a shift of s drops
        the degraded signal's first s samples and adds s zeros at its end).

    Flags (align, double_table) take True or False (or 1 or 0), numbers
    (shift) whole numbers; anything else raises ValueError, so that
    align="no" cannot turn the search on.

    Raises a KelvorError that is a ValueError for unusable input (wrong
    shape or type, NaN or infinity, a silent or too short reference, a bad
    shift or rate, align with shift, the tool profile on anything but 8 kHz
    int16) and MemoryError when memory runs out; TypeError without a rate
    or with both fs and fs_sig. Ctrl-C ends a long pair part way
    (KeyboardInterrupt).
    """
    rate = _one_of("score", "fs", fs, "fs_sig", fs_sig)
    options = _options(align=align, shift=shift, double_table=double_table, profile=profile, unequal=unequal)
    return _score(_core.score(_samples(clean, "clean"), _samples(degraded, "degraded"), _rate(rate), options))


def stoi(
    clean: ArrayLike = _UNSET,
    degraded: ArrayLike = _UNSET,
    fs: Rate = _UNSET,
    extended: bool = False,
    profile: Profile = None,
    *,
    unequal: Unequal = None,
    x: ArrayLike = _UNSET,
    y: ArrayLike = _UNSET,
    fs_sig: Rate = _UNSET,
) -> Union[float, np.ndarray]:
    """STOI of degraded against clean at fs Hz, or ESTOI with extended.

    The call of the Python reference, so that a script changes only its
    import: its keywords x (the clean signal), y (the degraded one),
    fs_sig and extended are taken as well as this package's clean,
    degraded and fs; positional arguments are in the same order in both.
    Giving both names of one argument raises TypeError. The value is
    ``score(clean, degraded, fs).stoi`` (or ``.estoi``); see score() for
    the inputs and errors, and docs/differences.md for where the values
    and errors differ from the reference's. extended is a flag (True,
    False, 1 or 0). Signals of different lengths are refused, as the
    reference refuses them, unless unequal="pad" or "trim" (see score()).

    Arrays of shape (..., time) give a float64 array of shape (...), each
    item's value the 1-D call's: stoi_batch() with its defaults (every
    core, no padding, the first failed item's error raised).
    """
    clean = _one_of("stoi", "clean", clean, "x", x)
    degraded = _one_of("stoi", "degraded", degraded, "y", y)
    rate = _one_of("stoi", "fs", fs, "fs_sig", fs_sig)
    estoi = _core.flag("extended", extended)
    if np.ndim(clean) > 1 or np.ndim(degraded) > 1:
        return stoi_batch(clean, degraded, rate, estoi, profile=profile, unequal=unequal)
    s = score(clean, degraded, rate, profile=profile, unequal=unequal)
    return s.estoi if estoi else s.stoi


def score_files(
    ref_path: PathName,
    deg_path: PathName,
    align: bool = False,
    shift: int = 0,
    double_table: bool = False,
    raw_rate: int = 8000,
    channel: int = 0,
    profile: Profile = None,
    *,
    unequal: Unequal = None,
) -> Score:
    """STOI and ESTOI of two audio files, as kelvor-batch scores them.

    Reads every format libsndfile reads (WAV of any subtype, FLAC, Ogg,
    AIFF, ...) with its header honoured; .pcm and .raw files are 16-bit
    little-endian mono at raw_rate Hz. The reference profile reads them in
    blocks, never whole, so that their length costs no memory. 16-bit PCM files are int16 samples
    (at 8 kHz: the tool's exact chain), everything else floats. channel
    picks a channel (1-based) of multi-channel files; 0 accepts mono only.
    Both files must have the same rate. align, shift, double_table,
    profile and unequal are those of score() (kelvor-batch's --unequal).

    Raises FileNotFoundError for a missing file, OSError for one that
    cannot be read or is not audio, ValueError as score() does and for a
    channel or rate problem. Ctrl-C ends a long pair part way
    (KeyboardInterrupt).
    """
    options = _options(
        align=align,
        shift=shift,
        double_table=double_table,
        profile=profile,
        unequal=unequal,
        raw_rate=raw_rate,
        channel=channel,
    )
    return _score(_core.score_files(_path(ref_path, "ref_path"), _path(deg_path, "deg_path"), options))


def read_audio(path: PathName, raw_rate: int = 8000, channel: int = 0) -> Tuple[np.ndarray, int]:
    """The samples and rate of an audio file, read as score_files reads it.

    Returns (samples, rate): int16 samples for 16-bit PCM files (and .pcm/
    .raw files, at raw_rate), float64 on the scale of full scale = 1 for
    every other subtype. Raises as score_files() does.
    """
    samples, rate = _core.read_audio(_path(path), _options(raw_rate=raw_rate, channel=channel))
    return samples, int(rate)


Pairs = Iterable[Tuple[ArrayLike, ArrayLike, Rate]]


@overload
def score_many(
    pairs: Pairs,
    jobs: Optional[int] = None,
    *,
    align: bool = False,
    double_table: bool = False,
    profile: Profile = None,
    unequal: Unequal = None,
    return_exceptions: Literal[False] = False,
    progress: Optional[bool] = None,
) -> List[Score]: ...


@overload
def score_many(
    pairs: Pairs,
    jobs: Optional[int] = None,
    *,
    align: bool = False,
    double_table: bool = False,
    profile: Profile = None,
    unequal: Unequal = None,
    return_exceptions: Literal[True],
    progress: Optional[bool] = None,
) -> List[Union[Score, BaseException]]: ...


def score_many(
    pairs: Pairs,
    jobs: Optional[int] = None,
    *,
    align: bool = False,
    double_table: bool = False,
    profile: Profile = None,
    unequal: Unequal = None,
    return_exceptions: bool = False,
    progress: Optional[bool] = None,
) -> Union[List[Score], List[Union[Score, BaseException]]]:
    """Scores of many (clean, degraded, fs) pairs, on several threads.

    Returns one Score per pair, in the order of pairs, the same as calling
    score() on each in turn. jobs: worker threads (default: every core this
    process may run on). align, double_table, profile and unequal apply to
    every pair.

    When a pair fails, the exception of the first failed pair is raised
    after all pairs were scored (with a note naming the pair); with
    return_exceptions=True its place in the list holds the exception
    instead. A pair whose arrays are unusable raises ValueError before any
    scoring starts. Ctrl-C stops handing out pairs, ends the pairs under
    way and raises KeyboardInterrupt. The arrays must not be modified
    during the call.

    progress: None (the default) shows the pairs done in interactive use
    only (a notebook, or standard error on a terminal), once the call has
    run for a second; True shows them at once, False never. A tqdm bar
    (tqdm.auto, a widget in a notebook) when tqdm is installed, a line on
    standard error otherwise.
    """
    options = _options(align=align, double_table=double_table, profile=profile, unequal=unequal)
    return_exceptions = _core.flag("return_exceptions", return_exceptions)
    checked = []
    for i, pair in enumerate(pairs):
        try:
            clean, degraded, fs = pair
        except (TypeError, ValueError):
            raise ValueError(f"pairs[{i}]: expected a (clean, degraded, fs) tuple") from None
        try:
            checked.append((_samples(clean, "clean"), _samples(degraded, "degraded"), _rate(fs)))
        except ValueError as e:
            raise ValueError(f"pairs[{i}]: {e}") from None
    threads = _jobs(jobs)
    with _progress.shown(progress, len(checked), "score_many") as shown:
        results = _core.score_many(checked, options, threads, return_exceptions, shown)
    return [r if isinstance(r, BaseException) else _score(r) for r in results]


def details(
    clean: ArrayLike,
    degraded: ArrayLike,
    fs: Rate,
    align: bool = False,
    shift: int = 0,
    double_table: bool = False,
    profile: Profile = None,
    *,
    unequal: Unequal = None,
) -> Details:
    """The scores of score() with the results behind them: where in time and
    frequency intelligibility is lost. Same arguments and errors as score()
    (fs only by that name); plot them with plot_details()."""
    options = _options(align=align, shift=shift, double_table=double_table, profile=profile, unequal=unequal)
    d = _core.details(_samples(clean, "clean"), _samples(degraded, "degraded"), _rate(fs), options)
    return Details(
        scores=_score(d["scores"]),
        band_centre_hz=d["band_centre_hz"],
        stoi_correlation=d["stoi_correlation"],
        estoi_segment=d["estoi_segment"],
        segment_start=d["segment_start"],
        segment_end=d["segment_end"],
        frame_count=int(d["frame_count"]),
        kept_frames=d["kept_frames"],
    )


def load_details(path: Union[str, "os.PathLike[str]"]) -> Details:
    """The Details of one file written by ``kelvor-batch --details DIR``
    (``DIR/<row>.json``), for plot_details.

    The file keeps the band correlations and segment values to 4 decimals
    (the scores themselves to the last bit), so the arrays agree with
    details() on the same pair within 5e-5; the segment times and kept
    frames are exact. Files of the first, uncompacted format read too.
    Raises OSError when the file cannot be read and ValueError when it is
    not such a file.
    """
    from kelvor_stoi._details_file import read_details_file

    return read_details_file(path)[1]


def score_manifest(
    manifest: PathName,
    jobs: Optional[int] = None,
    client: Optional["Client"] = None,
    profile: Profile = None,
    *,
    align: bool = False,
    raw_rate: int = 8000,
    channel: int = 0,
    unequal: Unequal = None,
    progress: Optional[bool] = None,
) -> "pandas.DataFrame":
    """Scores every pair of a kelvor-batch manifest and returns a pandas
    DataFrame of its rows.

    manifest: a CSV or TSV file in kelvor-batch's format: a reference and
        a degraded column (also named ref, clean, target / deg, enhanced,
        estimate, processed; any case), optionally shift and align; every
        other column is carried to the table. Relative paths are taken
        from the manifest's folder.
    jobs: without a client, the threads of this process that score (default:
        every core it may run on); with a client, the threads of each task
        on a worker (default 1).
    client: None scores here, through the front-end core, without importing
        Dask; a dask.distributed Client distributes the pairs over its
        workers as kelvor_stoi.dask.score_manifest does (which see).
    profile: "reference" (None, the default) or "tool".
    align: search the delay of every pair (kelvor-batch's --align).
    raw_rate: the rate of .pcm and .raw files (--raw-rate).
    channel: the channel of multi-channel files, 1-based; 0 accepts mono
        files only (--channel).
    unequal: files of different lengths, as score() takes them
        (--unequal), for every pair; a manifest has no column for it.
    progress: the pairs done, shown as score_many() shows them (None: in
        interactive use only); with a client, the pairs of the tasks done.

    Returns one row per manifest row, in manifest order, error rows
    included (status is "ok" or an error code, message says why), indexed
    by the manifest's 0-based data row ("row", the name of its kelvor-batch
    --details file): the standard columns (COLUMNS, with the dtypes of
    COLUMN_TYPES: str, float64 with NaN, Int64 with <NA> where kelvor-batch
    leaves a cell empty), then the manifest's other columns in its order,
    as str, exactly as written (bytes that are not UTF-8 too; to group on
    such values, see analysis.groupable). The values are kelvor-batch's for
    the same manifest, bit for bit. Needs pandas.

    A manifest that cannot be read, or that has no reference or degraded
    column, raises OSError; an argument that cannot be used ValueError,
    before anything is scored.
    """
    from kelvor_stoi import _manifest

    options = _options(align=align, raw_rate=raw_rate, channel=channel, profile=profile, unequal=unequal)
    _progress.delay_of(progress)  # checked before anything is read
    if client is None:
        return _manifest.score_locally(manifest, _jobs(jobs), options, progress)
    from kelvor_stoi.dask import submit_options

    per_task = 1 if jobs is None else _jobs(jobs)
    return submit_options(manifest, client, options, jobs_per_task=per_task).result(progress=progress)


def plot_details(
    details: Details,
    ax: Union[None, "matplotlib.axes.Axes", Sequence["matplotlib.axes.Axes"]] = None,
) -> "matplotlib.figure.Figure":
    """Draws a pair's details with matplotlib and returns the figure.

    On top, a heat map of the STOI clipped correlations, band by segment
    (band centre frequencies on the y axis, the time of each segment's
    middle in seconds of the reference on the x axis; the gaps are frames
    removed as silent); below it, on the same time axis, the ESTOI of each
    segment and the STOI band mean of each segment, with dashed lines at
    the two scores. The title gives the scores.

    ax: None draws a new figure with both panels; a pair (heat_ax,
    curve_ax) draws into those two axes; a single Axes receives the heat
    map only.
    """
    from kelvor_stoi._plot import plot_details as _plot

    return _plot(details, ax)


from kelvor_stoi._batch import SCORE_DTYPE, score_batch, stoi_batch, stoi_gradient  # noqa: E402


def __getattr__(name: str) -> Any:
    # kelvor_stoi.dask needs pandas and dask.distributed, the analysis and
    # the report pandas (and matplotlib): imported on use.
    if name in ("dask", "analysis", "report"):
        return importlib.import_module(f"kelvor_stoi.{name}")
    raise AttributeError(f"module 'kelvor_stoi' has no attribute {name!r}")
