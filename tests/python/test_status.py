"""Current, superseded, orphaned: RawLevelDb.statuses() and latest() against
what the real library itself reads from the same stores."""

from __future__ import annotations

import csv
import io
import json
import shutil
import subprocess
import sys

import plyvel
import pytest

import _vostrel
from conftest import DbWriter, write_flushed_tables, write_log_only, write_one_table, write_with_replaced_tables


def _library_view(path, tmp_path):
    # The library recovers the log into a table when it opens a store: read
    # a copy, so the store under test stays as it was.
    copy = tmp_path / "library-copy"
    shutil.copytree(path, copy)
    db = plyvel.DB(str(copy))
    try:
        return list(db.iterator())
    finally:
        db.close()


def _empty_key_and_compactions(path):
    w = DbWriter(path, write_buffer_size=16 * 1024)
    for round_ in range(4):
        for i in range(300):
            w.put(b"key%04d" % (i * 3 % 500), b"round %d " % round_ * 10)
        w.put(b"", b"the empty key, round %d" % round_)
        w.delete(b"key%04d" % round_)
    w.db.compact_range(start=b"key0100", stop=b"key0300")
    w.put(b"unflushed", b"in the log only")
    w.delete(b"key0200")
    w.db.close()


def _more_than_a_few_batches(path):
    # Current records of more bytes than the merge hands over in a few
    # batches a key range: a range's merge must wait for the writer, and a
    # dump in key order takes the ranges one after another.
    w = DbWriter(path, write_buffer_size=512 * 1024)
    for round_ in range(2):
        for i in range(3000):
            w.put(b"key%05d" % (i * 7919 % 3000), bytes([(i + round_) % 251]) * 900)
    w.compact()  # and so nothing is left being compacted when it closes
    for i in range(0, 3000, 13):
        w.delete(b"key%05d" % i)
    w.db.close()


STORES = {
    "log only": write_log_only,
    "flushed tables": lambda p: write_flushed_tables(p, "snappy"),
    "one table": lambda p: write_one_table(p, None),
    "empty key, compactions, unflushed log": _empty_key_and_compactions,
    "more than a few batches": _more_than_a_few_batches,
}


@pytest.mark.parametrize("store", STORES)
def test_latest_is_what_the_library_iterator_gives(tmp_path, store):
    path = tmp_path / "db"
    STORES[store](path)
    with _vostrel.RawLevelDb(str(path)) as db:
        latest = [(r.user_key, r.value) for r in db.latest()]
        statuses = db.statuses()
        records = db.iterate_records_raw()
    assert latest == _library_view(path, tmp_path)
    assert len(statuses) == len(records)
    current_keys = [r.user_key for r, s in zip(records, statuses) if s == "current"]
    assert sorted(current_keys) == sorted(set(current_keys))  # one current record per key


def _store_with_a_leftover_table(tmp_path):
    """A store whose compactions left a table behind that the library then
    deleted, copied back in: the store's path and the leftover's name."""
    path, stash = tmp_path / "db", tmp_path / "stash"
    replaced = write_with_replaced_tables(path, stash, rounds=6)
    with _vostrel.RawLevelDb(str(path)) as clean:
        assert set(clean.statuses()) <= {"current", "superseded"}
    leftover = replaced[0]
    shutil.copy(stash / leftover, path / leftover)
    return path, leftover


def test_a_leftover_table_copied_back_is_exactly_orphaned(tmp_path):
    path, leftover = _store_with_a_leftover_table(tmp_path)
    with _vostrel.RawLevelDb(str(path)) as db:
        pairs = list(zip(db.iterate_records_raw(), db.statuses()))
        latest = [(r.user_key, r.value) for r in db.latest()]
    orphaned = {r.origin_file for r, s in pairs if s == "orphaned"}
    assert orphaned == {str(path / leftover)}
    assert all(s == "orphaned" for r, s in pairs if r.origin_file == str(path / leftover))
    assert latest == _library_view(path, tmp_path)


def _dump(*args):
    result = subprocess.run([sys.executable, "-m", "vostrel", "dump", "--no-progress", *map(str, args)],
                            capture_output=True, text=True, timeout=120)
    return result.returncode, result.stdout, result.stderr


def test_dump_status_field_is_last_and_says_what_statuses_says(tmp_path):
    path, leftover = _store_with_a_leftover_table(tmp_path)
    with _vostrel.RawLevelDb(str(path)) as db:
        records, statuses = db.iterate_records_raw(), db.statuses()
    assert statuses.count("orphaned") == sum(r.origin_file == str(path / leftover) for r in records)
    code, out, _ = _dump("--status", "--threads", "3", path)
    lines = [json.loads(line) for line in out.splitlines()]
    assert code == 0 and [line["status"] for line in lines] == statuses
    assert all(list(line)[-1] == "status" for line in lines)
    assert [line["seq"] for line in lines] == [r.seq for r in records]
    code, out, _ = _dump("--status", "--threads", "1", "--format", "csv", path)
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0][-2:] == ["was_compressed", "status"] and [row[-1] for row in rows[1:]] == statuses
    code, out, _ = _dump("--status", "--carve", path)
    fields = list(json.loads(out.splitlines()[0]))
    assert fields[-2:] == ["recovered", "status"]
    # Several stores, their data files shared out among threads: each its own.
    code, out, _ = _dump("--status", "--jobs", "3", path, tmp_path / "stash")
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line["status"] for line in lines if line["store"] == str(path)] == statuses
    # Without --status, the output is what it always was.
    assert _dump(path)[1] == _dump("--threads", "1", path)[1]
    assert '"status"' not in _dump(path)[1]


@pytest.mark.parametrize("store", STORES)
def test_dump_latest_is_what_the_library_iterator_gives(tmp_path, store):
    path = tmp_path / "db"
    STORES[store](path)
    code, out, _ = _dump("--latest", "--encoding", "hex", path)
    lines = [json.loads(line) for line in out.splitlines()]
    assert code == 0
    assert [(bytes.fromhex(l["user_key"]), bytes.fromhex(l["value"])) for l in lines] == \
        _library_view(path, tmp_path)
    code, out, _ = _dump("--latest", "--status", "--format", "csv", path)
    assert {row[-1] for row in list(csv.reader(io.StringIO(out)))[1:]} <= {"current"}
    assert _dump("--latest", "--reverse", path)[0] == 2


def test_chromium_latest_is_one_line_per_live_current_key():
    from test_chromium import STORES as CHROMIUM

    for directory in CHROMIUM.values():
        result = subprocess.run([sys.executable, "-m", "vostrel", "chromium", "--latest", "--status",
                                 str(directory)], capture_output=True, text=True, timeout=120)
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        with _vostrel.RawLevelDb(str(directory)) as db:
            latest = db.latest()
        assert result.returncode == 0 and len(lines) == len(latest)
        assert sorted((l["seq"], l["offset"]) for l in lines) == sorted((r.seq, r.offset) for r in latest)
        assert {l["status"] for l in lines} == {"current"}


def test_without_a_manifest_every_file_is_in_use_and_a_warning_says_so(tmp_path, small_db):
    path = tmp_path / "db"
    shutil.copytree(small_db.path, path)
    for manifest in path.glob("MANIFEST-*"):
        manifest.unlink()
    with _vostrel.RawLevelDb(str(path)) as db:
        with pytest.warns(RuntimeWarning, match="no readable manifest"):
            statuses = db.statuses()
    assert "orphaned" not in statuses and "current" in statuses
    code, out, err = _dump("--status", path)
    assert code == 1 and err.count("no readable manifest in") == 1
    assert [json.loads(line)["status"] for line in out.splitlines()] == statuses


def test_a_store_in_another_order_gives_the_same_answers(tmp_path):
    # Sorted by another comparator, the tables cannot be merged in bytewise
    # order: the answers come the other way, and are the same. Each session's
    # log becomes a table when the next one opens, on this thread (a Python
    # comparator must not run on the library's own: three tables, no
    # compaction).
    path = tmp_path / "db"
    reverse = dict(comparator=lambda a, b: (a < b) - (a > b), comparator_name=b"test.Reverse")
    for session in range(4):
        db = plyvel.DB(str(path), create_if_missing=True, **reverse)
        if session < 3:
            for i in range(400):
                db.put(b"k%04d" % (i * 7 % 300 + session * 50), b"session %d value %d" % (session, i))
            db.delete(b"k%04d" % (session * 60))
        expected = sorted(db.iterator())
        db.close()
    assert len(list(path.glob("*.ldb"))) == 3
    with _vostrel.RawLevelDb(str(path)) as raw:
        latest = [(r.user_key, r.value) for r in raw.latest()]
        pairs = list(zip(raw.iterate_records_raw(), raw.statuses()))
    assert latest == expected
    assert sorted((r.user_key, r.value) for r, s in pairs if s == "current" and r.state == _vostrel.KeyState.Live) == expected
    code, out, _ = _dump("--latest", "--encoding", "hex", path)
    assert code == 0 and [(bytes.fromhex(l["user_key"]), bytes.fromhex(l["value"]))
                          for l in map(json.loads, out.splitlines())] == expected
