"""Decoded entries of the stores Chromium (and Electron apps) keep in LevelDB:
Local Storage, Session Storage and IndexedDB.

    from vostrel import chromium
    for entry in chromium.iter_entries("Default/IndexedDB/https_example.org_0.indexeddb.leveldb"):
        print(entry["type"], entry.get("key"), entry.get("value"))

Every raw record becomes exactly one entry (a dict), deleted and overwritten
versions included, in the reader's record order. An entry holds "kind" and
"type", what was decoded (origin, database, object_store, index, key,
value, ...) and the record's provenance: seq, state ("live", "deleted" or
"unknown"), origin_file and offset. A record that does not decode still
yields its entry, with "error" (why) and "raw_key"/"raw_value" (hex). Values
are plain Python values (see vostrel.chromium.v8); common.to_json gives the
JSON form the `vostrel chromium` command writes.
"""

from __future__ import annotations

import os
from typing import Iterator, Optional

from . import indexeddb, local_storage, session_storage
from .common import iter_records, to_json
from .v8 import DecodeError

__all__ = ["KINDS", "detect_kind", "iter_entries", "to_json", "DecodeError"]

KINDS = ("localstorage", "sessionstorage", "indexeddb")
_DETECT_LIMIT = 10000


def _kind_of_key(key: bytes) -> Optional[str]:
    if key == b"VERSION" or key.startswith((b"META:", b"METAACCESS:")):
        return "localstorage"
    if key[:1] == b"_" and b"\x00" in key:
        return "localstorage"
    if key in (b"version", b"next-map-id") or key.startswith((b"namespace-", b"map-")):
        return "sessionstorage"
    if key[:4] == b"\x00\x00\x00\x00" or (len(key) > 4 and key[0] < 0x20 and key[1] != 0):
        return "indexeddb"
    return None


def detect_kind(db, directory: str = "") -> Optional[str]:
    """Which kind of store an opened RawLevelDb holds, judged by its keys (the
    directory's name decides when the keys do not)."""
    return _detect(iter_records(db), directory)


def _detect(records, directory: str) -> Optional[str]:
    votes = {kind: 0 for kind in KINDS}
    for count, record in enumerate(records):
        kind = _kind_of_key(record.user_key)
        if kind is not None:
            votes[kind] += 1
        if count >= _DETECT_LIMIT:
            break
    best = max(votes, key=votes.get)
    if votes[best]:
        return best
    name = os.path.basename(os.path.normpath(directory)).lower()
    parent = os.path.basename(os.path.dirname(os.path.normpath(directory))).lower()
    if name.endswith(".indexeddb.leveldb"):
        return "indexeddb"
    if name == "session storage":
        return "sessionstorage"
    if name == "local storage" or (name == "leveldb" and parent == "local storage"):
        return "localstorage"
    return None


def iter_entries(directory: str, kind: Optional[str] = None,
                 reverse: bool = False) -> Iterator[dict]:
    """The decoded entries of the store in directory. kind is one of KINDS,
    or None to detect it (ValueError when it cannot be told)."""
    import _vostrel

    if kind is not None and kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r} (choose from {', '.join(KINDS)})")
    with _vostrel.RawLevelDb(directory) as db:
        if hasattr(db, "iter_records"):
            def records():  # streamed afresh on every pass
                return db.iter_records(reverse=reverse)
        else:
            # Without a lazy iterator every pass would rebuild the whole list:
            # build it once and let the passes share it.
            everything = db.iterate_records_raw(reverse=reverse)

            def records():
                return iter(everything)
        if kind is None:
            kind = _detect(records(), directory)
            if kind is None:
                raise ValueError(f"cannot tell which kind of Chromium store {directory} is")
        if kind == "localstorage":
            yield from local_storage.iter_entries(records())
        elif kind == "sessionstorage":
            yield from session_storage.iter_entries(records())
        else:
            yield from indexeddb.iter_entries(records, directory)
