"""Record objects: properties, text form, identity semantics, immutability."""

import gc
import inspect
import operator
import shutil
import struct
import weakref

import pytest

import _vostrel
from _vostrel import FileType, KeyState, Record
from conftest import DbWriter, as_tuple, read_all

PROPERTIES = ["key", "value", "seq", "state", "file_type", "origin_file", "offset",
              "was_compressed", "user_key", "recovered"]


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """A table holding seven records (seq 1 is the empty key, seq 7 the key k),
    then a log holding the puts 8 to 100 and the deletion of abc as seq 101."""
    path = tmp_path_factory.mktemp("records") / "db"
    w = DbWriter(path)
    w.put(b"", b"e")
    for i in range(5):
        w.put(b"a%d" % i, b"value %d" % i)
    w.put(b"k", b"1")
    w.compact()
    for i in range(8, 101):
        w.put(b"p%03d" % i, b"log value %d" % i)
    w.delete(b"abc")
    w.close()
    return read_all(str(path))


def find(records, **fields):
    found = [r for r in records if all(getattr(r, k) == v for k, v in fields.items())]
    assert len(found) == 1, fields
    return found[0]


def test_property_types(records):
    for r in records:
        assert type(r) is Record
        for name in ("key", "value", "user_key"):
            assert type(getattr(r, name)) is bytes
        assert type(r.seq) is int and type(r.offset) is int
        assert type(r.state) is KeyState
        assert type(r.file_type) is FileType
        assert type(r.origin_file) is str
        assert type(r.was_compressed) is bool


def test_text_form_of_a_table_record(records):
    r = find(records, seq=7)
    assert r.file_type == FileType.Ldb
    assert (r.key, r.value, r.user_key) == (b"k" + struct.pack("<Q", 7 << 8 | 1), b"1", b"k")
    text = "Record(key=<9 bytes>, value=<1 bytes>, seq=7, state=Live, file_type=Ldb)"
    assert repr(r) == text
    assert str(r) == text


def test_text_form_of_a_log_deletion(records):
    r = find(records, seq=101)
    text = "Record(key=<3 bytes>, value=<0 bytes>, seq=101, state=Deleted, file_type=Log)"
    assert repr(r) == text
    assert str(r) == text
    assert (r.key, r.value, r.user_key) == (b"abc", b"", b"abc")
    assert r.state == KeyState.Deleted
    assert r.was_compressed is False


def test_eight_byte_table_key_has_empty_user_key(records):
    r = find(records, seq=1)
    assert r.file_type == FileType.Ldb
    assert len(r.key) == 8
    assert r.user_key == b""
    assert r.state == KeyState.Unknown
    assert repr(r) == "Record(key=<8 bytes>, value=<1 bytes>, seq=1, state=Unknown, file_type=Ldb)"


def test_properties_declared_in_order():
    declared = [name for name, attr in vars(Record).items()
                if not name.startswith("_") and inspect.isdatadescriptor(attr)]
    assert declared == PROPERTIES
    assert [name for name in vars(Record) if not name.startswith("_")] == PROPERTIES


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(records, name):
    r = records[0]
    before = getattr(r, name)
    with pytest.raises(AttributeError):
        setattr(r, name, before)
    with pytest.raises(AttributeError):
        delattr(r, name)
    assert getattr(r, name) == before


def test_no_new_attributes_no_dict_no_weakref(records):
    r = records[0]
    with pytest.raises(AttributeError):
        r.extra = 1
    assert not hasattr(r, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(r)


def test_every_read_builds_a_new_object(records):
    r = find(records, seq=7)
    # Empty and one-byte bytes objects are shared singletons in CPython, so only
    # longer values can show whether a copy is made.
    assert len(r.key) > 1 and len(r.user_key) == 1
    assert r.key is not r.key
    log = find(records, seq=100)
    for name in ("key", "value", "user_key"):
        assert len(getattr(log, name)) > 1
        assert getattr(log, name) is not getattr(log, name)
        assert getattr(log, name) == getattr(log, name)
    for name in ("state", "file_type"):
        assert getattr(r, name) is not getattr(r, name)
    assert r.state == KeyState.Live and r.state is not KeyState.Live
    assert r.file_type == FileType.Ldb and r.file_type is not FileType.Ldb


def test_equality_and_hash_are_by_identity(records, tmp_path):
    r = records[0]
    assert r == r
    assert not (r != r)
    assert hash(r) == object.__hash__(r)
    assert len({r, r}) == 1
    assert "__eq__" not in vars(Record) and "__hash__" not in vars(Record)
    others = [x for x in records if x is not r]
    assert all(r != other for other in others)
    # Two records with identical contents are still two different records.
    path = tmp_path / "000001.log"
    path.write_bytes(b"\0\0\0\0" + struct.pack("<HB", 17, 1) +
                     struct.pack("<QI", 1, 1) + b"\x01\x01a\x01b")
    first, = read_all(str(tmp_path))
    second, = read_all(str(tmp_path))
    assert as_tuple(first) == as_tuple(second)
    assert first != second
    assert not (first == second)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_ordering_raises(records, op):
    with pytest.raises(TypeError):
        op(records[0], records[1])


def test_no_constructor():
    for args in [(), (b"k",), (b"k", b"v", 1)]:
        with pytest.raises(TypeError) as info:
            Record(*args)
        assert str(info.value) == "No constructor defined for Record"


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Record,), {})


def test_records_outlive_their_reader_and_files(small_db, tmp_path):
    path = tmp_path / "db"
    shutil.copytree(small_db.path, path)
    db = _vostrel.RawLevelDb(str(path))
    records = db.iterate_records_raw()
    snapshot = [as_tuple(r) + (r.user_key, repr(r)) for r in records]
    db.close()
    del db
    shutil.rmtree(path)
    gc.collect()
    assert [as_tuple(r) + (r.user_key, repr(r)) for r in records] == snapshot


def test_seq_reaches_the_top_of_the_unsigned_range(tmp_path):
    # One full record: a batch with sequence 2^64 - 1 and two puts; the second
    # entry's sequence number wraps around to 0.
    payload = struct.pack("<QI", 2**64 - 1, 2) + bytes.fromhex("0101610131" "0101620132")
    (tmp_path / "000003.log").write_bytes(b"\0\0\0\0" + struct.pack("<HB", len(payload), 1) + payload)
    top, wrapped = read_all(str(tmp_path))
    assert top.seq == 18446744073709551615
    assert wrapped.seq == 0
    assert repr(top) == ("Record(key=<1 bytes>, value=<1 bytes>, seq=18446744073709551615, "
                         "state=Live, file_type=Log)")


def test_records_made_in_memory_freed_by_earlier_ones_keep_every_behaviour(tmp_path):
    # Records of varied sizes read again and again, most dropped at once, so
    # that later ones are made in the memory of earlier ones: the few kept
    # must still hold their own values and text form, and stay distinct.
    w = DbWriter(tmp_path)
    for i in range(3000):
        w.put(b"key-%05d" % i, bytes([i % 251]) * (i % 700))
    w.compact()
    for i in range(0, 3000, 7):
        w.put(b"key-%05d" % i, b"again %d" % i)
    w.close()
    reference = [(as_tuple(r), repr(r)) for r in read_all(str(tmp_path))]
    db = _vostrel.RawLevelDb(str(tmp_path))
    # latest() makes its records in memory its reading threads filled, shared
    # by the records of a batch: one kept must outlive the rest of its batch.
    latest_reference = [(as_tuple(r), repr(r)) for r in db.latest()]
    ways = [(lambda: iter(db.iterate_records_raw()), reference), (db.iter_records, reference),
            (lambda: iter(db.latest()), latest_reference)]
    kept = []
    for round_ in range(9):
        make, expected = ways[round_ % 3]
        records = make()
        for i, r in enumerate(records):
            if i % 97 == round_:
                kept.append((i, r, expected))
        del records
        gc.collect()
    db.close()
    assert len(kept) > 200
    for i, r, expected in kept:
        assert (as_tuple(r), repr(r)) == expected[i]
    objects = [r for _, r, _ in kept]
    assert len({id(r) for r in objects}) == len(objects) == len(set(objects))
