"""`vostrel chromium DIR`: a Chromium store's decoded entries as JSON Lines."""

from __future__ import annotations

import argparse
import codecs
import os
import sys

from ..skipped import extension_warnings, warn
from ..stores import open_store
from . import KINDS

EPILOG = """\
DIR is a Local Storage store ('Local Storage/leveldb'), a Session Storage
store ('Session Storage') or an IndexedDB store ('<origin>.indexeddb.leveldb');
which one is told from its keys (--kind to say it). Every record becomes one
line, deleted and overwritten versions included:
  kind, type      the store kind and what the record is (item, record, index,
                  database_name, object_store_name, meta, ...)
  origin, database, object_store, index
                  where it belongs, when the record says; origin as
                  scheme://host[:port], origin_raw the stored text where
                  that differs
  journal         of a journal task: the records it names, decoded
  key, value      decoded; JavaScript values JSON has no form for are one-key
                  objects: {"$date": ...}, {"$bytes": base64}, {"$bigint": ...},
                  {"$map": [[k, v], ...]}, {"$set": [...]}, {"$ref": path},
                  {"$undefined": true}, {"$blob": {...}}, ... (see README)
  seq, state, origin_file, offset
                  the raw record's provenance, as in 'vostrel dump'
  status          only with --status: current, superseded or orphaned, as
                  'vostrel dump --status' tells them
A record that does not decode keeps its raw bytes: error (why), raw_key and
raw_value (hex).

examples:
  vostrel chromium "Default/Local Storage/leveldb"
  vostrel chromium --state live "Default/IndexedDB/https_example.org_0.indexeddb.leveldb"
  vostrel chromium --latest "Default/Local Storage/leveldb"   what the browser reads now
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
    parser.add_argument("--status", action="store_true",
                        help="add each record's status: current, superseded or orphaned")
    parser.add_argument("--latest", action="store_true",
                        help="only the current records that hold a value (one line per key the "
                             "store holds now), in the reader's order")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE instead of standard output")
    return parser


class _TextOutput:
    """A text stream (a replaced sys.stdout) taking the native UTF-8 chunks.
    Lone surrogates arrive already written as \\uXXXX, so the text is valid
    UTF-8; a chunk may end inside a character, hence the incremental decoder."""

    def __init__(self, stream):
        self._write = stream.write
        self._decode = codecs.getincrementaldecoder("utf-8")().decode

    def write(self, data: bytes) -> int:
        self._write(self._decode(data))
        return len(data)


class _LazyFile:
    """The output file, opened (and truncated) at the first chunk, or by
    close() when nothing was written: a store whose kind cannot be told never
    touches it."""

    def __init__(self, path: str, usage_error):
        self._path = path
        self._usage_error = usage_error
        self._file = None

    def _open(self):
        try:
            self._file = open(self._path, "wb", buffering=0)
        except OSError as error:
            raise self._usage_error(f"cannot write {self._path}: {error.strerror}") from None
        return self._file

    def write(self, data: bytes) -> int:
        return (self._file or self._open()).write(data)

    def close(self) -> None:
        (self._file or self._open()).close()


def _stdout():
    """Standard output: its descriptor when it has one (the native writer
    writes there directly), else the text stream itself."""
    try:
        sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # replaced by a caller
        return _TextOutput(sys.stdout)
    return sys.stdout


def run(args, usage_error) -> int:
    import _vostrel

    directory = args.directory
    # A store that cannot be opened is told as for every command (StoreError).
    open_store(directory).close()
    to_file = args.output is not None and args.output != "-"
    out = _LazyFile(args.output, usage_error) if to_file else _stdout()
    try:
        with extension_warnings():
            written = _vostrel.chromium_export(directory, out, kind=args.kind, states=args.state,
                                               reverse=args.reverse, status=args.status,
                                               latest=args.latest)
    except ValueError as error:  # the store's kind cannot be told
        raise usage_error(str(error)) from None
    if to_file:
        out.close()
    if written == 0 and not _vostrel.data_files(directory):
        # Nothing read is not success: name what was given, and where the
        # store may be (a profile's "Local Storage" holds it in "leveldb").
        inner = [name for name in ("leveldb",) if os.path.isdir(os.path.join(directory, name))]
        hint = f" (is the store in {os.path.join(directory, inner[0])}?)" if inner else ""
        warn(f"{directory}: no LevelDB data files{hint}")
    return 0
