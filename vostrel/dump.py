"""Writing records as JSON Lines or CSV, one record at a time."""

from __future__ import annotations

import csv
import json
from typing import Callable, Iterable, TextIO

# Output columns, in order. Byte fields are key, user_key and value.
FIELDS = (
    "key",
    "user_key",
    "value",
    "seq",
    "state",
    "file_type",
    "origin_file",
    "offset",
    "was_compressed",
)

# int() of the extension's KeyState and FileType values.
STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}
FILE_TYPE_NAMES = {1: "ldb", 2: "log"}
FORMATS = ("jsonl", "csv")


def record_fields(record, encode: Callable[[bytes], str]) -> tuple:
    return (
        encode(record.key),
        encode(record.user_key),
        encode(record.value),
        record.seq,
        STATE_NAMES.get(int(record.state), "unknown"),
        FILE_TYPE_NAMES.get(int(record.file_type), "unknown"),
        record.origin_file,
        record.offset,
        record.was_compressed,
    )


def write_records(
    records: Iterable, out: TextIO, fmt: str, encode: Callable[[bytes], str]
) -> int:
    """Writes each record as soon as it is formatted; returns the count."""
    count = 0
    if fmt == "jsonl":
        dumps = json.JSONEncoder(ensure_ascii=False).encode
        for record in records:
            out.write(dumps(dict(zip(FIELDS, record_fields(record, encode)))))
            out.write("\n")
            count += 1
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(FIELDS)
        for record in records:
            row = record_fields(record, encode)
            writer.writerow(row[:-1] + ("true" if row[-1] else "false",))
            count += 1
    else:
        raise ValueError(f"unknown format: {fmt}")
    return count
