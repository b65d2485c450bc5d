"""Carving through the Python surface and the command: RawLevelDb.carve_records,
read_file and `vostrel dump --carve` / `vostrel dump FILE...`, on databases
written by the real library and then damaged."""

from __future__ import annotations

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
