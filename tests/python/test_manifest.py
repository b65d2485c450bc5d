"""The manifest replayed: `_vostrel.read_manifest` and `vostrel manifest`, on
stores written by the real library and then changed as disks change them."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys

import pytest

import _vostrel
from conftest import write_with_replaced_tables


def _tables(path):
    return sorted(p.name for p in path.glob("*.ldb"))


@pytest.fixture
def compacted(tmp_path):
    """A store whose early tables compactions replaced, written with a small
    write buffer; each table hard-linked aside as it appeared, so the replaced
    ones survive. Returns (path, the replaced tables' names, their bytes)."""
    path, stash = tmp_path / "db", tmp_path / "stash"
    replaced = write_with_replaced_tables(path, stash)
    return path, replaced, {name: (stash / name).read_bytes() for name in replaced}


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "vostrel", "manifest", *map(str, args)],
                          capture_output=True, text=True, timeout=60)


def test_the_current_version_lists_exactly_the_tables_the_library_keeps(compacted):
    path, replaced, _ = compacted
    history = _vostrel.read_manifest(str(path))
    assert history["chosen_by"] == "CURRENT" and history["read_end"] == history["size"]
    live = sorted(f"{t['number']:06d}.ldb" for t in history["current"]["tables"])
    assert live == _tables(path)
    assert history["current"]["comparator"] == "leveldb.BytewiseComparator"
    assert not {int(name[:6]) for name in replaced} & {t["number"] for t in history["current"]["tables"]}
    assert history["orphaned"] == [] and history["missing"] == []
    offsets = [edit["offset"] for edit in history["edits"]]
    assert offsets == sorted(offsets) and offsets[0] == 0


# Each case changes the store, then says what the manifest view must show.
CASES = {
    "leftover table copied back": lambda path, replaced, before: (
        (path / replaced[0]).write_bytes(before[replaced[0]]),
        {"orphaned": [str(path / replaced[0])], "missing": [], "exit": 0})[1],
    "live table deleted": lambda path, replaced, before: (
        os.remove(path / _tables(path)[0]),
        {"orphaned": [], "missing": [int(_tables_gone(path, before))], "exit": 0})[1],
    "manifest cut inside an edit": lambda path, replaced, before: (
        _cut_manifest(path),
        {"exit": 1})[1],
}


def _tables_gone(path, before):
    history = _vostrel.read_manifest(str(path))
    listed = {t["number"] for t in history["current"]["tables"]}
    return min(n for n in listed if not (path / f"{n:06d}.ldb").exists())


def _cut_manifest(path):
    manifest = next(path.glob("MANIFEST-*"))
    data = manifest.read_bytes()
    manifest.write_bytes(data[:len(data) - 3])


@pytest.mark.parametrize("case", CASES)
def test_changes_on_disk_show_in_the_manifest_view(compacted, case):
    path, replaced, before = compacted
    expected = CASES[case](path, replaced, before)
    history = _vostrel.read_manifest(str(path))
    for field in ("orphaned", "missing"):
        if field in expected:
            assert history[field] == expected[field]
    result = run_cli("--format", "json", path)
    assert result.returncode == expected["exit"], result.stderr
    assert json.loads(result.stdout)["edits"]
    assert ("damaged" in result.stderr) == (expected["exit"] == 1)


def test_without_current_the_highest_numbered_manifest_is_read(compacted, tmp_path):
    path, _, _ = compacted
    os.remove(path / "CURRENT")
    assert _vostrel.read_manifest(str(path))["chosen_by"] == "highest number"
    empty = tmp_path / "empty"
    empty.mkdir()
    shutil.copy(next(path.glob("*.log")), empty / "000001.log")
    assert _vostrel.read_manifest(str(empty)) is None
    result = run_cli(empty)
    assert result.returncode == 1 and "no readable manifest" in result.stderr
