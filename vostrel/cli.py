"""The vostrel command: dump the records of a LevelDB directory, or count them."""

from __future__ import annotations

import argparse
import errno
import os
import sys
from typing import List, Optional, TextIO

from .dump import FORMATS as DUMP_FORMATS
from .dump import STATE_NAMES
from .encodings import DEFAULT_ENCODING, ENCODERS
from .skipped import extension_warnings, warn, warn_skipped, warnings_given
from .stats import FORMATS as STATS_FORMATS
from .stores import StoreError, open_store
from .terminal import printable

# carve, progress and most of stats are imported where used: each command
# imports only what it runs, which keeps the start of a short run (one of
# thousands in a loop over stores) short.

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
_BUFFER_SIZE = 1 << 16

MAIN_EPILOG = """\
vostrel reads the log (.log) and table (.ldb, .sst) files of a LevelDB
directory itself, without opening the database, and reports every record
physically present: live ones, deletion markers and overwritten versions.
Nothing in the directory is changed.

examples:
  vostrel dump path/to/db                     every record, as JSON Lines
  vostrel dump --state deleted path/to/db     deletion markers only
  vostrel dump --format csv -o records.csv path/to/db
  vostrel stats path/to/db                    records per data file
  vostrel stats --format json path/to/db
  vostrel manifest path/to/db                 the manifest's edits and live files
  vostrel inspect path/to/db/000005.ldb       the blocks, records and gaps of one file

See 'vostrel dump --help' for the fields and byte encodings.

exit status, for every command:
  0    everything asked for was read
  1    output was written, but something was left out (a skipped file, an
       unreadable store, a directory without data files, a damaged manifest,
       ...): each on stderr as one warning line naming the path and the reason
  2    usage errors, and nothing readable at all
  130  interrupted (Ctrl-C); the output is complete up to where it stopped
"""

DUMP_EPILOG = """\
fields, in this order:
  store           the store (directory) the record came from; only when
                  several directories or --find are given
  key             the key as stored (table records: user key + 8-byte trailer)
  user_key        the key as the application wrote it
  value           the value (empty for a deletion read from a log)
  seq             sequence number
  state           live, deleted or unknown
  file_type       ldb (table file) or log (write-ahead log)
  origin_file     path of the file the record was read from
  offset          position in origin_file that locates the record (for a
                  compressed table block: the block's own position)
  was_compressed  true when the table block holding it was stored compressed
                  (Snappy, zstd, zlib or raw deflate); false for log records
  recovered       only with --carve or FILE arguments: null for a record of
                  the normal read, "carved-block" or "carved-log" for one that
                  carving found (CSV: an empty cell, or the text)
  status          only with --status: what the record is to the application,
                  by the manifest's current version: "current" (what a read
                  of its key returns now: the newest record of the key among
                  the files in use), "superseded" (any other record of the
                  files in use; carved records too) or "orphaned" (from a file
                  the version no longer uses)

positions (--positions), after the fields above; null (CSV: an empty cell)
where a record has no such thing:
  block_offset    table records: where the block's stored bytes begin
  block_size      table records: the stored size (the block handle's), without
                  the 5-byte trailer (type byte, checksum) that follows
  codec           table records: none, snappy, zstd, zlib or deflate
  entry_offset    table records: where the entry begins in the block's
                  contents, once decompressed
  fragments       log records: the physical records that carry the entry's
                  bytes (its tag byte to the end of its value), each as
                  [position of its 7-byte header, length of its payload];
                  CSV: position:length pairs separated by spaces
  file_position   the byte of the file where the entry begins: a table entry's
                  three varints (shared, non-shared, value length), a log
                  entry's tag byte; null inside a compressed block
  crc             "ok" or "bad": a table block's trailer checksum, or the
                  checksums of every physical record of a log entry's write
                  batch; a bad checksum drops nothing (carved records are
                  always "ok": carving takes only what its checksums vouch
                  for)

current records:
  --status        the status field; a store without a readable manifest gets
                  a warning, and every data file counts as in use
  --latest        only what a read of the whole store returns now: the
                  current records that hold a value, in bytewise user-key
                  order (on a store with the default comparator, what the
                  LevelDB library's iterator gives); all of them are held in
                  memory at once. One directory; not with --carve or --reverse

deep recovery (carving):
  --carve DIR     after the normal read's records, the records that only
                  checksums still vouch for: data blocks of tables whose
                  footer or index is damaged or that were cut short, and log
                  records in stretches the log framing skips
  FILE...         data files read by content, whatever their names: a table
                  if it ends in the table magic, a table cut short if
                  checksum-verified table blocks are found, else a log; each
                  file's normal records, then its carved ones

encodings of key, user_key and value (all lossless):
  escaped  printable UTF-8 text as is, every other byte as \\xNN, and a
           backslash as \\\\ (the default)
  hex      two lower-case hex digits per byte
  base64   standard base64

many stores: with several directories or --find, the stores are read in
parallel (--jobs) and the output is grouped per store: the directories in the
order given, then the stores found under each ROOT in sorted order. A store
that cannot be read gives a one-line warning and the others go on; the exit
status is then 1. The --jobs worker threads share out the data files of all
the stores (--threads is not used then).

examples:
  vostrel dump path/to/db | head
  vostrel dump --reverse --state live,deleted path/to/db
  vostrel dump --format csv --encoding hex -o records.csv path/to/db
  vostrel dump --carve path/to/damaged-db
  vostrel dump --status --format csv path/to/db
  vostrel dump --latest path/to/db
  vostrel dump --positions --state deleted path/to/db
  vostrel dump recovered/f12345.bin recovered/f12346.bin
"""

MANIFEST_EPILOG = """\
A file is live in the current version if the last edit to name it added it;
a log is still in use if its number is at least the log number (or is the
previous log number). Keys are written in the chosen --encoding. A manifest
whose edits end before the end of the file is damaged: what could be read is
shown, and the exit status is 1.

examples:
  vostrel manifest path/to/db
  vostrel manifest --format json path/to/db
"""

INSPECT_EPILOG = """\
A file ending in the table magic is a table: its footer, metaindex and index
blocks with their entries, and every data block the index names (offset, stored
size, codec, whether the trailer's checksum holds, entries, restarts, first and
last key). Stretches no block covers are gaps; bytes after the footer are
trailing bytes. Any other file is read as log framing (a manifest when named
MANIFEST-*): every physical record with its checksum, each write batch or
version edit after the record that completes it, and the zero-filled, padding,
skipped and trailing stretches. Offsets are decimal with hex in brackets.

Exit status 0 when the structure is intact, 1 when anything is damaged (a bad
checksum, an unreadable block, a gap, a zero-filled or skipped stretch,
trailing bytes), 2 when the file cannot be read.

examples:
  vostrel inspect path/to/db/000005.ldb
  vostrel inspect --format json --encoding hex path/to/db/000006.log
"""

STATS_EPILOG = """\
One row per data file, in file-number order, and a total row. A data file
that holds no readable record is listed with zero counts. 'compressed' is
the share of a file's records that came from table blocks stored compressed
(Snappy, zstd, zlib or raw deflate).

With several directories or --find, one such table per store, each headed
by a 'store: PATH' line; as JSON, {"stores": [one document per store]}.

examples:
  vostrel stats path/to/db
  vostrel stats --format json path/to/db | python3 -m json.tool
"""


class UsageError(Exception):
    """Bad input from the user: reported in one line, exit status 2."""


def _columns() -> int:
    """The terminal's width as shutil.get_terminal_size gives it: $COLUMNS,
    else the width of standard output's terminal, else 80."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class _Formatter(argparse.RawDescriptionHelpFormatter):
    # argparse's layout at argparse's width, which it finds through shutil:
    # an import (with bz2 and lzma) that every start paid, since argparse
    # makes a formatter for each argument added.
    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    # One line on stderr instead of argparse's usage block.
    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(EXIT_USAGE, f"{self.prog}: error: {printable(message)} (see '{self.prog} --help')\n")


def _states(text: str) -> frozenset:
    codes = {name: code for code, name in STATE_NAMES.items()}
    wanted = set()
    for name in text.split(","):
        name = name.strip().lower()
        if name not in codes:
            raise argparse.ArgumentTypeError(
                f"invalid state {name!r} (choose from {', '.join(sorted(codes))})"
            )
        wanted.add(codes[name])
    return frozenset(wanted)


def _count_of(what: str):
    """An argparse type for a count of at least 1 ("job", "thread")."""

    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            n = 0
        if n < 1:
            raise argparse.ArgumentTypeError(f"invalid {what} count {text!r} (a whole number, at least 1)")
        return n

    return parse


_jobs = _count_of("job")
_threads = _count_of("thread")


def _add_many_store_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--find", metavar="ROOT", action="append", default=[],
                        help="also every LevelDB directory in the tree under ROOT "
                             "(symbolic links are not followed; may be repeated)")
    parser.add_argument("--jobs", type=_jobs, metavar="N", default=None,
                        help="stores read at once (default: the number of cores)")


def _many_stores(args: argparse.Namespace) -> bool:
    """Several stores: --find, or more than one path and none of them a file
    (data files given alone are read by content, one after another)."""
    if args.find:
        return True
    paths = getattr(args, args.stores_arg)
    return len(paths) > 1 and not any(os.path.isfile(path) for path in paths)


def _run_many(args: argparse.Namespace) -> int:
    from . import many  # the worker machinery only when it is used

    stores, problems = many.gather_stores(getattr(args, args.stores_arg), args.find)
    if not stores and problems:
        # Every root was missing or unlistable: nothing readable at all, as
        # for a missing directory given alone.
        return EXIT_USAGE
    jobs = args.jobs if args.jobs is not None else os.cpu_count() or 1
    to_stdout = getattr(args, "output", None) in (None, "-")
    if to_stdout:
        out = _stdout()
    else:
        try:
            out = open(args.output, "w", encoding="utf-8", newline="", buffering=_BUFFER_SIZE)
        except OSError as error:
            raise UsageError(f"cannot write {args.output}: {error.strerror}") from None
    try:
        if args.command == "dump":
            if args.carve:
                raise UsageError("--carve reads one directory, or data files; not several stores")
            options = many.DumpOptions(args.format, args.encoding, args.state, args.reverse, args.status,
                                       args.positions)
            failures = many.dump_many(stores, options, jobs, out)
        else:
            failures = many.stats_many(stores, args.format, jobs, out)
    finally:
        if to_stdout:
            out.flush()
        else:
            out.close()
    return EXIT_FAILURE if failures or problems else EXIT_OK


class _Version(argparse.Action):
    """--version, with the version looked up only when asked for."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0,
                         help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from . import __version__

        parser._print_message(f"{parser.prog} {__version__}\n", sys.stdout)
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    formatter = _Formatter
    parser = _Parser(
        prog="vostrel",
        description="Read every record of a LevelDB directory from its raw files.",
        epilog=MAIN_EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    dump = commands.add_parser(
        "dump",
        help="write every record, one per line",
        description="Write every record of the directory, one per line.",
        epilog=DUMP_EPILOG,
        formatter_class=formatter,
    )
    dump.add_argument("paths", metavar="PATH", nargs="*",
                      help="LevelDB database directory, or data files (read by content)")
    dump.add_argument("--carve", action="store_true",
                      help="also recover records by checksum where the structure is damaged")
    dump.add_argument("--format", choices=DUMP_FORMATS, default="jsonl",
                      help="output format (default: jsonl)")
    dump.add_argument("--encoding", choices=tuple(ENCODERS), default=DEFAULT_ENCODING,
                      help=f"text form of keys and values (default: {DEFAULT_ENCODING})")
    dump.add_argument("--state", type=_states, metavar="STATES",
                      help="only these states, comma-separated: live,deleted,unknown")
    dump.add_argument("--reverse", action="store_true",
                      help="files in descending file-number order")
    dump.add_argument("--status", action="store_true",
                      help="add each record's status: current, superseded or orphaned")
    dump.add_argument("--latest", action="store_true",
                      help="only the current records that hold a value, in user-key order")
    dump.add_argument("--positions", action="store_true",
                      help="add where each record's bytes lie in its file and whether "
                           "their checksums hold (see below)")
    dump.add_argument("-o", "--output", metavar="FILE",
                      help="write to FILE instead of standard output")
    dump.add_argument("--threads", type=_threads, metavar="N",
                      help="format N data files at once (default: one per processor core); "
                           "the output is the same")
    dump.add_argument("--no-progress", dest="progress", action="store_false",
                      help="no progress bar (shown on a terminal when the output is not one)")
    _add_many_store_options(dump)
    dump.set_defaults(run=run_dump, parser=dump, stores_arg="paths")

    stats = commands.add_parser(
        "stats",
        help="count records per data file",
        description="Count the records of each data file of the directory.",
        epilog=STATS_EPILOG,
        formatter_class=formatter,
    )
    stats.add_argument("directory", metavar="DIR", nargs="*",
                       help="LevelDB database directory (several may be given)")
    _add_many_store_options(stats)
    stats.add_argument("--format", choices=STATS_FORMATS, default="table",
                       help="output format (default: table)")
    stats.set_defaults(run=run_stats, parser=stats, stores_arg="directory")

    manifest = commands.add_parser(
        "manifest",
        help="show the manifest's version edits and the files they leave live",
        description="Show every version edit of the store's manifest (the one CURRENT names, "
                    "else the highest-numbered) with its file offset, the version they leave "
                    "(tables per level, log numbers, last sequence), the data files on disk "
                    "that version no longer uses (orphaned) and the tables it lists that are "
                    "missing from disk.",
        epilog=MANIFEST_EPILOG,
        formatter_class=formatter,
    )
    manifest.add_argument("directory", metavar="DIR", help="LevelDB database directory")
    _add_table_or_json_options(manifest)
    manifest.set_defaults(run=run_manifest, parser=manifest)

    inspect = commands.add_parser(
        "inspect",
        help="show the structure of one file: blocks, records, gaps",
        description="Show the structure of one table, log or manifest file, one line per part "
                    "(footer, block, index entry, physical record, write batch, version edit) and "
                    "per stretch that no part accounts for, with checksums checked.",
        epilog=INSPECT_EPILOG,
        formatter_class=formatter,
    )
    inspect.add_argument("file", metavar="FILE", help="a table (.ldb, .sst), log or manifest file")
    _add_table_or_json_options(inspect)
    inspect.set_defaults(run=run_inspect, parser=inspect)

    from .chromium import cli as chromium_cli

    chromium = chromium_cli.add_parser(commands, formatter, _states, _jobs)
    chromium.set_defaults(run=run_chromium, parser=chromium)
    return parser


def _add_table_or_json_options(command: argparse.ArgumentParser) -> None:
    """--format table|json and --encoding for keys: manifest's and inspect's."""
    command.add_argument("--format", choices=("table", "json"), default="table",
                         help="output format (default: table)")
    command.add_argument("--encoding", choices=tuple(ENCODERS), default=DEFAULT_ENCODING,
                         help=f"text form of keys (default: {DEFAULT_ENCODING})")


def open_database(directory: str):
    """The directory opened by the extension, its skipped files warned about,
    and a warning when it holds no data file at all (an empty directory, the
    parent of a store): nothing read is not success. StoreError (a usage
    error) when it cannot be opened."""
    db = open_store(directory)
    warn_skipped(db.skipped_files)
    import _vostrel

    if not _vostrel.data_files(directory):
        warn(f"{directory}: no LevelDB data files (.log, .ldb, .sst) in this directory")
    return db


def _stdout() -> TextIO:
    """Standard output as UTF-8 text, block-buffered unless it is a terminal.

    The command's own buffer keeps writing fast even when the interpreter's
    stdout is unbuffered (PYTHONUNBUFFERED, -u); a terminal still sees each
    record as soon as its line is complete.
    """
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # replaced by a caller
        return sys.stdout
    sys.stdout.flush()
    buffering = 1 if os.isatty(fd) else _BUFFER_SIZE
    return open(fd, "w", encoding="utf-8", newline="", buffering=buffering, closefd=False)


def run_dump(args: argparse.Namespace) -> int:
    from . import carve
    from .progress import progress_bar

    if _many_stores(args):
        if args.latest:
            raise UsageError("--latest reads one directory; not several stores")
        with extension_warnings():
            return _run_many(args)
    carving = carve.wants_carving(args.paths, args.carve)
    if carving and not args.carve and (args.status or args.latest):
        raise UsageError(f"--{'status' if args.status else 'latest'} reads a store directory, not data files")
    if args.latest and (args.carve or args.reverse or args.positions):
        other = "carve" if args.carve else "reverse" if args.reverse else "positions"
        raise UsageError(f"--latest gives user-key order; not with --{other}")
    # dump --carve DIR and dump FILE...: the normal records and the carved
    # ones, with the `recovered` field; no progress bar, as ever.
    source = carve.open_source(args.paths, UsageError) if carving else open_database(args.paths[0])
    options = dict(format=args.format, encoding=args.encoding, reverse=args.reverse,
                   states=None if args.state is None else sorted(args.state), threads=args.threads)
    # Only when asked for: data files read by content take neither.
    options.update({name: True for name in ("status", "latest", "positions") if getattr(args, name)})
    with source, extension_warnings():
        if args.output is None or args.output == "-":
            sys.stdout.flush()
            out_fd = sys.stdout.fileno()
            with progress_bar(args.progress and not carving, out_fd) as progress:
                written = _export(source, out_fd, progress, options)
            _warn_if_nothing_read(args.paths, carving, written)
            return EXIT_OK
        try:
            out = open(args.output, "wb")
        except OSError as error:
            raise UsageError(f"cannot write {args.output}: {error.strerror}") from None
        with out, progress_bar(args.progress and not carving, out.fileno()) as progress:
            written = _export(source, out, progress, options)
    _warn_if_nothing_read(args.paths, carving, written)
    return EXIT_OK


def _export(source, out, progress, options: dict) -> int:
    if progress is None:
        return source.export(out, **options)
    return source.export(out, progress=progress, **options)


def _warn_if_nothing_read(paths: List[str], carving: bool, written: int) -> None:
    # Files given by path that hold no record at all (a text file, a file of
    # zeros) were not LevelDB data as far as anything can tell.
    if carving and written == 0 and all(os.path.isfile(path) for path in paths):
        warn(f"{', '.join(paths)}: no LevelDB records found")


def run_stats(args: argparse.Namespace) -> int:
    if _many_stores(args):
        return _run_many(args)
    from .stats import read_stores, render_json, render_table

    out = _stdout()

    def emit(directory: str, files) -> None:
        out.write(render_json(directory, files) if args.format == "json" else render_table(files))

    def failed(error: StoreError) -> None:
        raise error

    read_stores(args.directory[:1], 1, emit, failed)
    out.flush()
    return EXIT_OK


def run_manifest(args: argparse.Namespace) -> int:
    from .manifest import render_json, render_table

    open_store(args.directory).close()  # the one check and message for a store that cannot be read
    import _vostrel

    history = _vostrel.read_manifest(args.directory)
    if history is None:
        warn(f"{args.directory}: no readable manifest")
        return EXIT_FAILURE
    encode = ENCODERS[args.encoding]
    out = _stdout()
    out.write(render_json(history, encode) if args.format == "json"
              else render_table(history, encode, printable))
    out.flush()
    if history["read_end"] < history["size"]:
        warn(f"{history['path']}: damaged: the edits end at byte {history['read_end']} of {history['size']}")
        return EXIT_FAILURE
    return EXIT_OK


def run_inspect(args: argparse.Namespace) -> int:
    from .inspect import damage_text, write_inspection

    if os.path.isdir(args.file):
        raise UsageError(f"{printable(args.file)}: is a directory, not a file")
    out = _stdout()
    try:
        result = write_inspection(args.file, out, args.format, ENCODERS[args.encoding], printable)
    except BrokenPipeError:
        raise
    except UnicodeEncodeError:
        raise UsageError(f"path is not valid UTF-8: {args.file!r}") from None
    except (OSError, ValueError) as error:  # ValueError: a NUL in the path
        if isinstance(error, OSError) and error.filename != args.file:
            raise
        reason = str(error) if not isinstance(error, OSError) else (
            "not a regular file" if error.errno == errno.ENODEV else error.strerror)
        raise UsageError(f"cannot read {printable(args.file)}: {reason}") from None
    out.flush()
    if result["damaged"]:
        print(f"vostrel: warning: {printable(result['path'])}: damaged: {damage_text(result)}", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_OK


def run_chromium(args: argparse.Namespace) -> int:
    from .chromium import cli as chromium_cli

    return chromium_cli.run(args, UsageError)


def _silence_stdout() -> None:
    # The reader of our output has gone (for example `| head`). Point stdout at
    # /dev/null so that the interpreter's final flush cannot fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (AttributeError, ValueError, OSError):
        pass
    finally:
        os.close(devnull)


def main(argv: Optional[List[str]] = None) -> int:
    if sys.stdout is None:  # started with stdout closed (>&-)
        if sys.stderr is not None:
            print("vostrel: error: standard output is closed", file=sys.stderr)
        return EXIT_FAILURE
    args, extra = build_parser().parse_known_args(argv)
    parser = getattr(args, "parser", None) or build_parser()
    if extra:  # named by the subcommand's own parser, whose --help explains it
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if getattr(args, "stores_arg", None) and not getattr(args, args.stores_arg) and not args.find:
        metavar = "PATH" if args.command == "dump" else "DIR"
        args.parser.error(f"the following arguments are required: {metavar} (or --find ROOT)")
    warned_before = warnings_given()  # main may run more than once in a process
    try:
        status = args.run(args)
    except (UsageError, StoreError) as error:
        print(f"vostrel: error: {printable(str(error))}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_OK
    except KeyboardInterrupt:
        _flush_quietly()
        print("vostrel: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as error:
        # Name what failed: the file the error carries, else the output.
        target = error.filename or getattr(args, "output", None) or "standard output"
        reason = error.strerror or str(error)
        print(f"vostrel: error: {printable(str(target))}: {printable(reason)}", file=sys.stderr)
        return EXIT_FAILURE
    # Output was written, but a warning said something was left out.
    if status == EXIT_OK and warnings_given() > warned_before:
        return EXIT_FAILURE
    return status


def _flush_quietly() -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
