"""Deep recovery from the command line: `vostrel dump --carve DIR` and
`vostrel dump FILE...`.

Output is the dump's, with one more field, `recovered`, last: null (CSV: an
empty cell) for a record of the normal read, "carved-block" for a record from
a table block found by its checksum, "carved-log" for one from a log record
found by its checksum.

Order: for a directory, every record of the normal read first (exactly the
records plain `dump` writes, in its order), then the carved records, file by
file in the same file order. For files given by path, file by file in the
order given: each file's normal records, then its carved ones. The extension
reads, carves and writes (RawLevelDb.export(carve=True), export_files).
"""

from __future__ import annotations

import os
from typing import List

from .skipped import warn_skipped
from .stores import open_store


def wants_carving(paths: List[str], carve: bool) -> bool:
    """True unless the paths are one directory (or one missing path, which
    the directory reader reports) and --carve was not given."""
    return carve or len(paths) > 1 or os.path.isfile(paths[0])


class _CarvedStore:
    """One directory: RawLevelDb.export with carving."""

    def __init__(self, db) -> None:
        self._db = db
        # Tables the normal read leaves out but carving reaches are read after
        # all: only the files nothing reads are warned about.
        carvable = set(db.carvable_files)
        warn_skipped((path, reason) for path, reason in db.skipped_files if path not in carvable)

    def __enter__(self) -> "_CarvedStore":
        return self

    def __exit__(self, *exc) -> None:
        self._db.close()

    def export(self, out, **options) -> int:
        return self._db.export(out, carve=True, **options)


class _LooseFiles:
    """Data files read by content: _vostrel.export_files."""

    def __init__(self, paths: List[str]) -> None:
        self._paths = paths

    def __enter__(self) -> "_LooseFiles":
        return self

    def __exit__(self, *exc) -> None:
        pass

    def export(self, out, **options) -> int:
        import _vostrel

        return _vostrel.export_files(self._paths, out, **options)


def open_source(paths: List[str], usage_error):
    """One directory or data files, checked and ready to export(out,
    **options) with the exporter's options (format, encoding, states,
    reverse, threads); a context manager."""
    import _vostrel  # late, like the command's own import

    if len(paths) == 1 and not os.path.isfile(paths[0]):
        # A directory: the one store-open check and message (StoreError).
        return _CarvedStore(open_store(paths[0]))
    for path in paths:
        if not os.path.isfile(path):
            what = "a directory" if os.path.isdir(path) else "no such file"
            raise usage_error(f"{what}: {path} (give one directory, or data files)")
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:
            raise usage_error(f"path is not valid UTF-8: {path!r}") from None
    return _LooseFiles(paths)
