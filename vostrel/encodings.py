"""Text forms of raw bytes (keys, values) for the command-line output.

Every form is lossless: the original bytes can always be recovered.

``escaped``  readable at a glance: printable UTF-8 text is kept as it is; every
             other byte (invalid UTF-8, control and other non-printable
             characters) is written as ``\\xNN`` (two lower-case hex digits),
             and a backslash is written as ``\\\\``. A backslash in the output
             is therefore always followed by ``\\`` or ``x``, which makes the
             text decodable without ambiguity: ``unescape`` gives the bytes
             back.
``hex``      two lower-case hex digits per byte.
``base64``   standard base64 with padding.

The escaped form is the extension's own (the one its exports write).
"""

from __future__ import annotations

import base64
from typing import Callable, Dict


def _load_escape(data: bytes) -> str:
    # The extension is imported on first use, so that --help and --version
    # work without it; from then on escape calls it with nothing in between.
    global _escape
    import _vostrel

    _escape = _vostrel.escape
    return _escape(data)


_escape = _load_escape


def escape(data: bytes) -> str:
    return _escape(data)


def unescape(text: str) -> bytes:
    """The bytes whose escaped text is ``text``; ValueError for text that
    escaping never produces."""
    import _vostrel

    return _vostrel.unescape(text)


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
