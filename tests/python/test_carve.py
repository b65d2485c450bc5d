"""Carving through the Python surface and the command: RawLevelDb.carve_records,
read_file and `vostrel dump --carve` / `vostrel dump FILE...`, on databases
written by the real library and then damaged."""

from __future__ import annotations

import io
import json
import os
import shutil
import subprocess
import sys

import pytest

import _vostrel
from conftest import FOOTER_SIZE, as_tuple, read_all, write_one_table

RECOVERED_FIELDS = ["key", "user_key", "value", "seq", "state", "file_type", "origin_file",
                    "offset", "was_compressed", "recovered"]


@pytest.fixture(scope="module", params=["snappy", None], ids=["snappy", "raw"])
def table_db(request, tmp_path_factory):
    written = write_one_table(tmp_path_factory.mktemp("carve") / "db", request.param)
    tables = sorted(n for n in os.listdir(written.path) if n.endswith(".ldb"))
    assert len(tables) == 1
    return str(written.path), tables[0]


def damaged_copy(tmp_path, db_dir, table, damage):
    copy = tmp_path / "db"
    shutil.copytree(db_dir, copy)
    path = copy / table
    path.write_bytes(damage(path.read_bytes()))
    return str(copy), str(path)


def without_path(records):
    return sorted(t[:5] + t[6:] for t in map(as_tuple, records))


def test_undamaged_database_carves_nothing(table_db):
    with _vostrel.RawLevelDb(table_db[0]) as db:
        assert db.carve_records() == []
        assert all(r.recovered is None for r in db.iterate_records_raw())


def test_footer_cut_off_table_is_carved_whole(table_db, tmp_path):
    db_dir, table = table_db
    original = [r for r in read_all(db_dir) if r.origin_file.endswith(table)]
    damaged_dir, _ = damaged_copy(tmp_path, db_dir, table, lambda b: b[:-FOOTER_SIZE])
    with _vostrel.RawLevelDb(damaged_dir) as db:
        # The normal read leaves the table out, as it always did.
        assert not [r for r in db.iterate_records_raw() if r.origin_file.endswith(table)]
        carved = db.carve_records()
        # One damaged file: reverse orders files, not the records within one.
        assert [as_tuple(r) for r in db.carve_records(reverse=True)] == [as_tuple(r) for r in carved]
    assert {r.recovered for r in carved} == {"carved-block"}
    assert without_path(carved) == without_path(original)


def test_loose_files_by_content(table_db, tmp_path):
    db_dir, table = table_db
    data = open(os.path.join(db_dir, table), "rb").read()
    original = read_all(db_dir)
    original = without_path(r for r in original if r.origin_file.endswith(table))
    renamed = tmp_path / "f12345.bin"
    renamed.write_bytes(data)
    assert without_path(_vostrel.read_file(str(renamed), carve=False)) == original
    assert [r.recovered for r in _vostrel.read_file(str(renamed))] == [None] * len(original)
    # Cut short: no magic, the blocks are found by their checksums; those
    # that are whole come back, nothing else.
    renamed.write_bytes(data[: len(data) // 2])
    assert all(r.recovered is None for r in _vostrel.read_file(str(renamed), carve=False))
    carved = _vostrel.read_file(str(renamed))
    assert carved and {r.recovered for r in carved} == {"carved-block"}
    assert set(without_path(carved)) < set(original)
    assert all(r.origin_file == str(renamed) for r in carved)


@pytest.mark.parametrize("path, kwargs, error", [
    (b"/x", {}, TypeError),
    ("/nonexistent/f.bin", {}, FileNotFoundError),
    ("/", {}, OSError),
    ("f.bin", {"carve": 1}, TypeError),
])
def test_read_file_rejects(path, kwargs, error):
    with pytest.raises(error):
        _vostrel.read_file(path, **kwargs)


def vostrel(*args):
    return subprocess.run([sys.executable, "-m", "vostrel", *args], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=120, text=True)


def test_command_carve_and_files(table_db, tmp_path):
    db_dir, table = table_db
    plain = vostrel("dump", db_dir)
    assert plain.returncode == 0 and '"recovered"' not in plain.stdout
    # On an undamaged directory --carve adds the field and nothing else.
    carved = vostrel("dump", "--carve", db_dir)
    assert carved.returncode == 0, carved.stderr
    assert carved.stdout == plain.stdout.replace("}\n", ', "recovered": null}\n')

    damaged_dir, damaged_table = damaged_copy(tmp_path, db_dir, table, lambda b: b[:-FOOTER_SIZE])
    lines = [json.loads(line) for line in vostrel("dump", "--carve", damaged_dir).stdout.splitlines()]
    assert all(list(row) == RECOVERED_FIELDS for row in lines)
    recovered = [row for row in lines if row["recovered"] == "carved-block"]
    assert recovered and all(row["origin_file"] == damaged_table for row in recovered)
    assert len(recovered) == len(_vostrel.read_file(damaged_table))

    csv_out = vostrel("dump", "--format", "csv", damaged_table, damaged_table)
    rows = csv_out.stdout.splitlines()
    assert rows[0].split(",") == RECOVERED_FIELDS
    assert len(rows) == 1 + 2 * len(recovered)

    mixed = vostrel("dump", damaged_table, damaged_dir)
    assert mixed.returncode == 2 and "a directory" in mixed.stderr


# --- The native carving export against the Python reference writer ---------------

@pytest.fixture(scope="module")
def damaged_store(tmp_path_factory):
    """A store written by the real library, one table left by compaction and a
    log of later writes, then the table's footer cut off and 4 KiB of the log
    zeroed; and loose files: the table whole and cut short, and the log."""
    plyvel = pytest.importorskip("plyvel")
    root = tmp_path_factory.mktemp("carve_export")
    path = root / "db"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(3000):
        db.put(b"t%05d" % i, b"table value %d " % i * 3)
    for i in range(0, 3000, 5):
        db.delete(b"t%05d" % i)
    db.compact_range()
    for i in range(2000):
        db.put(b"l%05d" % i, bytes([i % 251]) * 90 + "é,\"\n".encode())
    db.close()
    table = sorted(path.glob("*.ldb"))[0]
    log = sorted(path.glob("*.log"))[-1]
    data = table.read_bytes()
    (root / "whole.bin").write_bytes(data)
    (root / "cut.bin").write_bytes(data[: len(data) // 2])
    table.write_bytes(data[:-FOOTER_SIZE])
    log_bytes = bytearray(log.read_bytes())
    log_bytes[len(log_bytes) // 3: len(log_bytes) // 3 + 4096] = bytes(4096)
    log.write_bytes(bytes(log_bytes))
    (root / "log.bin").write_bytes(bytes(log_bytes))
    return str(path), [str(root / name) for name in ("whole.bin", "cut.bin", "log.bin")]


def reference(records, fmt, encoding="escaped"):
    from reference_writer import write_records
    from vostrel.encodings import ENCODERS

    out = io.StringIO(newline="")
    write_records(records, out, fmt, ENCODERS[encoding], recovered=True)
    return out.getvalue().encode("utf-8")


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("reverse", [False, True])
def test_carving_export_equals_the_reference(damaged_store, fmt, threads, reverse):
    directory, _ = damaged_store
    with _vostrel.RawLevelDb(directory) as db:
        records = db.iterate_records_raw(reverse=reverse) + db.carve_records(reverse=reverse)
        native = io.BytesIO()
        count = db.export(native, format=fmt, threads=threads, reverse=reverse, carve=True)
    assert {r.recovered for r in records} == {None, "carved-block", "carved-log"}
    assert count == len(records)
    assert native.getvalue() == reference(records, fmt)


@pytest.mark.parametrize("fmt, encoding", [("jsonl", "escaped"), ("csv", "hex"), ("jsonl", "base64")])
@pytest.mark.parametrize("threads", [1, 2])
def test_files_export_equals_the_reference(damaged_store, fmt, encoding, threads):
    _, files = damaged_store
    for reverse in (False, True):
        records = [r for path in (files[::-1] if reverse else files) for r in _vostrel.read_file(path)]
        assert {r.recovered for r in records} == {None, "carved-block", "carved-log"}
        live = [r for r in records if r.state == _vostrel.KeyState.Live]
        native = io.BytesIO()
        count = _vostrel.export_files(files, native, format=fmt, encoding=encoding, threads=threads,
                                      reverse=reverse, states=[_vostrel.KeyState.Live])
        assert (count, native.getvalue()) == (len(live), reference(live, fmt, encoding))


def test_files_export_stops_at_a_file_it_cannot_open(damaged_store, tmp_path):
    _, files = damaged_store
    native = io.BytesIO()
    with pytest.raises(FileNotFoundError) as raised:
        _vostrel.export_files([files[0], str(tmp_path / "gone.bin"), files[1]], native, threads=2)
    assert raised.value.filename == str(tmp_path / "gone.bin")
    assert native.getvalue() == reference(_vostrel.read_file(files[0]), "jsonl")
