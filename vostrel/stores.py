"""Stores (LevelDB directories) as the command and vostrel.dask see them.

A store is a directory that holds at least one data file, by the reader's own
rule for names (``_vostrel.data_file_type``); a manifest alone makes no store,
since it holds no record. ``find_stores`` walks a tree such as a mounted disk
image and returns every store in it, nested ones included.
"""

from __future__ import annotations

import os
import stat
from typing import Callable, List, Optional


class StoreError(Exception):
    """A store that cannot be read at all; the message is one line."""


def store_error(directory: str, reason: str) -> str:
    """The one line saying why the store at `directory` could not be opened,
    given the reader's reason: the one form every command uses."""
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
    """The store opened by the reader (a RawLevelDb), or StoreError saying why not."""
    if not os.path.isdir(directory):
        raise StoreError(store_error(directory, ""))
    import _vostrel  # late, so that the command's --help works without the extension

    try:
        return _vostrel.RawLevelDb(directory)
    except (UnicodeEncodeError, ValueError) as error:
        raise StoreError(store_error(directory, str(error))) from None


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
