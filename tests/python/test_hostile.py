"""Stores and files as an investigator meets them or an attacker makes them:
file numbers past 999,999, other codecs, files that cannot be read, shrink
while open, hang on open, or ask for unbounded memory. Each case once."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path
import struct

import plyvel
import pytest

from conftest import (LIVE, as_tuple, run_command_as_nobody, entry_path, expected_records, expected_records_by_file,
                      read_all, write_flushed_tables)
from _vostrel import RawLevelDb
from zstd_bomb import bomb_store, varint

TABLE_MAGIC = struct.pack("<Q", 0xDB4775248B80FB57)


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def append_version_edit(manifest: Path, edit: bytes) -> None:
    """Appends one full log record holding `edit`, framed and checksummed as
    LevelDB's log writer does, so that the real library accepts it."""
    size = manifest.stat().st_size
    left = 32768 - size % 32768
    padding = b"\0" * left if left < 7 else b""
    checksum = crc32c(bytes([1]) + edit)
    masked = ((((checksum >> 15) | (checksum << 17)) & 0xFFFFFFFF) + 0xA282EAD8) & 0xFFFFFFFF
    with manifest.open("ab") as f:
        f.write(padding + struct.pack("<IHB", masked, len(edit), 1) + edit)


def test_file_numbers_past_999999_are_read(tmp_path):
    # A genuine store whose numbers crossed 1,000,000: the real library is told
    # by a manifest edit that the next file number is 999,998, then writes and
    # compacts, naming its new files with seven digits.
    path = tmp_path / "db"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(100):
        db.put(b"old%04d" % i, b"v%d" % i)
    db.close()
    manifest = path / (path / "CURRENT").read_text().strip()
    append_version_edit(manifest, varint(3) + varint(999_998))  # tag 3: next file number
    db = plyvel.DB(str(path))
    for i in range(2000):
        db.put(b"new%05d" % i, b"w%d" % i)
    db.compact_range()
    live = dict(db)
    db.close()
    names = os.listdir(path)
    assert any(len(name.partition(".")[0]) == 7 and name.endswith(".ldb") for name in names), names

    records = read_all(str(path))
    assert [as_tuple(r) for r in records] == expected_records(str(path))
    found = {r.user_key: r.value for r in records if int(r.state) == LIVE}
    assert len(live) == 2100 and all(found.get(k) == v for k, v in live.items())


# --------------------------------------------------------------------------
# Hand-made tables (raw blocks) and a genuine store to put them next to


def block(entries: list[tuple[int, bytes, bytes]], restart: int = 0) -> bytes:
    """Raw block contents: (shared, key delta, value) entries, one restart point."""
    out = b"".join(varint(shared) + varint(len(delta)) + varint(len(value)) + delta + value
                   for shared, delta, value in entries)
    return out + struct.pack("<II", restart, 1)


def table(data: bytes, index_entries: list[tuple[int, int]]) -> bytes:
    """One stored raw region `data` (blocks with their trailers), an empty
    metaindex, an index naming (offset, size) handles, and the footer."""
    metaindex_at = len(data)
    metaindex = block([])
    index_at = metaindex_at + len(metaindex) + 5
    index = block([(0, b"sep%08d" % i, varint(o) + varint(n)) for i, (o, n) in enumerate(index_entries)])
    handles = varint(metaindex_at) + varint(len(metaindex)) + varint(index_at) + varint(len(index))
    footer = handles.ljust(40, b"\0") + TABLE_MAGIC
    return data + metaindex + b"\0" * 5 + index + b"\0" * 5 + footer


@pytest.fixture
def store(tmp_path):
    """A genuine multi-file store in a directory nobody can also read, and
    its records as the independent decoder sees them."""
    root = Path(tempfile.mkdtemp(prefix="vostrel-hostile-", dir="/tmp"))
    os.chmod(root, 0o755)
    path = root / "db"
    write_flushed_tables(path, "snappy")
    expected = expected_records(str(path))
    yield path, expected
    shutil.rmtree(root)


def run_python(code: str, **options) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}, **options)


def without(path: Path, name: str, expected: list) -> list:
    return [r for r in expected if r[5] != entry_path(str(path), name)]


# --------------------------------------------------------------------------
# Files left out are named


def test_unreadable_table_is_skipped_and_reported(store):
    path, expected = store
    locked = sorted(p.name for p in path.glob("*.ldb"))[0]
    os.chmod(path / locked, 0)
    result = run_command_as_nobody("dump", str(path))
    assert result.returncode == 1, result.stderr  # the output leaves it out
    assert result.stderr == (f"vostrel: warning: skipped {path}/{locked}: "
                             "IO error: Permission denied (os error 13)\n")
    assert len(result.stdout.splitlines()) == len(without(path, locked, expected)) > 0


def test_entries_that_are_not_files_are_skipped(store):
    path, expected = store
    os.mkfifo(path / "000100.log")
    os.mkdir(path / "000101.ldb")
    with RawLevelDb(str(path)) as db:
        assert [as_tuple(r) for r in db.iterate_records_raw()] == expected
        assert sorted(db.skipped_files) == [(f"{path}/000100.log", "not a regular file"),
                                            (f"{path}/000101.ldb", "not a regular file")]


# --------------------------------------------------------------------------
# Files that shrink, hang or never end


def test_files_shrinking_while_open_end_cleanly(store):
    # Python's faulthandler (-X faulthandler, as under pytest) holds SIGBUS too.
    path, expected = store
    table_name = sorted(p.name for p in path.glob("*.ldb"))[-1]
    log_name = sorted(p.name for p in path.glob("*.log"))[0]
    result = run_python(f"""
        import json, os
        from _vostrel import RawLevelDb
        db = RawLevelDb({str(path)!r})
        os.truncate({str(path / table_name)!r}, 0)
        log = {str(path / log_name)!r}
        os.truncate(log, os.path.getsize(log) // 2)
        records = db.iterate_records_raw()
        print(json.dumps([[r.origin_file, r.offset] for r in records]))
    """)
    assert result.returncode == 0, result.stderr
    found = [tuple(pair) for pair in json.loads(result.stdout)]
    untouched = without(path, log_name, without(path, table_name, expected))
    log_path = entry_path(str(path), log_name)
    assert [f for f in found if f[0] != log_path] == [(r[5], r[6]) for r in untouched]
    in_log = [f for f in found if f[0] == log_path]
    assert 0 < len(in_log) < len([r for r in expected if r[5] == log_path])


def test_a_table_shrinking_under_a_walk_ends_it_cleanly(tmp_path):
    # A table of a few hundred KiB, read ahead as the walk goes: cut to a third
    # after the first record, the walk hands out what is still there and ends.
    path = tmp_path / "db"
    db = plyvel.DB(str(path), create_if_missing=True, compression=None)
    values = {b"k%06d" % i: os.urandom(300) for i in range(3000)}
    for key, value in values.items():
        db.put(key, value)
    db.close()
    plyvel.DB(str(path)).close()  # the log becomes a table on reopening
    table = max(path.glob("*.ldb"), key=lambda p: p.stat().st_size)
    assert table.stat().st_size > 3 * 256 << 10
    result = run_python(f"""
        import json, os
        from _vostrel import RawLevelDb
        db = RawLevelDb({str(path)!r})
        walk = db.iter_records()
        found = []
        for r in walk:
            if r.origin_file.endswith({table.name!r}):
                if not found:
                    os.truncate({str(table)!r}, os.path.getsize({str(table)!r}) // 3)
                found.append([r.user_key.hex(), r.value.hex()])
        print(json.dumps(found))
    """)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    # What was read before the cut is handed out (the refill's records and,
    # with a second core, the blocks read ahead: about half a MiB here), the
    # rest is not: two thirds of the table lie past both.
    assert 0 < len(found) < 2 * len(values) // 3
    assert all(values[bytes.fromhex(k)] == bytes.fromhex(v) for k, v in found)


# A fault the reader did not cause must end the process as it would without
# vostrel, whatever Python's faulthandler did in between: each sequence ends
# by touching a mapping of a truncated file outside any read of ours.
@pytest.mark.parametrize("steps, reported", [
    (["read", "enable", "read", "disable"], False),
    (["enable", "read", "disable"], False),
    (["read", "enable"], True),
    (["enable", "read", "disable", "enable", "read"], True),
    (["read", "enable", "read", "disable", "read"], False),
], ids=lambda v: "-".join(v) if isinstance(v, list) else str(v))
def test_a_foreign_sigbus_is_handled_as_without_vostrel(store, tmp_path, steps, reported):
    path, _ = store
    victim = tmp_path / "victim"
    victim.write_bytes(b"x" * 8192)
    actions = {"read": "RawLevelDb(db).close() if RawLevelDb(db).iterate_records_raw() else None",
               "enable": "faulthandler.enable()", "disable": "faulthandler.disable()"}
    code = "\n".join([
        "import faulthandler, mmap, os",
        "from _vostrel import RawLevelDb",
        f"db = {str(path)!r}",
        "faulthandler.disable()",
        *[actions[s] for s in steps],
        f"f = open({str(victim)!r}, 'r+b')",
        "m = mmap.mmap(f.fileno(), 8192)",
        "os.truncate(f.name, 0)",
        "m[4096]",
        "print('survived')",
    ])
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == -signal.SIGBUS, (result.returncode, result.stderr)
    assert ("Bus error" in result.stderr) == reported, result.stderr


def sparse_log_store(tmp_path: Path, second_copy_at: int) -> Path:
    """A store whose one log is a real log written again at second_copy_at,
    with nothing but a hole between the two copies."""
    source = tmp_path / "source"
    db = plyvel.DB(str(source), create_if_missing=True)
    db.put(b"first", b"1")
    db.put(b"second", b"2")
    db.close()
    genuine = next(source.glob("*.log")).read_bytes()
    path = tmp_path / "db"
    path.mkdir()
    with open(path / "000003.log", "wb") as f:
        f.write(genuine)
        f.seek(second_copy_at)
        f.write(genuine)
    return path


def test_sparse_log_reads_only_its_data(tmp_path):
    # 64 GiB with data at both ends: the holes are passed over, not read (a
    # child with ten seconds of processor time would not get through them).
    path = sparse_log_store(tmp_path, 64 << 30)
    result = run_python(f"""
        import resource
        from _vostrel import RawLevelDb
        resource.setrlimit(resource.RLIMIT_CPU, (10, 10))
        print(len(RawLevelDb({str(path)!r}).iterate_records_raw()))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "4\n"


def test_sparse_log_carves_only_its_data(tmp_path):
    # A real log at both ends of a 1 GiB sparse file, the second copy off the
    # framing's grid: carving finds it reading only the data, in a window's
    # memory (half a GiB of address space more than the interpreter's, ten
    # seconds of processor time).
    end = (1 << 30) + 101
    path = sparse_log_store(tmp_path, end)
    result = run_python(f"""
        import json, resource
        from _vostrel import RawLevelDb
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 29),) * 2)
        resource.setrlimit(resource.RLIMIT_CPU, (10, 10))
        db = RawLevelDb({str(path)!r})
        print(json.dumps([[r.user_key.decode(), r.offset, r.recovered] for r in db.carve_records()]))
    """)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [["first", end + 40, "carved-log"], ["second", end + 69, "carved-log"]]


def test_ctrl_c_ends_a_long_call(tmp_path):
    # A table whose index names one 1 MiB block 200,000 times: minutes of work
    # that yield nothing. SIGINT must end the call, not wait for it.
    filler = block([], restart=1 << 20)
    data = b"\0" * (1 << 20) + filler[-8:] + b"\0" * 5
    (tmp_path / "000005.ldb").write_bytes(table(data, [(0, len(data) - 5)] * 200_000))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys
        from _vostrel import RawLevelDb
        db = RawLevelDb({str(tmp_path)!r})
        print("ready", flush=True)
        db.iterate_records_raw()
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert err.splitlines()[-1] == "KeyboardInterrupt", err


# --------------------------------------------------------------------------
# One hostile file costs that file only


def test_table_naming_a_huge_block_is_skipped_alone(store):
    # 50 GB, 4 KB on disk, its footer naming an index block as large as the file.
    path, expected = store
    size = 50 * 10**9
    with open(path / "000200.ldb", "wb") as f:
        f.truncate(size)
        f.seek(size - 48)
        f.write((varint(0) + varint(0) + varint(0) + varint(size - 53)).ljust(40, b"\0") + TABLE_MAGIC)
    with RawLevelDb(str(path)) as db:
        assert [as_tuple(r) for r in db.iterate_records_raw()] == expected
        [(skipped, reason)] = db.skipped_files
    assert skipped == f"{path}/000200.ldb" and "exceeds the block limit" in reason


def test_hundred_thousand_files_read_whole(tmp_path):
    # More data files than the system allows mappings (vm.max_map_count).
    source = tmp_path / "source"
    db = plyvel.DB(str(source), create_if_missing=True)
    db.put(b"key", b"value")
    db.compact_range()
    db.close()
    genuine = next(source.glob("*.ldb"))
    copy = shutil.copy(genuine, tmp_path / "copy.ldb")  # a file takes at most 65,000 links
    path = tmp_path / "db"
    path.mkdir()
    for i in range(100_000):
        os.link(genuine if i % 2 else copy, path / ("%06d.ldb" % i))
    with RawLevelDb(str(path)) as db:
        records = db.iterate_records_raw()
        assert db.skipped_files == []
    assert len(records) == 100_000 and {r.user_key for r in records} == {b"key"}


@pytest.mark.parametrize("read", ["db.iterate_records_raw()", "list(db.iter_records())"])
def test_file_whose_records_exhaust_memory_is_left_out(store, read):
    # 8,000 entries each sharing a 256 KiB key: 2 GB of records from one file,
    # read under a 1 GiB address-space allowance. That file is dropped and
    # listed; every other file's records are kept, by the list and by the
    # iterator alike.
    path, expected = store
    key = b"k" * (256 << 10) + struct.pack("<Q", 1 << 8 | 1)
    entries = [(0, key, b"v")] + [(len(key), b"", b"v")] * 8000
    data = block(entries) + b"\0" * 5
    (path / "000300.ldb").write_bytes(table(data, [(0, len(data) - 5)]))
    files, skipped = read_within_a_gib(path, read)
    assert files == [r[5] for r in expected]
    assert skipped == [[f"{path}/000300.ldb", "out of memory while building its records"]]


def read_within_a_gib(path: Path, read: str) -> tuple[list, list]:
    """The origin files of the records `read` gives, and the files skipped,
    in a child whose address space may grow by 1 GiB."""
    result = run_python(f"""
        import json, resource
        from _vostrel import RawLevelDb
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30),) * 2)
        db = RawLevelDb({str(path)!r})
        records = {read}
        print(json.dumps([[r.origin_file for r in records], db.skipped_files]))
    """)
    assert result.returncode == 0, result.stderr
    return tuple(json.loads(result.stdout))


def test_close_racing_another_threads_reading_waits_or_says_closed(store):
    # close() from another thread while a call decodes with the lock released:
    # close waits for it; a reader that asks after the close is told the
    # database is closed. Never the guard's own "Already borrowed".
    import threading

    path, expected = store
    outcomes = set()
    for round_ in range(60):
        db = RawLevelDb(str(path))
        errors = []

        def read():
            try:
                if round_ % 2:
                    assert len(db.iterate_records_raw()) == len(expected)
                else:
                    for _ in db.iter_records():
                        pass
            except RuntimeError as error:
                errors.append(str(error))

        reader = threading.Thread(target=read)
        reader.start()
        db.close()
        reader.join()
        assert all(e == "Database is closed" for e in errors), errors
        outcomes.add(bool(errors))
    assert outcomes  # the rounds ran


def test_zstd_bomb_table_costs_the_list_its_records_and_the_iterator_a_block(tmp_path):
    # 30 KB of table whose twelve zstd blocks each expand to a 96 MiB value,
    # between two genuine logs: 1.1 GB of records read under a 1 GiB
    # address-space allowance. The list cannot hold them: the table is
    # dropped and listed, both logs' records kept. The iterator hands them
    # out a block at a time, so a caller that does not keep them gets all.
    path = bomb_store(tmp_path / "db", 96 << 20, ["zeros"] * 12)
    logs = [f"{path}/000003.log"] * 3 + [f"{path}/000005.log"] * 3
    files, skipped = read_within_a_gib(path, "db.iterate_records_raw()")
    assert files == logs
    assert skipped == [[f"{path}/000004.ldb", "out of memory while building its records"]]
    files, skipped = read_within_a_gib(path, "(r for r in db.iter_records())")
    assert files == logs[:3] + [f"{path}/000004.ldb"] * 12 + logs[3:]
    assert skipped == []
