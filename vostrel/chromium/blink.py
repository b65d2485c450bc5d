"""Blink's wrapping around V8-serialized values: the SerializedScriptValue
envelope, Blink's own host objects, and IndexedDB's value wrapper.

SerializedScriptValue (what Blink stores for a JavaScript value):
  FF <Blink version varint>          the outer envelope, from version 16 on
  FE <offset u64 BE> <size u32 BE>   from version 21 on: where a trailer sits
                                      (it lists interfaces the value needs;
                                      nothing of the value itself)
  FF <V8 version varint> <value>     V8's own header and the value
Before version 16 there is one header, shared by Blink and V8.

Blink's host objects follow V8's host-object tag `\\`: `i` <index> a Blob and
`e` <index> a File, each an index into the value's list of external objects
(for IndexedDB: the blob entry stored next to the record), `L` <count>
<indices> a FileList, and `b` <uuid> <type> <size> a Blob by UUID.

IndexedDB's wrapper sits in front of all of that. A value starting
FF 11 is not a SerializedScriptValue (there is no version 17 followed by
anything but FF) but a command:
  FF 11 01 <size varint> <index varint>  the value was too large and lives in
                                         an external blob (the last one)
  FF 11 02 <raw Snappy data>             the value is Snappy-compressed
The blob's content is itself a (possibly compressed) wrapped value.
"""

from __future__ import annotations

from typing import Callable, Optional

from . import v8
from .v8 import DecodeError

try:
    from _vostrel import decompress_snappy
except ImportError:  # an extension built before the function existed
    decompress_snappy = None

VERSION_TAG = 0xFF
TRAILER_OFFSET_TAG = 0xFE
MIN_SEPARATE_ENVELOPE = 16
MIN_TRAILER = 21
WRAPPED = b"\xff\x11"
REPLACE_WITH_BLOB = 1
COMPRESSED_WITH_SNAPPY = 2


class BlobRef:
    """A Blob or File in a value: its kind, its index among the value's
    external objects, and what the store says about it once resolved."""

    __slots__ = ("kind", "index", "info")

    def __init__(self, kind: str, index: Optional[int], info: Optional[dict] = None):
        self.kind = kind  # "blob" or "file"
        self.index = index
        self.info = info

    def __repr__(self) -> str:
        return f"BlobRef({self.kind!r}, {self.index!r}, {self.info!r})"

    def to_json(self) -> tuple:
        """(tag, payload) of its JSON form: ("$blob" or "$file", what is known)."""
        info = dict(self.info) if self.info is not None else {}
        if self.index is not None and self.info is None:
            info["index"] = self.index
        return "$" + self.kind, info


def _utf8(data: bytes, pos: int) -> tuple:
    length, pos = v8.varint(data, pos)
    if length > len(data) - pos:
        raise DecodeError("data ends inside a string")
    return data[pos:pos + length].decode("utf-8", "replace"), pos + length


def host_reader(externals: Optional[list]) -> Callable:
    """Reads Blink's host objects; indices resolve against externals (a list
    of dicts describing the external objects) when given."""

    def resolve(kind: str, index: int) -> BlobRef:
        info = None
        if externals is not None and index < len(externals):
            info = externals[index]
        return BlobRef(kind, index, info)

    def read(reader: v8.Reader, pos: int) -> tuple:
        data = reader.data
        while pos < len(data) and data[pos] == 0:  # padding
            pos += 1
        if pos >= len(data):
            raise DecodeError("data ends inside a host object")
        tag = data[pos]
        pos += 1
        if tag == ord("i"):
            index, pos = v8.varint(data, pos)
            return resolve("blob", index), pos
        if tag == ord("e"):
            index, pos = v8.varint(data, pos)
            return resolve("file", index), pos
        if tag == ord("L"):
            count, pos = v8.varint(data, pos)
            if count > len(data) - pos:
                raise DecodeError("FileList longer than its data")
            files = []
            for _ in range(count):
                index, pos = v8.varint(data, pos)
                files.append(resolve("file", index))
            return files, pos
        if tag == ord("b"):
            uuid, pos = _utf8(data, pos)
            mime, pos = _utf8(data, pos)
            size, pos = v8.varint(data, pos)
            return BlobRef("blob", None, {"uuid": uuid, "type": mime, "size": size}), pos
        raise DecodeError(f"unsupported Blink object {chr(tag)!r}")

    return read


def v8_start(data: bytes) -> int:
    """Where V8's header begins, after Blink's envelope if there is one."""
    if not data or data[0] != VERSION_TAG:
        return 0
    version, pos = v8.varint(data, 1)
    if version < MIN_SEPARATE_ENVELOPE:
        return 0  # this header is V8's, shared with Blink
    if version >= MIN_TRAILER:
        if pos >= len(data) or data[pos] != TRAILER_OFFSET_TAG:
            raise DecodeError("Blink envelope without its trailer offset")
        pos += 13
        if pos > len(data):
            raise DecodeError("data ends inside Blink's envelope")
    return pos


def decode_script_value(data: bytes, externals: Optional[list] = None):
    """A SerializedScriptValue as a Python value."""
    return v8.deserialize(data, v8_start(data), host_reader(externals))


def unwrap(data: bytes, externals: Optional[list],
           read_blob: Optional[Callable[[dict], Optional[bytes]]]) -> tuple:
    """Undoes IndexedDB's wrapping: (SerializedScriptValue bytes, how it was
    stored: "inline", "snappy", "blob" or "blob+snappy")."""
    how = "inline"
    for _ in range(2):  # a blob's content may itself be compressed, never wrapped again
        if data[:2] != WRAPPED or len(data) < 3:
            return data, how
        command = data[2]
        if command == COMPRESSED_WITH_SNAPPY:
            if decompress_snappy is None:
                raise DecodeError("Snappy decompression unavailable in this build")
            try:
                data = decompress_snappy(data[3:])
            except ValueError as error:
                raise DecodeError(f"compressed value: {error}") from None
            return data, "snappy" if how == "inline" else "blob+snappy"
        if command == REPLACE_WITH_BLOB and how == "inline":
            size, pos = v8.varint(data, 3)
            index, pos = v8.varint(data, pos)
            if externals is None or index >= len(externals):
                raise DecodeError(f"value kept in external object {index}, which is not listed")
            content = read_blob(externals[index]) if read_blob is not None else None
            if content is None:
                raise DecodeError(f"value kept in blob file {externals[index].get('path')!r}, "
                                  "which cannot be read")
            if len(content) != size:
                raise DecodeError(f"blob file holds {len(content)} bytes, the value says {size}")
            data = content
            how = "blob"
            continue
        raise DecodeError(f"unknown value wrapper command {command}")
    return data, how
