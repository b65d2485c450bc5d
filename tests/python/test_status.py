"""Current, superseded, orphaned: RawLevelDb.statuses() and latest() against
what the real library itself reads from the same stores."""

from __future__ import annotations

import shutil

import plyvel
import pytest

import _vostrel
from conftest import DbWriter, write_flushed_tables, write_log_only, write_one_table


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


STORES = {
    "log only": write_log_only,
    "flushed tables": lambda p: write_flushed_tables(p, "snappy"),
    "one table": lambda p: write_one_table(p, None),
    "empty key, compactions, unflushed log": _empty_key_and_compactions,
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


def test_a_leftover_table_copied_back_is_exactly_orphaned(tmp_path):
    path, stash = tmp_path / "db", tmp_path / "stash"
    stash.mkdir()
    db = plyvel.DB(str(path), create_if_missing=True, write_buffer_size=64 * 1024)
    for round_ in range(6):
        for i in range(2000):
            db.put(b"k%05d" % ((i * 7 + round_) % 5000), b"v%d" % round_ * 20)
        for table in path.glob("*.ldb"):
            try:
                shutil.copy(table, stash / table.name)
            except FileNotFoundError:  # a background compaction was quicker
                pass
    db.compact_range()  # waited for: no background work cut short by the close
    db.close()
    plyvel.DB(str(path)).close()  # opening deletes what compactions left behind
    with _vostrel.RawLevelDb(str(path)) as clean:
        assert set(clean.statuses()) <= {"current", "superseded"}
    leftover = sorted(set(p.name for p in stash.glob("*.ldb")) - set(p.name for p in path.glob("*.ldb")))[0]
    shutil.copy(stash / leftover, path / leftover)
    with _vostrel.RawLevelDb(str(path)) as db:
        pairs = list(zip(db.iterate_records_raw(), db.statuses()))
        latest = [(r.user_key, r.value) for r in db.latest()]
    orphaned = {r.origin_file for r, s in pairs if s == "orphaned"}
    assert orphaned == {str(path / leftover)}
    assert all(s == "orphaned" for r, s in pairs if r.origin_file == str(path / leftover))
    assert latest == _library_view(path, tmp_path)


def test_without_a_manifest_every_file_is_in_use_and_a_warning_says_so(tmp_path, small_db):
    path = tmp_path / "db"
    shutil.copytree(small_db.path, path)
    for manifest in path.glob("MANIFEST-*"):
        manifest.unlink()
    with _vostrel.RawLevelDb(str(path)) as db:
        with pytest.warns(RuntimeWarning, match="no readable manifest"):
            statuses = db.statuses()
    assert "orphaned" not in statuses and "current" in statuses
