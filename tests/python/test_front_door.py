"""vostrel.open: the Python front door over _vostrel.RawLevelDb."""

from __future__ import annotations

import io
import os
import pathlib
import tempfile

import pytest

import _vostrel
import vostrel
from conftest import run_as_nobody


def _record_tuples(records):
    return [(r.key, r.value, r.seq, int(r.state), r.origin_file, r.offset) for r in records]


@pytest.mark.parametrize("as_path", [str, os.fsencode, pathlib.Path], ids=["str", "bytes", "PathLike"])
def test_open_takes_every_path_type_and_reads_what_the_extension_reads(small_db, as_path):
    with _vostrel.RawLevelDb(str(small_db.path)) as raw:
        expected = _record_tuples(raw.iterate_records_raw())
    with vostrel.open(as_path(str(small_db.path))) as db:
        assert _record_tuples(db) == expected
        assert _record_tuples(db.records(reverse=True)) == _record_tuples(
            db.record_list(reverse=True))
        assert sum(s["records"] for s in db.stats()) == len(expected)
    with pytest.raises(RuntimeError, match="Database is closed"):
        db.record_list()


def test_open_raises_the_os_error_that_names_the_path(tmp_path):
    plain = tmp_path / "plain"
    plain.write_text("x")
    for path, error in [(tmp_path / "missing", FileNotFoundError), (plain, NotADirectoryError)]:
        with pytest.raises(error) as raised:
            vostrel.open(path)
        assert raised.value.filename == str(path)
    with pytest.raises(TypeError):
        vostrel.open(3)


def test_open_of_an_unreadable_directory_raises_permission_error():
    # Root reads any directory: the check runs in a forked child that has
    # become an ordinary user (the checkout itself need not be reachable).
    import vostrel.database  # noqa: F401  (imported before the fork)

    top = tempfile.mkdtemp()
    try:
        os.chmod(top, 0o755)
        locked = os.path.join(top, "locked")
        os.mkdir(locked, 0)

        def check():
            try:
                vostrel.open(locked)
            except PermissionError as error:
                print(error.filename)

        done = run_as_nobody(check)
        assert done.stdout == locked + "\n", done.stderr
    finally:
        os.rmdir(os.path.join(top, "locked"))
        os.rmdir(top)


def test_export_to_a_path_a_file_object_and_a_descriptor_write_the_same_bytes(small_db, tmp_path):
    target = tmp_path / "out.jsonl"
    with vostrel.open(small_db.path) as db:
        count = db.export(target)
        buffer = io.BytesIO()
        assert db.export(buffer) == count
        with open(tmp_path / "fd.jsonl", "wb") as out:
            assert db.export(out.fileno()) == count
    assert target.read_bytes() == buffer.getvalue() == (tmp_path / "fd.jsonl").read_bytes()
    assert buffer.getvalue().count(b"\n") == count


def test_the_extension_classes_are_the_packages_own():
    assert vostrel.RawLevelDb is _vostrel.RawLevelDb
    assert vostrel.KeyState is _vostrel.KeyState
    from vostrel import FileType, Record  # noqa: F401  (the import itself is the check)
