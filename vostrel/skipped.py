"""What the command tells the user on stderr about an incomplete result.

Every warning goes through `warn`, which also counts it: a command whose
output was written but left something out (a skipped file, an unreadable
store, a directory without data files, ...) ends with exit status 1, and
`main` tells that from the count.
"""

from __future__ import annotations

import contextlib
import sys
import warnings
from typing import Iterable, Iterator, TextIO, Tuple

from .terminal import printable

_warnings = 0


def warn(message: str, stream: TextIO = None) -> None:
    """One line on stderr, control characters escaped (paths reach a
    terminal), counted as something left out."""
    global _warnings
    _warnings += 1
    print(f"vostrel: warning: {printable(message)}", file=sys.stderr if stream is None else stream,
          flush=True)


def warnings_given() -> int:
    return _warnings


def warn_skipped(skipped: Iterable[Tuple[str, str]], stream: TextIO = None) -> None:
    """One line per data file left out: its path and the reason."""
    for path, reason in skipped:
        warn(f"skipped {path}: {reason}", stream)


@contextlib.contextmanager
def extension_warnings() -> Iterator[None]:
    """The extension's RuntimeWarnings (a store without a readable manifest,
    whose data files all count as in use) as warning lines, each as it comes."""
    with warnings.catch_warnings():
        warnings.simplefilter("always", RuntimeWarning)
        shown = warnings.showwarning

        def show(message, category, *rest):
            if issubclass(category, RuntimeWarning):
                warn(str(message))
            else:
                shown(message, category, *rest)

        warnings.showwarning = show
        yield
