"""Warnings about the data files the reader left out."""

from __future__ import annotations

import sys
from typing import Iterable, TextIO, Tuple


def _visible(text: str) -> str:
    # Paths and reasons reach a terminal: control characters (a name may hold
    # an escape sequence or a newline) are written as \xNN.
    return "".join(
        f"\\x{ord(c):02x}" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c for c in text
    )


def warn_skipped(skipped: Iterable[Tuple[str, str]], stream: TextIO = None) -> None:
    """One line on stderr per file left out: its path and the reason."""
    out = sys.stderr if stream is None else stream
    for path, reason in skipped:
        print(f"vostrel: warning: skipped {_visible(path)}: {_visible(reason)}", file=out)
