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
from typing import Callable, Dict


def escape(data: bytes) -> str:
    # Doubling the backslashes first and then letting the UTF-8 decoder write
    # every undecodable byte as \xNN keeps the two kinds of escape apart.
    text = data.replace(b"\\", b"\\\\").decode("utf-8", "backslashreplace")
    if text.isprintable():
        return text
    return "".join(
        ch if ch.isprintable() else "".join(f"\\x{b:02x}" for b in ch.encode("utf-8"))
        for ch in text
    )


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
