"""The progress bar of `vostrel dump`: bytes of data files done of the total,
with rate and time left, on standard error.

Shown only when standard error is a terminal and the output is not (records
written to the terminal would tear the bar apart), and when Debian's
python3-tqdm is installed; otherwise the command runs without one.
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Callable, Iterator, Optional

ProgressCallback = Callable[[int, int], None]


def _is_terminal(fd: int) -> bool:
    try:
        return os.isatty(fd)
    except OSError:
        return False


def _stderr_fd() -> Optional[int]:
    try:
        return sys.stderr.fileno()
    except (AttributeError, ValueError, OSError):  # replaced by a caller
        return None


@contextlib.contextmanager
def progress_bar(wanted: bool, output_fd: int) -> Iterator[Optional[ProgressCallback]]:
    """Yields the callback for RawLevelDb.export's progress, or None when no
    bar is to be shown. The bar is cleared when the block ends."""
    err = _stderr_fd()
    if not wanted or err is None or not _is_terminal(err) or _is_terminal(output_fd):
        yield None
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield None
        return
    bar = None

    def update(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:  # the first report gives the total
            bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                       leave=False, dynamic_ncols=True, mininterval=0.2)
        bar.update(done - bar.n)
        if done >= total:
            bar.refresh()  # the finished state, however soon it came

    try:
        yield update
    finally:
        if bar is not None:
            bar.close()
