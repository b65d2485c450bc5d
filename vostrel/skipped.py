"""Warnings about the data files the reader left out."""

from __future__ import annotations

import sys
from typing import Iterable, TextIO, Tuple

from .terminal import printable


def warn_skipped(skipped: Iterable[Tuple[str, str]], stream: TextIO = None) -> None:
    """One line on stderr per file left out: its path and the reason, with
    control characters escaped (paths reach a terminal)."""
    out = sys.stderr if stream is None else stream
    for path, reason in skipped:
        print(f"vostrel: warning: skipped {printable(path)}: {printable(reason)}", file=out)
