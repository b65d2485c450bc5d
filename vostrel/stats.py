"""Per-file record statistics of a database directory."""

from __future__ import annotations

import json
import os
from typing import Dict, Iterable, List, Optional

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


def entry_path(directory: str, name: str) -> str:
    # The reader builds each record's origin_file the same way.
    return directory + ("" if directory.endswith("/") else "/") + name


def _data_file(name: str) -> Optional[tuple]:
    """(kind, number) when the reader takes `name` for a data file, else None.

    The rule is the reader's own; a data file's stem is its number in decimal.
    """
    import _vostrel  # late, like the command's own import, so --help works without it

    file_type = _vostrel.data_file_type(name)
    if file_type is None:
        return None
    return ("log" if int(file_type) == _LOG else "ldb", int(name.rpartition(".")[0]))


def _file_size(path: str) -> Optional[int]:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def collect(directory: str, file_stats: Iterable[dict]) -> List[FileStats]:
    """One FileStats per data file, in file-number order.

    `file_stats` is RawLevelDb.file_stats(): the counts of every file the
    reader opened. Data files come from the directory listing too, so a file
    without any record (empty, or one the reader could not open) is listed
    with zero counts.
    """
    by_path: Dict[str, FileStats] = {}
    for name in os.listdir(directory):
        data_file = _data_file(name)
        path = entry_path(directory, name)
        if data_file and os.path.isfile(path):
            by_path[path] = FileStats(name, path, *data_file, _file_size(path))

    for counted in file_stats:
        path = counted["path"]
        stats = by_path.get(path)
        if stats is None:  # the file disappeared or was renamed since reading
            stats = by_path[path] = FileStats(
                counted["name"],
                path,
                "log" if int(counted["file_type"]) == _LOG else "ldb",
                counted["number"],
                counted["size"],
            )
        stats.records += counted["records"]
        stats.live += counted["live"]
        stats.deleted += counted["deleted"]
        stats.unknown += counted["unknown"]
        stats.compressed_records += counted["compressed_records"]

    return sorted(
        by_path.values(),
        key=lambda s: (s.number is None, s.number or 0, s.file),
    )


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
