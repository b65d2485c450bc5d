"""`_vostrel.inspect_file` and `vostrel inspect FILE` on files written by the real
library (plyvel), intact and then damaged as disks damage them."""

from __future__ import annotations

import json
import struct
import subprocess
import sys

import plyvel
import pytest

import _vostrel
from conftest import FOOTER_SIZE, block_entries, read_varint, snappy_decompress


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "vostrel", "inspect", *map(str, args)],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """A compacted store with a bloom filter (one table) and a log of 500 puts
    left unflushed. Returns (path, the table's path, the log's path)."""
    path = tmp_path_factory.mktemp("inspect") / "db"
    db = plyvel.DB(str(path), create_if_missing=True, bloom_filter_bits=10)
    for i in range(3000):
        db.put(b"key%06d" % i, bytes([i % 251]) * 20 + b"x" * 30)
    db.compact_range()
    for i in range(500):
        db.put(b"log%06d" % i, b"v" * 100)
    db.close()
    return path, next(path.glob("*.ldb")), next(path.glob("*.log"))


def index_handles(data: bytes):
    """(offset, size) of each data block, read from the index block in plain Python."""
    footer = data[-FOOTER_SIZE:]
    _, pos = read_varint(footer, 0)
    _, pos = read_varint(footer, pos)
    offset, pos = read_varint(footer, pos)
    size, _ = read_varint(footer, pos)
    index = data[offset:offset + size]
    if data[offset + size] != 0:
        index = snappy_decompress(index)
    handles = []
    for _, _, value in block_entries(index):
        block_offset, pos = read_varint(value, 0)
        handles.append((block_offset, read_varint(value, pos)[0]))
    return handles


def data_blocks(result):
    return [item for item in result["items"] if item["item"] == "block" and item["role"] == "data"]


def test_table_blocks_are_those_of_its_index_and_intact(store):
    _, table, _ = store
    result = _vostrel.inspect_file(str(table))
    assert result["kind"] == "table" and not result["damaged"]
    blocks = data_blocks(result)
    assert [(b["offset"], b["size"]) for b in blocks] == index_handles(table.read_bytes())
    assert sum(b["entries"] for b in blocks) == 3000
    assert {b["crc"] for b in blocks} == {"ok"}
    entries = [item for item in result["items"] if item["item"] == "metaindex entry"]
    assert [e["key"] for e in entries] == [b"filter.leveldb.BuiltinBloomFilter2"]
    completed = run_cli(table)
    assert completed.returncode == 0 and completed.stderr == ""
    assert completed.stdout.count(" data block ") == len(blocks)


def test_flipped_byte_marks_its_block_bad_and_exits_1(store, tmp_path):
    _, table, _ = store
    data = bytearray(table.read_bytes())
    target = data_blocks(_vostrel.inspect_file(str(table)))[5]
    data[target["offset"] + 7] ^= 0x01
    damaged = tmp_path / "000005.ldb"
    damaged.write_bytes(bytes(data))
    completed = run_cli("--format", "json", "--encoding", "hex", damaged)
    assert completed.returncode == 1
    # The flipped byte may leave the Snappy stream decodable or not.
    assert completed.stderr.startswith(f"vostrel: warning: {damaged}: damaged: 1 bad checksum")
    result = json.loads(completed.stdout)
    assert [b["offset"] for b in data_blocks(result) if b["crc"] == "bad"] == [target["offset"]]
    assert all(b["first_key"].startswith(b"key".hex()) for b in data_blocks(result) if b["crc"] == "ok")


def test_zeroed_stretch_of_a_log_is_shown_between_records(store, tmp_path):
    _, _, log = store
    data = bytearray(log.read_bytes())
    data[20000:24096] = bytes(4096)
    zeroed = tmp_path / "000004.log"
    zeroed.write_bytes(bytes(data))
    result = _vostrel.inspect_file(str(zeroed))
    kinds = [item["item"] for item in result["items"]]
    zeros = kinds.index("zeros")
    assert "record" in kinds[:zeros] and "record" in kinds[zeros:]
    stretch = result["items"][zeros]
    assert 20000 - 131 < stretch["offset"] and stretch["offset"] + stretch["length"] <= 24096
    completed = run_cli(zeroed)
    assert completed.returncode == 1
    assert f"{stretch['offset']} [{stretch['offset']:#x}]" in completed.stdout
    assert "1 zero-filled stretch" in completed.stderr


def test_manifest_shows_its_edits(store):
    path, _, _ = store
    manifest = next(path.glob("MANIFEST-*"))
    result = _vostrel.inspect_file(str(manifest))
    edits = [item for item in result["items"] if item["item"] == "edit"]
    replayed = _vostrel.read_manifest(str(path))["edits"]
    assert [(e["offset"], e["new_files"]) for e in edits] == [(e["offset"], e["new_files"]) for e in replayed]
    completed = run_cli(manifest)
    assert completed.returncode == 0
    assert completed.stdout.count(" version edit ") == len(edits)


@pytest.mark.parametrize("name", ["missing.ldb", "."])
def test_missing_file_or_directory_exits_2(tmp_path, name):
    completed = run_cli(tmp_path / name)
    assert completed.returncode == 2 and completed.stdout == ""
    assert completed.stderr.startswith("vostrel: error: ")


def test_hostile_bytes_are_described_not_fatal(tmp_path):
    # A footer magic after bytes that frame nothing, and handles past the end.
    junk = tmp_path / "000009.ldb"
    junk.write_bytes(b"\xff" * 100 + b"\x80" * 40 + struct.pack("<Q", 0xDB4775248B80FB57))
    result = _vostrel.inspect_file(str(junk))
    assert result["kind"] == "table" and result["damaged"]
    assert run_cli(junk).returncode == 1


def test_on_item_streams_and_its_exception_stops_the_walk(store):
    _, _, log = store
    seen = []
    result = _vostrel.inspect_file(str(log), on_item=seen.append)
    assert result["items"] is None and seen == _vostrel.inspect_file(str(log))["items"]
    assert seen[0] == {"item": "file", "kind": "log", "size": log.stat().st_size}

    def stop_at_three(item):
        seen.append(item)
        if len(seen) == 3:
            raise LookupError("enough")

    seen = []
    with pytest.raises(LookupError, match="enough"):
        _vostrel.inspect_file(str(log), on_item=stop_at_three)
    assert len(seen) == 3
