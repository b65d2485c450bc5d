"""Stores (LevelDB directories) as the command and vostrel.dask see them.

A store is a directory that holds at least one data file, by the reader's own
rule for names (``_vostrel.data_file_type``); a manifest alone makes no store,
since it holds no record. ``find_stores`` walks a tree such as a mounted disk
image and returns every store in it, nested ones included.
"""

from __future__ import annotations

import os
import stat
from typing import Callable, Iterable, List, Optional


class StoreError(Exception):
    """A store that cannot be read at all; the message is one line."""


def store_error(directory: str, reason: str) -> str:
    """The one-line warning for a store that could not be opened, given the
    reader's reason."""
    if not os.path.exists(directory):
        return f"no such directory: {directory}"
    if not os.path.isdir(directory):
        return f"not a directory: {directory}"
    try:
        directory.encode("utf-8")
    except UnicodeEncodeError:
        return f"path is not valid UTF-8: {directory!r}"
    return f"cannot read {directory}: {reason}"


def open_store(directory: str):
    """The store opened by the reader, or StoreError saying why not."""
    if not os.path.isdir(directory):
        raise StoreError(store_error(directory, ""))
    import _vostrel  # late, so that the command's --help works without the extension

    try:
        return _vostrel.RawLevelDb(directory)
    except (UnicodeEncodeError, ValueError) as error:
        raise StoreError(store_error(directory, str(error))) from None


def records_of(db, reverse: bool = False) -> Iterable:
    """Every record of an opened store, lazily where the reader can.

    Iterate it while the store is open.
    """
    iter_records = getattr(db, "iter_records", None)
    if iter_records is not None:
        return iter_records(reverse=reverse)
    return db.iterate_records_raw(reverse=reverse)


def entry_path(directory: str, name: str) -> str:
    # The reader builds each record's origin_file the same way.
    return directory + ("" if directory.endswith("/") else "/") + name


def data_files(directory: str) -> List[str]:
    """Paths of the store's data files, in the order the reader visits them.

    That order is by file number, and listing order among equal numbers. The
    number is the stem read in base 16, the reader's own rule; for stems of
    decimal digits it orders exactly as the decimal value would.
    """
    import _vostrel

    found = []
    with os.scandir(directory) as entries:
        for position, entry in enumerate(entries):
            if _vostrel.data_file_type(entry.name) is not None:
                number = int(entry.name.rpartition(".")[0], 16)
                found.append((number, position, entry_path(directory, entry.name)))
    return [path for _, _, path in sorted(found)]


def find_stores(
    root: str, on_error: Optional[Callable[[str, OSError], None]] = None
) -> List[str]:
    """Every store in the tree under root (root included), as sorted paths.

    Symbolic links to directories are not followed: in a mounted image they
    point into the examiner's own machine, or round in loops. A directory
    reached twice (a bind mount of its own ancestor) is walked once. A
    directory that cannot be listed is passed to on_error and skipped.
    """
    import _vostrel

    stores = []
    seen = set()
    pending = [root]
    while pending:
        directory = pending.pop()
        try:
            status = os.stat(directory)
            if (status.st_dev, status.st_ino) in seen:
                continue
            seen.add((status.st_dev, status.st_ino))
            is_store = False
            with os.scandir(directory) as entries:
                for entry in entries:
                    try:
                        if entry.is_dir(follow_symlinks=False):
                            pending.append(entry.path)
                        elif not is_store and _vostrel.data_file_type(entry.name) is not None:
                            # A data file is a regular file, as the reader
                            # takes it: a link to one counts, as it does there.
                            is_store = stat.S_ISREG(entry.stat().st_mode)
                    except OSError:
                        continue  # vanished, or a dangling link: no data file
        except OSError as error:
            if on_error is not None:
                on_error(directory, error)
            continue
        if is_store:
            stores.append(directory)
    return sorted(stores)
