"""Decoded entries of the stores Chromium (and Electron apps) keep in LevelDB:
Local Storage, Session Storage, IndexedDB and extensions' chrome.storage.

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

The decoding is native, and so is the building of each entry's dict: the
values are made from the decoded JavaScript values directly, the very values
common.from_json makes of the line the command writes for the entry.
"""

from __future__ import annotations

import importlib
from typing import Iterator, Optional

__all__ = ["KINDS", "detect_kind", "iter_entries", "to_json", "from_json", "DecodeError"]

# The last reads any store plainly: each record's key as text, its value as
# JSON where it is JSON text.
KINDS = ("localstorage", "sessionstorage", "indexeddb", "serviceworker", "extension_settings", "leveldb")


def __getattr__(name: str):
    # The value types, their JSON form and the modules that hold them load on
    # first use: every start of the command imports this package, for KINDS.
    if name in ("common", "v8"):
        return importlib.import_module(f"{__name__}.{name}")
    if name in ("VALUE_TYPES", "from_json", "to_json"):
        return getattr(importlib.import_module(f"{__name__}.common"), name)
    if name == "DecodeError":
        return importlib.import_module(f"{__name__}.v8").DecodeError
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def detect_kind(db, directory: str = "") -> Optional[str]:
    """Which kind of store an opened RawLevelDb holds, judged by its keys (the
    directory's name decides when the keys do not)."""
    import _vostrel

    return _vostrel.detect_chromium_kind(db, directory)


def iter_entries(directory: str, kind: Optional[str] = None,
                 reverse: bool = False, blob_dir: Optional[str] = None) -> Iterator[dict]:
    """The decoded entries of the store in directory. kind is one of KINDS,
    or None to detect it (ValueError when it cannot be told); blob_dir an
    IndexedDB store's blob folder (None: looked for beside the store)."""
    import _vostrel

    from .common import VALUE_TYPES

    if kind is not None and kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r} (choose from {', '.join(KINDS)})")
    yield from _vostrel.iter_chromium_entries(directory, kind=kind, reverse=reverse, blob_dir=blob_dir,
                                              values=VALUE_TYPES)
