"""Session Storage (`Session Storage`), as Chromium's DOM storage writes it.

Keys and values:
  version                          -> schema version, ASCII digits
  next-map-id                      -> next map number, ASCII digits
  namespace-<guid>-<origin>        -> number of the map holding that tab's
                                      (namespace's) items for the origin
  map-<number>-<key>               -> value
The namespace id is 36 characters (a GUID with `_` for `-`). Several
namespaces can share one map (a cloned tab) until one of them writes. Item
keys are UTF-8 and values UTF-16LE, neither with a format byte.

An item is tied to its origin through the namespace entries naming its map;
since `map-` sorts before `namespace-` those can come later in a table file,
so all namespace entries are read first.
"""

from __future__ import annotations

from typing import Iterator

from .common import DecodeError, fallback, finish

KIND = "sessionstorage"
_NAMESPACE_ID_LENGTH = 36


def _namespace(key: bytes) -> tuple:
    body = key[len(b"namespace-"):]
    if len(body) < _NAMESPACE_ID_LENGTH + 1 or body[_NAMESPACE_ID_LENGTH:_NAMESPACE_ID_LENGTH + 1] != b"-":
        raise DecodeError("namespace key without a namespace id")
    return (body[:_NAMESPACE_ID_LENGTH].decode("ascii"),
            body[_NAMESPACE_ID_LENGTH + 1:].decode("utf-8", "replace"))


def _number(value: bytes) -> int:
    text = value.decode("ascii")
    if not text.lstrip("-").isdigit():
        raise DecodeError(f"not a number: {text!r}")
    return int(text)


def map_origins(records) -> dict:
    """map number -> {origin: [namespace ids]}, from every namespace entry
    that sets one (deleted ones included: they still say whose map it was)."""
    maps: dict = {}
    for record in records:
        key = record.user_key
        if not key.startswith(b"namespace-") or not record.value:
            continue
        try:
            namespace, origin = _namespace(key)
            number = _number(record.value)
        except (DecodeError, UnicodeDecodeError):
            continue
        namespaces = maps.setdefault(number, {}).setdefault(origin, [])
        if namespace not in namespaces:
            namespaces.append(namespace)
    return maps


def decode_record(record, maps: dict) -> dict:
    key = record.user_key
    value = record.value
    deleted = int(record.state) == 0
    try:
        if key.startswith(b"map-"):
            split = key.find(b"-", 4)
            if split < 0:
                raise DecodeError("map key without the key separator")
            number = _number(key[4:split])
            owners = maps.get(number, {})
            item = {"kind": KIND, "type": "item",
                    "origin": next(iter(owners)) if len(owners) == 1 else None,
                    "map": number, "namespaces": [n for ns in owners.values() for n in ns],
                    "key": key[split + 1:].decode("utf-8", "surrogateescape"),
                    "value": None}
            if len(owners) > 1:
                item["origins"] = sorted(owners)
            if not deleted:
                if len(value) % 2:
                    raise DecodeError("UTF-16 text of odd length")
                item["value"] = value.decode("utf-16-le", "surrogatepass")
        elif key.startswith(b"namespace-"):
            namespace, origin = _namespace(key)
            item = {"kind": KIND, "type": "namespace", "origin": origin, "namespace": namespace,
                    "value": None if deleted else _number(value)}
        elif key == b"next-map-id":
            item = {"kind": KIND, "type": "next_map_id",
                    "value": None if deleted else _number(value)}
        elif key == b"version":
            item = {"kind": KIND, "type": "version",
                    "value": None if deleted else value.decode("ascii")}
        else:
            return fallback(KIND, record, "not a Session Storage key")
    except (DecodeError, UnicodeDecodeError) as error:
        return fallback(KIND, record, str(error))
    return finish(item, record)


def iter_entries(records) -> Iterator[dict]:
    records = list(records)  # read twice: namespaces first (stores are small)
    maps = map_origins(records)
    for record in records:
        yield decode_record(record, maps)
