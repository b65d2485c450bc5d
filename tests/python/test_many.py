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

from conftest import read_all, run_command_as_nobody, write_log_only
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


def test_stats_many_stores(store_tree):
    result = vostrel("stats", "--format", "json", *store_tree.stores, "--jobs", "2")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    documents = json.loads(result.stdout)["stores"]
    assert [d["directory"] for d in documents] == store_tree.stores
    assert [d["total"]["records"] for d in documents] == [
        len(read_all(store)) for store in store_tree.stores]

    table = vostrel("stats", *store_tree.stores).stdout
    headings = [line for line in table.splitlines() if line.startswith("store: ")]
    assert headings == [f"store: {store}" for store in store_tree.stores]


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
    from vostrel.stores import data_files

    first, second = store_tree.stores[0], store_tree.stores[1]
    args = {"two directories": [first, second],
            "a directory and a data file": [second, data_files(first)[0]],
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
        assert result.returncode == 0, result.stderr
        lines = result.stderr.splitlines()
        assert len(lines) == 2 and all(line.startswith(w) for line, w in zip(lines, warned)), args
