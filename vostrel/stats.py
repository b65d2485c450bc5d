"""Per-file record statistics of a database directory."""

from __future__ import annotations

import json
import os
import re
from dataclasses import asdict, dataclass
from typing import Dict, Iterable, List, Optional

# A data file is a regular file named by six ASCII digits and one of the
# extensions log, ldb or sst, in any case; the same rule the reader applies.
DATA_FILE_NAME = re.compile(r"([0-9]{6})\.(log|ldb|sst)", re.IGNORECASE)

# int() of the extension's KeyState.
_DELETED, _LIVE, _UNKNOWN = 0, 1, 2
FORMATS = ("table", "json")


@dataclass
class FileStats:
    file: str
    path: str
    type: str
    number: Optional[int]
    size: Optional[int]
    records: int = 0
    live: int = 0
    deleted: int = 0
    unknown: int = 0
    compressed_records: int = 0

    @property
    def compressed_share(self) -> Optional[float]:
        return self.compressed_records / self.records if self.records else None

    def as_dict(self) -> dict:
        return {**asdict(self), "compressed_share": self.compressed_share}


def entry_path(directory: str, name: str) -> str:
    # The reader builds each record's origin_file the same way.
    return directory + ("" if directory.endswith("/") else "/") + name


def _file_size(path: str) -> Optional[int]:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def collect(directory: str, records: Iterable) -> List[FileStats]:
    """One FileStats per data file, in file-number order.

    Data files come from the directory listing, so a file without any record
    (empty, or one the reader could not open) is listed with zero counts.
    """
    by_path: Dict[str, FileStats] = {}
    for name in os.listdir(directory):
        match = DATA_FILE_NAME.fullmatch(name)
        path = entry_path(directory, name)
        if match and os.path.isfile(path):
            kind = "log" if match.group(2).lower() == "log" else "ldb"
            by_path[path] = FileStats(name, path, kind, int(match.group(1)), _file_size(path))

    for record in records:
        stats = by_path.get(record.origin_file)
        if stats is None:  # the file disappeared or was renamed since reading
            path = record.origin_file
            match = DATA_FILE_NAME.fullmatch(os.path.basename(path))
            stats = by_path[path] = FileStats(
                os.path.basename(path),
                path,
                "log" if int(record.file_type) == 2 else "ldb",
                int(match.group(1)) if match else None,
                _file_size(path),
            )
        stats.records += 1
        state = int(record.state)
        if state == _LIVE:
            stats.live += 1
        elif state == _DELETED:
            stats.deleted += 1
        else:
            stats.unknown += 1
        if record.was_compressed:
            stats.compressed_records += 1

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


def render_json(directory: str, files: List[FileStats]) -> str:
    summary = {"files": len(files), **total(files).as_dict()}
    for field in ("file", "path", "type", "number"):
        del summary[field]
    document = {
        "directory": directory,
        "files": [f.as_dict() for f in files],
        "total": summary,
    }
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


_COLUMNS = ("file", "type", "number", "size", "records", "live", "deleted", "unknown", "compressed")


def render_table(files: List[FileStats]) -> str:
    def cells(f: FileStats) -> tuple:
        share = f.compressed_share
        return (
            f.file,
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
