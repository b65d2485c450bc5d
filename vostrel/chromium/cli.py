"""`vostrel chromium DIR`: a Chromium store's decoded entries as JSON Lines."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import TextIO

from . import KINDS, iter_entries
from .common import to_json

EPILOG = """\
DIR is a Local Storage store ('Local Storage/leveldb'), a Session Storage
store ('Session Storage') or an IndexedDB store ('<origin>.indexeddb.leveldb');
which one is told from its keys (--kind to say it). Every record becomes one
line, deleted and overwritten versions included:
  kind, type      the store kind and what the record is (item, record, index,
                  database_name, object_store_name, meta, ...)
  origin, database, object_store, index
                  where it belongs, when the record says
  key, value      decoded; JavaScript values JSON has no form for are one-key
                  objects: {"$date": ...}, {"$bytes": base64}, {"$bigint": ...},
                  {"$map": [[k, v], ...]}, {"$set": [...]}, {"$ref": path},
                  {"$undefined": true}, {"$blob": {...}}, ... (see README)
  seq, state, origin_file, offset
                  the raw record's provenance, as in 'vostrel dump'
A record that does not decode keeps its raw bytes: error (why), raw_key and
raw_value (hex).

examples:
  vostrel chromium "Default/Local Storage/leveldb"
  vostrel chromium --state live "Default/IndexedDB/https_example.org_0.indexeddb.leveldb"
"""


def add_parser(commands, formatter, states_type) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "chromium",
        help="decode a Chromium Local Storage, Session Storage or IndexedDB store",
        description="Write the decoded entries of a Chromium store, one JSON object per line.",
        epilog=EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("directory", metavar="DIR", help="the store's LevelDB directory")
    parser.add_argument("--kind", choices=KINDS, help="the kind of store (default: detected)")
    parser.add_argument("--state", type=states_type, metavar="STATES",
                        help="only these states, comma-separated: live,deleted,unknown")
    parser.add_argument("--reverse", action="store_true",
                        help="files in descending file-number order")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE instead of standard output")
    return parser


_JSON_FIELDS = frozenset(("key", "value", "primary_key"))


def write_entries(entries, out: TextIO, states=None) -> int:
    encoder = json.JSONEncoder(ensure_ascii=False, check_circular=False, allow_nan=False)
    encode = encoder.encode
    state_names = None
    if states is not None:
        from .common import STATE_NAMES
        state_names = {STATE_NAMES[s] for s in states}
    count = 0
    write = out.write
    for item in entries:
        if state_names is not None and item["state"] not in state_names:
            continue
        for field in _JSON_FIELDS:
            if field in item:
                item[field] = to_json(item[field])
        try:
            line = encode(item)
        except (TypeError, ValueError) as error:  # never lose the record over its form
            item = {k: v if isinstance(v, (str, int, float, bool, type(None))) else repr(v)
                    for k, v in item.items()}
            item["error"] = f"cannot be written as JSON: {error}"
            line = encode(item)
        write(line)
        write("\n")
        count += 1
    return count


def _stdout() -> TextIO:
    """Standard output as UTF-8, block-buffered unless a terminal; lone
    surrogates (possible in JavaScript strings) are written as \\uXXXX, which
    inside a JSON string is the same character again."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # replaced by a caller
        return sys.stdout
    sys.stdout.flush()
    buffering = 1 if os.isatty(fd) else 1 << 16
    return open(fd, "w", encoding="utf-8", errors="backslashreplace", newline="",
                buffering=buffering, closefd=False)


def run(args, usage_error) -> int:
    directory = args.directory
    if not os.path.exists(directory):
        raise usage_error(f"no such directory: {directory}")
    if not os.path.isdir(directory):
        raise usage_error(f"not a directory: {directory}")
    try:
        entries = iter_entries(directory, args.kind, args.reverse)
        first = next(entries, None)
    except UnicodeEncodeError:
        raise usage_error(f"path is not valid UTF-8: {directory!r}") from None
    except ValueError as error:
        raise usage_error(str(error)) from None

    def chained():
        if first is not None:
            yield first
            yield from entries

    if args.output is None or args.output == "-":
        out = _stdout()
        write_entries(chained(), out, args.state)
        out.flush()
        return 0
    try:
        out = open(args.output, "w", encoding="utf-8", errors="backslashreplace",
                   newline="", buffering=1 << 16)
    except OSError as error:
        raise usage_error(f"cannot write {args.output}: {error.strerror}") from None
    with out:
        write_entries(chained(), out, args.state)
    return 0
