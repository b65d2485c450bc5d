"""Whole databases written by LevelDB, read back through the module.

Two oracles check each database: the plain-Python decoder in conftest, which
fixes every field of every record (offsets included), and the history of writes,
which says what each record must contain and which records must survive.
"""

import gc
import os
import shutil
import struct

import pytest

import _vostrel
from conftest import (DELETED, LDB, LIVE, LOG, LOG_BLOCK_SIZE, UNKNOWN, as_tuple, data_files,
                      entry_path, expected_records, expected_records_by_file, log_logical_records,
                      log_physical_record, read_all, write_batch_bytes)


def tuples_of(in_dir, reverse=False):
    return [as_tuple(r) for r in read_all(str(in_dir), reverse=reverse)]


def user_key_of(t):
    key, file_type = t[0], t[4]
    return key[:-8] if file_type == LDB and len(key) >= 8 else key


def check_against_history(tuples, written):
    """Every record is one of the writes, byte for byte, under its own sequence
    number: a table key carries the trailer (seq << 8 | type), a log key none."""
    by_seq = written.by_seq
    for t in tuples:
        key, value, seq, state, file_type, _, _, compressed = t
        op = by_seq.get(seq)
        assert op is not None, f"record with a sequence number that was never written: {t!r:.200}"
        if file_type == LDB:
            assert struct.unpack("<Q", key[-8:])[0] == (seq << 8) | (op.kind == "put")
            if len(key) == 8:
                expected_state = UNKNOWN
            else:
                expected_state = LIVE if op.kind == "put" else DELETED
        else:
            assert file_type == LOG and not compressed
            expected_state = LIVE if op.kind == "put" else DELETED
        assert (user_key_of(t), value, state) == (op.key, op.value, expected_state)


def check_newest_versions(tuples, written):
    """LevelDB never drops the newest version of a key. A deletion marker may go
    once nothing older is left below it, but a deleted key never comes back."""
    by_seq = written.by_seq
    present = {t[2] for t in tuples}
    for key, op in written.newest.items():
        if op.kind == "put" or op.seq in present:
            assert op.seq in present, f"newest write of {key!r} (seq {op.seq}) missing"
        else:
            resurrected = [s for s in present if by_seq[s].key == key and by_seq[s].kind == "put"]
            assert not resurrected, f"deleted key {key!r} has puts {resurrected} but no deletion"


def check_tables_sorted(tuples):
    """Inside one table, entries are in internal-key order: user key ascending,
    then sequence number descending."""
    by_file = {}
    for t in tuples:
        if t[4] == LDB:
            by_file.setdefault(t[5], []).append((user_key_of(t), -t[2]))
    for path, keys in by_file.items():
        assert all(a < b for a, b in zip(keys, keys[1:])), path


def file_groups(tuples):
    """[(origin_file, [tuples...]), ...] in the order files appear; each file
    must appear as one contiguous run."""
    groups = []
    for t in tuples:
        if groups and groups[-1][0] == t[5]:
            groups[-1][1].append(t)
        else:
            assert t[5] not in [g[0] for g in groups], f"{t[5]} appears in two separate runs"
            groups.append((t[5], [t]))
    return groups


def test_log_only_database_returns_every_write_in_order(log_only_db):
    tuples = tuples_of(log_only_db.path)
    assert tuples == expected_records(str(log_only_db.path))
    assert [(t[0], t[1], t[2], t[3]) for t in tuples] == [
        (op.key, op.value, op.seq, LIVE if op.kind == "put" else DELETED) for op in log_only_db.ops]
    assert {t[4] for t in tuples} == {LOG}
    assert not any(t[7] for t in tuples)
    check_against_history(tuples, log_only_db)


def test_log_records_user_key_is_whole_key(log_only_db):
    for record in read_all(str(log_only_db.path)):
        assert record.user_key == record.key


def test_log_offsets_follow_the_end_of_the_physical_record(log_only_db):
    """The offset of a batch's first entry is the end of the physical record
    that carries the batch, plus the 12-byte batch header. For a batch in one
    full record, the entry's tag byte therefore lies one payload length before
    the offset, and the batch sequence number 12 bytes before that."""
    path = str(log_only_db.path)
    (_, name), = data_files(path)
    data = open(entry_path(path, name), "rb").read()
    by_seq = {r.seq: r for r in read_all(path)}
    logical = log_logical_records(data)
    assert len(logical) == len(log_only_db.ops) - 3  # one batch of four entries
    for end, payload in logical:
        record = by_seq[struct.unpack_from("<Q", payload)[0]]
        assert record.offset == end + 12
        header = end - len(payload) - 7
        assert data[header + 4:header + 7] == struct.pack("<HB", len(payload), 1)
        tag_position = record.offset - len(payload)
        assert data[tag_position] == (1 if record.state == _vostrel.KeyState.Live else 0)
        assert struct.unpack_from("<Q", data, tag_position - 12)[0] == record.seq


def test_values_larger_than_a_log_block(large_values_db):
    path = str(large_values_db.path)
    tuples = tuples_of(path)
    assert tuples == expected_records(path)
    assert [(t[0], t[1], t[2], t[3]) for t in tuples] == [
        (op.key, op.value, op.seq, LIVE if op.kind == "put" else DELETED) for op in large_values_db.ops]
    # The data really is fragmented: a batch split over blocks starts right
    # after a first fragment that fills its block to the end.
    (_, name), = data_files(path)
    logical = log_logical_records(open(entry_path(path, name), "rb").read())
    assert any(offset % LOG_BLOCK_SIZE == 0 for offset, _ in logical)
    assert max(len(t[1]) for t in tuples) == 100 * 1024


def test_flushed_tables_and_logs(flushed_db):
    path = str(flushed_db.path)
    tuples = tuples_of(path)
    assert tuples == expected_records(path)
    check_against_history(tuples, flushed_db)
    check_newest_versions(tuples, flushed_db)
    check_tables_sorted(tuples)

    # Whatever LevelDB's background work finished, both kinds of file are read:
    # flushed tables, and the log holding the writes after the last flush.
    kinds = {t[4] for t in tuples}
    assert kinds == {LDB, LOG}
    assert flushed_db.ops[-1].seq in {t[2] for t in tuples if t[4] == LOG}


def test_snappy_and_raw_blocks(flushed_db, request):
    compressed = {t[7] for t in tuples_of(flushed_db.path) if t[4] == LDB}
    if request.node.callspec.id.endswith("snappy"):
        # Repetitive values compress; blocks of mostly random values are kept raw.
        assert compressed == {True, False}
    else:
        assert compressed == {False}


def test_compressed_records_share_their_block_offset(flushed_db):
    """Records of a compressed block all carry the block's own offset; records of
    a raw block carry the offset of their entry, which is strictly increasing."""
    for _, group in file_groups(tuples_of(flushed_db.path)):
        if group[0][4] != LDB:
            continue
        offsets = [t[6] for t in group]
        assert offsets == sorted(offsets)
        raw = [t[6] for t in group if not t[7]]
        assert len(raw) == len(set(raw))


def test_one_table_holds_the_whole_history(one_table_db):
    path = str(one_table_db.path)
    tuples = tuples_of(path)
    assert tuples == expected_records(path)
    check_against_history(tuples, one_table_db)
    check_tables_sorted(tuples)
    assert {t[4] for t in tuples} == {LDB}
    assert len({t[5] for t in tuples}) == 1
    # Every put and every deletion, each exactly once, in internal-key order.
    assert [(user_key_of(t), t[2]) for t in tuples] == sorted(
        ((op.key, op.seq) for op in one_table_db.ops), key=lambda ks: (ks[0], -ks[1]))
    assert {t[3] for t in tuples} == {DELETED, LIVE, UNKNOWN}


def test_empty_user_key_in_a_table(one_table_db):
    empty = [r for r in read_all(str(one_table_db.path)) if r.user_key == b""]
    assert len(empty) == 1
    record = empty[0]
    op = one_table_db.newest[b""]
    assert len(record.key) == 8
    assert record.state == _vostrel.KeyState.Unknown
    assert record.seq == op.seq
    assert record.value == op.value
    assert record.file_type == _vostrel.FileType.Ldb


def test_compaction_leaves_exactly_the_live_state(compacted_db):
    path = str(compacted_db.path)
    tuples = tuples_of(path)
    assert tuples == expected_records(path)
    check_against_history(tuples, compacted_db)
    check_tables_sorted(tuples)
    assert {t[4] for t in tuples} == {LDB}
    assert DELETED not in {t[3] for t in tuples}
    live = {key: (op.seq, op.value) for key, op in compacted_db.newest.items() if op.kind == "put"}
    got = [(user_key_of(t), (t[2], t[1])) for t in tuples]
    assert len(got) == len(live)
    assert dict(got) == live


def test_files_come_in_number_order(flushed_db):
    path = str(flushed_db.path)
    groups = file_groups(tuples_of(path))
    numbers = [int(os.path.basename(p)[:6]) for p, _ in groups]
    assert numbers == sorted(numbers)
    with_records = [p for p, records in expected_records_by_file(path) if records]
    assert [p for p, _ in groups] == with_records
    for origin, group in groups:
        expected_type = LOG if origin.endswith(".log") else LDB
        assert {t[4] for t in group} == {expected_type}
        assert origin == entry_path(path, os.path.basename(origin))


def test_reverse_reverses_whole_files_only(flushed_db):
    forward = file_groups(tuples_of(flushed_db.path))
    backward = file_groups(tuples_of(flushed_db.path, reverse=True))
    assert len(forward) >= 2
    assert backward == forward[::-1]


def test_repeated_iteration_is_equal(flushed_db):
    with _vostrel.RawLevelDb(str(flushed_db.path)) as db:
        first = [as_tuple(r) for r in db.iterate_records_raw()]
        second = [as_tuple(r) for r in db.iterate_records_raw()]
        assert first == second
        assert [as_tuple(r) for r in db.iterate_records_raw(reverse=False)] == first


def test_reader_keeps_the_files_it_opened(flushed_db, tmp_path):
    """Files are listed and mapped once at open: removing them afterwards or
    adding new ones changes nothing for that reader."""
    path = tmp_path / "db"
    shutil.copytree(flushed_db.path, path)
    before = expected_records(str(path))
    db = _vostrel.RawLevelDb(str(path))
    names = [name for _, name in data_files(str(path))]
    table = next(name for name in names if name.endswith(".ldb"))
    shutil.copy(path / table, path / "999999.ldb")
    for name in names:
        os.unlink(path / name)
    assert [as_tuple(r) for r in db.iterate_records_raw()] == before
    db.close()
    # A new reader sees the directory as it is now.
    after = read_all(str(path))
    assert after and {r.origin_file for r in after} == {str(path / "999999.ldb")}


@pytest.mark.parametrize("form", ["relative", "dot-relative", "trailing-slash", "non-ascii"])
def test_origin_file_joins_the_path_as_given(small_db, tmp_path, monkeypatch, form):
    target = {"non-ascii": "dåtå-ü€"}.get(form, "db")
    shutil.copytree(small_db.path, tmp_path / target)
    monkeypatch.chdir(tmp_path)
    in_dir = {"relative": "db", "dot-relative": "./db", "trailing-slash": str(tmp_path) + "/db/",
              "non-ascii": "dåtå-ü€"}[form]
    with _vostrel.RawLevelDb(in_dir) as db:
        assert db.in_dir_path == in_dir
        records = db.iterate_records_raw()
    names = [name for _, name in data_files(in_dir)]
    assert {r.origin_file for r in records} == {entry_path(in_dir, n) for n in names
                                                if os.path.getsize(os.path.join(in_dir, n))}
    assert [as_tuple(r) for r in records] == expected_records(in_dir)
    assert all("//" not in r.origin_file for r in records)


@pytest.mark.parametrize("reverse", [False, True])
def test_empty_directory_gives_empty_list(tmp_path, reverse):
    with _vostrel.RawLevelDb(str(tmp_path)) as db:
        assert db.iterate_records_raw(reverse=reverse) == []


def test_hand_built_batch_offsets(tmp_path):
    """One full record at file position 0 with the batch sequence 100, count 3:
    a put, a deletion and a put. The physical record ends at 32, so entry
    offsets are 32 + 12 + the tag position in the body."""
    body = bytes.fromhex("0101610131" "000162" "0101630132")
    payload = write_batch_bytes(100, 3, body)
    assert len(payload) == 25
    (tmp_path / "000001.log").write_bytes(log_physical_record(1, payload))
    path = str(tmp_path / "000001.log")
    records = read_all(str(tmp_path))
    assert [as_tuple(r) for r in records] == [
        (b"a", b"1", 100, LIVE, LOG, path, 44, False),
        (b"b", b"", 101, DELETED, LOG, path, 49, False),
        (b"c", b"2", 102, LIVE, LOG, path, 52, False),
    ]
    assert [repr(r) for r in records] == [
        "Record(key=<1 bytes>, value=<1 bytes>, seq=100, state=Live, file_type=Log)",
        "Record(key=<1 bytes>, value=<0 bytes>, seq=101, state=Deleted, file_type=Log)",
        "Record(key=<1 bytes>, value=<1 bytes>, seq=102, state=Live, file_type=Log)",
    ]


def test_hand_built_batch_sequence_wraps_and_unknown_tag(tmp_path):
    body = bytes.fromhex("0101610131" "000162" "07016b0176")
    payload = write_batch_bytes(2**64 - 1, 3, body)
    (tmp_path / "000002.log").write_bytes(log_physical_record(1, payload))
    records = read_all(str(tmp_path))
    assert [(r.key, r.value, r.seq, int(r.state)) for r in records] == [
        (b"a", b"1", 2**64 - 1, LIVE), (b"b", b"", 0, DELETED), (b"k", b"v", 1, UNKNOWN)]
    assert records[0].seq == 18446744073709551615
    assert str(records[0]) == (
        "Record(key=<1 bytes>, value=<1 bytes>, seq=18446744073709551615, state=Live, file_type=Log)")
    assert records[2].state == _vostrel.KeyState.Unknown


# --------------------------------------------------------------------------
# Resources


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def mappings_under(path):
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if str(path) in line)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_close_and_destruction_release_descriptors_and_mappings(small_db):
    path = str(small_db.path)
    files = [n for _, n in data_files(path)]
    non_empty = [n for n in files if os.path.getsize(os.path.join(path, n))]
    fds = open_descriptors()
    # Every non-empty data file stays mapped while the reader is open (the
    # manifest may be too); at most one descriptor per file is held.
    db = _vostrel.RawLevelDb(path)
    assert open_descriptors() <= fds + len(files) + 1
    assert mappings_under(path) >= len(non_empty)
    db.close()
    assert open_descriptors() == fds
    assert mappings_under(path) == 0

    db = _vostrel.RawLevelDb(path)
    assert mappings_under(path) >= len(non_empty)
    del db
    gc.collect()
    assert open_descriptors() == fds
    assert mappings_under(path) == 0

    with _vostrel.RawLevelDb(path):
        assert mappings_under(path) >= len(non_empty)
    assert open_descriptors() == fds
    assert mappings_under(path) == 0


def test_many_cycles_do_not_grow_memory_or_descriptors(small_db, tmp_path):
    path = str(small_db.path)
    missing = str(tmp_path / "missing")

    def cycle():
        db = _vostrel.RawLevelDb(path)
        records = db.iterate_records_raw()
        assert len(records) == len(small_db.ops)
        for r in records[:3]:
            r.key, r.value, r.user_key, r.state, r.file_type, r.origin_file, repr(r)
        db.iterate_records_raw(reverse=True)
        db.in_dir_path
        db.close()
        with pytest.raises(RuntimeError):
            db.iterate_records_raw()
        with _vostrel.RawLevelDb(in_dir=path) as db2:
            db2.iterate_records_raw()
        with pytest.raises(ValueError):
            _vostrel.RawLevelDb(missing)
        with pytest.raises(TypeError):
            _vostrel.RawLevelDb(path).iterate_records_raw(reverse=1)

    for _ in range(300):
        cycle()
    gc.collect()
    fds = open_descriptors()
    rss = resident_bytes()
    for _ in range(3000):
        cycle()
    gc.collect()
    assert open_descriptors() == fds
    growth = resident_bytes() - rss
    assert growth < 1 << 20, f"resident memory grew by {growth} bytes over 3000 cycles"
