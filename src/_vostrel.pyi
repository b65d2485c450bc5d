"""Raw, lenient reader of LevelDB database directories."""

from types import TracebackType
from typing import Any, BinaryIO, Callable, Final, Iterable, Iterator, Literal, Sequence, TypedDict, final

# The classes; the functions below are module attributes outside __all__.
__all__ = ["KeyState", "FileType", "Record", "RawLevelDb"]

@final
class KeyState:
    """What a record says about its key."""

    Deleted: Final[KeyState]
    Live: Final[KeyState]
    Unknown: Final[KeyState]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class FileType:
    """The kind of data file a record came from."""

    Ldb: Final[FileType]
    Log: Final[FileType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Record:
    """One record found in a table or log file, with its provenance."""

    @property
    def key(self) -> bytes:
        """The key as stored: the internal key (user key + 8-byte trailer) for table records."""
    @property
    def value(self) -> bytes: ...
    @property
    def seq(self) -> int: ...
    @property
    def state(self) -> KeyState: ...
    @property
    def file_type(self) -> FileType: ...
    @property
    def origin_file(self) -> str: ...
    @property
    def offset(self) -> int: ...
    @property
    def was_compressed(self) -> bool: ...
    @property
    def user_key(self) -> bytes: ...
    @property
    def recovered(self) -> str | None:
        """How carving found the record: "carved-block" (a table block found by
        its trailer checksum) or "carved-log" (a log record found by its header
        checksum); None for every record of the normal read."""

class _Position(TypedDict):
    block_offset: int | None
    block_size: int | None
    codec: Literal["none", "snappy", "zstd", "zlib", "deflate"] | None
    entry_offset: int | None
    fragments: list[tuple[int, int]] | None
    file_position: int | None
    crc: Literal["ok", "bad"] | None

class _FileStats(TypedDict):
    """The counts of one data file (RawLevelDb.file_stats, stats_stores)."""

    path: str
    name: str
    file_type: FileType
    number: int | None  # the name's digits read in decimal
    size: int | None  # bytes on disk now; None if the file cannot be examined
    records: int
    live: int
    deleted: int
    unknown: int
    compressed_records: int

@final
class RawLevelDb:
    """An opened LevelDB database directory, read raw."""

    def __new__(cls, in_dir: str) -> RawLevelDb: ...
    def iterate_records_raw(self, *, reverse: bool = False) -> list[Record]: ...
    def carve_records(self, *, reverse: bool = False) -> list[Record]:
        """The records that only carving finds, never one that
        iterate_records_raw gives: the checksum-verified data blocks of each
        table that its index does not reach (all of them for a table whose
        footer or index cannot be read, which the normal read leaves out), and
        the write batches of checksum-verified log records that the log
        framing does not read. Files in the same order as iterate_records_raw
        (by number, descending when reverse), records in file order. Each has
        `recovered` set; offsets follow the normal read's rules."""
    def iter_records(self, *, reverse: bool = False) -> Iterator[Record]:
        """The records of iterate_records_raw, in the same order, a few at a time:
        memory stays bounded by one data file. The iterator holds no access to
        the reader between next() calls; after close(), next() raises
        RuntimeError("Database is closed"). Records already produced stay valid.
        With a second core available, a helper thread decompresses the tables'
        blocks a little ahead; it ends with the iterator or close()."""
    def export(
        self,
        file: int | BinaryIO,
        *,
        format: Literal["jsonl", "csv"] = "jsonl",
        encoding: Literal["escaped", "hex", "base64"] = "escaped",
        states: Iterable[KeyState | int] | None = None,
        reverse: bool = False,
        progress: Callable[[int, int], object] | None = None,
        threads: int | None = None,
        store: str | None = None,
        header: bool = True,
        carve: bool = False,
        status: bool = False,
        latest: bool = False,
        positions: bool = False,
    ) -> int:
        """Writes every record (only those in `states`, if given) as `vostrel dump`
        does, to a file descriptor or a binary file object, in large chunks, with
        the interpreter lock released while decoding and formatting. progress, if
        given, is called as progress(bytes_done, bytes_total) of the data files,
        at the start, at most every 0.2 s and at the end. A failed write raises
        its OSError (BrokenPipeError for a closed pipe). Returns the number of
        records written.

        threads: how many data files are decoded and formatted at once, by
        worker threads, while the calling thread writes their output in file
        order (None: one per processor core this process may use; 1: no worker
        threads). The output is the same whatever the number; memory grows by a
        few megabytes per thread. write() and progress are always called on
        the calling thread.

        carve: after the normal read's records, the carved ones (file by file,
        as carve_records gives them), every record ending with its "recovered"
        field (CSV: a last "recovered" column): null (an empty cell),
        "carved-block" or "carved-log", as `vostrel dump --carve` writes them.

        status: every record ends with its "status" field (CSV: a last "status"
        column), after "recovered": "current", "superseded" or "orphaned", as
        statuses() tells them (a carved record is superseded, or orphaned with
        its file). Warns (RuntimeWarning) when there is no readable manifest, or
        tables it lists are missing.

        latest: only the records latest() gives, in its order (not with carve,
        reverse or positions: ValueError); they are all held in memory at once.

        positions: every record ends with the fields of positions(), last,
        as `vostrel dump --positions` writes them (CSV: "fragments" as
        position:length pairs separated by spaces; null is an empty cell).

        store: output of many stores: every record starts with a "store" field
        (CSV: a first "store" column) holding this path, as `vostrel dump` of
        several directories writes it. header: CSV only, whether the header
        row is written (False for every store's part but the first)."""
    def file_stats(self) -> list[_FileStats]:
        """Record counts of every data file the reader opened, in file-number order."""
    def statuses(self, *, reverse: bool = False) -> list[str]:
        """The status of every record, in the order of iterate_records_raw(reverse=reverse):
        "current" (the newest of its user key among the files the manifest's current
        version uses), "superseded" (older), or "orphaned" (from a file that version
        no longer uses). Warns (RuntimeWarning) when there is no readable manifest,
        or tables it lists are missing."""
    def positions(self, *, reverse: bool = False, carved: bool = False) -> list[_Position]:
        """Where every record's bytes lie in its file and whether the checksums
        over them hold, one dict per record in the order of
        iterate_records_raw(reverse=reverse) (carved=True: of carve_records()).
        Table records: block_offset and block_size (the block handle: where its
        stored bytes begin and how many, without the 5-byte trailer), codec
        ("none", "snappy", "zstd", "zlib", "deflate"), entry_offset (in the
        block's contents, uncompressed). Log records: fragments, the physical
        records that carry the entry's bytes (tag byte to the end of the value),
        each (position of its 7-byte header, payload length). Both:
        file_position, the byte where the entry begins (a table entry's first
        varint, a log entry's tag byte; None inside a compressed block), and
        crc, "ok" or "bad" (a table block's trailer checksum; every physical
        record of a log entry's write batch). What a record has not is None.
        `offset` keeps its own rule."""
    def latest(self) -> list[Record]:
        """The current records that hold a value, in bytewise user-key order."""
    def current_ordinals(self) -> dict[str, tuple[bytes, bool]]:
        """{path: (ordinals, orphaned)} for every data file opened: the ordinals
        (from 0, in the file's own record order) of its current records,
        ascending, as packed native uint64; whether the file is orphaned (then
        no ordinals). What statuses() tells, for a reader of one file at a time
        (vostrel.dask). Warns (RuntimeWarning) when there is no readable manifest,
        or tables it lists are missing."""
    @property
    def in_dir_path(self) -> str: ...
    @property
    def carvable_files(self) -> list[str]:
        """The tables among skipped_files whose footer or index cannot be read but
        whose blocks carving still reaches (export(carve=True))."""
    @property
    def skipped_files(self) -> list[tuple[str, str]]:
        """The data files left out, as (path, reason) tuples: files recognised by
        name that could not be opened, read or mapped, are not regular files, or
        whose records did not fit in memory (listed by the iteration that ran out)."""
    def close(self) -> None: ...
    def __enter__(self) -> RawLevelDb: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...

def data_file_type(name: str, /) -> FileType | None:
    """The FileType of a directory entry named `name` if the reader takes it for
    a data file (six or more ASCII digits, then .log, .ldb or .sst in any case), else None."""

def data_files(directory: str, /) -> list[tuple[str, FileType, int]]:
    """The data files of a directory in the order the reader visits them, as
    (path, FileType, number) tuples, number being the name's digits read in
    decimal: the regular files whose names are data files' names, listed once
    by the reader's own rules (equal numbers in listing order, as the
    reader's iteration has them), none of them opened. OSError when the
    directory cannot be listed."""

def stats_stores(
    directories: Iterable[str],
    *,
    threads: int | None = None,
    on_store: Callable[[int, str | None, list[tuple[str, str]], list[_FileStats] | None], object]
    | None = None,
) -> list[list[_FileStats] | None]:
    """The record counts of every data file of each store, as `vostrel stats`
    reports them: one list per store, in the order given, of one dict per data
    file in file-number order (equal numbers by path), the files the reader
    left out included with zero counts; None for a store that could not be
    opened. Worker threads (None: one per processor core this process may
    use) open and count the stores side by side with the interpreter lock
    released; the result is the same whatever their number.

    on_store(index, error, skipped, files) is called on the calling thread as
    each store's turn comes: error None, or the reader's reason why the store
    could not be opened; skipped, the (path, reason) of its data files left
    out; files, its list (None when not opened). An exception from it, or from
    a signal handler, stops the call and is raised."""

def read_manifest(directory: str, /) -> dict[str, Any] | None:
    """The manifest LevelDB would read in the store `directory`, replayed: path,
    chosen_by, size, read_end, edits (each with offset and length), current (the
    version they leave), orphaned (data files on disk the version does not use)
    and missing (table numbers it lists that are not on disk)."""
def decompress_snappy(data: bytes, /) -> bytes:
    """Decompresses one raw (unframed) Snappy buffer; ValueError if it is corrupt."""

def read_file(path: str, *, carve: bool = True) -> list[Record]:
    """Every record of one data file, whatever its name or directory, told
    table or log by its content: a table when its last 8 bytes are the table
    magic; otherwise, when carving, a table cut short if checksum-verified
    table blocks are found; otherwise a log. The normal read's records first
    (`recovered` None), then, with carve, the carved ones. OSError when the
    file cannot be read."""

class _StructureDamage(TypedDict):
    bad_crcs: int
    unreadable_blocks: int
    gaps: int
    zero_stretches: int
    skipped_stretches: int
    trailing_bytes: int

class FileStructure(TypedDict):
    path: str
    kind: Literal["table", "log", "manifest"]
    size: int
    # One dict per item, its kind under "item": "file" (kind and size, first),
    # "footer", "metaindex entry", "index entry", "block", "record", "batch",
    # "edit", "gap", "trailing", "zeros", "padding" or "skipped"; offsets and
    # lengths as ints, keys as bytes. None when the items went to on_item.
    items: list[dict[str, object]] | None
    damage: _StructureDamage
    damaged: bool

def inspect_file(path: str, on_item: Callable[[dict[str, object]], object] | None = None) -> FileStructure:
    """The structure of one file, told table or log by its content (a manifest
    by its name): footer, blocks with their codec, checksum, entries and keys,
    index entries, physical records, write batches, version edits, and the
    stretches no part accounts for. With on_item, each item goes to it as it is
    found (an exception from it stops the walk and is raised). OSError when the
    file cannot be opened."""

class DataFileColumns(TypedDict):
    key: list[bytes]
    user_key: list[bytes]
    value: list[bytes]
    seq: bytes  # native-endian unsigned 64-bit integers, one per record
    state: bytes  # int(KeyState), one byte per record
    file_type: bytes  # int(FileType), one byte per record
    origin_file: str  # the path, shared by every record of the file
    offset: bytes  # native-endian unsigned 64-bit integers, one per record
    was_compressed: bytes  # 0 or 1, one byte per record

def data_file_columns(path: str, /) -> DataFileColumns:
    """The records of one data file as columns, read as the directory reader
    reads that file (a file it would leave out has no records). ValueError when
    the path's final component is not a data file's name."""

class PartitionColumns(TypedDict):
    counts: list[int]  # records per file, in the order given
    origin_file: list[str]  # one per file
    seq: bytearray  # as in DataFileColumns, for all the files' records in turn
    state: bytearray
    file_type: bytearray
    offset: bytearray
    was_compressed: bytearray

def partition_columns(paths: Iterable[str], allocate: Callable[[int], Sequence[object]], /
                      ) -> PartitionColumns:
    """The records of several data files in turn as one set of columns, each
    file read as data_file_columns reads it. allocate(count) is called once
    with the number of records and returns three writable one-dimensional
    object arrays of that length (numpy.empty(count, dtype=object)); the keys,
    user keys and values are moved into them. ValueError when a path's final
    component is not a data file's name (no file is read then), or when the
    arrays are not that."""

_ChromiumKind = Literal["localstorage", "sessionstorage", "indexeddb", "extension_settings", "leveldb"]

def export_files(
    paths: Sequence[str],
    file: int | BinaryIO,
    *,
    format: Literal["jsonl", "csv"] = "jsonl",
    encoding: Literal["escaped", "hex", "base64"] = "escaped",
    states: Iterable[KeyState | int] | None = None,
    reverse: bool = False,
    threads: int | None = None,
    positions: bool = False,
) -> int:
    """Writes the records of data files read by content, whatever their
    names (as read_file reads them, carving included), as `vostrel dump
    FILE...` does: file by file in the order given (reversed with reverse),
    each file's normal records then its carved ones, every record ending with
    its "recovered" field. Worker threads (None: one per core) read and format
    the files while the calling thread writes in order. A file that cannot be
    opened raises OSError once the files before it are written. Returns the
    number of records written."""

def export_stores(
    directories: Iterable[str],
    file: int | BinaryIO,
    *,
    format: Literal["jsonl", "csv"] = "jsonl",
    encoding: Literal["escaped", "hex", "base64"] = "escaped",
    states: Iterable[KeyState | int] | None = None,
    reverse: bool = False,
    threads: int | None = None,
    header: bool = True,
    on_store: Callable[[int, str | None, list[tuple[str, str]]], object] | None = None,
    status: bool = False,
    positions: bool = False,
) -> int:
    """Writes the records of many stores as `vostrel dump` of several
    directories does: the stores one after another in the order given, every
    record starting with its "store" field (CSV: a first "store" column, in
    the header too). Returns the number of records written.

    threads: worker threads (None: one per processor core this process may
    use) that share out the data files of all the stores, each store opened
    when a worker reaches it, a few stores per thread ahead of the one being
    written, and closed once written; the calling thread writes in order.
    The output is the same whatever the number.

    on_store(index, error, skipped) is called on the calling thread as each
    store's turn comes, before its records: error None, or the reader's
    reason why the store could not be opened (it then has no records; a
    directory that is not valid UTF-8 is never opened); skipped, the
    (path, reason) of its data files left out. An exception from it stops the
    export and is raised. A failed write raises its OSError.

    status: every record ends with its status, as RawLevelDb.export writes it;
    a store without a readable manifest, or missing tables it lists, gets a
    RuntimeWarning as its turn comes, just after on_store."""

def chromium_export(
    directory: str,
    file: int | BinaryIO,
    *,
    kind: _ChromiumKind | None = None,
    states: Iterable[KeyState | int] | None = None,
    reverse: bool = False,
    status: bool = False,
    latest: bool = False,
    store: str | None = None,
    blob_dir: str | None = None,
    counts: bool = False,
    types: Iterable[str] | None = None,
    csv: bool = False,
    threads: int | None = None,
    extract_blobs: str | None = None,
    fallback_kind: _ChromiumKind | None = None,
) -> int | tuple[int, int]:
    """Writes the decoded entries of a Chromium Local Storage, Session Storage,
    IndexedDB or extension settings store (or any store plainly, kind
    "leveldb") as JSON Lines, exactly what `vostrel chromium` writes,
    to a file descriptor or a binary file object, with the interpreter lock
    released. kind None detects it (ValueError "cannot tell which kind of
    Chromium store ..." when it cannot be told, unless fallback_kind names
    the kind to decode it as then); states keeps only records in
    those states; store, if given, leads every line as its "store" field;
    blob_dir is an IndexedDB store's blob folder (None: the store's own
    ".blob" sibling, else any "*.indexeddb.blob" sibling); status and latest
    as RawLevelDb.export; types keeps only entries of those types; csv writes
    CSV rows (no header); threads decode the store's data files at once, the
    output in order. extract_blobs, a folder that exists: every blob file the
    entries name is copied there under its SHA-256 (hex), once; a file of that
    name already there is kept; each blob not copied is a RuntimeWarning
    naming it. A failed write raises its OSError. Returns the number of
    entries written ((entries, undecoded) with counts)."""

def chromium_export_stores(
    directories: Iterable[str],
    file: int | BinaryIO,
    *,
    kind: _ChromiumKind | None = None,
    states: Iterable[KeyState | int] | None = None,
    reverse: bool = False,
    status: bool = False,
    latest: bool = False,
    blob_dir: str | None = None,
    types: Iterable[str] | None = None,
    csv: bool = False,
    threads: int | None = None,
    extract_blobs: str | None = None,
    on_store: Callable[[int, str | None, list[tuple[str, str]]], object] | None = None,
) -> int:
    """Writes the decoded entries of many stores as `vostrel chromium --find`
    does: the stores one after another in the order given, each line (CSV
    row, no header) with its store, each store decoded by kind or by the kind
    detected from it, plainly ("leveldb") where that cannot be told; the other
    arguments as chromium_export's. threads (None: every core) share out the
    data files of all the stores as export_stores's do; the thread that opens
    a store tells its kind and runs its first pass while the others decode
    the stores before it. The output is the same whatever the number.
    on_store(index, error, skipped) is called as export_stores calls it.
    Returns the number of entries written."""

def iter_chromium_entries(
    directory: str, *, kind: _ChromiumKind | None = None, reverse: bool = False,
    blob_dir: str | None = None,
) -> Iterator[str]:
    """The same entries, one JSON text per record (without the newline),
    decoded a few hundred records at a time. The kind is told and the store's
    first pass made when called (ValueError as chromium_export)."""

def detect_chromium_kind(db: RawLevelDb, directory: str = "") -> _ChromiumKind | None:
    """The kind of Chromium store an opened RawLevelDb holds, by the keys of its
    first 10,001 records, else by the directory's name; None if neither tells."""

def chromium_entry_types() -> tuple[str, ...]:
    """Every name the "type" of a decoded Chromium entry takes, sorted."""

def chromium_value_json(data: bytes, /) -> str:
    """The JSON form of one serialized script value (Blink's envelope, then
    V8's format) with no external objects; ValueError with the reason when it
    does not decode."""

def escape(data: bytes, /) -> str:
    """The escaped text of bytes (the `escaped` encoding): printable UTF-8
    text as it is, a backslash as two backslashes, every other byte (invalid
    UTF-8, bytes of non-printable characters) as \\xNN in lower-case hex."""

def unescape(text: str, /) -> bytes:
    """The bytes whose escaped text is `text`, exactly; ValueError for text
    that no bytes escape to."""
