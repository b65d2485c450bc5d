"""The reference writer of records as JSON Lines or CSV, one record at a time
in Python: the oracle the native exporter's output is compared with, byte for
byte (it is how `vostrel dump` once wrote them)."""

from __future__ import annotations

import csv
import json
from typing import Callable, Iterable, Optional, TextIO

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
STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}
FILE_TYPE_NAMES = {1: "ldb", 2: "log"}


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
    records: Iterable,
    out: TextIO,
    fmt: str,
    encode: Callable[[bytes], str],
    store: Optional[str] = None,
    header: bool = True,
    recovered: bool = False,
) -> None:
    """Writes each record as soon as it is formatted.

    With `store`, each record starts with a "store" field holding it (output
    of many stores); `header` is the CSV header line. With `recovered`, each
    line ends with the field that says how a record was found (deep
    recovery): null (CSV: an empty cell) for the normal read.
    """
    if fmt == "jsonl":
        # One JSON object per line, assembled directly: every value is a
        # string, an integer, a boolean or null, so this matches json.dumps.
        quote = json.encoder.encode_basestring  # keeps non-ASCII text readable
        start = "{" if store is None else '{"store": ' + quote(store) + ", "
        quoted_paths: dict = {}
        for record in records:
            key, user_key, value, seq, state, file_type, origin, offset, compressed = (
                record_fields(record, encode))
            path = quoted_paths.get(origin)
            if path is None:
                path = quoted_paths[origin] = quote(origin)
            how = ""
            if recovered:
                how = ', "recovered": ' + ("null" if record.recovered is None else quote(record.recovered))
            out.write(
                f'{start}"key": {quote(key)}, "user_key": {quote(user_key)}, '
                f'"value": {quote(value)}, "seq": {seq}, "state": "{state}", '
                f'"file_type": "{file_type}", "origin_file": {path}, '
                f'"offset": {offset}, "was_compressed": {"true" if compressed else "false"}{how}}}\n'
            )
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        lead = () if store is None else (store,)
        if header:
            writer.writerow(("store",) * len(lead) + FIELDS + (("recovered",) if recovered else ()))
        for record in records:
            row = record_fields(record, encode)
            extra = (record.recovered or "",) if recovered else ()
            writer.writerow(lead + row[:-1] + ("true" if row[-1] else "false",) + extra)
    else:
        raise ValueError(f"unknown format: {fmt}")
