"""vostrel.chromium.iter_entries builds its values natively: they must be the
very values from_json makes of the command's JSON lines (the route it once
took), down to types, NaN objects and which objects are shared."""

from __future__ import annotations

import datetime as dt
import json
import math
import struct
from pathlib import Path

import _vostrel
import plyvel
import pytest

from vostrel import chromium
from vostrel.chromium import v8
from vostrel.chromium.common import from_json

DATA = Path(__file__).resolve().parents[1] / "data" / "chromium"
STORES = sorted(p.parent for p in DATA.rglob("CURRENT"))
VALUE_FIELDS = ("key", "value", "primary_key")


def through_lines(directory, **options):
    """The entries as the command's lines read back: json, then from_json on
    the fields that hold JavaScript values (a journal's records' too)."""
    out = []
    for line in _vostrel.iter_chromium_entries(str(directory), **options):
        entry = json.loads(line)
        parts = [entry] + [entry["journal"][p] for p in ("entry", "begin", "end")
                           if type(entry.get("journal")) is dict and type(entry["journal"].get(p)) is dict]
        for part in parts:
            for field in VALUE_FIELDS:
                if field in part:
                    part[field] = from_json(part[field])
        out.append(entry)
    return out


def assert_same(new, old, seen=None):
    """Equal values of the same types, with the same objects shared."""
    seen = {} if seen is None else seen
    assert type(new) is type(old), (new, old)
    if isinstance(old, (dict, list, tuple, bytes, v8.BlobRef, v8.JSDate)) and not isinstance(old, str):
        if id(old) in seen:
            assert seen[id(old)] is new, "shared differently"
            return
        seen[id(old)] = new
    if type(old) is float:
        if math.isnan(old):
            assert new is old
        else:
            assert struct.pack("<d", new) == struct.pack("<d", old)
    elif isinstance(old, dict):
        assert [(type(k), k) for k in new] == [(type(k), k) for k in old]
        for k in old:
            assert_same(new[k], old[k], seen)
        if isinstance(old, v8.SparseArray):
            assert new.length == old.length
    elif isinstance(old, (list, tuple)):
        assert len(new) == len(old)
        for a, b in zip(new, old):
            assert_same(a, b, seen)
        if isinstance(old, v8.JSArray):
            assert_same(new.properties, old.properties, seen)
    elif isinstance(old, v8.BlobRef):
        assert (new.kind, new.index) == (old.kind, old.index)
        assert_same(new.info, old.info, seen)
    elif isinstance(old, v8.JSDate):
        assert_same(new.ms, old.ms, seen)
    else:
        assert new == old
        if isinstance(old, dt.datetime):
            assert new.tzinfo is old.tzinfo


@pytest.mark.parametrize("store", STORES, ids=lambda p: p.name)
@pytest.mark.parametrize("reverse", [False, True])
def test_entries_are_the_values_of_the_command_lines(store, reverse):
    new = list(chromium.iter_entries(str(store), reverse=reverse))
    old = through_lines(store, reverse=reverse)
    assert len(new) == len(old) > 0
    assert_same(new, old)


def one_byte(text: str) -> bytes:
    return b'"' + bytes([len(text)]) + text.encode("latin-1")


def prop(name: str, value: bytes) -> bytes:
    return one_byte(name) + value


# An object of the forms JSON has no plain form for, sharing and cycling.
VALUE = b"o" + b"".join([
    prop("$ref", b"o" + prop("$", b"I\x02") + b"{\x01"),        # a "$"-led key: a plain object
    prop("a", b"o" + prop("n", b"I\x02") + b"{\x01"),            # object 2 ...
    prop("b", b"^\x02"),                                         # ... shared
    prop("self", b"^\x00"),                                      # the root itself
    prop("v1", b"B\x08" + bytes(range(8)) + b"VB\x00\x04\x00"),  # buffer 3, view 4
    prop("v2", b"^\x03Vd\x04\x04\x00"),                          # a second view of it
    prop("zero", b"N" + struct.pack("<d", -0.0)),
    prop("big", b"Z\x11" + (2 ** 64 - 3).to_bytes(8, "little")),
    prop("date", b"D" + struct.pack("<d", 1e20)),
    prop("f", b"B\x08" + struct.pack("<If", 0xFFC00001, -0.0) + b"Vf\x00\x08\x00"),
    prop("m", b";I\x02^\x02:\x02"),
    prop("re", b"R" + one_byte("a+") + b"\x03"),
    prop("nan", b"N" + struct.pack("<d", math.nan)),
    # a TypeError whose message is an object (plain data, never a form) and
    # whose cause is object 2
    prop("err", b"rTm" + b"o" + prop("$a", b"I\x02") + b"{\x01" + b"c^\x02."),
]) + b"{\x0e"


def test_a_hand_built_value_comes_back_shared_cyclic_and_exact(tmp_path):
    db = plyvel.DB(str(tmp_path / "db"), create_if_missing=True)
    db.put(b"\x00\x01\x01\x01\x01\x01\x00k", b"\x01\xff\x0f" + VALUE)
    db.close()
    [new] = chromium.iter_entries(str(tmp_path / "db"), "indexeddb")
    [old] = through_lines(tmp_path / "db", kind="indexeddb")
    assert "error" not in old, old
    assert_same(new, old)
    value = new["value"]
    assert value["$ref"] == {"$": 1}
    assert value["b"] is value["a"] and value["self"] is value and value["m"][0][1] is value["a"]
    assert value["v2"].buffer is value["v1"].buffer and value["v2"].byte_offset == 4
    assert math.copysign(1, value["zero"]) == -1 and value["nan"] is math.nan
    assert type(value["big"]) is v8.BigInt and value["big"] == -(2 ** 64 - 3)
    assert value["date"] == v8.JSDate(1e20) and value["re"] == v8.RegExp("a+", "gi")
    assert value["f"].data == struct.pack("<ff", math.nan, -0.0)
    assert value["err"] == v8.JSError("TypeError", {"$a": 1}, None, value["a"])
    assert value["err"].cause is value["a"]


def test_a_document_nested_past_the_recursion_limit_raises_as_json_does(tmp_path):
    # 200,000 levels: read recursively in C without a bound, the stack would
    # run out long before the end.
    db = plyvel.DB(str(tmp_path / "db"), create_if_missing=True)
    db.put(b"deep", b"[" * 200000 + b"]" * 200000)
    db.close()
    for route in (lambda: list(chromium.iter_entries(str(tmp_path / "db"), "leveldb")),
                  lambda: through_lines(tmp_path / "db", kind="leveldb")):
        with pytest.raises(RecursionError, match="while decoding a JSON array"):
            route()


def test_numbers_of_a_document_at_the_edges_of_64_bits(tmp_path):
    numbers = [0, -1, 2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 63 - 1, 2 ** 64 - 1, 2 ** 64, 10 ** 19, -10 ** 19,
               10 ** 30]
    db = plyvel.DB(str(tmp_path / "db"), create_if_missing=True)
    db.put(b"n", json.dumps({"n": numbers, "f": [-0.0, 1e300, 5e-324]}).encode())
    db.close()
    [new] = chromium.iter_entries(str(tmp_path / "db"), "leveldb")
    [old] = through_lines(tmp_path / "db", kind="leveldb")
    assert_same(new, old)
    assert new["value"]["n"] == numbers


def test_remembered_texts_never_stand_for_another(tmp_path):
    # Texts of one size with the same first and last eight bytes fall in one
    # slot of the table of remembered str objects, which every iterator
    # shares: two stores read in turn must each still give their own texts.
    stores = []
    for tag in (b"A", b"B"):
        db = plyvel.DB(str(tmp_path / tag.decode()), create_if_missing=True)
        for i in range(40):
            middle = b"%s%03d" % (tag, i)
            db.put(b"prefix__" + middle + b"__suffix", b'"value___' + middle + b'___value"')
        db.close()
        stores.append(tmp_path / tag.decode())
    new = list(zip(*(chromium.iter_entries(str(store), "leveldb") for store in stores)))
    old = list(zip(*(through_lines(store, kind="leveldb") for store in stores)))
    assert len(new) == len(old) == 40
    assert_same(new, old)
    assert new[7][1]["key"] == "prefix__B007__suffix" and new[7][1]["value"] == "value___B007___value"


def referring_value(refs: int) -> bytes:
    # {"s": 300 x's, "d": objects 190 deep, "r": [the deepest, refs times]}:
    # each reference is written as its long path.
    inner = b"o{\x00"
    for _ in range(189):
        inner = b"o" + one_byte("a") + inner + b"{\x01"
    count = bytes([refs & 0x7F | 0x80, refs >> 7])  # refs < 2 ** 14
    array = b"A" + count + b"^\xbe\x01" * refs + b"$\x00" + count
    return b"\xff\x0fo" + one_byte("s") + b'"\xac\x02' + b"x" * 300 + prop("d", inner) + prop("r", array) + b"{\x03"


def test_a_value_at_the_size_limit_decodes_as_written(tmp_path):
    # Built from the reader's nodes, a value has its strings counted at
    # their largest, not written: at the limit of the text a value may
    # take, that count is over, and the value is written to tell.
    low, high = 200, 16000  # the most references that fit: low
    while high - low > 1:
        try:
            _vostrel.chromium_value_json(referring_value((low + high) // 2))
            low = (low + high) // 2
        except ValueError:
            high = (low + high) // 2
    for refs, fails in ((low, False), (high, True)):
        db = plyvel.DB(str(tmp_path / str(refs)), create_if_missing=True)
        db.put(b"\x00\x01\x01\x01\x01\x01\x00k", b"\x01" + referring_value(refs))
        db.close()
        [new] = chromium.iter_entries(str(tmp_path / str(refs)), "indexeddb")
        [old] = through_lines(tmp_path / str(refs), kind="indexeddb")
        assert ("error" in old) == fails
        assert_same(new, old)


def test_entries_changed_as_they_come_change_no_later_one():
    # An entry of a run starts as a copy of its run's shape: what the
    # reader does to one entry must not reach the next.
    store = DATA / "IndexedDB" / "http_127.0.0.1_8765.indexeddb.leveldb"
    old = through_lines(store)
    count = 0
    for new in chromium.iter_entries(str(store)):
        assert_same(new, old[count])
        new.clear()
        count += 1
    assert count == len(old)


def test_the_package_loads_its_value_types_on_first_use():
    # The command imports the package for its kinds alone; the names it
    # exports are the value modules' own all the same.
    import subprocess
    import sys

    code = ("import sys, vostrel.cli, vostrel.chromium as c\n"
            "vostrel.cli.build_parser().format_help()\n"
            "assert 'vostrel.chromium.common' not in sys.modules and 'shutil' not in sys.modules\n"
            "from vostrel.chromium import common, v8\n"
            "assert c.DecodeError is v8.DecodeError and c.v8.JSDate is v8.JSDate\n"
            "assert c.VALUE_TYPES is common.VALUE_TYPES and c.from_json(c.to_json({'$x': 1})) == {'$x': 1}\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        chromium.nothing  # noqa: B018
