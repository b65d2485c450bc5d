"""The Python front door: ``vostrel.open(path)``.

``_vostrel.RawLevelDb`` keeps the extension's own contract (a ``str`` path,
``ValueError`` for anything that is not a readable directory), which callers
of the extension rely on. This layer gives Python users what they expect of a
file API: any path type, the ``OSError`` subclass that says what is wrong with
the path (and names it), a context manager, and export to a path.
"""

from __future__ import annotations

import errno
import io
import os
from typing import IO, Any, Iterator, List, Optional, Tuple, Union

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _path_text(path: PathArg) -> str:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"expected str, bytes or os.PathLike, not {type(path).__name__}")
    return os.fsdecode(path)


def _os_error(code: int, path: str) -> OSError:
    # OSError(errno, strerror, filename) picks FileNotFoundError,
    # NotADirectoryError, PermissionError, ... from the code.
    return OSError(code, os.strerror(code), path)


def check_directory(path: str) -> None:
    """Raises the OSError that says why path cannot be read as a store."""
    try:
        status = os.stat(path)
    except OSError as error:
        raise _os_error(error.errno or errno.EIO, path) from None
    import stat

    if not stat.S_ISDIR(status.st_mode):
        raise _os_error(errno.ENOTDIR, path)
    if not os.access(path, os.R_OK | os.X_OK):
        raise _os_error(errno.EACCES, path)


class Database:
    """An opened LevelDB directory, read raw. Made by ``vostrel.open``."""

    __slots__ = ("_db", "path")

    def __init__(self, path: PathArg) -> None:
        text = _path_text(path)
        check_directory(text)
        import _vostrel

        try:
            self._db = _vostrel.RawLevelDb(text)
        except UnicodeEncodeError:
            raise ValueError(f"path is not valid UTF-8: {text!r}") from None
        except ValueError as error:
            # Listing failed after the checks above (a race, or a file
            # system that refuses listing): the reader's own words.
            raise OSError(errno.EIO, str(error), text) from None
        self.path = text

    # The extension object, for what this layer does not wrap.
    @property
    def raw(self):
        return self._db

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        self._db.close()

    def __repr__(self) -> str:
        return f"<vostrel.Database {self.path!r}>"

    def __iter__(self) -> Iterator:
        return self._db.iter_records()

    def records(self, *, reverse: bool = False) -> Iterator:
        """Every record, lazily, in file-number order (``reverse``: descending)."""
        return self._db.iter_records(reverse=reverse)

    def record_list(self, *, reverse: bool = False) -> list:
        """Every record as one list (``iterate_records_raw``)."""
        return self._db.iterate_records_raw(reverse=reverse)

    def carve_records(self, *, reverse: bool = False) -> list:
        """What carving finds beyond the normal read."""
        return self._db.carve_records(reverse=reverse)

    @property
    def skipped_files(self) -> List[Tuple[str, str]]:
        return self._db.skipped_files

    def stats(self) -> list:
        """Record counts per data file (``RawLevelDb.file_stats``)."""
        return self._db.file_stats()

    def export(self, target: Union[PathArg, IO[bytes], int], **options: Any) -> int:
        """Writes every record as ``vostrel dump`` does, to a path (created or
        truncated), a binary file object or a file descriptor; the keyword
        options are ``RawLevelDb.export``'s. Returns the number of records."""
        if isinstance(target, (str, bytes, os.PathLike)):
            with io.open(target, "wb") as out:
                return self._db.export(out, **options)
        return self._db.export(target, **options)

    def statuses(self, *, reverse: bool = False) -> List[str]:
        """The status of every record, in the order of ``record_list(reverse=...)``:
        "current", "superseded" or "orphaned"."""
        return self._db.statuses(reverse=reverse)

    def positions(self, *, reverse: bool = False, carved: bool = False) -> List[dict]:
        """Where every record's bytes lie in its file and whether their checksums
        hold, one dict per record in the order of ``record_list(reverse=...)``
        (``carved``: of ``carve_records(reverse=...)``), with the fields of
        ``vostrel dump --positions``."""
        return self._db.positions(reverse=reverse, carved=carved)

    def latest(self) -> list:
        """The current records that hold a value, in bytewise user-key order."""
        return self._db.latest()

    def chromium_entries(self, kind: Optional[str] = None, *, reverse: bool = False) -> Iterator[dict]:
        """The decoded entries of a Chromium store (``vostrel.chromium.iter_entries``)."""
        from .chromium import iter_entries

        return iter_entries(self.path, kind=kind, reverse=reverse)


def open(path: PathArg) -> Database:  # noqa: A001 - the name users look for
    """Opens a LevelDB directory for raw reading.

    Raises FileNotFoundError, NotADirectoryError or PermissionError (with the
    path) when it cannot be read as a directory. Use it as a context manager.
    """
    return Database(path)
