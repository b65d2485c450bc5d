"""vostrel.dask and the per-file reading under it (_vostrel.data_file_columns).

The frame of many stores must hold exactly what iterate_records_raw gives for
each store, in the same order, with the documented dtypes, on the default
scheduler and on a dask.distributed cluster of worker processes.
"""

from __future__ import annotations

import os

import pytest

from conftest import as_tuple, read_all

_vostrel = pytest.importorskip("_vostrel")

STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}
FILE_TYPE_NAMES = {1: "ldb", 2: "log"}


def expected_rows(stores):
    return [(store, r.key, r.user_key, r.value, r.seq, STATE_NAMES[int(r.state)],
             FILE_TYPE_NAMES[int(r.file_type)], r.origin_file, r.offset, r.was_compressed)
            for store in stores for r in read_all(store)]


def rows_of(frame):
    return [tuple(row) for row in frame.itertuples(index=False)]


def test_data_file_columns_union_is_the_directory(store_tree):
    for store in store_tree.stores:
        got = []
        for path, _, _ in _vostrel.data_files(store):
            c = _vostrel.data_file_columns(path)
            count = len(c["key"])
            seqs = memoryview(c["seq"]).cast("Q")
            offsets = memoryview(c["offset"]).cast("Q")
            assert len(seqs) == len(offsets) == len(c["state"]) == len(c["value"]) == count
            assert len(c["user_key"]) == len(c["was_compressed"]) == len(c["file_type"]) == count
            got += [(c["key"][i], c["value"][i], seqs[i], c["state"][i], c["file_type"][i],
                     c["origin_file"], offsets[i], bool(c["was_compressed"][i]))
                    for i in range(count)]
        assert got == [as_tuple(r) for r in read_all(store)]


def test_data_file_columns_reads_what_the_directory_reader_reads(tmp_path):
    """A name the reader does not take is refused; a path it would leave out
    (gone, a directory, a FIFO that would block an open) has no records."""
    os.mkdir(tmp_path / "000007.ldb")
    os.mkfifo(tmp_path / "000008.log")
    for name in ("000006.ldb", "000007.ldb", "000008.log"):
        assert _vostrel.data_file_columns(str(tmp_path / name))["key"] == []
    for path in (str(tmp_path / "MANIFEST-000001"), str(tmp_path), "000006.ldb\0x", "00006.ldb"):
        with pytest.raises(ValueError):
            _vostrel.data_file_columns(path)
    with pytest.raises(TypeError):
        _vostrel.data_file_columns(b"000006.ldb")


def test_partition_columns_are_the_files_columns_in_turn(store_tree):
    np = pytest.importorskip("numpy")
    paths = [path for store in store_tree.stores for path, _, _ in _vostrel.data_files(store)]
    arrays = []
    c = _vostrel.partition_columns(iter(paths), lambda n: arrays.extend(
        np.empty(n, dtype=object) for _ in range(3)) or arrays)
    each = [_vostrel.data_file_columns(path) for path in paths]
    assert c["counts"] == [len(f["key"]) for f in each] and sum(c["counts"]) > 0
    assert c["origin_file"] == [f["origin_file"] for f in each]
    for name, array in zip(("key", "user_key", "value"), arrays):
        assert list(array) == [item for f in each for item in f[name]]
    for name in ("seq", "state", "file_type", "offset", "was_compressed"):
        assert c[name] == bytearray(b"".join(f[name] for f in each))


def test_partition_columns_refuses_what_it_cannot_fill(store_tree):
    """Names are checked before anything is read; arrays that are not one
    writable object slot per record are refused, and the keys already moved
    stay whole."""
    np = pytest.importorskip("numpy")
    path = _vostrel.data_files(store_tree.stores[0])[0][0]
    called = []
    with pytest.raises(ValueError):
        _vostrel.partition_columns([path, "MANIFEST-000001"], called.append)
    assert called == []
    n = len(_vostrel.data_file_columns(path)["key"])
    good = lambda: np.empty(n, dtype=object)
    read_only = good()
    read_only.flags.writeable = False
    for arrays, error in [((good(), good()), ValueError),
                          ((good(), good(), np.empty(n + 1, dtype=object)), ValueError),
                          ((good(), good(), np.zeros(n, dtype=np.int64)), ValueError),
                          ((good(), good(), read_only), (ValueError, BufferError)),
                          ((good(), good(), b"x" * 8 * n), (ValueError, BufferError, TypeError)),
                          ((good(), good(), good()[::2]), ValueError)]:
        with pytest.raises(error):
            _vostrel.partition_columns([path], lambda count: arrays)
        assert list(arrays[0]) == (_vostrel.data_file_columns(path)["key"] if len(arrays) == 3
                                   else [None] * n)
    with pytest.raises(ZeroDivisionError):
        _vostrel.partition_columns([path], lambda count: 1 / 0)


@pytest.mark.parametrize("partition_bytes", [0, 65536, None])
def test_frame_equals_the_stores_records(store_tree, partition_bytes):
    """Whole files in partitions of any size: the same rows in the same order."""
    pytest.importorskip("dask.dataframe")
    from vostrel.dask import META, PARTITION_BYTES, read_stores
    files = sum(len(_vostrel.data_files(s)) for s in store_tree.stores)
    frame = read_stores(store_tree.stores, PARTITION_BYTES if partition_bytes is None
                        else partition_bytes)
    if partition_bytes == 0:
        assert frame.npartitions == files
    else:
        assert 1 <= frame.npartitions < files
    assert dict(frame.dtypes) == dict(META.dtypes)
    computed = frame.compute()
    assert dict(computed.dtypes) == dict(META.dtypes)
    assert rows_of(computed) == expected_rows(store_tree.stores)
    assert len(read_stores([])) == 0
    # Dask reuses results by name: the same stores give the same name, other
    # stores or other partitions another.
    again = read_stores(list(store_tree.stores), frame_bytes := (PARTITION_BYTES if partition_bytes is None
                                                                 else partition_bytes))
    assert again._name == frame._name
    assert read_stores(store_tree.stores[1:], frame_bytes)._name != frame._name
    assert read_stores(store_tree.stores, 0)._name != read_stores(store_tree.stores, 1 << 30)._name


def test_partition_frames_can_be_changed_in_place(store_tree):
    """A partition's columns are the frame's own: assigning into any of them
    works (numeric columns viewing read-only bytes used to refuse it)."""
    pytest.importorskip("dask.dataframe")
    from vostrel.dask import partition_frame, partitions

    frame = partition_frame(partitions(store_tree.stores, 0)[0])
    first = frame.index[0]
    for column, value in [("seq", 7), ("offset", 9), ("was_compressed", True), ("state", "x"),
                          ("key", b"k")]:
        frame.loc[first, column] = value
        assert frame.loc[first, column] == value


# Debian's distributed calls a tornado function that tornado 6.2 deprecates.
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_distributed_cluster_reads_and_shuts_down(store_tree):
    distributed = pytest.importorskip("distributed")
    from vostrel.dask import read_stores

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            frame = read_stores(store_tree.stores)
            per_state = client.compute(frame.groupby("state").size()).result()
            computed = client.compute(frame).result()
        assert client.status == "closed"
    assert cluster.status.name == "closed"
    rows = expected_rows(store_tree.stores)
    assert rows_of(computed) == rows
    assert dict(per_state) == {state: sum(1 for r in rows if r[5] == state)
                               for state in {r[5] for r in rows}}


def test_partition_columns_ends_on_a_pending_signal(store_tree):
    """A signal raised while the files are read ends the call with the
    handler's exception before any column is filled."""
    import signal

    path = _vostrel.data_files(store_tree.stores[0])[0][0]
    allocated = []

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            _vostrel.partition_columns([path] * 200_000, allocated.append)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert allocated == []


def test_status_column_is_what_statuses_gives(store_tree):
    from vostrel.dask import META, META_WITH_STATUS, read_stores

    frame = read_stores(store_tree.stores, 1 << 10, status=True)
    assert list(frame.dtypes.index) == list(META_WITH_STATUS.columns) == [*META.columns, "status"]
    computed = frame.compute(scheduler="sync")
    expected = []
    for store in store_tree.stores:
        with _vostrel.RawLevelDb(store) as db:
            expected += db.statuses()
    assert list(computed["status"]) == expected and "current" in expected
    assert rows_of(computed.drop(columns="status")) == expected_rows(store_tree.stores)
