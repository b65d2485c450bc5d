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

The decoding is native (the extension writes each entry as a JSON line, the
very line the command writes); here each line is read back and its values
turned into Python values by common.from_json.
"""

from __future__ import annotations

import json
from typing import Iterator, Optional

from .common import from_json, to_json
from .v8 import DecodeError

__all__ = ["KINDS", "detect_kind", "iter_entries", "to_json", "from_json", "DecodeError"]

# The last reads any store plainly: each record's key as text, its value as
# JSON where it is JSON text.
KINDS = ("localstorage", "sessionstorage", "indexeddb", "serviceworker", "extension_settings", "leveldb")
# The fields whose values are JavaScript values in their JSON form.
_VALUE_FIELDS = ("key", "value", "primary_key")


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

    if kind is not None and kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r} (choose from {', '.join(KINDS)})")
    # The C scanner straight away: each line is one JSON object, nothing around it.
    scan = json.JSONDecoder().scan_once
    for line in _vostrel.iter_chromium_entries(directory, kind=kind, reverse=reverse,
                                                 blob_dir=blob_dir):
        entry = scan(line, 0)[0]
        if '"$' in line:  # a "$"-form somewhere (else every value is plain JSON already)
            refs = '"$ref"' in line
            _revive_values(entry, refs)
            journal = entry.get("journal")
            if journal is not None:  # the records a journal task holds
                for part in ("entry", "begin", "end"):
                    if type(journal.get(part)) is dict:
                        _revive_values(journal[part], refs)
        yield entry


def _revive_values(entry: dict, refs: bool) -> None:
    for field in _VALUE_FIELDS:
        if field in entry:
            entry[field] = from_json(entry[field], refs)
