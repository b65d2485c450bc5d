"""`vostrel inspect FILE`: the structure of one file, item by item.

The walk is the extension's (``_vostrel.inspect_file``): which file is a table,
what each block, record and stretch is, and what counts as damage. This module
only lays its items out as they arrive, one aligned line each for people, or
as JSON, so that a log of gigabytes streams through.
"""

from __future__ import annotations

import json
from typing import Callable, List, TextIO, Tuple

from .manifest import edit_fields, edit_file_lines, json_ready

FORMATS = ("table", "json")

# The longest item label ("metaindex block", "metaindex entry").
_LABEL_WIDTH = 15

_RECORD_TYPES = {0: "zero", 1: "full", 2: "first", 3: "middle", 4: "last"}

_STRETCH_LABELS = {
    "gap": "gap",
    "trailing": "trailing bytes",
    "zeros": "zeros",
    "padding": "padding",
    "skipped": "skipped",
}

_DAMAGE = (  # summary count, singular and plural of what it counts
    ("bad_crcs", "bad checksum", "bad checksums"),
    ("unreadable_blocks", "unreadable block", "unreadable blocks"),
    ("gaps", "gap", "gaps"),
    ("zero_stretches", "zero-filled stretch", "zero-filled stretches"),
    ("skipped_stretches", "skipped stretch", "skipped stretches"),
    ("trailing_bytes", "trailing byte", "trailing bytes"),
)


def _plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def position(offset: int) -> str:
    """An offset in decimal with its hex in brackets: 32768 [0x8000]."""
    return f"{offset} [{offset:#x}]"


def _handle(handle) -> str:
    return "(no handle)" if handle is None else f"{position(handle[0])} size {handle[1]}"


def _zero(stretch: dict) -> str:
    return "all zero" if stretch["all_zero"] else "not all zero"


def _block(item: dict, encode: Callable[[bytes], str]) -> str:
    parts = [f"size {item['size']}"]
    if item["type"] is not None:
        parts.append(f"type {item['type']} ({item['codec']})")
        parts.append(f"crc {item['crc']}")
    if item["error"] is not None:
        parts.append(f"unreadable: {item['error']}")
    elif item["entries"] is not None:
        parts.append(_plural(item["entries"], "entry", "entries"))
        parts.append(_plural(item["restarts"], "restart", "restarts"))
        if item["entries"]:
            parts.append(f"first {encode(item['first_key'])}")
            parts.append(f"last {encode(item['last_key'])}")
    return ", ".join(parts)


def _line(item: dict, encode: Callable[[bytes], str],
          printable: Callable[[str], str]) -> Tuple[str, str, str, List[str]]:
    """(offset, label, details, continuation lines) of one item."""
    kind = item["item"]
    if kind == "footer":
        details = ("handles do not decode" if item["index"] is None else
                   f"metaindex {_handle(item['metaindex'])}, index {_handle(item['index'])}")
        return position(item["offset"]), "footer", details, []
    if kind in ("metaindex entry", "index entry"):
        return "", kind, f"{encode(item['key'])} -> {_handle(item['handle'])}", []
    if kind == "block":
        return position(item["offset"]), f"{item['role']} block", _block(item, encode), []
    if kind == "record":
        name = _RECORD_TYPES.get(item["type"], "?")
        return (position(item["offset"]), "record",
                f"type {item['type']} ({name}), length {item['length']}, crc {item['crc']}", [])
    if kind == "batch":
        sequence = "none (too short)" if item["sequence"] is None else item["sequence"]
        return (position(item["offset"]), "write batch",
                f"length {item['length']}, sequence {sequence}, count {item['count']}, "
                f"{item['entries']} decoded", [])
    if kind == "edit":
        fields = ", ".join([f"length {item['length']}"] + edit_fields(item, printable))
        return position(item["offset"]), "version edit", fields, edit_file_lines(item, encode)
    return (position(item["offset"]), _STRETCH_LABELS.get(kind, kind),
            f"length {item['length']}, {_zero(item)}", [])


def damage_text(result: dict) -> str:
    """What is damaged, e.g. "1 bad checksum, 2 gaps"; empty when intact."""
    damage = result["damage"]
    return ", ".join(_plural(damage[key], one, many) for key, one, many in _DAMAGE if damage[key])


class _TableWriter:
    """Writes each item as it arrives: the file's line first, then one line
    per item with offsets aligned to the widest the file's size allows."""

    def __init__(self, path: str, out: TextIO, encode: Callable[[bytes], str],
                 printable: Callable[[str], str]):
        self.path, self.out, self.encode, self.printable = path, out, encode, printable
        self.offset_width = len("offset")

    def __call__(self, item: dict) -> None:
        if item["item"] == "file":
            self.offset_width = max(self.offset_width, len(position(item["size"])))
            self.out.write(f"{self.printable(self.path)}: {item['kind']}, {item['size']} bytes\n\n"
                           f"{'offset':<{self.offset_width}}  {'item':<{_LABEL_WIDTH}}  details\n")
            return
        offset, label, details, more = _line(item, self.encode, self.printable)
        line = f"{offset:<{self.offset_width}}  {label:<{_LABEL_WIDTH}}  {details}".rstrip()
        indent = " " * (self.offset_width + _LABEL_WIDTH + 4)
        self.out.write("\n".join([line] + [indent + extra for extra in more]) + "\n")

    def finish(self, result: dict) -> None:
        damage = damage_text(result)
        self.out.write("\n" + (f"damaged: {damage}" if damage else "intact") + "\n")


class _JsonWriter:
    """Writes one JSON object: path, kind and size, then the items array an
    item per line as the items arrive, then the damage counts."""

    def __init__(self, path: str, out: TextIO, encode: Callable[[bytes], str]):
        self.path, self.out, self.encode = path, out, encode
        self.count = 0

    def __call__(self, item: dict) -> None:
        if item["item"] == "file":
            head = {"path": self.path, "kind": item["kind"], "size": item["size"]}
            self.out.write("{\n" + "".join(f"  {json.dumps(key)}: {json.dumps(value, ensure_ascii=False)},\n"
                                           for key, value in head.items()) + '  "items": [')
            return
        self.out.write(("\n    " if self.count == 0 else ",\n    ")
                       + json.dumps(json_ready(item, self.encode), ensure_ascii=False))
        self.count += 1

    def finish(self, result: dict) -> None:
        self.out.write("\n  ]" if self.count else "]")
        for key in ("damage", "damaged"):
            self.out.write(f",\n  {json.dumps(key)}: {json.dumps(result[key])}")
        self.out.write("\n}\n")


def write_inspection(path: str, out: TextIO, form: str, encode: Callable[[bytes], str],
                     printable: Callable[[str], str]) -> dict:
    """Walks the file at path and writes its items to out as they are found,
    as a table for people or as JSON; returns the extension's summary (its
    items None). OSError, with nothing written, when the file cannot be read."""
    import _vostrel

    writer = (_JsonWriter(path, out, encode) if form == "json"
              else _TableWriter(path, out, encode, printable))
    result = _vostrel.inspect_file(path, on_item=writer)
    writer.finish(result)
    return result
