"""`vostrel chromium DIR`: a Chromium store's decoded entries as JSON Lines;
with several DIRs or --find ROOT, every store of a whole profile in one
output, each line naming its store and kind."""

from __future__ import annotations

import argparse
import codecs
import os
import sys

from ..skipped import extension_warnings, warn, warn_skipped
from ..stores import StoreError, open_store, store_error
from . import KINDS


def csv_fields() -> tuple:
    """The CSV columns: the fields every kind's entries share."""
    import _vostrel

    return _vostrel.chromium_csv_columns()

EPILOG = """\
DIR is a Local Storage store ('Local Storage/leveldb'), a Session Storage
store ('Session Storage'), an IndexedDB store ('<origin>.indexeddb.leveldb'),
the service worker database ('Service Worker/Database': registrations with
their scope and script URLs, resources, user data) or an extension's
chrome.storage area ('Local Extension Settings/<id>', also Sync and Managed);
which one is told from its keys and place (--kind to say it). Every record becomes one line, deleted and overwritten versions included:
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

A whole profile: with several DIRs or --find ROOT, every LevelDB store under
the roots is read, each line led by "store" (its path); the output is grouped
per store, the DIRs as given, then each root's stores in sorted order. A store
of no kind above is written plainly (kind "leveldb"): key in dump's escaped
form, value as JSON where it is JSON text, else, when it is not printable text
and reads whole as a protocol buffer message, {"$protobuf": {field number:
value}} (a varint its integer, {"$fixed32": n} or {"$fixed64": n}, text as a
string, a nested message as an object, other bytes {"$bytes": base64}), else
escaped. A store that cannot be read is warned about (exit status 1) and the
rest go on.
--format csv writes the columns the kinds share (key and value as JSON text);
--type keeps only entries of those types.

Blobs: a Blob or File in an IndexedDB value (and each blob entry) names its
blob file, with found, file_size and sha256 (null for a file with holes,
"sparse": true). The blob folder is --blob-dir, else the store's own
'<origin>.indexeddb.blob' beside it, else any '*.indexeddb.blob' beside it.
--extract-blobs OUTDIR copies every blob file found into OUTDIR once, named
by its sha256 (a file already there is kept; one not copied is warned about).

examples:
  vostrel chromium "Default/Local Storage/leveldb"
  vostrel chromium --state live "Default/IndexedDB/https_example.org_0.indexeddb.leveldb"
  vostrel chromium --find ~/.config/chromium/Default -o profile.jsonl
  vostrel chromium --find Default --type item,record,setting --format csv -o profile.csv
  vostrel chromium --latest "Default/Local Storage/leveldb"   what the browser reads now
"""


def add_parser(commands, formatter, states_type, jobs_type) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "chromium",
        help="decode Chromium stores: Local Storage, Session Storage, IndexedDB, "
             "service workers, extension settings; a whole profile with --find",
        description="Write the decoded entries of a Chromium store, one JSON object per line.",
        epilog=EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("directories", metavar="DIR", nargs="*", help="a store's LevelDB directory")
    parser.add_argument("--find", metavar="ROOT", action="append", default=[],
                        help="also every LevelDB directory in the tree under ROOT "
                             "(symbolic links are not followed; may be repeated)")
    parser.add_argument("--jobs", type=jobs_type, metavar="N", default=None,
                        help="threads sharing out the data files of the stores (default: the number of cores)")
    parser.add_argument("--kind", choices=KINDS, help="the kind of store (default: detected)")
    parser.add_argument("--format", choices=("jsonl", "csv"), default="jsonl",
                        help="output format (default: jsonl)")
    parser.add_argument("--blob-dir", metavar="DIR",
                        help="an IndexedDB store's blob folder (default: beside the store)")
    parser.add_argument("--extract-blobs", metavar="OUTDIR",
                        help="copy each blob file found into OUTDIR, named by its SHA-256")
    parser.add_argument("--type", metavar="TYPES",
                        help="only entries of these types, comma-separated (record,item,...)")
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


def _types(text: str, usage_error) -> frozenset:
    import _vostrel

    known = _vostrel.chromium_entry_types()
    wanted = frozenset(name.strip() for name in text.split(","))
    unknown = sorted(wanted - frozenset(known))
    if unknown:
        raise usage_error(f"unknown entry type {unknown[0]!r} (choose from {', '.join(known)})")
    return wanted


def run(args, usage_error) -> int:
    if not args.directories and not args.find:
        args.parser.error("the following arguments are required: DIR (or --find ROOT)")
    types = None if args.type is None else _types(args.type, usage_error)
    if args.extract_blobs is not None:
        try:
            os.makedirs(args.extract_blobs, exist_ok=True)
        except OSError as error:
            raise usage_error(f"cannot create {args.extract_blobs}: {error.strerror}") from None
    if len(args.directories) == 1 and not args.find and types is None and args.format == "jsonl":
        return _run_one(args, args.directories[0], usage_error)
    return _run_many(args, types, usage_error)


def _run_one(args, directory: str, usage_error) -> int:
    import _vostrel

    # A store that cannot be opened is told as for every command (StoreError),
    # and its data files left out are warned about.
    db = open_store(directory)
    try:
        warn_skipped(db.skipped_files)
    finally:
        db.close()
    to_file = args.output is not None and args.output != "-"
    out = _LazyFile(args.output, usage_error) if to_file else _stdout()
    try:
        with extension_warnings():
            written, undecoded = _vostrel.chromium_export(directory, out, kind=args.kind, states=args.state,
                                                          reverse=args.reverse, status=args.status,
                                                          latest=args.latest, blob_dir=args.blob_dir,
                                                          extract_blobs=args.extract_blobs, counts=True,
                                                          threads=args.jobs)
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
    elif written > 0 and undecoded == written:
        # Every line is a fallback: most likely a --kind that is not this
        # store's; the output holds the raw records all the same.
        what = f"as {args.kind}" if args.kind else "by its detected kind"
        warn(f"{directory}: none of its {written} records decoded {what}")
    return 0


# --------------------------------------------------------------------------
# Many stores, or entries filtered or written as CSV


def _run_many(args, types, usage_error) -> int:
    import _vostrel

    from ..many import gather_stores

    many = bool(args.find) or len(args.directories) > 1
    stores, problems = gather_stores(args.directories, args.find) if many else (args.directories, 0)
    to_file = args.output is not None and args.output != "-"
    if to_file:
        try:
            out = open(args.output, "wb")
        except OSError as error:
            raise usage_error(f"cannot write {args.output}: {error.strerror}") from None
        write = out.write
    else:
        out = sys.stdout
        out.flush()
        # Bytes to standard output: through its binary buffer, or, for a text
        # stream put in its place, decoded (_TextOutput).
        write = out.buffer.write if hasattr(out, "buffer") else _TextOutput(out).write
    states = None if args.state is None else sorted(args.state)

    def kind_of(store: str) -> str:
        """The kind of one store, said or detected, which must be told
        (StoreError when the store cannot be opened); its skipped files are
        warned about."""
        db = open_store(store)
        try:
            warn_skipped(db.skipped_files)
            kind = args.kind or _vostrel.detect_chromium_kind(db, store)
        finally:
            db.close()
        if kind is None:
            raise usage_error(f"cannot tell which kind of Chromium store {store} is")
        return kind

    failures = 0
    try:
        if args.format == "csv":
            write((",".join(csv_fields()) + "\n").encode())
        # A store without a readable manifest under --status is warned about
        # (and counted) as with one store.
        with extension_warnings():
            if many:
                failures = _export_many(stores, args, states, write, types)
            else:
                failures = _export_one(stores[0], kind_of, args, states, write, types)
    finally:
        if to_file:
            out.close()
        else:
            getattr(out, "buffer", out).flush()
    return 1 if failures or problems else 0


def _export_many(stores, args, states, write, types) -> int:
    """Every store's lines (or CSV rows) by the native writer, grouped per
    store in store order: --jobs threads share out the data files of all the
    stores, the one that opens a store telling its kind (plain LevelDB where
    it cannot be told) and running its first pass, while the native writer
    writes in order. Returns the count of stores that could not be read, each
    warned about as its turn comes (and every skipped file)."""
    import _vostrel

    failures = 0

    def on_store(index: int, error, skipped) -> None:
        nonlocal failures
        if error is not None:
            failures += 1
            warn(store_error(stores[index], error))
        warn_skipped(skipped)

    jobs = args.jobs if args.jobs is not None else os.cpu_count() or 1
    # The native writer takes the stream the chunks would go to.
    target = write.__self__
    try:
        _vostrel.chromium_export_stores(stores, target, kind=args.kind, states=states, reverse=args.reverse,
                                        status=args.status, latest=args.latest, blob_dir=args.blob_dir,
                                        extract_blobs=args.extract_blobs,
                                        types=None if types is None else sorted(types),
                                        csv=args.format == "csv", threads=jobs, on_store=on_store)
    except KeyboardInterrupt:
        _end_interrupted(target)
    return failures


def _export_one(store, kind_of, args, states, write, types) -> int:
    """One store's lines, filtered, or its CSV rows, by the native writer,
    decoded on --jobs threads that take its data files in turn while the
    native writer writes them in order. Returns 1 if the store could not be
    read (warned about), else 0."""
    import _vostrel

    csv = args.format == "csv"
    # The native writer takes the stream the chunks would go to.
    target = write.__self__
    jobs = args.jobs if args.jobs is not None else os.cpu_count() or 1
    try:
        _vostrel.chromium_export(store, target, kind=kind_of(store), states=states, reverse=args.reverse,
                                 status=args.status, latest=args.latest, store=store if csv else None,
                                 blob_dir=args.blob_dir, extract_blobs=args.extract_blobs,
                                 types=None if types is None else sorted(types), csv=csv, threads=jobs)
    except StoreError as error:
        warn(str(error))
        return 1
    except ValueError as error:
        warn(store_error(store, str(error)))
        return 1
    except KeyboardInterrupt:
        _end_interrupted(target)
    return 0


def _end_interrupted(out) -> None:
    for stream in (out, sys.stdout):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
    print("vostrel: interrupted", file=sys.stderr, flush=True)
    os._exit(130)
