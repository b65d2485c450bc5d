"""Shared fixtures for the `_vostrel` tests.

Databases are written at test time by the real LevelDB library (through plyvel),
and every write is remembered with the sequence number LevelDB gives it, so a
record that comes back can be checked against what was actually written.

The second oracle, `expected_records`, decodes the data files of a directory in
plain Python (log framing and write batches; table footer, index, blocks and a
small Snappy decoder). It knows nothing of the extension, so comparing its output
with `iterate_records_raw` checks every field of every record, offsets included.
"""

from __future__ import annotations

import dataclasses
import os
import re
import struct
from pathlib import Path

import plyvel
import pytest

LOG_BLOCK_SIZE = 32768
LOG_HEADER_SIZE = 7
TABLE_MAGIC = 0xDB4775248B80FB57
FOOTER_SIZE = 48

# Integer values of the two enumerations as the module exposes them.
DELETED, LIVE, UNKNOWN = 0, 1, 2
LDB, LOG = 1, 2


# --------------------------------------------------------------------------
# Writing genuine databases and remembering every write


@dataclasses.dataclass(frozen=True)
class Op:
    seq: int
    kind: str  # "put" or "delete"
    key: bytes
    value: bytes  # b"" for a deletion


class DbWriter:
    """A plyvel database that records each put and delete with its sequence
    number. A fresh LevelDB database hands out sequence numbers from 1, one per
    entry, and a write batch takes consecutive numbers in entry order."""

    def __init__(self, path: Path, **options):
        self.path = Path(path)
        self.db = plyvel.DB(str(self.path), create_if_missing=True, error_if_exists=True, **options)
        self.ops: list[Op] = []
        self.last_seq = 0

    def _remember(self, kind, key, value):
        self.last_seq += 1
        self.ops.append(Op(self.last_seq, kind, key, value))

    def put(self, key: bytes, value: bytes):
        self.db.put(key, value)
        self._remember("put", key, value)

    def delete(self, key: bytes):
        self.db.delete(key)
        self._remember("delete", key, b"")

    def batch(self, entries):
        """entries: (key, value) for a put, (key, None) for a deletion."""
        assert entries, "an empty batch takes no sequence number"
        with self.db.write_batch() as wb:
            for key, value in entries:
                if value is None:
                    wb.delete(key)
                else:
                    wb.put(key, value)
        for key, value in entries:
            if value is None:
                self._remember("delete", key, b"")
            else:
                self._remember("put", key, value)

    def compact(self):
        # Name the whole key range: without bounds plyvel passes two empty keys,
        # and LevelDB then only flushes the memtable.
        self.db.compact_range(start=b"", stop=b"\xff" * 64)

    def close(self):
        self.db.close()


@dataclasses.dataclass
class WrittenDb:
    path: Path
    ops: list[Op]

    @property
    def by_seq(self):
        return {op.seq: op for op in self.ops}

    @property
    def newest(self):
        newest = {}
        for op in self.ops:
            newest[op.key] = op
        return newest


def value_for(i: int, size: int, compressible: bool) -> bytes:
    """Deterministic values: repetitive text compresses well; the pseudo-random
    bytes do not, so LevelDB stores their blocks raw even with Snappy on."""
    if compressible:
        unit = b"value-%06d-" % i
        return (unit * (size // len(unit) + 1))[:size]
    out = bytearray()
    state = (i * 2654435761 + 12345) & 0xFFFFFFFF
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += state.to_bytes(4, "little")
    return bytes(out[:size])


def write_log_only(path: Path) -> WrittenDb:
    """Everything stays in the write-ahead log: puts, overwrites, deletions of
    existing and of never-written keys, batches, an empty key and an empty value."""
    w = DbWriter(path)
    for i in range(40):
        w.put(b"key-%03d" % i, value_for(i, 20 + i, compressible=i % 2 == 0))
    for i in range(0, 40, 3):
        w.put(b"key-%03d" % i, b"overwritten-%d" % i)
    for i in range(0, 40, 5):
        w.delete(b"key-%03d" % i)
    w.delete(b"never-written")
    w.put(b"", b"value of the empty key")
    w.put(b"empty-value", b"")
    w.put(bytes(range(256)), bytes(range(255, -1, -1)))
    w.batch([(b"batch-a", b"1"), (b"batch-b", None), (b"batch-c", b"3" * 300), (b"key-001", None)])
    w.put(b"key-005", b"back after deletion")
    w.close()
    return WrittenDb(path, w.ops)


def write_large_values(path: Path) -> WrittenDb:
    """Values around and beyond the 32 KiB log block, so batches are split into
    first/middle/last fragments and records start near block boundaries."""
    w = DbWriter(path, write_buffer_size=64 << 20)
    sizes = [10, 32768 - 7 - 12 - 1 - 1 - 2 - 3, 32768, 40 * 1024, 5, 100 * 1024, 70000, 1]
    for i, size in enumerate(sizes):
        w.put(b"big-%d" % i, value_for(i, size, compressible=i % 2 == 1))
    w.batch([(b"big-batch-1", value_for(100, 50000, False)), (b"big-batch-2", value_for(101, 50000, True))])
    w.delete(b"big-3")
    w.close()
    return WrittenDb(path, w.ops)


def write_flushed_tables(path: Path, compression) -> WrittenDb:
    """A small write buffer and small blocks: the memtable is flushed into level-0
    tables several times and the tail of the history is left in the log. Which
    background flushes and compactions finish before close depends on timing,
    so tests on this database check only what holds for every outcome."""
    w = DbWriter(path, write_buffer_size=64 << 10, block_size=1024, compression=compression,
                 bloom_filter_bits=10)
    for round_ in range(6):
        for i in range(150):
            key = b"user/%04d/item" % ((i * 7 + round_ * 13) % 300)
            w.put(key, value_for(round_ * 1000 + i, 100 + (i * 37) % 300, compressible=i % 3 != 0))
        for i in range(0, 300, 11 + round_):
            w.delete(b"user/%04d/item" % i)
    w.put(b"tail", b"in the log")
    w.close()
    return WrittenDb(path, w.ops)


def write_one_table(path: Path, compression) -> WrittenDb:
    """A whole history flushed by one compaction request into one table. The
    memtable keeps every version, and with no older table to merge with, the
    table holds every put and deletion that was written, in internal-key order."""
    w = DbWriter(path, compression=compression, block_size=1024, block_restart_interval=4)
    for i in range(300):
        w.put(b"k%05d" % i, value_for(i, 50 + i % 200, compressible=i % 4 != 0))
    for i in range(0, 300, 2):
        w.put(b"k%05d" % i, value_for(10000 + i, 80, compressible=i % 3 == 0))
    for i in range(0, 300, 7):
        w.delete(b"k%05d" % i)
    w.put(b"", b"empty key")
    w.compact()
    w.close()
    return WrittenDb(path, w.ops)


def write_compacted(path: Path, compression) -> WrittenDb:
    """Two flushed generations merged by a compaction: overwritten versions and
    deletion markers are dropped, so the tables hold exactly the final live
    state and the log holds nothing."""
    w = DbWriter(path, compression=compression, block_size=1024)
    for i in range(300):
        w.put(b"k%05d" % i, value_for(i, 50 + i % 200, compressible=i % 4 != 0))
    for i in range(0, 300, 2):
        w.put(b"k%05d" % i, value_for(10000 + i, 80, compressible=i % 3 == 0))
    w.compact()
    for i in range(0, 300, 7):
        w.delete(b"k%05d" % i)
    for i in range(1, 300, 5):
        w.put(b"k%05d" % i, value_for(20000 + i, i, compressible=True))
    w.put(b"k00299", b"last")
    w.put(b"", b"empty key")
    w.compact()
    w.close()
    return WrittenDb(path, w.ops)


@pytest.fixture(scope="session")
def log_only_db(tmp_path_factory) -> WrittenDb:
    return write_log_only(tmp_path_factory.mktemp("log_only") / "db")


@pytest.fixture(scope="session")
def large_values_db(tmp_path_factory) -> WrittenDb:
    return write_large_values(tmp_path_factory.mktemp("large") / "db")


@pytest.fixture(scope="session", params=["snappy", None], ids=["snappy", "raw"])
def flushed_db(request, tmp_path_factory) -> WrittenDb:
    return write_flushed_tables(tmp_path_factory.mktemp("flushed") / "db", request.param)


@pytest.fixture(scope="session", params=["snappy", None], ids=["snappy", "raw"])
def one_table_db(request, tmp_path_factory) -> WrittenDb:
    return write_one_table(tmp_path_factory.mktemp("one_table") / "db", request.param)


@pytest.fixture(scope="session", params=["snappy", None], ids=["snappy", "raw"])
def compacted_db(request, tmp_path_factory) -> WrittenDb:
    return write_compacted(tmp_path_factory.mktemp("compacted") / "db", request.param)


@pytest.fixture(scope="session")
def small_db(tmp_path_factory) -> WrittenDb:
    """A few records in one table and one log file. Shared: copy it before
    changing anything in it."""
    path = tmp_path_factory.mktemp("small") / "db"
    w = DbWriter(path)
    for i in range(20):
        w.put(b"table-%02d" % i, b"v" * (i + 1))
    w.delete(b"table-03")
    w.compact()
    for i in range(10):
        w.put(b"log-%02d" % i, b"w" * (i + 1))
    w.delete(b"table-04")
    w.close()
    return WrittenDb(path, w.ops)


# --------------------------------------------------------------------------
# Hand-built log files


def log_physical_record(record_type: int, payload: bytes, checksum: bytes = b"\0\0\0\0") -> bytes:
    return checksum + struct.pack("<HB", len(payload), record_type) + payload


def write_batch_bytes(seq: int, count: int, body: bytes) -> bytes:
    return struct.pack("<QI", seq, count) + body


# --------------------------------------------------------------------------
# The independent decoder


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    result = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return result, pos
        shift += 7


def snappy_decompress(data: bytes) -> bytes:
    """Raw (unframed) Snappy: a varint length, then literals and back-copies."""
    length, pos = read_varint(data, 0)
    out = bytearray()
    while pos < len(data):
        tag = data[pos]
        pos += 1
        kind = tag & 3
        if kind == 0:
            n = tag >> 2
            if n >= 60:
                extra = n - 59
                n = int.from_bytes(data[pos:pos + extra], "little")
                pos += extra
            n += 1
            out += data[pos:pos + n]
            pos += n
            continue
        if kind == 1:
            n = ((tag >> 2) & 7) + 4
            back = ((tag >> 5) << 8) | data[pos]
            pos += 1
        elif kind == 2:
            n = (tag >> 2) + 1
            back = int.from_bytes(data[pos:pos + 2], "little")
            pos += 2
        else:
            n = (tag >> 2) + 1
            back = int.from_bytes(data[pos:pos + 4], "little")
            pos += 4
        assert 0 < back <= len(out)
        for _ in range(n):
            out.append(out[-back])
    assert len(out) == length
    return bytes(out)


def block_entries(data: bytes):
    """(offset in block, key, value) of every entry of a well-formed block."""
    num_restarts = struct.unpack_from("<I", data, len(data) - 4)[0]
    limit = len(data) - 4 - 4 * num_restarts
    pos = struct.unpack_from("<I", data, limit)[0] if num_restarts else 0
    key = b""
    entries = []
    while pos < limit:
        start = pos
        shared, pos = read_varint(data, pos)
        non_shared, pos = read_varint(data, pos)
        value_length, pos = read_varint(data, pos)
        key = key[:shared] + data[pos:pos + non_shared]
        pos += non_shared
        entries.append((start, key, data[pos:pos + value_length]))
        pos += value_length
    return entries


def table_records(path: str, data: bytes):
    # A table that LevelDB abandoned half-written (a compaction cut short by
    # close) has no footer and contributes nothing.
    if len(data) < FOOTER_SIZE:
        return []
    footer = data[-FOOTER_SIZE:]
    if struct.unpack_from("<Q", footer, 40)[0] != TABLE_MAGIC:
        return []
    _, pos = read_varint(footer, 0)
    _, pos = read_varint(footer, pos)
    index_offset, pos = read_varint(footer, pos)
    index_size, pos = read_varint(footer, pos)

    def read_block(offset, size):
        stored = data[offset:offset + size]
        compressed = data[offset + size] != 0
        return (snappy_decompress(stored) if compressed else stored), compressed

    index, _ = read_block(index_offset, index_size)
    records = []
    for _, _, handle in block_entries(index):
        offset, pos = read_varint(handle, 0)
        size, _ = read_varint(handle, pos)
        block, compressed = read_block(offset, size)
        for entry_offset, key, value in block_entries(block):
            trailer = struct.unpack_from("<Q", key, len(key) - 8)[0] if len(key) >= 8 else 0
            if len(key) > 8:
                state = DELETED if trailer & 0xFF == 0 else LIVE
            else:
                state = UNKNOWN
            records.append((key, value, trailer >> 8, state, LDB, path,
                            offset if compressed else offset + entry_offset, compressed))
    return records


def log_logical_records(data: bytes):
    """(offset, payload) of each logical record; the offset is the end of the
    physical record that carries the first fragment."""
    out = []
    pending = False
    buffer = b""
    pending_offset = 0
    for block_start in range(0, len(data), LOG_BLOCK_SIZE):
        block = data[block_start:block_start + LOG_BLOCK_SIZE]
        pos = 0
        while pos + LOG_HEADER_SIZE <= len(block):
            length, record_type = struct.unpack_from("<HB", block, pos + 4)
            end = pos + LOG_HEADER_SIZE + length
            if record_type > 4 or end > len(block):
                break
            payload = block[pos + LOG_HEADER_SIZE:end]
            pos = end
            if record_type == 1:
                out.append((block_start + end, payload))
                pending = False
            elif record_type == 2:
                buffer, pending_offset, pending = payload, block_start + end, True
            elif record_type == 3 and pending:
                buffer += payload
            elif record_type == 4 and pending:
                out.append((pending_offset, buffer + payload))
                pending = False
    return out


def log_records(path: str, data: bytes):
    records = []
    for offset, payload in log_logical_records(data):
        if len(payload) < 12:
            continue
        seq, count = struct.unpack_from("<QI", payload, 0)
        body = payload[12:]
        pos = 0
        for index in range(count):
            tag = body[pos]
            key_length, key_start = read_varint(body, pos + 1)
            key = body[key_start:key_start + key_length]
            end = key_start + key_length
            value = b""
            if tag != 0:
                value_length, value_start = read_varint(body, end)
                value = body[value_start:value_start + value_length]
                end = value_start + value_length
            state = {0: DELETED, 1: LIVE}.get(tag, UNKNOWN)
            records.append((key, value, (seq + index) % 2**64, state, LOG, path,
                            offset + 12 + pos, False))
            pos = end
    return records


# Six digits, or more without a leading zero (LevelDB's "%06llu").
DATA_FILE = re.compile(r"^([0-9]{6}|[1-9][0-9]{6,})\.(log|ldb|sst)$", re.IGNORECASE | re.ASCII)


def data_files(in_dir: str):
    """(number, name) of the data files of a directory, in file-number order."""
    found = []
    for name in os.listdir(in_dir):
        m = DATA_FILE.match(name)
        if m and os.path.isfile(os.path.join(in_dir, name)):
            found.append((int(m.group(1)), name))
    return sorted(found)


def entry_path(in_dir: str, name: str) -> str:
    return in_dir + name if in_dir.endswith("/") else in_dir + "/" + name


def expected_records_by_file(in_dir: str):
    """[(path, [record tuple, ...]), ...] in file-number order."""
    out = []
    for _, name in data_files(in_dir):
        path = entry_path(in_dir, name)
        data = Path(path).read_bytes()
        if name.lower().endswith(".log"):
            out.append((path, log_records(path, data)))
        else:
            out.append((path, table_records(path, data)))
    return out


def expected_records(in_dir: str):
    return [r for _, records in expected_records_by_file(in_dir) for r in records]


def as_tuple(record):
    """All eight fields of a record, with the enumerations as plain ints."""
    return (record.key, record.value, record.seq, int(record.state), int(record.file_type),
            record.origin_file, record.offset, record.was_compressed)


def read_all(in_dir: str, reverse: bool = False):
    import _vostrel

    with _vostrel.RawLevelDb(in_dir) as db:
        return db.iterate_records_raw(reverse=reverse)


# --------------------------------------------------------------------------
# A tree of many stores, as a mounted disk image holds them


@dataclasses.dataclass
class StoreTree:
    root: str
    stores: list  # every store under root, sorted
    locked: str  # a directory that cannot be listed (except by root)
    dangling: str  # a symbolic link to nowhere, named like a store


@pytest.fixture(scope="session")
def store_tree():
    """Three stores written by the real library, one nested inside another;
    beside them a directory with a manifest and look-alike names but no data
    file, a symbolic link back to the root, and a locked directory holding a
    fourth store. Made under /tmp with open permissions, so that a test can
    run the command as user nobody when it runs as root."""
    import shutil
    import tempfile

    base = tempfile.mkdtemp(prefix="vostrel-tree-", dir="/tmp")
    os.chmod(base, 0o755)
    root = os.path.join(base, "image")
    profile = os.path.join(root, "home", "user", "Profile")
    stores = [
        os.path.join(profile, "Local Storage", "leveldb"),
        os.path.join(profile, "IndexedDB", "site.leveldb"),
        os.path.join(profile, "IndexedDB", "site.leveldb", "nested"),
    ]
    os.makedirs(os.path.dirname(stores[0]))
    os.makedirs(os.path.dirname(stores[1]))
    write_one_table(Path(stores[0]), "snappy")
    write_log_only(Path(stores[1]))
    write_flushed_tables(Path(stores[2]), None)
    not_a_store = os.path.join(profile, "Cache")
    os.makedirs(not_a_store)
    for name in ("MANIFEST-000002", "000003.txt", "00003.log", "000003.log.bak", "LOG"):
        Path(not_a_store, name).write_bytes(b"x")
    os.makedirs(os.path.join(not_a_store, "000004.ldb"))  # a directory, not a data file
    os.symlink(root, os.path.join(profile, "loop"))
    locked = os.path.join(root, "locked")
    os.makedirs(locked)
    write_log_only(Path(locked, "db"))
    os.chmod(locked, 0)
    dangling = os.path.join(base, "gone.leveldb")
    os.symlink(os.path.join(base, "nowhere"), dangling)
    try:
        yield StoreTree(root, sorted(stores), locked, dangling)
    finally:
        os.chmod(locked, 0o755)
        shutil.rmtree(base)


# --------------------------------------------------------------------------
# Running as user nobody


def run_as_nobody(function, *args, cwd: str = "/"):
    """Calls function(*args) in a forked child that, when the tests run as
    root, has first become user nobody (root reads and lists anything, so
    permission cases need an ordinary user). The child is a fork, not a new
    interpreter, so the checkout itself need not be reachable by nobody (CI
    may clone it under a private directory): everything the call imports must
    be imported before. Returns a CompletedProcess with the child's exit
    status (function's int result, 1 for SystemExit without one, 99 for an
    exception) and what it wrote to stdout and stderr."""
    import subprocess
    import sys
    import tempfile
    import traceback

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:  # the child: never returns into pytest
            code = 99
            try:
                os.dup2(out.fileno(), 1)
                os.dup2(err.fileno(), 2)
                os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
                sys.stdout = open(1, "w", encoding="utf-8", closefd=False)
                sys.stderr = open(2, "w", encoding="utf-8", closefd=False)
                os.chdir(cwd)
                if os.geteuid() == 0:
                    os.setgroups([])
                    os.setgid(65534)
                    os.setuid(65534)
                try:
                    result = function(*args)
                    code = result if isinstance(result, int) else 0
                except SystemExit as exit_:
                    code = exit_.code if isinstance(exit_.code, int) else 1
                sys.stdout.flush()
                sys.stderr.flush()
            except BaseException:
                traceback.print_exc()
                sys.stderr.flush()
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(
            args, os.waitstatus_to_exitcode(status),
            out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace"))


def run_command_as_nobody(*argv: str, cwd: str = "/"):
    """`vostrel ARGV` through run_as_nobody, every module it may load imported first."""
    import vostrel.carve  # noqa: F401
    import vostrel.chromium.cli  # noqa: F401
    import vostrel.cli
    import vostrel.many  # noqa: F401
    import vostrel.progress  # noqa: F401
    import vostrel.stores  # noqa: F401

    return run_as_nobody(vostrel.cli.main, list(argv), cwd=cwd)


def write_with_replaced_tables(path: Path, stash: Path, rounds: int = 8) -> list:
    """A store whose compactions replaced its early tables: written with a
    small write buffer, each table hard-linked into `stash` as it appeared, so
    the replaced ones survive there. Then a compaction of everything, waited
    for (one cut short by the close would leave a partial table), and a
    reopening, which deletes what compactions left behind: the store starts
    with no leftovers of its own. Returns the replaced tables' names."""
    stash.mkdir()
    db = plyvel.DB(str(path), create_if_missing=True, write_buffer_size=64 * 1024)
    for round_ in range(rounds):
        for i in range(2000):
            db.put(b"k%05d" % ((i * 7 + round_) % 5000), b"v%d" % round_ * 20)
        for table in path.glob("*.ldb"):
            if not (stash / table.name).exists():
                try:
                    os.link(table, stash / table.name)
                except FileNotFoundError:  # a background compaction was quicker
                    pass
    db.compact_range()
    db.close()
    plyvel.DB(str(path)).close()
    replaced = sorted({p.name for p in stash.glob("*.ldb")} - {p.name for p in path.glob("*.ldb")})
    assert replaced
    return replaced

