"""Text meant for a person at a terminal: paths and messages with every
control character shown as an escape, so that a directory named
``x\\x1b[2J\\x1b]0;owned\\x07`` cannot clear the screen or retitle the window.

Machine formats (JSON Lines, CSV, stats JSON) keep their text as it is; only
what is written for people goes through here.
"""

from __future__ import annotations


def _escape(ch: str) -> str:
    code = ord(ch)
    if 0xDC80 <= code <= 0xDCFF:  # a byte that was not UTF-8 (os.fsdecode's surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def printable(text: str) -> str:
    """text with each character that is not printable (other than a plain
    space) written as \\xNN, \\uNNNN or \\UNNNNNNNN."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else _escape(ch) for ch in text)
