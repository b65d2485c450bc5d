"""`vostrel manifest DIR`: the manifest's history and the version it leaves.

The reading and the replay are the extension's (``_vostrel.read_manifest``);
this module only lays them out, as a table for people or as JSON.
"""

from __future__ import annotations

import json
from typing import Callable, List

FORMATS = ("table", "json")


def _number(value) -> str:
    return "-" if value is None else str(value)


def _table_line(table: dict, encode: Callable[[bytes], str]) -> str:
    return (f"L{table['level']} #{table['number']} {table['size']} bytes "
            f"[{encode(table['smallest'])} .. {encode(table['largest'])}]")


def edit_fields(edit: dict, printable: Callable[[str], str]) -> List[str]:
    """The single-valued fields a version edit sets, as "name value" texts."""
    fields = [f"{name.replace('_', ' ')} {edit[name]}"
              for name in ("log_number", "prev_log_number", "next_file_number", "last_sequence")
              if edit[name] is not None]
    if edit["comparator"] is not None:
        fields.insert(0, f"comparator {printable(edit['comparator'])}")
    return fields


def edit_file_lines(edit: dict, encode: Callable[[bytes], str]) -> List[str]:
    """One line per compact pointer, deleted file (-) and new file (+) of an edit."""
    lines = [f"compact pointer L{level} {encode(key)}" for level, key in edit["compact_pointers"]]
    lines += [f"- L{level} #{file_number}" for level, file_number in edit["deleted_files"]]
    lines += ["+ " + _table_line(table, encode) for table in edit["new_files"]]
    return lines


def render_table(history: dict, encode: Callable[[bytes], str], printable: Callable[[str], str]) -> str:
    lines: List[str] = [f"manifest: {printable(history['path'])} (chosen by {history['chosen_by']}), "
                        f"{history['size']} bytes, read to byte {history['read_end']}", "",
                        "edits:"]
    for number, edit in enumerate(history["edits"], 1):
        fields = edit_fields(edit, printable)
        lines.append(f"  {number:>4}  offset {edit['offset']} ({edit['length']} bytes)"
                     + (": " + ", ".join(fields) if fields else ""))
        lines += ["        " + line for line in edit_file_lines(edit, encode)]
    current = history["current"]
    lines += ["", "current version:",
              f"  comparator {printable(_number(current['comparator']))}, log number "
              f"{_number(current['log_number'])}, previous log number "
              f"{_number(current['prev_log_number'])}, next file number "
              f"{_number(current['next_file_number'])}, last sequence {_number(current['last_sequence'])}"]
    lines += ["  " + _table_line(table, encode) for table in current["tables"]] or ["  no tables"]
    lines += ["", "orphaned data files (on disk, not used by the current version):"]
    lines += ["  " + printable(path) for path in history["orphaned"]] or ["  none"]
    lines += ["", "missing tables (listed by the current version, not on disk):"]
    lines += [f"  #{number}" for number in history["missing"]] or ["  none"]
    return "\n".join(lines) + "\n"


def json_ready(value, encode: Callable[[bytes], str]):
    """value with every bytes object in it (at any depth) written by encode,
    tuples as lists."""
    if isinstance(value, bytes):
        return encode(value)
    if isinstance(value, dict):
        return {key: json_ready(item, encode) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(item, encode) for item in value]
    return value


def render_json(history: dict, encode: Callable[[bytes], str]) -> str:
    return json.dumps(json_ready(history, encode), indent=2, ensure_ascii=False) + "\n"
