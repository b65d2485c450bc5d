"""Per-file record statistics of a database directory."""

from __future__ import annotations

from typing import Callable, List, Optional

from .skipped import warn, warn_skipped
from .stores import StoreError, store_error
from .terminal import printable

# int() of the extension's KeyState and FileType.
_LOG = 2
FORMATS = ("table", "json")


class FileStats:
    """One row of the table: a data file's counts, or the total's.

    A plain class, not a dataclass: importing dataclasses costs the command
    about 9 ms at every start, and `vostrel dump` imports this module for its
    option choices."""

    __slots__ = ("file", "path", "type", "number", "size", "records", "live", "deleted", "unknown",
                 "compressed_records")

    def __init__(self, file: str, path: str, type: str, number: Optional[int], size: Optional[int],
                 records: int = 0, live: int = 0, deleted: int = 0, unknown: int = 0,
                 compressed_records: int = 0) -> None:
        self.file, self.path, self.type, self.number, self.size = file, path, type, number, size
        self.records, self.live, self.deleted, self.unknown = records, live, deleted, unknown
        self.compressed_records = compressed_records

    @property
    def compressed_share(self) -> Optional[float]:
        return self.compressed_records / self.records if self.records else None

    def as_dict(self) -> dict:
        return {**{name: getattr(self, name) for name in self.__slots__},
                "compressed_share": self.compressed_share}


def _file_stats(counted: dict) -> FileStats:
    stats = FileStats(counted["name"], counted["path"],
                      "log" if int(counted["file_type"]) == _LOG else "ldb",
                      counted["number"], counted["size"])
    stats.records, stats.live = counted["records"], counted["live"]
    stats.deleted, stats.unknown = counted["deleted"], counted["unknown"]
    stats.compressed_records = counted["compressed_records"]
    return stats


def read_stores(stores: List[str], threads: Optional[int],
                emit: Callable[[str, List[FileStats]], None],
                failed: Callable[[StoreError], None]) -> None:
    """Counts the records of every data file of each store (files the reader
    left out too, with zero counts), the stores read side by side by the
    extension's worker threads (threads None: one per core). In store order:
    warns about each store's files left out and calls emit(store, files), in
    file-number order; or calls failed(StoreError) for a store that could not
    be opened. An exception from either ends the reading and is raised."""
    import _vostrel  # late, like the command's own import, so --help works without it

    def on_store(index: int, error: Optional[str], skipped: list, files: Optional[list]) -> None:
        store = stores[index]
        if error is not None:
            failed(StoreError(store_error(store, error)))
            return
        warn_skipped(skipped)
        if not files:
            warn(f"{store}: no LevelDB data files (.log, .ldb, .sst) in this directory")
        emit(store, [_file_stats(counted) for counted in files])

    _vostrel.stats_stores(stores, threads=threads, on_store=on_store)


def total(files: List[FileStats]) -> FileStats:
    result = FileStats("total", "", "", None, sum(f.size or 0 for f in files))
    for f in files:
        result.records += f.records
        result.live += f.live
        result.deleted += f.deleted
        result.unknown += f.unknown
        result.compressed_records += f.compressed_records
    return result


def render_json_document(directory: str, files: List[FileStats]) -> dict:
    summary = {"files": len(files), **total(files).as_dict()}
    for field in ("file", "path", "type", "number"):
        del summary[field]
    return {
        "directory": directory,
        "files": [f.as_dict() for f in files],
        "total": summary,
    }


def render_json(directory: str, files: List[FileStats]) -> str:
    import json  # here: every command imports this module, few write JSON

    document = render_json_document(directory, files)
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


_COLUMNS = ("file", "type", "number", "size", "records", "live", "deleted", "unknown", "compressed")


def render_table(files: List[FileStats]) -> str:
    def cells(f: FileStats) -> tuple:
        share = f.compressed_share
        return (
            printable(f.file),  # for a terminal: no control characters pass raw
            f.type,
            "" if f.number is None else str(f.number),
            "?" if f.size is None else str(f.size),
            str(f.records),
            str(f.live),
            str(f.deleted),
            str(f.unknown),
            "-" if share is None else f"{100 * share:.1f}%",
        )

    rows = [_COLUMNS] + [cells(f) for f in files] + [cells(total(files))]
    widths = [max(len(row[i]) for row in rows) for i in range(len(_COLUMNS))]

    def line(row: tuple) -> str:
        # Names left-aligned, numbers right-aligned.
        parts = [row[0].ljust(widths[0]), row[1].ljust(widths[1])]
        parts += [cell.rjust(width) for cell, width in zip(row[2:], widths[2:])]
        return "  ".join(parts).rstrip()

    lines = [line(row) for row in rows]
    lines.insert(-1, "-" * max(len(text) for text in lines))
    return "\n".join(lines) + "\n"
