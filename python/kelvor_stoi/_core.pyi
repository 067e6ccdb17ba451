# Types of the compiled module kelvor_stoi._core (python/src/core.cpp).
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

COLUMNS: Tuple[str, ...]
COLUMN_TYPES: Tuple[Tuple[str, str], ...]
MAX_RECORD_BYTES: int
STATUSES: Tuple[Tuple[int, str, str, str], ...]
MAX_JOBS: int
SEGMENT_FRAMES: int

class PairOptions:
    """The options of a pair by name; FIELDS lists them (the front-end
    core's option table), and the constructor takes any of them."""

    FIELDS: Tuple[str, ...]
    align: bool
    shift: int
    double_table: bool
    profile: str
    unequal: str
    raw_rate: int
    channel: int
    def __init__(self, **options: Any) -> None: ...
    def as_dict(self) -> Dict[str, Any]: ...

class PairSpec:
    index: int
    reference: str
    degraded: str
    reference_path: str
    degraded_path: str
    shift: int
    align: bool
    status: int
    facts: str
    metadata: Tuple[str, ...]
    def __init__(self) -> None: ...

_Scores = Tuple[float, float, int, float]
_Path = Union[str, bytes]

def score(clean: np.ndarray, degraded: np.ndarray, rate: int, options: PairOptions) -> _Scores: ...
def details(clean: np.ndarray, degraded: np.ndarray, rate: int, options: PairOptions) -> Dict[str, Any]: ...
_Progress = Optional[Callable[[int], None]]

def score_many(
    pairs: List[Tuple[np.ndarray, np.ndarray, int]],
    options: PairOptions,
    jobs: int,
    return_exceptions: bool,
    progress: _Progress = None,
) -> List[Union[_Scores, BaseException]]: ...
def score_files(reference_path: _Path, degraded_path: _Path, options: PairOptions) -> _Scores: ...
def read_audio(path: _Path, options: PairOptions) -> Tuple[np.ndarray, int]: ...
def read_manifest(path: _Path) -> Tuple[Tuple[str, ...], List[PairSpec]]: ...
def score_pairs(
    listed_pairs: List[PairSpec], options: PairOptions, jobs: int, progress: _Progress = None
) -> List[Tuple[Any, ...]]: ...
def flag(name: str, value: Any) -> bool: ...
class BatchResult:
    """The scores of a batch's items, in the batch's shape."""

    stoi: np.ndarray
    estoi: np.ndarray
    delay: np.ndarray
    delay_ms: np.ndarray
    gradient: Optional[np.ndarray]
    errors: Dict[int, BaseException]

def score_batch(
    clean: np.ndarray,
    degraded: np.ndarray,
    rate: int,
    options: PairOptions,
    lengths: Optional[np.ndarray],
    jobs: int,
    gradient: str,
    progress: _Progress = None,
    single: bool = False,
) -> BatchResult: ...

def max_shift(rate: float) -> int: ...
def version() -> str: ...
def pair_message(status: int, facts: str) -> str: ...
def parse_shard(text: str) -> Optional[Tuple[int, int]]: ...
def shard_row(position: int, index: int, count: int) -> int: ...
def segment_times(kept_frames: Sequence[int], segments: int) -> Tuple[np.ndarray, np.ndarray]: ...
def keep_freed_memory() -> None: ...
def shown(text: bytes) -> str: ...
