"""Local Storage (`Local Storage/leveldb`), as Chromium's DOM storage writes it.

Keys and values:
  VERSION                  -> schema version, ASCII digits
  META:<origin>            -> protobuf: 1 last_modified (base::Time, microseconds
                              since 1601), 2 size_bytes
  METAACCESS:<origin>      -> protobuf: 1 last_accessed (base::Time)
  _<origin>\\x00<key>       -> value
The origin is the storage key serialised as text (`https://example.org`, with
`^`-separated parts for partitioned storage). Item keys and values are strings
stored with a leading format byte: 0 for UTF-16LE, 1 for Latin-1 (used when
every character fits in one byte).
"""

from __future__ import annotations

from typing import Iterator

from .common import DecodeError, fallback, finish, protobuf_fields, windows_time

KIND = "localstorage"


def decode_text(data: bytes) -> str:
    """A DOM storage string: its format byte, then the characters."""
    if not data:
        raise DecodeError("empty string without its format byte")
    form = data[0]
    if form == 1:
        return data[1:].decode("latin-1")
    if form == 0:
        if len(data) % 2 == 0:
            raise DecodeError("UTF-16 text of odd length")
        return data[1:].decode("utf-16-le", "surrogatepass")
    raise DecodeError(f"unknown string format byte {form}")


def _time(fields: dict, number: int):
    value = fields.get(number)
    if not isinstance(value, int):
        return None
    return windows_time(value)


def decode_record(record) -> dict:
    key = record.user_key
    value = record.value
    deleted = int(record.state) == 0
    try:
        if key[:1] == b"_":
            split = key.find(b"\x00")
            if split < 0:
                raise DecodeError("item key without the origin separator")
            item = {"kind": KIND, "type": "item", "origin": key[1:split].decode("utf-8", "replace"),
                    "key": decode_text(key[split + 1:]),
                    "value": None if deleted else decode_text(value)}
        elif key.startswith(b"META:"):
            item = {"kind": KIND, "type": "meta", "origin": key[5:].decode("utf-8", "replace"),
                    "value": None}
            if not deleted:
                fields = protobuf_fields(value)
                item["value"] = {"last_modified": _time(fields, 1),
                                 "size_bytes": fields.get(2)}
        elif key.startswith(b"METAACCESS:"):
            item = {"kind": KIND, "type": "meta_access",
                    "origin": key[11:].decode("utf-8", "replace"), "value": None}
            if not deleted:
                item["value"] = {"last_accessed": _time(protobuf_fields(value), 1)}
        elif key == b"VERSION":
            item = {"kind": KIND, "type": "version",
                    "value": None if deleted else value.decode("ascii")}
        else:
            return fallback(KIND, record, "not a Local Storage key")
    except (DecodeError, UnicodeDecodeError) as error:
        return fallback(KIND, record, str(error))
    return finish(item, record)


def iter_entries(records) -> Iterator[dict]:
    for record in records:
        yield decode_record(record)
