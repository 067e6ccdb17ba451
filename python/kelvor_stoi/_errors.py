"""The package's exceptions: one class per status of the library.

Every failure of a pair raises a subclass of KelvorError that is also the
matching built-in exception, so that existing ``except ValueError`` code
keeps working:

    try:
        kelvor_stoi.score(clean, degraded, 16000)
    except kelvor_stoi.TooShortError:        # also a ValueError
        ...
    except kelvor_stoi.KelvorError as e:     # any failure of a pair
        print(e.status, e)                   # "silent", "The reference is ..."

The classes are made from the library's table of statuses (its numbers,
short names, kinds and sentences), so a status added there appears here
without a line of Python: ``too_short`` becomes ``TooShortError``. A status
the table does not hold is a fault of the caller, never a class guessed
for it.
"""
from __future__ import annotations

from typing import Dict, Type, Union

from kelvor_stoi import _core


class KelvorError(Exception):
    """A pair could not be scored, or a file not read.

    status: the short name of the status, as kelvor-batch's status column
        holds it ("too_short", "missing", ...).
    code: the library's status number (negative).
    """

    status: str = ""
    code: int = 0


# The built-in each kind of status is also an instance of.
_BASES = {
    "input": ValueError,
    "memory": MemoryError,
    "file": OSError,
    "missing": FileNotFoundError,
    "internal": RuntimeError,
}

ERRORS: Dict[str, Type[KelvorError]] = {}
_BY_CODE: Dict[int, Type[KelvorError]] = {}
for _code, _name, _kind, _text in _core.STATUSES:
    if _name == "ok":
        continue
    _class_name = "".join(part.capitalize() for part in _name.split("_")) + "Error"
    ERRORS[_name] = _BY_CODE[_code] = type(
        _class_name,
        (KelvorError, _BASES[_kind]),
        {"status": _name, "code": _code, "__doc__": _text + ".", "__module__": "kelvor_stoi"},
    )


def error_class(status: Union[str, int]) -> Type[KelvorError]:
    """The class of a status, by its short name or its number. Raises
    LookupError for one that is not a failure of the library's table."""
    found = ERRORS.get(status) if isinstance(status, str) else _BY_CODE.get(status)
    if found is None:
        raise LookupError(f"{status!r} is not a failure status of the library")
    return found


def error_of(status: Union[str, int], facts: str) -> KelvorError:
    """An exception for a failed pair: the status's sentence, then the facts
    of this pair, as every front end words a failure."""
    cls = error_class(status)
    return cls(_core.pair_message(cls.code, facts))
