"""Where each record's bytes lie (RawLevelDb.positions(), dump --positions),
checked against the bytes of files the real library wrote."""

from __future__ import annotations

import json
import shutil

import plyvel
import pytest
from _vostrel import FileType, RawLevelDb

from conftest import log_physical_record, read_varint, value_for, write_batch_bytes
from test_cli import vostrel


def records_with_positions(path):
    with RawLevelDb(str(path)) as db:
        return list(zip(db.iterate_records_raw(), db.positions(), strict=True))


def table_entry_at(data: bytes, at: int):
    """(shared, key suffix, value, end) of the table entry whose varints begin at `at`."""
    shared, at = read_varint(data, at)
    non_shared, at = read_varint(data, at)
    value_length, at = read_varint(data, at)
    end = at + non_shared + value_length
    return shared, data[at:at + non_shared], data[at + non_shared:end], end


def log_entry_at(data: bytes, fragments, file_position: int):
    """The (tag, key, value) of the batch entry whose tag byte is at
    file_position, read through the payloads of its fragments."""
    payload = b"".join(data[offset + 7:offset + 7 + length] for offset, length in fragments)
    at = file_position - (fragments[0][0] + 7)
    assert 0 <= at < fragments[0][1]
    tag = payload[at]
    key_length, at = read_varint(payload, at + 1)
    key = payload[at:at + key_length]
    if tag == 0:
        return tag, key, b""
    value_length, at = read_varint(payload, at + key_length)
    assert at + value_length <= len(payload), "the fragments end before the entry"
    return tag, key, payload[at:at + value_length]


def test_table_positions_point_at_entries_in_the_file(one_table_db):
    pairs = records_with_positions(one_table_db.path)
    blocks = {}
    for record, place in pairs:
        data = open(record.origin_file, "rb").read()
        stored = data[place["block_offset"]:place["block_offset"] + place["block_size"]]
        assert data[place["block_offset"] + place["block_size"]] == (place["codec"] == "snappy")
        assert place["crc"] == "ok" and place["fragments"] is None
        blocks.setdefault(place["block_offset"], set()).add(place["codec"])
        if place["codec"] == "none":
            assert place["file_position"] == place["block_offset"] + place["entry_offset"] == record.offset
            shared, suffix, value, _ = table_entry_at(data, place["file_position"])
            assert record.key[shared:] == suffix and record.value == value
            assert table_entry_at(stored, place["entry_offset"])[1:3] == (suffix, value)
        else:
            assert place["file_position"] is None and record.offset == place["block_offset"]
    assert all(len(codecs) == 1 for codecs in blocks.values())
    assert len(blocks) > 10


def write_table(path, compression):
    """One table of 1 KiB blocks: compressible values, then values that are not."""
    db = plyvel.DB(str(path), create_if_missing=True, compression=compression, block_size=1024)
    for i in range(200):
        db.put(b"k%04d" % i, value_for(i, 300, compressible=i < 150))
    db.compact_range()
    db.close()
    return path


@pytest.mark.parametrize("compression, codecs", [(None, {"none"}), ("snappy", {"snappy", "none"})])
def test_codec_names(tmp_path, compression, codecs):
    found = {place["codec"] for record, place in records_with_positions(write_table(tmp_path, compression))
             if record.file_type == FileType.Ldb}
    assert found == codecs


def test_log_positions_follow_batches_across_blocks(large_values_db):
    pairs = records_with_positions(large_values_db.path)
    logs = [(record, place) for record, place in pairs if record.file_type == FileType.Log]
    assert len(logs) == len(large_values_db.ops)
    data = open(logs[0][0].origin_file, "rb").read()
    for record, place in logs:
        assert place["crc"] == "ok" and place["block_offset"] is None
        tag, key, value = log_entry_at(data, place["fragments"], place["file_position"])
        assert (key, value) == (record.key, record.value) and tag == (record.state == 1)
    # The big batch's second entry begins in a later physical record than the batch.
    second = next(place for record, place in logs if record.key == b"big-batch-2")
    assert second["fragments"][0][0] > 0 and len(second["fragments"]) > 1


@pytest.mark.parametrize("kind", [FileType.Ldb, FileType.Log], ids=["table", "log"])
def test_one_flipped_byte_marks_only_its_blocks_records(tmp_path, large_values_db, kind):
    copy = tmp_path / "db"
    if kind == FileType.Ldb:
        write_table(copy, None)
    else:
        shutil.copytree(large_values_db.path, copy)
    before = records_with_positions(copy)
    if kind == FileType.Ldb:
        # The last byte of the value of a record in the middle of the table.
        record, place = before[len(before) // 2]
        flip = table_entry_at(open(record.origin_file, "rb").read(), place["file_position"])[3] - 1
        expected = {i for i, (r, p) in enumerate(before) if p["block_offset"] == place["block_offset"]}
    else:
        # The last payload byte of a batch of one entry over several physical records.
        i, (record, place) = next((i, pair) for i, pair in enumerate(before) if pair[0].key == b"big-5")
        last_offset, last_length = place["fragments"][-1]
        flip = last_offset + 7 + last_length - 1
        expected = {i}
    data = bytearray(open(record.origin_file, "rb").read())
    data[flip] ^= 0x01
    open(record.origin_file, "wb").write(bytes(data))

    after = records_with_positions(copy)
    assert len(after) == len(before) and len(expected) >= 1
    assert {i for i, (r, p) in enumerate(after) if p["crc"] == "bad"} == expected
    for (old, old_place), (new, new_place) in zip(before, after):
        assert new.key == old.key and {**new_place, "crc": "ok"} == old_place


def test_dump_positions_adds_fields_after_the_existing_ones(one_table_db, large_values_db):
    for path in (one_table_db.path, large_values_db.path):
        plain = vostrel("dump", "--no-progress", str(path)).stdout.splitlines()
        with_positions = vostrel("dump", "--no-progress", "--positions", str(path)).stdout.splitlines()
        assert len(plain) == len(with_positions) > 0
        with RawLevelDb(str(path)) as db:
            places = db.positions()
        for line, extended, place in zip(plain, with_positions, places):
            assert extended.startswith(line[:-1] + b", ")
            fields = json.loads(extended)
            assert {name: fields[name] for name in place} == {
                name: [list(pair) for pair in value] if name == "fragments" and value else value
                for name, value in place.items()}
    header = vostrel("dump", "--positions", "--format", "csv", str(one_table_db.path)).stdout.split(b"\n")[0]
    assert header.endswith(b",was_compressed,block_offset,block_size,codec,entry_offset,fragments,file_position,crc")


def test_an_abandoned_fragment_is_no_part_of_the_next_record(tmp_path):
    # A first fragment never finished, then a full record whose checksum is
    # zeros: the full record alone carries its entry, and its checksum fails.
    abandoned = log_physical_record(2, write_batch_bytes(1, 1, b"\x01\x01a\x01x"))
    body = b"\x01\x03key\x05value"
    (tmp_path / "000001.log").write_bytes(abandoned + log_physical_record(1, write_batch_bytes(7, 1, body)))
    [(record, place)] = records_with_positions(tmp_path)
    assert (record.key, record.value, record.seq) == (b"key", b"value", 7)
    assert place["fragments"] == [(len(abandoned), 12 + len(body))]
    assert place["file_position"] == len(abandoned) + 7 + 12 and place["crc"] == "bad"


def test_carved_log_records_have_their_positions(tmp_path, large_values_db):
    # A bad type byte in the log's first header: the framing skips the rest of
    # that block, so the batch of big-1, which begins there, is carving's.
    copy = tmp_path / "db"
    shutil.copytree(large_values_db.path, copy)
    log = next(copy.glob("*.log"))
    data = bytearray(log.read_bytes())
    data[6] = 9
    log.write_bytes(bytes(data))
    with RawLevelDb(str(copy)) as db:
        carved = list(zip(db.carve_records(), db.positions(carved=True), strict=True))
    [(record, place)] = [(r, p) for r, p in carved if r.key == b"big-1"]
    assert place["crc"] == "ok" and len(place["fragments"]) == 2 and place["fragments"][0][0] > 0
    assert log_entry_at(bytes(data), place["fragments"], place["file_position"]) == (1, b"big-1", record.value)
