"""Text forms of raw bytes (keys, values) for the command-line output.

Every form is lossless: the original bytes can always be recovered.

``escaped``  readable at a glance: printable UTF-8 text is kept as it is; every
             other byte (invalid UTF-8, control and other non-printable
             characters) is written as ``\\xNN`` (two lower-case hex digits),
             and a backslash is written as ``\\\\``. A backslash in the output
             is therefore always followed by ``\\`` or ``x``, which makes the
             text decodable without ambiguity.
``hex``      two lower-case hex digits per byte.
``base64``   standard base64 with padding.
"""

from __future__ import annotations

import base64
import re
from typing import Callable, Dict


# ASCII control characters, written as \xNN by str.translate.
_ASCII_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7F]}
# The slow path looks only at runs of characters outside printable ASCII.
_OUTSIDE_PRINTABLE_ASCII = re.compile(r"[^\x20-\x7e]+")


def _escape_char(ch: str) -> str:
    if ch.isprintable():
        return ch
    return "".join(f"\\x{b:02x}" for b in ch.encode("utf-8"))


def _escape_run(match: "re.Match[str]") -> str:
    run = match.group()
    return run if run.isprintable() else "".join(map(_escape_char, run))


def escape(data: bytes) -> str:
    # Doubling the backslashes first and then letting the UTF-8 decoder write
    # every undecodable byte as \xNN keeps the two kinds of escape apart.
    text = data.replace(b"\\", b"\\\\").decode("utf-8", "backslashreplace")
    if text.isprintable():
        return text
    if text.isascii():
        return text.translate(_ASCII_CONTROLS)
    return _OUTSIDE_PRINTABLE_ASCII.sub(_escape_run, text)


def to_hex(data: bytes) -> str:
    return data.hex()


def to_base64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


ENCODERS: Dict[str, Callable[[bytes], str]] = {
    "escaped": escape,
    "hex": to_hex,
    "base64": to_base64,
}
DEFAULT_ENCODING = "escaped"
