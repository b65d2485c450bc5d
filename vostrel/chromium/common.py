"""What the three Chromium store readers share: reading the raw records, the
shape of a decoded entry, small codecs (varints, protobuf, Windows-epoch
times) and the JSON form of decoded values."""

from __future__ import annotations

import base64
import datetime as _dt
import math
from typing import Any, Iterator

from . import v8
from .v8 import DecodeError

# int() of the extension's KeyState values.
STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}

_WINDOWS_EPOCH = _dt.datetime(1601, 1, 1, tzinfo=_dt.timezone.utc)


def iter_records(db, reverse: bool = False) -> Iterator:
    """The records of an opened RawLevelDb, lazily when the extension can."""
    lazy = getattr(db, "iter_records", None)
    if lazy is not None:
        return lazy(reverse=reverse)
    return iter(db.iterate_records_raw(reverse=reverse))


# An entry is a dict. Its keys, in output order: kind, type, then what the
# decoder found (origin, database, object_store, index, key, value, ...), then
# the record's provenance: seq, state, origin_file, offset; and for a record
# that did not decode, error (the reason), raw_key and raw_value (hex of the
# user key and the value).

def finish(item: dict, record) -> dict:
    """Adds the record's provenance to item."""
    item["seq"] = record.seq
    item["state"] = STATE_NAMES.get(int(record.state), "unknown")
    item["origin_file"] = record.origin_file
    item["offset"] = record.offset
    return item


def fallback(kind: str, record, reason: str, item: dict | None = None) -> dict:
    """An entry for a record (or part of one) that did not decode: its raw
    bytes and the reason, plus whatever was decoded before the failure."""
    if item is None:
        item = {"kind": kind, "type": "undecoded"}
    item["error"] = reason
    item["raw_key"] = record.user_key.hex()
    item["raw_value"] = record.value.hex()
    return finish(item, record)


def varint(data: bytes, pos: int = 0) -> tuple:
    return v8.varint(data, pos)


def windows_time(microseconds: int):
    """Chromium's base::Time on disk: microseconds since 1601-01-01 UTC."""
    try:
        return _WINDOWS_EPOCH + _dt.timedelta(microseconds=microseconds)
    except OverflowError:
        return None


def protobuf_fields(data: bytes) -> dict:
    """The fields of a protobuf message, by number (repeated fields become
    lists). Varints are ints, length-delimited fields bytes, fixed fields ints."""
    fields: dict = {}
    pos = 0
    size = len(data)
    while pos < size:
        key, pos = v8.varint(data, pos)
        number, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = v8.varint(data, pos)
        elif wire == 2:
            length, pos = v8.varint(data, pos)
            if length > size - pos:
                raise DecodeError("protobuf field runs past the end")
            value, pos = data[pos:pos + length], pos + length
        elif wire == 1 or wire == 5:
            width = 8 if wire == 1 else 4
            if width > size - pos:
                raise DecodeError("protobuf field runs past the end")
            value, pos = int.from_bytes(data[pos:pos + width], "little"), pos + width
        else:
            raise DecodeError(f"unsupported protobuf wire type {wire}")
        if number in fields:
            previous = fields[number]
            if isinstance(previous, list):
                previous.append(value)
            else:
                fields[number] = [previous, value]
        else:
            fields[number] = value
    return fields


# ---------------------------------------------------------------------------
# The JSON form of decoded values

def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _number(value: float):
    if value != value:
        return {"$number": "NaN"}
    if math.isinf(value):
        return {"$number": "Infinity" if value > 0 else "-Infinity"}
    return value


def _date(value) -> dict:
    if isinstance(value, v8.InvalidDate):
        return {"$date": None if value != value else float(value)}
    text = value.isoformat(timespec="milliseconds")
    return {"$date": text[:-6] + "Z" if text.endswith("+00:00") else text}


def to_json(value: Any) -> Any:
    """A decoded value as JSON-able data. Values JSON has no form for become
    one-key objects named with a "$": {"$undefined": true}, {"$number": "NaN"},
    {"$bigint": "123"}, {"$date": "...Z"}, {"$bytes": base64}, {"$regexp":
    source, "flags": ...}, {"$map": [[k, v], ...]}, {"$set": [...]},
    {"$typed_array": kind, "values": [...]}, {"$data_view": base64},
    {"$sparse_array": {index: value}, "length": n}, {"$array": [...],
    "properties": {...}}, {"$error": name, "message": ..., "stack": ...},
    {"$blob": {...}} and {"$file": {...}}. An object (or array, Map, ...) met a
    second time, shared or cyclic, is {"$ref": path of its first place}, the
    path being "$" and then "/key" or "/index" per step (a Map entry adds
    "/n/0" for its key and "/n/1" for its value). A plain object whose only
    key starts with "$" is wrapped as {"$object": {...}}."""
    return _Converter().convert(value, "$")


class _Converter:
    __slots__ = ("seen",)

    def __init__(self):
        self.seen: dict = {}

    def convert(self, value, path):
        kind = type(value)
        if kind is str or kind is bool or kind is int or value is None:
            return value
        if kind is float:
            return _number(value)
        if value is v8.UNDEFINED:
            return {"$undefined": True}
        if kind is v8.BigInt:
            return {"$bigint": str(int(value))}
        if kind is bytes:
            return {"$bytes": b64(value)}
        if kind is _dt.datetime or kind is v8.InvalidDate:
            return _date(value)
        if kind is v8.RegExp:
            return {"$regexp": value.pattern, "flags": value.flags}
        identity = id(value)
        seen = self.seen
        if identity in seen:
            return {"$ref": seen[identity][0]}
        # Keep the value alive with its path so that its id cannot be reused.
        seen[identity] = (path, value)
        convert = self.convert
        if kind is dict:
            out = {k: convert(v, f"{path}/{k}") for k, v in value.items()}
            if len(out) == 1 and next(iter(out)).startswith("$"):
                return {"$object": out}
            return out
        if kind is list:
            return [convert(v, f"{path}/{i}") for i, v in enumerate(value)]
        if kind is v8.TypedArray:
            if value.kind == "DataView":
                return {"$data_view": b64(value.data)}
            values = value.values
            if value.kind.startswith("Big"):
                values = [str(v) for v in values]
            elif value.kind.startswith("Float"):
                values = [_number(v) for v in values]
            return {"$typed_array": value.kind, "values": values}
        if kind is v8.JSMap:
            return {"$map": [[convert(k, f"{path}/{i}/0"), convert(v, f"{path}/{i}/1")]
                             for i, (k, v) in enumerate(value)]}
        if kind is v8.JSSet:
            return {"$set": [convert(v, f"{path}/{i}") for i, v in enumerate(value)]}
        if kind is v8.SparseArray:
            return {"$sparse_array": {str(k): convert(v, f"{path}/{k}") for k, v in value.items()},
                    "length": value.length}
        if kind is v8.JSArray:
            return {"$array": [convert(v, f"{path}/{i}") for i, v in enumerate(value)],
                    "properties": {k: convert(v, f"{path}/{k}")
                                   for k, v in value.properties.items()}}
        if kind is v8.JSError:
            out = {"$error": value.name, "message": value.message}
            if value.stack is not None:
                out["stack"] = value.stack
            if value.cause is not None:
                out["cause"] = convert(value.cause, f"{path}/cause")
            return out
        to_json_method = getattr(value, "to_json", None)
        if to_json_method is not None:  # host objects: (tag, payload)
            tag, payload = to_json_method()
            return {tag: {k: convert(v, f"{path}/{k}") for k, v in payload.items()}}
        return {"$unknown": repr(value)}
