"""Streaming: RawLevelDb.iter_records against iterate_records_raw on stores
written by the real library, and what close() does to a live iterator."""

from __future__ import annotations

import gc

import pytest

import _vostrel
import conftest
from conftest import as_tuple

WRITERS = {
    "log_only": conftest.write_log_only,
    "large_values": conftest.write_large_values,
    "flushed_snappy": lambda p: conftest.write_flushed_tables(p, "snappy"),
    "one_table_raw": lambda p: conftest.write_one_table(p, None),
    "compacted_snappy": lambda p: conftest.write_compacted(p, "snappy"),
}


@pytest.fixture(scope="module")
def stores(tmp_path_factory) -> dict:
    """Every kind of store the shared fixtures write, by name."""
    root = tmp_path_factory.mktemp("streaming")
    return {name: str(write(root / name).path) for name, write in WRITERS.items()}


@pytest.mark.parametrize("store", WRITERS)
@pytest.mark.parametrize("reverse", [False, True])
def test_iter_records_equals_iterate_records_raw(stores, store, reverse):
    with _vostrel.RawLevelDb(stores[store]) as db:
        whole = [as_tuple(r) for r in db.iterate_records_raw(reverse=reverse)]
        streamed = [as_tuple(r) for r in db.iter_records(reverse=reverse)]
    assert streamed == whole and whole


def test_close_while_iterating(flushed_db):
    db = _vostrel.RawLevelDb(str(flushed_db.path))
    whole = [as_tuple(r) for r in db.iterate_records_raw()]
    assert len(whole) > 1000  # more than one refill
    it = db.iter_records()
    kept = [next(it) for _ in range(3)]
    db.close()  # the iterator holds no access between next() calls
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        next(it)
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        next(it)
    gc.collect()
    assert [as_tuple(r) for r in kept] == whole[:3]
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        db.iter_records()


def test_iterators_are_independent_and_end_for_good(small_db):
    with _vostrel.RawLevelDb(str(small_db.path)) as db:
        a, b = db.iter_records(), db.iter_records(reverse=True)
        assert iter(a) is a
        first = next(a)
        rest_b = list(b)
        assert [as_tuple(r) for r in [first, *a]] == [as_tuple(r) for r in db.iterate_records_raw()]
        assert [as_tuple(r) for r in rest_b] == [as_tuple(r) for r in db.iterate_records_raw(reverse=True)]
        assert next(a, None) is None and next(b, None) is None
        with pytest.raises(TypeError):
            db.iter_records(reverse=1)
        with pytest.raises(TypeError):
            db.iter_records(True)
