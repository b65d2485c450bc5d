"""The command over many stores: --find over a tree, several directories, --jobs.

The tree (conftest.store_tree) holds stores written by the real library, one
nested in another, a directory of look-alike names, a symbolic link loop and a
locked directory; a dangling link stands for a store that cannot be read even
by root. Running as root, the command runs as user nobody, for whom the locked
directory is locked.
"""

from __future__ import annotations

import csv
import io
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import read_all, run_command_as_nobody, write_log_only, write_one_table
from vostrel.terminal import printable

_vostrel = pytest.importorskip("_vostrel")

STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}


def vostrel(*args: str) -> subprocess.CompletedProcess:
    return run_command_as_nobody(*args)


def expected(stores):
    """(store, origin_file, offset, seq, state) of every record, store by store."""
    return [(store, r.origin_file, r.offset, r.seq, STATE_NAMES[int(r.state)])
            for store in stores for r in read_all(store)]


def test_find_takes_every_store_once_and_nothing_else(store_tree):
    from vostrel.stores import find_stores

    failed = []
    found = find_stores(store_tree.root, lambda path, error: failed.append(path))
    if os.geteuid() == 0:  # root lists the locked directory and finds its store
        assert found == sorted(store_tree.stores + [os.path.join(store_tree.locked, "db")])
    else:
        assert found == store_tree.stores
        assert failed == [store_tree.locked]


@pytest.mark.parametrize("fmt, to_file", [("jsonl", False), ("csv", True)])
def test_dump_many_stores_grouped_in_order(store_tree, fmt, to_file):
    args = ["dump", "--format", fmt, store_tree.dangling, "--find", store_tree.root]
    if to_file:
        with tempfile.TemporaryDirectory(dir="/tmp") as place:
            os.chmod(place, 0o777)  # writable for user nobody
            output = os.path.join(place, "out")
            parallel = vostrel(*args, "--jobs", "2", "-o", output)
            assert os.listdir(place) == ["out"]  # the stores' parts are gone
            with open(output, encoding="utf-8", newline="") as written:
                parallel.stdout = written.read()
    else:
        parallel = vostrel(*args, "--jobs", "2")
    assert parallel.returncode == 1, parallel.stderr
    warnings = parallel.stderr.splitlines()
    assert len(warnings) == 2, warnings
    # The search comes first, then the reading.
    assert warnings[0].startswith(f"vostrel: warning: cannot list {store_tree.locked}: ")
    assert warnings[1] == f"vostrel: warning: no such directory: {store_tree.dangling}"

    if fmt == "jsonl":
        rows = [json.loads(line) for line in parallel.stdout.splitlines()]
        assert all(next(iter(row)) == "store" for row in rows)  # the first field
    else:
        rows = list(csv.DictReader(io.StringIO(parallel.stdout)))
        assert parallel.stdout.startswith("store,key,user_key,")
    got = [(row["store"], row["origin_file"], int(row["offset"]), int(row["seq"]), row["state"])
           for row in rows]
    assert got == expected(store_tree.stores)
    # One worker or two, the output is the same, byte for byte.
    serial = vostrel(*args, "--jobs", "1")
    assert (serial.returncode, serial.stdout, serial.stderr) == (1, parallel.stdout, parallel.stderr)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_stats_many_stores_each_as_alone_past_an_unreadable_one(store_tree, jobs):
    first, *rest = store_tree.stores
    args = [first, store_tree.dangling, *rest, "--jobs", jobs]
    result = vostrel("stats", "--format", "json", *args)
    assert result.returncode == 1
    assert result.stderr == f"vostrel: warning: no such directory: {store_tree.dangling}\n"
    documents = json.loads(result.stdout)["stores"]
    assert [d["directory"] for d in documents] == store_tree.stores
    assert [d["total"]["records"] for d in documents] == [
        len(read_all(store)) for store in store_tree.stores]
    alone = [json.loads(vostrel("stats", "--format", "json", store).stdout) for store in store_tree.stores]
    assert documents == alone

    table = vostrel("stats", *args).stdout
    headings = [line for line in table.splitlines() if line.startswith("store: ")]
    assert headings == [f"store: {store}" for store in store_tree.stores]


def test_stats_stores_whatever_the_threads(store_tree):
    """Each store's rows are its rows alone; the files the reader opened count
    what RawLevelDb.file_stats() counts."""
    stores = store_tree.stores + [store_tree.dangling] + store_tree.stores
    alone = [_vostrel.stats_stores([store], threads=1)[0] for store in stores]
    assert alone[len(store_tree.stores)] is None
    for threads in (1, 2):
        assert _vostrel.stats_stores(stores, threads=threads) == alone
    for store, files in zip(store_tree.stores, alone):
        with _vostrel.RawLevelDb(store) as db:
            opened = db.file_stats()
        assert [f for f in files if f["path"] in {o["path"] for o in opened}] == opened


def test_data_files_in_the_readers_order(tmp_path):
    """Equal numbers under two extensions, seven and twenty digits: the
    listing is the order the reader's records come in, and leaves out what is
    no regular file."""
    import shutil

    write_one_table(tmp_path / "tables", "snappy")
    write_log_only(tmp_path / "logs")
    (table,) = (tmp_path / "tables").glob("*.ldb")
    (log,) = (tmp_path / "logs").glob("*.log")
    store = tmp_path / "db"
    store.mkdir()
    for name in ("000005.ldb", "000009.sst", "000009.ldb", "000009.LOG", "1000001.log",
                 "12345678901234567890.log"):
        shutil.copy(log if name.lower().endswith(".log") else table, store / name)
    os.mkdir(store / "000010.ldb")
    os.symlink(store / "nowhere", store / "000011.log")

    listed = _vostrel.data_files(str(store))
    origins = list(dict.fromkeys(r.origin_file for r in read_all(str(store))))
    assert [path for path, _, _ in listed] == origins  # every listed file here has records
    assert len(listed) == 6
    for path, file_type, number in listed:
        stem, _, extension = os.path.basename(path).rpartition(".")
        assert (file_type, number) == (_vostrel.data_file_type(os.path.basename(path)), int(stem))
    with pytest.raises(NotADirectoryError):
        _vostrel.data_files(str(log))


def test_one_store_keeps_its_output(store_tree):
    """No store field and no heading for a single directory, with or without --jobs."""
    store = store_tree.stores[0]
    dumped = vostrel("dump", "--jobs", "2", store).stdout.splitlines()
    assert dumped and all(line.startswith('{"key": ') for line in dumped)
    assert not vostrel("stats", store).stdout.startswith("store:")


@pytest.mark.parametrize("how, status, starts", [
    ("two directories", 0, '{"store": '),
    ("a directory and a data file", 2, ""),  # data files go alone, read by content
    ("--find with --carve", 2, ""),
])
def test_which_paths_make_many_stores(store_tree, how, status, starts):
    first, second = store_tree.stores[0], store_tree.stores[1]
    args = {"two directories": [first, second],
            "a directory and a data file": [second, _vostrel.data_files(first)[0][0]],
            "--find with --carve": ["--carve", "--find", store_tree.root]}[how]
    result = vostrel("dump", *args)
    assert result.returncode == status, result.stderr
    assert result.stdout.startswith(starts)


def test_skipped_files_warned_per_store(tmp_path):
    """A data file the reader leaves out is warned about, once, in store order,
    for dump (one worker or two) and stats, as a single store's run does."""
    stores = [str(tmp_path / name) for name in ("a", "b\x1b[2J", "c")]
    for store in stores:
        write_log_only(Path(store))
    for store in stores[1:]:
        os.mkdir(os.path.join(store, "000099.ldb"))  # a data file's name on a directory
    warned = [f"vostrel: warning: skipped {printable(store)}/000099.ldb: " for store in stores[1:]]
    for args in (["dump", "--jobs", "1"], ["dump", "--jobs", "2"], ["stats", "--jobs", "2"]):
        result = subprocess.run([sys.executable, "-m", "vostrel", *args, *stores],
                                capture_output=True, text=True, cwd="/", timeout=120)
        assert result.returncode == 1, result.stderr  # the output leaves them out
        lines = result.stderr.splitlines()
        assert len(lines) == 2 and all(line.startswith(w) for line, w in zip(lines, warned)), args
