"""Deep recovery from the command line: `vostrel dump --carve DIR` and
`vostrel dump FILE...`.

Output is the dump's, with one more field, `recovered`, last: null (CSV: an
empty cell) for a record of the normal read, "carved-block" for a record from
a table block found by its checksum, "carved-log" for one from a log record
found by its checksum.

Order: for a directory, every record of the normal read first (exactly the
records plain `dump` writes, in its order), then the carved records, file by
file in the same file order. For files given by path, file by file in the
order given: each file's normal records, then its carved ones.
"""

from __future__ import annotations

import os
from typing import Callable, Iterable, Iterator, List, TextIO

from . import dump
from .stores import open_store


def wants_carving(paths: List[str], carve: bool) -> bool:
    """True unless the paths are one directory (or one missing path, which
    the directory reader reports) and --carve was not given."""
    return carve or len(paths) > 1 or os.path.isfile(paths[0])


def read_records(paths: List[str], reverse: bool, usage_error) -> Iterator:
    """The records of one directory (normal, then carved) or of data files.
    StoreError when the directory cannot be opened."""
    if len(paths) == 1 and not os.path.isfile(paths[0]):
        with open_store(paths[0]) as db:
            normal = db.iterate_records_raw(reverse=reverse)
            carved = db.carve_records(reverse=reverse)
        return iter(normal + carved)
    for path in paths:
        if not os.path.isfile(path):
            what = "a directory" if os.path.isdir(path) else "no such file"
            raise usage_error(f"{what}: {path} (give one directory, or data files)")
    files = list(reversed(paths)) if reverse else paths
    return _file_records(files, usage_error)


def _file_records(paths: List[str], usage_error) -> Iterator:
    import _vostrel

    for path in paths:
        try:
            records = _vostrel.read_file(path, carve=True)
        except UnicodeEncodeError:
            raise usage_error(f"path is not valid UTF-8: {path!r}") from None
        yield from records


def write_records(records: Iterable, out: TextIO, fmt: str, encode: Callable[[bytes], str]) -> None:
    """The dump's formats with `recovered` as the last field."""
    dump.write_records(records, out, fmt, encode, recovered=True)
