"""V8's ValueSerializer format (structured clone), read into plain Python values.

A serialized value is `FF <version varint>` followed by one tagged value. Tags
are single bytes; integers are base-128 varints (ZigZag for Int32), doubles
and two-byte strings are in host byte order (little-endian on every platform
Chromium writes IndexedDB from).

Every object-like value (objects, arrays, Date, RegExp, Map, Set, buffers,
views, wrappers, errors, host objects) gets the next id in the order it is
*begun*, and `^ <id>` refers back to it; so shared and cyclic structures come
back as shared and cyclic Python objects.

Python forms:
  null -> None; undefined -> UNDEFINED; true/false -> bool
  Int32/Uint32 -> int; Double -> float; BigInt -> BigInt (an int subclass)
  strings -> str (two-byte strings decoded with lone surrogates kept)
  object -> dict (str keys, in stored order)
  dense array -> list (JSArray, a list with `.properties`, when it has named
    properties); sparse array -> SparseArray (a dict of index -> value, with
    `.length`)
  Date -> datetime (UTC) or InvalidDate(ms) when not representable
  RegExp -> RegExp(pattern, flags); Map -> JSMap (list of (key, value));
  Set -> JSSet (list); ArrayBuffer -> bytes; typed arrays and DataView ->
  TypedArray(kind, data); Boolean/Number/String/BigInt objects -> their
  primitive; Error -> JSError(name, message, stack, cause)
  host objects -> whatever the host reader returns (Blink's blobs and files)

Anything malformed raises DecodeError; limits on nesting, lengths and counts
come from the data's own size, so hostile input cannot make the reader
allocate or recurse without bound.
"""

from __future__ import annotations

import datetime as _dt
import struct
from typing import Any, Callable, NamedTuple, Optional

__all__ = [
    "DecodeError", "UNDEFINED", "BigInt", "InvalidDate", "RegExp", "JSMap", "JSSet",
    "JSArray", "SparseArray", "TypedArray", "JSError", "deserialize", "read_value",
]

MAX_DEPTH = 200  # nested containers; keeps Python's own recursion far from its limit


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
    """A JavaScript BigInt (kept apart from Numbers that happen to be integral)."""

    __slots__ = ()


class InvalidDate(float):
    """A Date whose time value is NaN or outside Python's datetime range (ms)."""

    __slots__ = ()


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


class TypedArray(NamedTuple):
    kind: str  # "Uint8Array", ..., "DataView"
    data: bytes

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


_VIEW_KINDS = {
    ord("b"): ("Int8Array", 1), ord("B"): ("Uint8Array", 1), ord("C"): ("Uint8ClampedArray", 1),
    ord("w"): ("Int16Array", 2), ord("W"): ("Uint16Array", 2), ord("d"): ("Int32Array", 4),
    ord("D"): ("Uint32Array", 4), ord("h"): ("Float16Array", 2), ord("f"): ("Float32Array", 4),
    ord("F"): ("Float64Array", 8), ord("q"): ("BigInt64Array", 8), ord("Q"): ("BigUint64Array", 8),
    ord("?"): ("DataView", 1),
}
_VIEW_FORMATS = {
    "Int8Array": "b", "Uint8Array": "B", "Uint8ClampedArray": "B", "Int16Array": "h",
    "Uint16Array": "H", "Int32Array": "i", "Uint32Array": "I", "Float16Array": "e",
    "Float32Array": "f", "Float64Array": "d", "BigInt64Array": "q", "BigUint64Array": "Q",
}
_ERROR_NAMES = {
    ord("E"): "EvalError", ord("R"): "RangeError", ord("F"): "ReferenceError",
    ord("S"): "SyntaxError", ord("T"): "TypeError", ord("U"): "URIError",
}
# RegExp flag bits, in the order JavaScript spells a RegExp's flags.
_REGEXP_FLAGS = ((128, "d"), (1, "g"), (2, "i"), (4, "m"), (32, "s"), (16, "u"),
                 (256, "v"), (8, "y"), (64, "l"))
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_unpack_double = struct.Struct("<d").unpack_from

# Tags (bytes of the ValueSerializer's SerializationTag).
_T_PADDING = 0x00
_T_VERIFY_COUNT = ord("?")
_T_HOLE = ord("-")
_T_UNDEFINED = ord("_")
_T_NULL = ord("0")
_T_TRUE = ord("T")
_T_FALSE = ord("F")
_T_INT32 = ord("I")
_T_UINT32 = ord("U")
_T_DOUBLE = ord("N")
_T_BIGINT = ord("Z")
_T_UTF8 = ord("S")
_T_ONE_BYTE = ord('"')
_T_TWO_BYTE = ord("c")
_T_REF = ord("^")
_T_OBJECT = ord("o")
_T_END_OBJECT = ord("{")
_T_SPARSE = ord("a")
_T_END_SPARSE = ord("@")
_T_DENSE = ord("A")
_T_END_DENSE = ord("$")
_T_DATE = ord("D")
_T_TRUE_OBJECT = ord("y")
_T_FALSE_OBJECT = ord("x")
_T_NUMBER_OBJECT = ord("n")
_T_BIGINT_OBJECT = ord("z")
_T_STRING_OBJECT = ord("s")
_T_REGEXP = ord("R")
_T_MAP = ord(";")
_T_END_MAP = ord(":")
_T_SET = ord("'")
_T_END_SET = ord(",")
_T_ARRAY_BUFFER = ord("B")
_T_RESIZABLE_ARRAY_BUFFER = ord("~")
_T_VIEW = ord("V")
_T_HOST = ord("\\")
_T_ERROR = ord("r")
_T_VERSION = 0xFF


class Reader:
    """The state of one deserialization: the bytes, the format version, the
    table of objects by id and the host's reader for its own objects."""

    __slots__ = ("data", "version", "objects", "host", "depth")

    def __init__(self, data: bytes, version: int,
                 host: Optional[Callable[["Reader", int], tuple]] = None):
        self.data = data
        self.version = version
        self.objects: list = []
        self.host = host
        self.depth = 0


def varint(data: bytes, pos: int) -> tuple:
    """(value, position after it); DecodeError when the data ends inside it."""
    try:
        byte = data[pos]
        if byte < 0x80:
            return byte, pos + 1
        result = byte & 0x7F
        shift = 7
        while True:
            pos += 1
            byte = data[pos]
            result |= (byte & 0x7F) << shift
            if byte < 0x80:
                return result, pos + 1
            shift += 7
            if shift > 70:
                raise DecodeError("varint too long")
    except IndexError:
        raise DecodeError("data ends inside a varint") from None


def _raw(data: bytes, pos: int, length: int) -> tuple:
    end = pos + length
    if end > len(data):
        raise DecodeError("data ends inside a value")
    return data[pos:end], end


def _bigint(data: bytes, pos: int) -> tuple:
    bitfield, pos = varint(data, pos)
    digits, pos = _raw(data, pos, (bitfield >> 1) & 0x3FFFFFFF)
    value = int.from_bytes(digits, "little")
    return BigInt(-value if bitfield & 1 else value), pos


def _date(ms: float):
    if ms != ms or not -8.64e15 <= ms <= 8.64e15:
        return InvalidDate(ms)
    try:
        return _EPOCH + _dt.timedelta(milliseconds=ms)
    except OverflowError:
        return InvalidDate(ms)


def _property_key(key) -> str:
    if type(key) is str:
        return key
    if type(key) is int:
        return str(key)
    if type(key) is float:
        return str(int(key)) if key.is_integer() else repr(key)
    raise DecodeError("property key is neither a string nor a number")


def _inner_string(reader, pos: int, problem: str):
    """The string inside a RegExp or String object: before serializer
    version 12 raw UTF-8 with a varint length, from 12 on a value of its own."""
    if reader.version < 12:
        length, pos = varint(reader.data, pos)
        raw, pos = _raw(reader.data, pos, length)
        return raw.decode("utf-8", "replace"), pos
    value, pos = read_value(reader, pos)
    if type(value) is not str:
        raise DecodeError(problem)
    return value, pos


def read_value(reader: Reader, pos: int) -> tuple:
    """Reads one value at pos: (value, position after it)."""
    data = reader.data
    try:
        tag = data[pos]
        while tag == _T_PADDING:  # padding aligns two-byte strings; skipped
            pos += 1
            tag = data[pos]
    except IndexError:
        raise DecodeError("data ends where a value should begin") from None
    pos += 1
    # The most frequent tags first.
    if tag == _T_ONE_BYTE:
        length, pos = varint(data, pos)
        end = pos + length
        if end > len(data):
            raise DecodeError("data ends inside a string")
        return data[pos:end].decode("latin-1"), end
    if tag == _T_INT32:
        n, pos = varint(data, pos)
        n &= 0xFFFFFFFF
        return (n >> 1) ^ -(n & 1), pos
    if tag == _T_OBJECT:
        return _object(reader, pos)
    if tag == _T_TWO_BYTE:
        length, pos = varint(data, pos)
        end = pos + length
        if end > len(data) or length & 1:
            raise DecodeError("bad two-byte string")
        return data[pos:end].decode("utf-16-le", "surrogatepass"), end
    if tag == _T_DOUBLE:
        if pos + 8 > len(data):
            raise DecodeError("data ends inside a double")
        return _unpack_double(data, pos)[0], pos + 8
    if tag == _T_TRUE:
        return True, pos
    if tag == _T_FALSE:
        return False, pos
    if tag == _T_NULL:
        return None, pos
    if tag == _T_UNDEFINED:
        return UNDEFINED, pos
    if tag == _T_DENSE:
        return _dense_array(reader, pos)
    if tag == _T_REF:
        ref, pos = varint(data, pos)
        if ref >= len(reader.objects):
            raise DecodeError(f"reference to unknown object {ref}")
        value = reader.objects[ref]
        return _maybe_view(reader, value, pos)
    if tag == _T_DATE:
        if pos + 8 > len(data):
            raise DecodeError("data ends inside a Date")
        value = _date(_unpack_double(data, pos)[0])
        reader.objects.append(value)
        return value, pos + 8
    if tag == _T_UINT32:
        return varint(data, pos)
    if tag == _T_UTF8:
        length, pos = varint(data, pos)
        raw, pos = _raw(data, pos, length)
        return raw.decode("utf-8", "replace"), pos
    if tag == _T_BIGINT:
        return _bigint(data, pos)
    if tag == _T_SPARSE:
        return _sparse_array(reader, pos)
    if tag == _T_MAP or tag == _T_SET:
        return _collection(reader, pos, tag == _T_MAP)
    if tag == _T_ARRAY_BUFFER or tag == _T_RESIZABLE_ARRAY_BUFFER:
        length, pos = varint(data, pos)
        if tag == _T_RESIZABLE_ARRAY_BUFFER:
            _, pos = varint(data, pos)  # maximum length: not part of the content
        value, pos = _raw(data, pos, length)
        reader.objects.append(value)
        return _maybe_view(reader, value, pos)
    if tag == _T_REGEXP:
        slot = len(reader.objects)
        reader.objects.append(None)
        pattern, pos = _inner_string(reader, pos, "RegExp source is not a string")
        bits, pos = varint(data, pos)
        value = RegExp(pattern, "".join(c for bit, c in _REGEXP_FLAGS if bits & bit))
        reader.objects[slot] = value
        return value, pos
    if tag in (_T_TRUE_OBJECT, _T_FALSE_OBJECT, _T_NUMBER_OBJECT, _T_BIGINT_OBJECT,
               _T_STRING_OBJECT):
        slot = len(reader.objects)
        reader.objects.append(None)
        if tag == _T_TRUE_OBJECT or tag == _T_FALSE_OBJECT:
            value = tag == _T_TRUE_OBJECT
        elif tag == _T_NUMBER_OBJECT:
            if pos + 8 > len(data):
                raise DecodeError("data ends inside a Number object")
            value, pos = _unpack_double(data, pos)[0], pos + 8
        elif tag == _T_BIGINT_OBJECT:
            value, pos = _bigint(data, pos)
        else:
            value, pos = _inner_string(reader, pos, "String object does not hold a string")
        reader.objects[slot] = value
        return value, pos
    if tag == _T_ERROR:
        return _error(reader, pos)
    if tag == _T_VERIFY_COUNT:
        _, pos = varint(data, pos)
        return read_value(reader, pos)
    if tag == _T_VERSION:
        raise DecodeError("a second version header inside the value")
    # Before version 13 every tag V8 did not know belonged to the host.
    if tag == _T_HOST or (reader.version < 13 and reader.host is not None):
        if reader.host is None:
            raise DecodeError("host object without a host reader")
        if tag != _T_HOST:
            pos -= 1  # before version 13 the host's own tag stood alone
        slot = len(reader.objects)
        reader.objects.append(None)
        value, pos = reader.host(reader, pos)
        reader.objects[slot] = value
        return value, pos
    raise DecodeError(f"unknown tag 0x{tag:02x} at byte {pos - 1}")


def _maybe_view(reader: Reader, value, pos: int) -> tuple:
    # An ArrayBuffer (or a reference to one) directly followed by 'V' is the
    # backing store of a typed array or DataView, and the view is the value.
    data = reader.data
    if pos < len(data) and data[pos] == _T_VIEW and type(value) is bytes:
        pos += 1
        kind_tag, pos = varint(data, pos)
        offset, pos = varint(data, pos)
        length, pos = varint(data, pos)
        if reader.version >= 14:
            _, pos = varint(data, pos)  # flags: length-tracking, resizable backing
        kind = _VIEW_KINDS.get(kind_tag)
        if kind is None:
            raise DecodeError(f"unknown view type 0x{kind_tag:02x}")
        if offset > len(value) or length > len(value) - offset or offset % kind[1] \
                or length % kind[1]:
            raise DecodeError("view lies outside its buffer")
        view = TypedArray(kind[0], value[offset:offset + length])
        reader.objects.append(view)
        return view, pos
    return value, pos


def _enter(reader: Reader) -> None:
    reader.depth += 1
    if reader.depth > MAX_DEPTH:
        raise DecodeError("values nested too deeply")


def _properties(reader: Reader, pos: int, target: dict, end_tag: int) -> tuple:
    """Reads key/value pairs into target until end_tag: (count, position after the tag)."""
    data = reader.data
    count = 0
    size = len(data)
    while True:
        if pos >= size:
            raise DecodeError("data ends inside an object")
        tag = data[pos]
        if tag == end_tag:
            return count, pos + 1
        if tag == _T_ONE_BYTE:  # the usual key: inline for speed
            length, pos = varint(data, pos + 1)
            end = pos + length
            if end > size:
                raise DecodeError("data ends inside a property name")
            key = data[pos:end].decode("latin-1")
            pos = end
        else:
            key, pos = read_value(reader, pos)
            key = _property_key(key)
        target[key], pos = read_value(reader, pos)
        count += 1


def _object(reader: Reader, pos: int) -> tuple:
    _enter(reader)
    value: dict = {}
    reader.objects.append(value)
    count, pos = _properties(reader, pos, value, _T_END_OBJECT)
    expected, pos = varint(reader.data, pos)
    if expected != count:
        raise DecodeError("object property count does not match")
    reader.depth -= 1
    return value, pos


def _dense_array(reader: Reader, pos: int) -> tuple:
    data = reader.data
    length, pos = varint(data, pos)
    if length > len(data) - pos:  # every element takes at least one byte
        raise DecodeError("dense array longer than its data")
    _enter(reader)
    items: list = []
    slot = len(reader.objects)
    reader.objects.append(items)
    append = items.append
    for _ in range(length):
        if pos < len(data) and data[pos] == _T_HOLE:
            append(UNDEFINED)
            pos += 1
            continue
        value, pos = read_value(reader, pos)
        append(value)
    properties: dict = {}
    count, pos = _properties(reader, pos, properties, _T_END_DENSE)
    expected, pos = varint(data, pos)
    expected_length, pos = varint(data, pos)
    if expected != count or expected_length != length:
        raise DecodeError("dense array counts do not match")
    if properties:
        # The list was registered before its contents, so references inside
        # point at it; carry it over to the richer type in place.
        # References taken inside the array keep pointing at the plain list.
        rich = JSArray(items)
        rich.properties = properties
        reader.objects[slot] = rich
        items = rich
    reader.depth -= 1
    return items, pos


def _sparse_array(reader: Reader, pos: int) -> tuple:
    data = reader.data
    length, pos = varint(data, pos)
    _enter(reader)
    value = SparseArray(length)
    reader.objects.append(value)
    entries: dict = {}
    count, pos = _properties(reader, pos, entries, _T_END_SPARSE)
    for key, item in entries.items():
        value[int(key) if key.isdigit() else key] = item
    expected, pos = varint(data, pos)
    expected_length, pos = varint(data, pos)
    if expected != count or expected_length != length:
        raise DecodeError("sparse array counts do not match")
    reader.depth -= 1
    return value, pos


def _collection(reader: Reader, pos: int, is_map: bool) -> tuple:
    data = reader.data
    _enter(reader)
    value = JSMap() if is_map else JSSet()
    reader.objects.append(value)
    end_tag = _T_END_MAP if is_map else _T_END_SET
    count = 0
    while True:
        if pos >= len(data):
            raise DecodeError("data ends inside a Map or Set")
        if data[pos] == end_tag:
            pos += 1
            break
        item, pos = read_value(reader, pos)
        if is_map:
            item2, pos = read_value(reader, pos)
            value.append((item, item2))
            count += 2
        else:
            value.append(item)
            count += 1
    expected, pos = varint(data, pos)
    if expected != count:
        raise DecodeError("Map or Set length does not match")
    reader.depth -= 1
    return value, pos


def _error(reader: Reader, pos: int) -> tuple:
    data = reader.data
    slot = len(reader.objects)
    reader.objects.append(None)
    _enter(reader)
    name, message, stack, cause = "Error", None, None, None
    while True:
        sub, pos = varint(data, pos)
        if sub == ord("."):
            break
        if sub in _ERROR_NAMES:
            name = _ERROR_NAMES[sub]
        elif sub == ord("m"):
            message, pos = read_value(reader, pos)
        elif sub == ord("s"):
            stack, pos = read_value(reader, pos)
        elif sub == ord("c"):
            cause, pos = read_value(reader, pos)
        else:
            raise DecodeError(f"unknown Error field 0x{sub:02x}")
    value = JSError(name, message, stack, cause)
    reader.objects[slot] = value
    reader.depth -= 1
    return value, pos


def deserialize(data: bytes, pos: int = 0,
                host: Optional[Callable[[Reader, int], tuple]] = None) -> Any:
    """Decodes the V8 header and the value after it, starting at pos."""
    version = 0
    if pos < len(data) and data[pos] == _T_VERSION:
        version, pos = varint(data, pos + 1)
    reader = Reader(data, version, host)
    value, _ = read_value(reader, pos)
    return value
