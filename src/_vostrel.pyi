"""Raw, lenient reader of LevelDB database directories."""

from types import TracebackType
from typing import Final, Literal, TypedDict, final

__all__ = ["KeyState", "FileType", "Record", "RawLevelDb", "data_file_type", "decompress_snappy",
           "data_file_columns"]

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

@final
class RawLevelDb:
    """An opened LevelDB database directory, read raw."""

    def __new__(cls, in_dir: str) -> RawLevelDb: ...
    def iterate_records_raw(self, *, reverse: bool = False) -> list[Record]: ...
    @property
    def in_dir_path(self) -> str: ...
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
    a data file (six ASCII digits, then .log, .ldb or .sst in any case), else None."""

def decompress_snappy(data: bytes, /) -> bytes:
    """Decompresses one raw (unframed) Snappy buffer; ValueError if it is corrupt."""

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
