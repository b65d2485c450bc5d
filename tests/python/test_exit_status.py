"""The command's exit status and stderr, one table for every command: 0 all
read, 1 output written with something left out, 2 usage errors or nothing
readable, 130 interrupted; every message names its path."""

from __future__ import annotations

import pathlib
import signal
import subprocess
import sys
import time

import plyvel
import pytest


def run(*args, **options):
    return subprocess.run([sys.executable, "-m", "vostrel", *map(str, args)], capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL, **options)


@pytest.fixture(scope="module")
def places(tmp_path_factory):
    base = tmp_path_factory.mktemp("exit")
    store = base / "store"
    db = plyvel.DB(str(store), create_if_missing=True)
    for i in range(2000):
        db.put(b"key-%05d" % i, b"v" * 100)
    db.close()
    (base / "empty").mkdir()
    (base / "tree").mkdir()
    (base / "not-leveldb").mkdir()
    (base / "not-leveldb" / "notes.txt").write_text("hello")
    (base / "Local Storage" / "leveldb").mkdir(parents=True)
    for data in store.iterdir():
        (base / "Local Storage" / "leveldb" / data.name).write_bytes(data.read_bytes())
    cut = base / "cut"  # a table without its footer: carving reads it after all
    db = plyvel.DB(str(cut), create_if_missing=True)
    for i in range(200):
        db.put(b"key-%05d" % i, b"v" * 100)
    db.compact_range()
    db.close()
    table = next(cut.glob("*.ldb"))
    table.write_bytes(table.read_bytes()[:-48])
    bare = base / "no-manifest"  # its log alone: every file counts as in use, and a warning says so
    bare.mkdir()
    for data in store.glob("*.log"):
        (bare / data.name).write_bytes(data.read_bytes())
    idb = next((pathlib.Path(__file__).parent.parent / "data" / "chromium" / "IndexedDB").glob("*.leveldb"))
    gone = base / "gone"  # a table its manifest lists deleted: statuses told without it are in doubt
    db = plyvel.DB(str(gone), create_if_missing=True, write_buffer_size=64 << 10)
    for i in range(2000):
        db.put(b"key-%05d" % i, b"v" * 100)
    db.close()
    min(gone.glob("*.ldb")).unlink()
    return {"store": store, "empty": base / "empty", "tree": base / "tree", "cut": cut, "idb": idb,
            "not-leveldb": base / "not-leveldb", "parent": base / "Local Storage", "bare": bare, "gone": gone}


CASES = [
    # (arguments, exit status, what stderr must contain)
    (["dump", "{store}"], 0, None),
    (["dump", "{empty}"], 1, "{empty}: no LevelDB data files"),
    (["dump", "{cut}"], 1, "skipped {cut}/"),
    (["dump", "--carve", "{cut}"], 0, None),
    (["dump", "{not-leveldb}"], 1, "{not-leveldb}: no LevelDB data files"),
    (["stats", "{empty}"], 1, "{empty}: no LevelDB data files"),
    (["stats", "--find", "{tree}"], 1, "no LevelDB directory found under {tree}"),
    (["manifest", "{empty}"], 1, "{empty}: no readable manifest"),
    (["chromium", "{parent}"], 1, "is the store in {parent}/leveldb?"),
    (["chromium", "{idb}"], 0, None),
    (["chromium", "--kind", "leveldb", "--status", "{bare}"], 1, "no readable manifest in {bare}"),
    (["chromium", "--kind", "leveldb", "--status", "--format", "csv", "{bare}"], 1, "no readable manifest in {bare}"),
    (["chromium", "--kind", "sessionstorage", "{idb}"], 1, "none of its 611 records decoded as sessionstorage"),
    (["dump", "{gone}"], 0, None),
    (["dump", "--status", "{gone}"], 1, "{gone}: tables its manifest lists are missing (0000"),
    (["dump", "--latest", "{gone}"], 1, "{gone}: tables its manifest lists are missing (0000"),
    (["dump", "--status", "--find", "{gone}"], 1, "{gone}: tables its manifest lists are missing (0000"),
    (["chromium", "--kind", "leveldb", "--status", "{gone}"], 1, "{gone}: tables its manifest lists are missing"),
    (["chromium", "--kind", "leveldb", "--status", "--find", "{gone}"], 1, "{gone}: tables its manifest lists"),
    (["chromium", "--kind", "leveldb", "{cut}"], 1, "skipped {cut}/"),
    (["chromium", "--kind", "leveldb", "--format", "csv", "{cut}"], 1, "skipped {cut}/"),
    (["chromium", "--find", "{cut}"], 1, "skipped {cut}/"),
    (["dump", "{empty}/missing"], 2, "{empty}/missing"),
    (["dump", "--find", "{empty}/missing"], 2, "no such directory: {empty}/missing"),
    (["dump", "{not-leveldb}/notes.txt"], 1, "{not-leveldb}/notes.txt: no LevelDB records found"),
    (["chromium", "--format", "xml", "{store}"], 2, "see 'vostrel chromium --help'"),
    (["dump", "--bogus", "{store}"], 2, "see 'vostrel dump --help'"),
    (["dump", "-o", "/dev/full", "{store}"], 1, "vostrel: error: /dev/full: No space left on device"),
]


@pytest.mark.parametrize("args, status, message", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_exit_status_and_message(places, args, status, message):
    result = run(*[a.format(**places) for a in args])
    assert result.returncode == status, result.stderr
    if message is None:
        assert result.stderr == ""
    else:
        assert message.format(**places) in result.stderr
        assert all(line.startswith(("vostrel: ", "vostrel chromium: ", "vostrel dump: "))
                   for line in result.stderr.splitlines())


def test_closed_stdout_is_one_line_and_status_1(places):
    result = subprocess.run(f"{sys.executable} -m vostrel dump {places['store']} >&-", shell=True,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (1, "vostrel: error: standard output is closed\n")


def test_ctrl_c_ends_with_130_and_says_so(places):
    # Nobody reads the pipe: the command blocks writing, then gets Ctrl-C.
    process = subprocess.Popen([sys.executable, "-m", "vostrel", "dump", "--no-progress",
                                str(places["store"])], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.0)
    process.send_signal(signal.SIGINT)
    try:
        # Within half a second (a second here: the machine may be busy),
        # without anyone draining the full pipe.
        process.wait(timeout=1.0)
    finally:
        process.kill()
        process.stdout.close()
    assert (process.returncode, process.stderr.read().decode()) == (130, "vostrel: interrupted\n")
    process.stderr.close()


def test_ctrl_c_leaves_whole_lines_for_a_reader_that_drains(places):
    import json

    process = subprocess.Popen([sys.executable, "-m", "vostrel", "dump", "--no-progress",
                                str(places["store"])], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.0)  # the pipe is full and the command blocked in a write
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert (process.returncode, stderr.decode()) == (130, "vostrel: interrupted\n")
    assert stdout.endswith(b"\n")
    assert all(json.loads(line) for line in stdout.splitlines())
