"""The JSON form of decoded values: to_json (Python values to the form the
`vostrel chromium` command writes) and from_json (that form, as the native
decoder writes it, back to the Python values of vostrel.chromium.v8)."""

from __future__ import annotations

import base64
import binascii
import datetime as _dt
import math
import struct
from typing import Any

from . import v8

# ---------------------------------------------------------------------------
# The JSON form of decoded values

def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _non_finite_text(value: float):
    """"NaN", "Infinity" or "-Infinity" for the numbers JSON has no form
    for, else None."""
    if value != value:
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return None


def _number(value: float):
    text = _non_finite_text(value)
    return value if text is None else {"$number": text}


def _date(value) -> dict:
    if type(value) is v8.JSDate:
        text = _non_finite_text(value.ms)
        return {"$date": None, "ms": value.ms if text is None else text}
    text = value.isoformat(timespec="milliseconds")
    return {"$date": text[:-6] + "Z" if text.endswith("+00:00") else text}


def _step(key: str) -> str:
    """A key as one step of a $ref path, escaped as in a JSON Pointer (RFC
    6901): "~" as "~0", "/" as "~1"."""
    if "~" in key or "/" in key:
        return key.replace("~", "~0").replace("/", "~1")
    return key


def to_json(value: Any) -> Any:
    """A decoded value as JSON-able data. Values JSON has no form for become
    one-key objects named with a "$": {"$undefined": true}, {"$number": "NaN"},
    {"$bigint": "123"}, {"$date": "...Z"} (or {"$date": null, "ms": time
    value} outside years 1 to 9999), {"$bytes": base64}, {"$regexp":
    source, "flags": ...}, {"$map": [[k, v], ...]}, {"$set": [...]},
    {"$typed_array": kind, "values": [...]}, {"$data_view": base64} (a view
    sharing its buffer or seeing part of it: {"$typed_array": kind, "buffer":
    the buffer's form, "byte_offset": n, "byte_length": n}),
    {"$sparse_array": {index: value}, "length": n}, {"$array": [...],
    "properties": {...}}, {"$error": name, "message": ..., "stack": ...},
    {"$blob": {...}} and {"$file": {...}}. An object (or array, Map, ...) met a
    second time, shared or cyclic, is {"$ref": path of its first place}, the
    path being "$" and then "/key" (escaped as a JSON Pointer step: "~0" for
    "~", "~1" for "/") or "/index" per step (a Map entry adds
    "/n/0" for its key and "/n/1" for its value). A plain object whose first
    key starts with "$" is wrapped as {"$object": {...}}, so that every
    object led by a "$" key is one of these forms."""
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
            return {"$bigint": value.text()}
        if kind is bytes:  # plain bytes: a value, never shared
            return {"$bytes": b64(value)}
        if kind is _dt.datetime or kind is v8.JSDate:
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
        if kind is v8.ArrayBuffer:
            return {"$bytes": b64(value)}
        if kind is dict:
            out = {k: convert(v, f"{path}/{_step(k)}") for k, v in value.items()}
            if out and next(iter(out)).startswith("$"):
                return {"$object": out}
            return out
        if kind is list:
            return [convert(v, f"{path}/{i}") for i, v in enumerate(value)]
        if kind is v8.TypedArray:
            if value.buffer is not None:
                return {"$typed_array": value.kind, "buffer": convert(value.buffer, f"{path}/buffer"),
                        "byte_offset": value.byte_offset, "byte_length": len(value.data)}
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
            return {"$sparse_array": {str(k): convert(v, f"{path}/{_step(str(k))}")
                                      for k, v in value.items()},
                    "length": value.length}
        if kind is v8.JSArray:
            return {"$array": [convert(v, f"{path}/{i}") for i, v in enumerate(value)],
                    "properties": {k: convert(v, f"{path}/{_step(k)}")
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
            return {tag: {k: convert(v, f"{path}/{_step(k)}") for k, v in payload.items()}}
        return {"$unknown": repr(value)}


def from_json(value: Any, refs: bool = True) -> Any:
    """The Python value of a JSON form that to_json gives: the inverse of
    to_json, with "$ref" resolved to the very object first met at that path
    (so shared and cyclic structures come back shared and cyclic). Dates come
    back to the millisecond (the JSON form keeps no more); protobuf-like dicts
    keep the str keys JSON gives them. refs=False, for a form known to hold
    no "$ref", saves keeping every object's path."""
    return _Reviver().revive(value, "$" if refs else None)


_TAGGED = {
    "$undefined": ("$undefined",), "$number": ("$number",), "$bigint": ("$bigint",),
    "$bytes": ("$bytes",), "$date": ("$date",), "$regexp": ("$regexp", "flags"),
    "$ref": ("$ref",), "$object": ("$object",), "$map": ("$map",), "$set": ("$set",),
    "$typed_array": ("$typed_array", "values"), "$data_view": ("$data_view",),
    "$sparse_array": ("$sparse_array", "length"), "$array": ("$array", "properties"),
    "$blob": ("$blob",), "$file": ("$file",),
}
_SHARED_VIEW = ("$typed_array", "buffer", "byte_offset", "byte_length")
_NON_FINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
_UTC_SUFFIX = "+00:00"


def _float(value) -> float:
    return _NON_FINITE[value["$number"]] if type(value) is dict else float(value)


class _Reviver:
    __slots__ = ("places",)

    def __init__(self):
        # path -> the object first built there. Without refs to resolve every
        # path is None (`path and ...` below builds none).
        self.places: dict = {}

    def revive(self, value, path):
        kind = type(value)
        if kind is list:
            out = []
            self.places[path] = out
            revive = self.revive
            out.extend(revive(v, path and f"{path}/{i}") for i, v in enumerate(value))
            return out
        if kind is not dict:
            return value  # str, int, float, bool, None
        tag = next(iter(value), None)
        if tag is None or tag[:1] != "$":
            return self._dict(value, path)
        if tag == "$error":
            if set(value) <= {"$error", "message", "stack", "cause"}:
                return self._error(value, path)
            return self._dict(value, path)
        if tag == "$date" and len(value) == 2 and value["$date"] is None and _is_time_value(value.get("ms")):
            return _date_from_json(None, value["ms"])
        if tag == "$typed_array" and tuple(value) == _SHARED_VIEW:
            return self._shared_view(value, path)
        if _TAGGED.get(tag) != tuple(value):
            return self._dict(value, path)
        payload = value[tag]
        if tag == "$object":
            return self._dict(payload, path)
        if tag == "$undefined":
            return v8.UNDEFINED
        if tag == "$number":
            return _NON_FINITE.get(payload, value)
        if tag == "$bigint":
            return v8.BigInt.from_text(payload)
        if tag == "$bytes":
            out = v8.ArrayBuffer(base64.b64decode(payload))
            self.places[path] = out
            return out
        if tag == "$date":
            return _date_from_json(payload)
        if tag == "$regexp":
            return v8.RegExp(payload, value["flags"])
        if tag == "$ref":
            return self.places.get(payload, value)
        revive = self.revive
        if tag == "$map":
            out = v8.JSMap()
            self.places[path] = out
            out.extend((revive(k, path and f"{path}/{i}/0"), revive(v, path and f"{path}/{i}/1"))
                       for i, (k, v) in enumerate(payload))
            return out
        if tag == "$set":
            out = v8.JSSet()
            self.places[path] = out
            out.extend(revive(v, path and f"{path}/{i}") for i, v in enumerate(payload))
            return out
        if tag == "$array":
            out = v8.JSArray()
            self.places[path] = out
            out.extend(revive(v, path and f"{path}/{i}") for i, v in enumerate(payload))
            out.properties = {k: revive(v, path and f"{path}/{_step(k)}")
                              for k, v in value["properties"].items()}
            return out
        if tag == "$sparse_array":
            out = v8.SparseArray(value["length"])
            self.places[path] = out
            for k, v in payload.items():
                out[int(k) if k.isascii() and k.isdigit() else k] = revive(v, path and f"{path}/{_step(k)}")
            return out
        if tag == "$typed_array" or tag == "$data_view":
            out = v8.TypedArray("DataView", base64.b64decode(payload)) if tag == "$data_view" \
                else _typed_array(payload, value["values"])
            self.places[path] = out
            return out
        # "$blob" / "$file": what the store says of it, or only its index
        out = v8.BlobRef(tag[1:], None, None)
        self.places[path] = out
        if list(payload) == ["index"]:
            out.index = payload["index"]
        else:
            out.info = {k: revive(v, path and f"{path}/{_step(k)}") for k, v in payload.items()}
        return out

    def _dict(self, value: dict, path: str) -> dict:
        out: dict = {}
        self.places[path] = out
        revive = self.revive
        for k, v in value.items():
            out[k] = revive(v, path and f"{path}/{_step(k)}")
        return out

    def _shared_view(self, value: dict, path: str):
        buffer = self.revive(value["buffer"], path and f"{path}/buffer")
        offset, length = value["byte_offset"], value["byte_length"]
        if type(buffer) is not v8.ArrayBuffer or type(offset) is not int or type(length) is not int:
            return self._dict(value, path)
        out = v8.TypedArray(value["$typed_array"], bytes(buffer[offset:offset + length]), buffer, offset)
        self.places[path] = out
        return out

    def _error(self, value: dict, path: str):
        cause = value.get("cause")
        error = v8.JSError(value["$error"], value.get("message"), value.get("stack"),
                           self.revive(cause, path and f"{path}/cause") if cause is not None else None)
        self.places[path] = error
        return error


def _typed_array(kind: str, values: list):
    fmt = v8._VIEW_FORMATS[kind]
    if kind.startswith("Big"):
        values = [int(v) for v in values]
    elif kind.startswith("Float"):
        values = [_float(v) for v in values]
    return v8.TypedArray(kind, struct.pack(f"<{len(values)}{fmt}", *values))


def _is_time_value(ms) -> bool:
    return type(ms) is float or type(ms) is int or (type(ms) is str and ms in _NON_FINITE)


def _date_from_json(text, ms=None):
    if text is None:  # the time value alone; none at all is an invalid Date
        return v8.JSDate(math.nan if ms is None else _NON_FINITE[ms] if type(ms) is str else ms)
    if type(text) is not str:  # the time value as the form once had it
        return v8.JSDate(text)
    if text.endswith("Z"):
        text = text[:-1] + _UTC_SUFFIX
    return _dt.datetime.fromisoformat(text)


# The types and objects the extension builds entries' values as (handed to
# _vostrel.iter_chromium_entries), so that they are the very ones from_json
# gives: the same classes, the same NaN and infinities.
VALUE_TYPES = {
    "UNDEFINED": v8.UNDEFINED, "BigInt": v8.BigInt, "JSDate": v8.JSDate, "ArrayBuffer": v8.ArrayBuffer,
    "RegExp": v8.RegExp, "JSMap": v8.JSMap, "JSSet": v8.JSSet, "JSArray": v8.JSArray,
    "SparseArray": v8.SparseArray, "TypedArray": v8.TypedArray, "JSError": v8.JSError,
    "from_json": from_json, "date": _date_from_json, "b64decode": binascii.a2b_base64,
    "NaN": _NON_FINITE["NaN"], "Infinity": _NON_FINITE["Infinity"], "-Infinity": _NON_FINITE["-Infinity"],
}
