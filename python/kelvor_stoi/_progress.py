"""Progress of the calls that score many pairs (score_many, score_manifest,
the batch calls): a tqdm bar when tqdm is installed (tqdm.auto: a widget in
a notebook), otherwise a line on standard error.

The calls take ``progress=``:

- None (the default): shown in interactive use only, that is in a notebook
  or when standard error is a terminal, and only once the call has run for
  a second, so that quick calls stay quiet and a script's or a pipeline's
  log gets nothing;
- True: shown at once, wherever standard error goes;
- False: never shown.

The compiled core reports the pairs done to the callable of ``shown`` on
the calling thread, about ten times a second at most.
"""
from __future__ import annotations

import contextlib
import sys
import time
from typing import Any, Callable, Iterator, Optional

from kelvor_stoi import _core

#: How long a call with progress=None runs before its progress shows.
AUTO_DELAY = 1.0


def interactive() -> bool:
    """True in a notebook (a Jupyter kernel) or when standard error is a
    terminal."""
    ipython = sys.modules.get("IPython")
    try:
        shell = ipython.get_ipython() if ipython is not None else None  # type: ignore[attr-defined]
        if shell is not None and "IPKernelApp" in shell.config:
            return True
    except Exception:  # an IPython of another shape: no notebook known
        pass
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced, or closed
        return False


def delay_of(progress: Any) -> Optional[float]:
    """The seconds after which progress shows, or None when it does not:
    progress is None (interactive use only, after AUTO_DELAY) or a flag
    (True, False, 1, 0; anything else raises ValueError)."""
    if progress is None:
        return AUTO_DELAY if interactive() else None
    return 0.0 if _core.flag("progress", progress) else None


class _Bar:
    """tqdm's bar (tqdm.auto: a widget in a notebook)."""

    def __init__(self, tqdm: Any, total: int, call: str, unit: str, delay: float) -> None:
        self._bar = tqdm(total=total, desc=call, unit=unit, delay=delay, dynamic_ncols=True)

    def show(self, done: int) -> None:
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        self._bar.close()


class _Line:
    """A line on standard error: rewritten in place on a terminal (twice a
    second at most), a new line every ten seconds elsewhere, and the last
    state when the call ends."""

    def __init__(self, total: int, call: str, unit: str, delay: float) -> None:
        self._total, self._call, self._unit = total, call, unit
        self._start = time.monotonic()
        self._delay = delay
        self._shown_at = self._start + delay
        self._done = 0
        self._width = 0
        try:
            self._terminal = sys.stderr.isatty()
        except (AttributeError, ValueError):
            self._terminal = False
        self._every = 0.5 if self._terminal else 10.0
        self._written: Optional[int] = None  # the count last written

    def show(self, done: int) -> None:
        self._done = done
        now = time.monotonic()
        if now >= self._shown_at:
            self._write(now, final=False)
            self._shown_at = now + self._every

    def close(self) -> None:
        now = time.monotonic()
        if self._written is None and now < self._start + self._delay:
            return  # over before it was to show
        if self._terminal or self._written != self._done:
            self._write(now, final=True)

    def _write(self, now: float, final: bool) -> None:
        percent = 100 * self._done // self._total if self._total else 100
        text = (
            f"{self._call}: {self._done}/{self._total} {self._unit}s ({percent}%), "
            f"{now - self._start:.0f} s"
        )
        try:
            if self._terminal:
                sys.stderr.write("\r" + text.ljust(self._width) + ("\n" if final else ""))
                self._width = len(text)
            else:
                sys.stderr.write(text + "\n")
            sys.stderr.flush()
        except (AttributeError, ValueError, OSError):
            pass  # no standard error to speak of: the call goes on
        self._written = self._done


@contextlib.contextmanager
def shown(progress: Any, total: int, call: str, unit: str = "pair") -> Iterator[Optional[Callable[[int], None]]]:
    """The callable that the core gives the number of pairs done, or None
    when progress is off; on leaving without an exception the count is
    brought to total. progress is checked first (ValueError)."""
    delay = delay_of(progress)
    if delay is None:
        yield None
        return
    try:
        from tqdm.auto import tqdm
    except ImportError:
        view: Any = _Line(total, call, unit, delay)
    else:
        view = _Bar(tqdm, total, call, unit, delay)
    try:
        yield view.show
        view.show(total)
    finally:
        view.close()
