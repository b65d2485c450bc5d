"""`vostrel inspect FILE`: the structure of one file, item by item.

The walk is the extension's (``_vostrel.inspect_file``): which file is a table,
what each block, record and stretch is, and what counts as damage. This module
only lays its items out, one aligned line each for people, or as JSON.
"""

from __future__ import annotations

from typing import Callable, List, Tuple

from .manifest import edit_fields, edit_file_lines
from .manifest import render_json as _render_json

FORMATS = ("table", "json")

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


def render_table(result: dict, encode: Callable[[bytes], str], printable: Callable[[str], str]) -> str:
    rows = [_line(item, encode, printable) for item in result["items"]]
    offset_width = max([len(row[0]) for row in rows] + [len("offset")])
    label_width = max([len(row[1]) for row in rows] + [len("item")])
    lines = [f"{printable(result['path'])}: {result['kind']}, {result['size']} bytes", "",
             f"{'offset':<{offset_width}}  {'item':<{label_width}}  details"]
    indent = " " * (offset_width + label_width + 4)
    for offset, label, details, more in rows:
        lines.append(f"{offset:<{offset_width}}  {label:<{label_width}}  {details}".rstrip())
        lines += [indent + line for line in more]
    damage = damage_text(result)
    lines += ["", f"damaged: {damage}" if damage else "intact"]
    return "\n".join(lines) + "\n"


def render_json(result: dict, encode: Callable[[bytes], str]) -> str:
    return _render_json(result, encode)
