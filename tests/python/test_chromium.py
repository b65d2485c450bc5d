"""vostrel.chromium against stores written by Chromium itself.

tests/data/chromium holds what scripts/make_chromium_stores.py had Debian's
chromium write, and expected.json the page's own account of every write, in
the JSON form the decoder produces. The checks: every record decodes, each key
kind and value type comes back as written, old and deleted versions keep their
states, damage costs only the damaged record, and the command works end to
end. The decoding is native: iter_entries reads back the command's own lines,
so the checks below hold for both."""

from __future__ import annotations

import json
import math
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import _vostrel
import plyvel
import pytest

from vostrel import chromium
from vostrel.chromium import v8
from vostrel.chromium.common import from_json, to_json

DATA = Path(__file__).resolve().parents[1] / "data" / "chromium"
EXPECTED = json.loads((DATA / "expected.json").read_text(encoding="utf-8"))
LOCAL = DATA / "Local Storage" / "leveldb"
SESSION = DATA / "Session Storage"
INDEXEDDB = next((DATA / "IndexedDB").glob("*.indexeddb.leveldb"))
STORES = {"localstorage": LOCAL, "sessionstorage": SESSION, "indexeddb": INDEXEDDB}


def entries(path, kind=None):
    return list(chromium.iter_entries(str(path), kind))


@pytest.fixture(scope="module")
def idb():
    return entries(INDEXEDDB)


def latest(items):
    """key -> the entry with the highest seq."""
    out = {}
    for item in items:
        key = json.dumps(to_json(item["key"]), sort_keys=True)
        if key not in out or out[key]["seq"] < item["seq"]:
            out[key] = item
    return out


@pytest.mark.parametrize("kind", STORES)
def test_every_record_decodes_and_kind_is_detected(kind):
    with _vostrel.RawLevelDb(str(STORES[kind])) as db:
        raw = db.iterate_records_raw()
        assert chromium.detect_kind(db, str(STORES[kind])) == kind
    decoded = entries(STORES[kind])
    assert len(decoded) == len(raw) > 0
    assert [e for e in decoded if "error" in e] == []
    assert {e["kind"] for e in decoded} == {kind}
    assert [(e["seq"], e["offset"], e["origin_file"]) for e in decoded] == \
        [(r.seq, r.offset, r.origin_file) for r in raw]


def test_local_storage_items_versions_and_metadata():
    items = entries(LOCAL)
    origin = EXPECTED["origin"]
    writes = [op for s in EXPECTED["sessions"] for op in s["local_storage"]]
    final = {}
    for op in writes:
        final[op["key"]] = op["value"]
    found = latest(e for e in items if e["type"] == "item")
    # Chromium batches its commits: a key set twice within one batch reaches
    # the disk once, so the last value of every key is what must be there.
    assert {json.loads(k): e["value"] for k, e in found.items()} == final
    assert all(e["origin"] == origin for e in found.values())
    states = {k: e["state"] for k, e in found.items()}
    assert states['"removed"'] == states['"utf16"'] == "deleted"
    # The first session's value survives as an older version.
    old = [e for e in items if e["type"] == "item" and e["key"] == "latin1"]
    assert [e["value"] for e in sorted(old, key=lambda e: e["seq"])] == \
        ["caf\u00e9 au lait", "second session"]
    meta = [e for e in items if e["type"] == "meta"]
    assert meta and all(e["value"]["size_bytes"] > 0 and e["value"]["last_modified"].year >= 2024
                        for e in meta)


def test_session_storage_items_are_tied_to_their_origin():
    items = entries(SESSION)
    final = {}
    for op in EXPECTED["sessions"][-1]["session_storage"]:
        final[op["key"]] = op["value"]
    found = latest(e for e in items if e["type"] == "item")
    assert {json.loads(k): e["value"] for k, e in found.items()} == final
    assert {e["origin"] for e in found.values()} == {EXPECTED["origin"]}
    assert {e["origin_raw"] for e in found.values()} == {EXPECTED["origin"] + "/"}
    assert found['"tab-gone"']["state"] == "deleted"
    namespaces = [e for e in items if e["type"] == "namespace"]
    assert len(namespaces) == 1 and found['"tab"']["namespaces"] == [namespaces[0]["namespace"]]


def _matches(expected, actual):
    """Blobs, files and errors carry more than the page could know (blob
    numbers, paths, stacks): the expected fields must be there."""
    if isinstance(expected, dict) and isinstance(actual, dict) and \
            next(iter(expected), "") in ("$blob", "$file", "$error"):
        tag = next(iter(expected))
        if tag == "$error":
            return expected.items() <= actual.items() - {("stack", actual.get("stack"))}
        return expected[tag].items() <= actual[tag].items()
    return expected == actual


PUTS = [op for s in EXPECTED["sessions"] for op in s["indexeddb"] if op["op"] == "put"]


@pytest.mark.parametrize("op", [op for op in PUTS if op["summary"] is None],
                         ids=lambda op: f'{op["store"]}:{op["name"]}')
def test_indexeddb_key_and_value_as_written(idb, op):
    key = op["key"]
    records = [e for e in idb if e["type"] == "record" and e["object_store"] == op["store"]
               and to_json(e["key"]) == key and e["state"] == "live"]
    assert records, f"no record for key {key!r}"
    values = [to_json(e["value"]) for e in records]
    assert any(_matches(op["value"], v) for v in values), values
    assert all(e["database"] == "vostrel" for e in records)


def test_large_values_come_back_from_snappy_and_from_the_blob_file(idb):
    by_key = {e["key"]: e for e in idb if e["type"] == "record" and e["state"] == "live"
              and isinstance(e["key"], str)}
    summaries = {op["key"]: op["summary"] for op in PUTS if op["summary"]}
    large, noise = by_key["large"], by_key["noise"]
    assert large["stored"] == "snappy"
    assert len(large["value"]["text"]) == summaries["large"]["text_length"]
    assert large["value"]["text"].startswith(summaries["large"]["text_head"])
    assert noise["stored"] == "blob"
    assert isinstance(noise["value"], v8.TypedArray)
    assert len(noise["value"].data) == summaries["noise"]["length"]
    assert list(noise["value"].data[:8]) == summaries["noise"]["head"]


def test_overwritten_and_deleted_versions_keep_their_states(idb):
    items = [e for e in idb if e["type"] == "record" and e["object_store"] == "items"]
    versions = sorted((e for e in items if e["key"] == "overwritten"), key=lambda e: e["seq"])
    assert [(e["state"], e["value"]["v"]) for e in versions] == [("live", 1), ("live", 2),
                                                                  ("live", 3)]
    for key in ("deleted", 1):  # deleted in the first and in the second session
        history = sorted((e for e in items if e["key"] == key), key=lambda e: e["seq"])
        assert [e["state"] for e in history] == ["live", "deleted"]
        assert history[-1]["value"] is None


def test_metadata_names_and_index_entries(idb):
    names = {(e["type"], e["value"]) for e in idb if e["type"] in
             ("database_name", "object_store_name", "index_name") and "value" in e}
    assert {("database_name", 1), ("object_store_name", 1), ("object_store_name", 2)} <= names
    index = [e for e in idb if e["type"] == "index" and e["index"] == "by_kind"]
    assert {(e["key"], e["primary_key"]) for e in index} >= {("note", "object"),
                                                           ("large", "large")}
    assert all(e["value"] == e["primary_key"] for e in index if e["state"] == "live")
    paths = {(e["object_store"], e["value"]) for e in idb if e["type"] == "object_store_key_path"}
    assert paths == {("items", None), ("people", "id")}


def test_a_blob_file_with_holes_is_reported_not_read(tmp_path):
    shutil.copytree(INDEXEDDB.parent, tmp_path, dirs_exist_ok=True)
    blob = next(tmp_path.glob("*.indexeddb.blob/1/00/4"))
    data = blob.read_bytes()
    # The same size, with the middle a hole (file systems without holes
    # write zeros, and the value then fails to decode instead).
    with open(blob, "wb") as out:
        out.write(data[:4096])
        out.seek(len(data) - 4096)
        out.write(data[-4096:])
    with open(blob, "rb") as f:
        if os.lseek(f.fileno(), 0, os.SEEK_HOLE) >= len(data):
            pytest.skip("this file system keeps no holes")
    noise = [e for e in entries(tmp_path / INDEXEDDB.name) if e.get("key") == "noise"
             and e["type"] == "record" and e["state"] == "live"]
    assert len(noise) == 1 and "which has holes: not read" in noise[0]["error"]


DAMAGE = [
    # (bytes in the log, replacement, what the entry must say)
    (b'\xff\x10oI\x0e"\x05seven', b'\xff\x10\x07I\x0e"\x05seven', "unknown tag"),
    (b"\xff\x11\x02\xbb\xbf\x05", b"\xff\x11\x02\xff\xff\x7f", "compressed value"),
    (b'\xff\x10"\x13negative number key', b'\xff\x10"\x7fnegative number key',
     "ends inside a string"),
]


@pytest.mark.parametrize("needle,replacement,reason", DAMAGE)
def test_a_damaged_value_falls_back_to_its_raw_bytes(tmp_path, needle, replacement, reason):
    shutil.copytree(INDEXEDDB.parent, tmp_path, dirs_exist_ok=True)  # with the blob files
    store = tmp_path / INDEXEDDB.name
    log = next(store.glob("*.log"))
    data = log.read_bytes()
    assert data.count(needle) == 1
    log.write_bytes(data.replace(needle, replacement))
    decoded = entries(store)
    failed = [e for e in decoded if "error" in e]
    assert len(failed) == 1 and len(decoded) == len(entries(INDEXEDDB))
    assert reason in failed[0]["error"]
    assert replacement.hex() in failed[0]["raw_value"]
    assert failed[0]["type"] == "record" and failed[0]["object_store"] == "items"


@pytest.mark.parametrize("data,reason", [
    (b"\xff\x0f" + b"A\x01" * 400 + b"0", "nested too deeply"),
    (b"\xff\x0fA\xff\xff\xff\xff\x0f", "longer than its data"),
    (b"\xff\x0f^\x05", "unknown object"),
    (b"\xff\x0fo\"\x01a", "ends"),
    (b"\xff\x0fB\x04\x01\x02\x03\x04V\x42\x02\x04\x00", "outside its buffer"),
], ids=["depth", "length", "reference", "end", "view"])
def test_hostile_v8_bytes_are_refused_with_the_reason(data, reason):
    with pytest.raises(ValueError, match=reason):
        _vostrel.chromium_value_json(data)


def _v8_bigint(magnitude: bytes, negative: bool) -> bytes:
    bitfield, varint = len(magnitude) * 2 | negative, b""
    while bitfield >= 0x80:
        varint += bytes([bitfield & 0x7F | 0x80])
        bitfield >>= 7
    return b"\xff\x0fZ" + varint + bytes([bitfield]) + magnitude


# BigInts of any size are written whole: decimal (beyond Python's own 4,300
# digit limit too), and hex past 40,000 digits; the Python values round-trip.
@pytest.mark.parametrize("size, form", [(8, "decimal"), (2000, "decimal"), (16600, "decimal"),
                                        (17000, "hex")])
@pytest.mark.parametrize("negative", [False, True])
def test_bigints_of_any_size_are_written_whole(size, form, negative):
    magnitude = bytes(range(1, 256)) * (size // 255) + b"\x01" * (size % 255)
    text = json.loads(_vostrel.chromium_value_json(_v8_bigint(magnitude, negative)))["$bigint"]
    expected = int.from_bytes(magnitude, "little") * (-1 if negative else 1)
    assert text.lstrip("-").startswith("0x") == (form == "hex")
    value = from_json({"$bigint": text})
    assert type(value) is v8.BigInt and value == expected
    assert to_json(value) == {"$bigint": text}


def test_unknown_blink_tag_is_named_as_python_quotes_the_character():
    named = 0
    for tag in range(256):
        with pytest.raises(ValueError) as error:
            _vostrel.chromium_value_json(bytes([0xFF, 0x0F, ord("\\"), tag]))
        if str(error.value).startswith("unsupported Blink object "):
            assert str(error.value) == "unsupported Blink object " + repr(chr(tag))
            named += 1
    assert named > 200  # every tag but the few Blink's host objects use


def test_decompress_snappy_rejects_corrupt_input():
    with pytest.raises(ValueError):
        _vostrel.decompress_snappy(b"\xff\xff\xff\xff\x0f\x00")
    assert _vostrel.decompress_snappy(b"\x03\x08abc") == b"abc"


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "vostrel", "chromium", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_command_writes_json_lines_filtered_by_state(tmp_path):
    out = tmp_path / "deleted.jsonl"
    result = run_cli("--state", "deleted", "-o", out, INDEXEDDB)
    assert result.returncode == 0, result.stderr
    lines = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    assert lines and {line["state"] for line in lines} == {"deleted"}
    assert {"record", "exists"} <= {line["type"] for line in lines}
    result = run_cli(LOCAL)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert result.returncode == 0 and len(lines) == len(entries(LOCAL))
    assert {"key": "latin1", "value": "second session"}.items() <= lines[-4].items()


def test_command_forced_kind_and_bad_input(tmp_path):
    forced = [json.loads(line) for line in run_cli("--kind", "localstorage", SESSION).stdout
              .splitlines()]
    assert forced and all(line["error"] == "not a Local Storage key" for line in forced)
    assert run_cli(tmp_path / "missing").returncode == 2
    (tmp_path / "empty").mkdir()
    result = run_cli("-o", tmp_path / "never.jsonl", tmp_path / "empty")
    assert result.returncode == 2 and "cannot tell" in result.stderr
    assert not (tmp_path / "never.jsonl").exists()  # the output is opened once the kind is known


def test_command_writes_to_a_replaced_stdout(capsys):
    from vostrel.cli import main

    assert main(["chromium", str(SESSION)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [json.loads(line) for line in lines] == entries(SESSION)


def test_jobs_reach_the_decoding_of_a_single_store(monkeypatch, capsys):
    from vostrel.cli import main

    threads = []
    export = _vostrel.chromium_export
    monkeypatch.setattr(_vostrel, "chromium_export", lambda *a, **k: threads.append(k.get("threads")) or export(*a, **k))
    for jobs in (["--jobs", "1"], ["--jobs", "3"], []):
        assert main(["chromium", *jobs, str(SESSION)]) == 0
    assert threads == [1, 3, None]  # None: one a core


def write_store(path, records):
    """A store written by the real LevelDB library: (key, value) puts, a
    value of None deleting the key."""
    db = plyvel.DB(str(path), create_if_missing=True)
    for key, value in records:
        if value is None:
            db.delete(key)
        else:
            db.put(key, value)
    db.close()
    return path


@pytest.mark.parametrize("key,value,expected", [
    # «1,1,2» exists entry: the version is an Int (little-endian), not a varint
    (b"\x00\x01\x01\x02\x03" + b"\x00" * 6 + b"\xf0?", b"\xb8\x88",
     {"type": "exists", "key": 1, "version": 35000}),
    # two-byte database id (prefix byte 0x20): «300,1,1», a binary key
    (b"\x20\x2c\x01\x01\x01\x06\x02\xde\xad", b"\x05\xff\x0f\"\x01x",
     {"type": "record", "database_id": 300, "key": b"\xde\xad", "value": "x", "version": 5}),
    # index entry with an array key and its primary key
    (b"\x00\x01\x01\x1e\x04\x02\x01\x01\x00a\x03" + b"\x00" * 7 + b"\x40\x00\x01\x01\x00p",
     b"\x02\x01\x01\x00p", {"type": "index", "key": ["a", 2], "primary_key": "p", "value": "p"}),
    # a V8 value before Blink had its own envelope (version 13 header only)
    (b"\x00\x01\x01\x01\x01\x01\x00k", b"\x01\xff\x0do\"\x01aI\x02{\x01",
     {"type": "record", "key": "k", "value": {"a": 1}}),
])
def test_hand_built_indexeddb_records(tmp_path, key, value, expected):
    store = write_store(tmp_path / "db", [(key, value)])
    [item] = entries(store, "indexeddb")
    assert "error" not in item, item
    assert expected.items() <= item.items()


NAMESPACE = b"namespace-" + b"a" * 36 + b"-"


@pytest.mark.parametrize("key,value,expected", [
    # a map owned by two origins: no single origin, both listed (sorted)
    (b"map-7-k", "v".encode("utf-16-le"),
     {"origin": None, "map": 7, "namespaces": ["a" * 36, "b" * 36], "value": "v",
      "origins": ["https://a.test", "https://b.test"],
      "origins_raw": ["https://a.test/", "https://b.test/"]}),
    # a map no namespace names; a lone surrogate kept
    (b"map-0008-\xff", "\ud800".encode("utf-16-le", "surrogatepass"),
     {"origin": None, "map": 8, "namespaces": [], "key": "\udcff", "value": "\ud800"}),
    (b"map-7-odd", b"abc", {"type": "undecoded", "error": "UTF-16 text of odd length"}),
    (b"map-x7-k", b"", {"error": "not a number: 'x7'"}),
    (b"map--5-k", b"", {"error": "not a number: ''"}),
    (b"next-map-id", b"--5", {"error": "not a number: '--5'"}),
    (b"version", b"1\xff", {"error": "'ascii' codec can't decode byte 0xff in position 1: "
                                      "ordinal not in range(128)"}),
    (NAMESPACE[:-5] + b"-x", b"1", {"error": "namespace key without a namespace id"}),
    (b"other", b"", {"error": "not a Session Storage key", "raw_key": "6f74686572"}),
])
def test_hand_built_session_storage_records(tmp_path, key, value, expected):
    owners = [(b"namespace-" + b"a" * 36 + b"-https://b.test/", b"7"),
              (b"namespace-" + b"b" * 36 + b"-https://a.test/", b"07"),
              (b"namespace-" + b"b" * 36 + b"-https://a.test/", None)]
    store = write_store(tmp_path / "db", owners + [(key, value)])
    [item] = [e for e in entries(store, "sessionstorage") if e["type"] != "namespace"]
    assert expected.items() <= item.items(), item


def test_values_come_back_as_the_python_values_of_their_json_form(idb):
    for entry in idb:
        for field in ("key", "value", "primary_key"):
            if field in entry:
                form = to_json(entry[field])
                assert to_json(from_json(form)) == form
    # a shared object comes back as one object, a cycle as a cycle
    shared = from_json({"a": {"x": 1}, "b": {"$ref": "$/a"}, "c": [{"$ref": "$/c"}]})
    assert shared["b"] is shared["a"] and shared["c"][0] is shared["c"]
    assert from_json({"$object": {"$bytes": "AAE="}}) == {"$bytes": "AAE="}
    assert from_json({"$bytes": "AAE="}) == b"\x00\x01"
    # a plain object led by a "$" key keeps its form whatever its other keys
    lookalike = {"$regexp": "a+", "flags": "g"}
    assert to_json(lookalike) == {"$object": lookalike}
    assert from_json(to_json(lookalike)) == lookalike


def test_native_export_filters_states_and_reverses(tmp_path):
    def lines(**options):
        out = tmp_path / "out.jsonl"
        with open(out, "wb") as f:
            count = _vostrel.chromium_export(str(INDEXEDDB), f, **options)
        text = out.read_text(encoding="utf-8").splitlines()
        assert count == len(text)
        return [json.loads(line) for line in text]

    every = lines()
    assert every == [json.loads(line) for line in _vostrel.iter_chromium_entries(str(INDEXEDDB))]
    wanted = [e for e in every if e["state"] == "deleted"]
    assert wanted and lines(states=[_vostrel.KeyState.Deleted]) == wanted
    reverse = lines(reverse=True, states=[0, 1, 2])
    assert sorted(map(json.dumps, reverse)) == sorted(map(json.dumps, every))
    assert [e["origin_file"] for e in reverse] == sorted((e["origin_file"] for e in every), reverse=True)
    with pytest.raises(ValueError, match="unknown kind 'x'"):
        _vostrel.chromium_export(str(INDEXEDDB), 1, kind="x")
    (tmp_path / "empty").mkdir()
    with pytest.raises(ValueError, match="cannot tell which kind"):
        _vostrel.iter_chromium_entries(str(tmp_path / "empty"))
    # a store whose kind cannot be told is decoded as the fallback kind, if
    # given; one that can be told is not
    unknown = tmp_path / "unknown"
    shutil.copytree(INDEXEDDB, unknown)
    with open(os.devnull, "wb") as null, pytest.raises(ValueError, match="cannot tell which kind"):
        _vostrel.chromium_export(str(tmp_path / "empty"), null)
    db = plyvel.DB(str(unknown / "plain"), create_if_missing=True)
    db.put(b"k", b"v")
    db.close()
    for directory, fallback, kind in ((unknown / "plain", "leveldb", "leveldb"),
                                      (INDEXEDDB, "leveldb", "indexeddb"),
                                      (unknown, "localstorage", "indexeddb")):
        with open(tmp_path / "a", "wb") as a, open(tmp_path / "b", "wb") as b:
            _vostrel.chromium_export(str(directory), a, fallback_kind=fallback)
            _vostrel.chromium_export(str(directory), b, kind=kind)
        assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes() != b""


def many_file_session_storage(path):
    """A Session Storage store of many data files (a small write buffer and
    reopenings), its maps' owners written first and their items overwritten
    and deleted afterwards: the owners are learned in the first pass and
    needed by whichever thread decodes each file."""
    for round_ in range(4):
        db = plyvel.DB(str(path), create_if_missing=True, write_buffer_size=16 << 10)
        for m in range(8):
            db.put(b"namespace-" + b"%036d" % m + b"-https://%d.test/" % m, b"%d" % m)
        for i in range(600):
            key = b"map-%d-k%d" % (i % 8, i % 250)
            if (i + round_) % 7 == 0:
                db.delete(key)
            else:
                db.put(key, ("v%d.%d" % (round_, i)).encode("utf-16-le"))
        db.close()
    return path


@pytest.mark.parametrize("options", [
    {}, {"reverse": True}, {"status": True}, {"latest": True}, {"latest": True, "reverse": True},
    {"states": [_vostrel.KeyState.Deleted]}, {"types": ["item", "record"], "store": "s"}, {"csv": True, "store": "s"},
    {"kind": "extension_settings"},  # a kind most of these stores are not: lines that fall back among the rest
])
def test_many_threads_write_what_one_thread_writes(tmp_path, options):
    many = many_file_session_storage(tmp_path / "session")
    assert len(_vostrel.data_files(str(many))) >= 4
    for store in [many, *sorted(p.parent for p in DATA.rglob("CURRENT"))]:
        outputs = []
        for threads in (1, 2, 3):
            out = tmp_path / f"out{threads}"
            with open(out, "wb") as f:
                outputs.append((_vostrel.chromium_export(str(store), f, threads=threads, counts=True, **options),
                                out.read_bytes()))
        assert store != many or (outputs[0][0][0] > 0 and outputs[0][1]), options
        assert outputs[1] == outputs[0] and outputs[2] == outputs[0], (store, options)
        if not options.get("csv"):  # undecoded: the lines that end with the fallback fields
            lines = [json.loads(line) for line in outputs[0][1].splitlines()]
            assert outputs[0][0] == (len(lines), sum("raw_value" in line for line in lines)), (store, options)


OBJECT_UNDER_A_SLASHED_KEY = (b'\xff\x0fo"\x03a/bo"\x01sI\x02{\x01"\x01ao"\x01bo"\x01tI\x04{\x01{\x01'
                              b'"\x01x^\x01{\x03')


def test_values_keep_what_a_plain_reading_would_lose(tmp_path, idb):
    # views of one buffer share it, and see what they saw
    shared = {e["key"]: e["value"] for e in idb if e["type"] == "record" and e["state"] == "live"
              and e["key"] in ("shared-buffer", "typed")}
    u8, u16, raw = (shared["shared-buffer"][k] for k in ("u8", "u16", "raw"))
    assert u8.buffer is u16.buffer is raw and u16.values == [1, 2]
    view, dv = shared["typed"]["view"], shared["typed"]["dv"]
    assert view.buffer is dv.buffer and view.values == [3, 4, 5] and dv.byte_offset == 4
    # a $ref path is a JSON Pointer: the key "a/b" is one step, not two
    value = from_json(json.loads(_vostrel.chromium_value_json(OBJECT_UNDER_A_SLASHED_KEY)))
    assert value["x"] is value["a/b"] and value["x"] == {"s": 1}
    assert to_json(value)["x"] == {"$ref": "$/a~1b"}
    # a Date before year 1 keeps its exact time value, as no number
    year_zero = from_json(json.loads(_vostrel.chromium_value_json(
        b"\xff\x0fD" + struct.pack("<d", -62167219200000.0))))
    assert type(year_zero) is v8.JSDate and year_zero.ms == -62167219200000.0
    invalid = from_json(json.loads(_vostrel.chromium_value_json(b"\xff\x0fD" + b"\x00" * 6 + b"\xf8\x7f")))
    assert type(invalid) is v8.JSDate and not invalid.valid
    assert to_json(invalid) == {"$date": None, "ms": "NaN"}
    assert from_json({"$date": None, "ms": "soon"}) == {"$date": None, "ms": "soon"}  # no time value
    # an IndexedDB key of -0 stays -0
    store = write_store(tmp_path / "db", [(b"\x00\x01\x01\x01\x03" + struct.pack("<d", -0.0),
                                           b"\x05\xff\x0f\"\x01x")])
    [item] = entries(store, "indexeddb")
    assert type(item["key"]) is float and math.copysign(1, item["key"]) == -1


def test_journal_tasks_hold_the_records_a_transaction_changed(idb):
    # overwriting a record journals its earlier value, decoded as that record
    undo = [e["journal"]["entry"] for e in idb if e["type"] == "journal_task" and "journal" in e
            and e["journal"]["operation"] == "put" and e["journal"]["entry"]["type"] == "record"]
    earlier = [u for u in undo if u["key"] == "overwritten"]
    assert earlier and {u["value"]["v"] for u in earlier} <= {1, 2}
    assert all(u["object_store"] == "items" and u["database"] == "vostrel" for u in earlier)
    # a put of a new key journals its deletion, with the key decoded
    created = [e["journal"]["entry"]["key"] for e in idb if e["type"] == "journal_task"
               and e.get("journal", {}).get("operation") == "delete"
               and e["journal"]["entry"]["type"] == "record"]
    assert "object" in created and "map" in created and b"\x00\x01\xfe\xff" in created
