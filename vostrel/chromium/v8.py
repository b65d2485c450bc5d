"""The Python values of decoded JavaScript values (V8's structured clone).

The native decoder writes every value in its JSON form (see
vostrel.chromium.common.to_json), and vostrel.chromium.iter_entries gives
these values, the ones common.from_json makes of that form (built by the
extension from the decoded value itself):
  null -> None; undefined -> UNDEFINED; true/false -> bool
  numbers -> int or float; BigInt -> BigInt (an int subclass)
  strings -> str (lone surrogates kept)
  object -> dict (str keys, in stored order)
  dense array -> list (JSArray, a list with `.properties`, when it has named
    properties); sparse array -> SparseArray (a dict of index -> value, with
    `.length`)
  Date -> datetime (UTC, to the millisecond) for years 1 to 9999, else
    JSDate(ms) holding the time value (NaN for an invalid Date)
  RegExp -> RegExp(pattern, flags); Map -> JSMap (list of (key, value));
  Set -> JSSet (list); ArrayBuffer -> ArrayBuffer (bytes); typed arrays and
  DataView -> TypedArray(kind, data[, buffer, byte_offset]); Error -> JSError(name, message, stack, cause)
  Blink's blobs and files -> BlobRef
"""

from __future__ import annotations

import struct
from typing import Any, NamedTuple, Optional

__all__ = [
    "DecodeError", "UNDEFINED", "BigInt", "JSDate", "InvalidDate", "ArrayBuffer", "RegExp", "JSMap", "JSSet",
    "JSArray", "SparseArray", "TypedArray", "JSError", "BlobRef",
]


class DecodeError(ValueError):
    """The bytes are not a value this reader understands."""


class _Undefined:
    __slots__ = ()

    def __repr__(self) -> str:
        return "UNDEFINED"

    def __bool__(self) -> bool:
        return False


UNDEFINED = _Undefined()


class BigInt(int):
    """A JavaScript BigInt (kept apart from Numbers that happen to be integral).

    Its JSON text ({"$bigint": text}) is decimal, or, beyond 40,000 digits,
    "0x" and hex digits (a "-" before either when negative): from_text and
    text convert any size, whatever Python's own limit on int <-> str
    conversion (sys.get_int_max_str_digits), without changing that limit."""

    __slots__ = ()

    @classmethod
    def from_text(cls, text: str) -> "BigInt":
        negative = text.startswith("-")
        magnitude = text[1:] if negative else text
        if magnitude.startswith("0x"):
            value = int(magnitude[2:], 16)  # no digit limit for base 16
        elif magnitude.isdigit() and magnitude.isascii():
            value = 0
            for start in range(0, len(magnitude), _DIGITS_PER_PIECE):
                piece = magnitude[start:start + _DIGITS_PER_PIECE]
                value = value * 10 ** len(piece) + int(piece)
        else:
            raise ValueError(f"not a BigInt's text: {text[:40]!r}")
        return cls(-value if negative else value)

    def text(self) -> str:
        value = int(self)
        sign, magnitude = ("-", -value) if value < 0 else ("", value)
        if magnitude.bit_length() <= _MAX_DECIMAL_BITS:
            digits = _decimal(magnitude)
            if len(digits) <= _MAX_DECIMAL_DIGITS:
                return sign + digits
        return f"{sign}0x{magnitude:x}"


def _decimal(value: int) -> str:
    if value < _PIECE:
        return str(value)
    pieces = []
    while value:
        value, piece = divmod(value, _PIECE)
        pieces.append(str(piece).zfill(_DIGITS_PER_PIECE))
    return "".join(reversed(pieces)).lstrip("0")


_MAX_DECIMAL_DIGITS = 40000
_MAX_DECIMAL_BITS = 132878  # 40,000 digits take at most this many bits
# Below Python's default limit of 4,300 digits for int <-> str.
_DIGITS_PER_PIECE = 4000
_PIECE = 10 ** _DIGITS_PER_PIECE


class JSDate:
    """A Date no datetime can hold: its time value outside years 1 to 9999, or
    an invalid Date (NaN). `ms` is the time value itself, milliseconds since
    1970 (a float: NaN, or an infinity from damaged data), kept exactly; a
    JSDate is no number, so it is never mistaken for one."""

    __slots__ = ("ms",)

    def __init__(self, ms: float):
        self.ms = float(ms)

    @property
    def valid(self) -> bool:
        return self.ms == self.ms

    def __repr__(self) -> str:
        return f"JSDate({self.ms!r})"

    def __eq__(self, other) -> bool:
        # Equal time values, NaN included: two invalid Dates are the same Date.
        return type(other) is JSDate and (self.ms == other.ms or
                                          (self.ms != self.ms and other.ms != other.ms))

    def __hash__(self) -> int:
        return hash(("JSDate", self.ms if self.ms == self.ms else "NaN"))


InvalidDate = JSDate  # the name this type had once


class RegExp(NamedTuple):
    pattern: str
    flags: str


class JSMap(list):
    """A Map: a list of (key, value) pairs in insertion order (keys may be unhashable)."""

    __slots__ = ()


class JSSet(list):
    """A Set: its members in insertion order."""

    __slots__ = ()


class JSArray(list):
    """A dense array that also carries named properties."""

    __slots__ = ("properties",)

    def __init__(self, items=()):
        super().__init__(items)
        self.properties: dict = {}


class SparseArray(dict):
    """A sparse array: index (int) or property name (str) -> value, plus its length."""

    __slots__ = ("length",)

    def __init__(self, length: int = 0):
        super().__init__()
        self.length = length


class ArrayBuffer(bytes):
    """An ArrayBuffer: its bytes, as an object of its own, so that the views
    and references that share one buffer in a value share this object."""

    __slots__ = ()


class TypedArray(NamedTuple):
    """A typed array or DataView: kind and the bytes it sees (data). A view
    that shares its buffer or sees part of it also holds that buffer (the
    very ArrayBuffer the value's other views and references hold) and its
    byte_offset there; data is then buffer[byte_offset:byte_offset + len(data)]."""

    kind: str  # "Uint8Array", ..., "DataView"
    data: bytes
    buffer: Optional[ArrayBuffer] = None
    byte_offset: int = 0

    @property
    def values(self) -> list:
        fmt = _VIEW_FORMATS.get(self.kind)
        if fmt is None:  # DataView: no element type
            return list(self.data)
        size = struct.calcsize(fmt)
        count = len(self.data) // size
        return list(struct.unpack(f"<{count}{fmt}", self.data[:count * size]))


class JSError(NamedTuple):
    name: str
    message: Optional[str]
    stack: Optional[str]
    cause: Any


_VIEW_FORMATS = {
    "Int8Array": "b", "Uint8Array": "B", "Uint8ClampedArray": "B", "Int16Array": "h",
    "Uint16Array": "H", "Int32Array": "i", "Uint32Array": "I", "Float16Array": "e",
    "Float32Array": "f", "Float64Array": "d", "BigInt64Array": "q", "BigUint64Array": "Q",
}


class BlobRef:
    """A Blob or File in a value (Blink's host object): its kind, its index
    among the value's external objects, and what the store says about it
    once resolved."""

    __slots__ = ("kind", "index", "info")

    def __init__(self, kind: str, index: Optional[int], info: Optional[dict] = None):
        self.kind = kind  # "blob" or "file"
        self.index = index
        self.info = info

    def __repr__(self) -> str:
        return f"BlobRef({self.kind!r}, {self.index!r}, {self.info!r})"

    def __eq__(self, other) -> bool:
        return (type(other) is BlobRef and (self.kind, self.index, self.info)
                == (other.kind, other.index, other.info))

    __hash__ = None

    def to_json(self) -> tuple:
        """(tag, payload) of its JSON form: ("$blob" or "$file", what is known)."""
        info = dict(self.info) if self.info is not None else {}
        if self.index is not None and self.info is None:
            info["index"] = self.index
        return "$" + self.kind, info
