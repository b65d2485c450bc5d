"""The native exporter against the command's Python formatting.

For stores written by the real LevelDB library, the exporter (through the small
export_tool program) must write exactly the bytes that vostrel.dump writes for
the records of iterate_records_raw, in every format, encoding and state filter.
"""

from __future__ import annotations

import io
import os
import random
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest

plyvel = pytest.importorskip("plyvel")
_vostrel = pytest.importorskip("_vostrel")

from reference_writer import write_records  # noqa: E402
from vostrel.encodings import ENCODERS  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
STATE_CODES = {"deleted": 0, "live": 1, "unknown": 2}
FILTERS = ["all", "live", "deleted", "unknown", "live,deleted"]

# Text that some part of the formatting must treat with care: JSON and CSV
# metacharacters, escapes, invalid and non-shortest UTF-8, surrogates, code
# points past U+10FFFF, truncated sequences, characters that Python does not
# count as printable (zero-width space, line separator, no-break space, private
# use, unassigned, C1 controls) next to ones it does (U+FFFD, combining marks).
AWKWARD = [
    b'say "hi", \\o/',
    b"line\nfeed\rcr\ttab\x00nul\x7fdel\x1besc",
    b"\\x41 \\\\ \\",
    "zw\u200bsp line\u2028sep nb\u00a0sp repl\ufffd e\u0301 \u0085 \ue000 \u0378 \U0001F600".encode(),
    b"\xc0\xaf \xe0\x80\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xf5 \xff\xfe \x80\xbf",
    b"\xe2\x82 \xe2\x82A \xf0\x9f\x98 \xf0\x9f\x98\x80\x80 \xc3",
    bytes(range(256)),
    b"",
]


def tool() -> str:
    path = os.environ.get("VOSTREL_EXPORT_TOOL") or str(ROOT / "build" / "tests" / "export_tool")
    assert os.access(path, os.X_OK), f"export_tool not built at {path} (meson -Dtests=true)"
    return path


def write_store(path: Path) -> None:
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy", block_size=1024)
    for i, key in enumerate(AWKWARD):
        db.put(key, AWKWARD[-1 - i])
    # Multi-byte characters and escapes at every distance from the places
    # where a long value is cut into pieces, and 1 MB of noise.
    db.put(b"big text", "é€😀\\\",\u200b\x01ab".encode() * 60000)
    db.put(b"big noise", random.Random(7).randbytes(1 << 20))
    for i in range(30):
        db.put(b"k%02d" % i, b"value %d" % i * 5)
    db.delete(b"k03")
    db.compact_range(start=b"\xff\xff\xfe", stop=b"\xff\xff\xff")  # to a table, keeping every version
    db.put(b"k04", b"again, in the log")
    db.delete(AWKWARD[0])
    db.close()


@pytest.fixture(scope="module")
def store(tmp_path_factory) -> Path:
    # The path itself needs quoting in JSON and CSV and holds control characters.
    path = tmp_path_factory.mktemp("export") / 'db "é", 1\\2\x1b[2J\x07\r'
    write_store(path)
    return path


def python_export(records, fmt: str, encoding: str, states: str) -> bytes:
    if states != "all":
        wanted = {STATE_CODES[name] for name in states.split(",")}
        records = [r for r in records if int(r.state) in wanted]
    out = io.StringIO(newline="")
    write_records(records, out, fmt, ENCODERS[encoding])
    return out.getvalue().encode("utf-8")


def native_export(directory, fmt: str, encoding: str, states: str, reverse: bool = False) -> bytes:
    result = subprocess.run([tool(), fmt, encoding, states, "1" if reverse else "0", directory],
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_store_has_what_the_comparison_needs(store):
    records = _vostrel.RawLevelDb(str(store)).iterate_records_raw()
    assert {int(r.file_type) for r in records} == {1, 2}
    assert {int(r.state) for r in records} == {0, 1, 2}
    assert max(len(r.value) for r in records) >= 1 << 20


@pytest.mark.parametrize("encoding", ["escaped", "hex", "base64"])
@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_same_bytes_as_python(store, fmt, encoding):
    records = _vostrel.RawLevelDb(str(store)).iterate_records_raw()
    for states in FILTERS:
        expected = python_export(records, fmt, encoding, states)
        assert native_export(str(store), fmt, encoding, states) == expected, (fmt, encoding, states)


def test_reverse(store):
    records = _vostrel.RawLevelDb(str(store)).iterate_records_raw(reverse=True)
    assert native_export(str(store), "jsonl", "escaped", "all", reverse=True) == python_export(
        records, "jsonl", "escaped", "all")


def tricky_path_parts():
    rng = random.Random(11)
    parts = [b"ctl\x1b]0;owned\x07 \r\n,\"q\\ \xc3\xa9 \xe2\x80\xa8 \xff\xfe \xed\xa0\x80 "
             b"\xf0\x9f\x98 \xe2\x82A \xc0\xaf \xf4\x90\x80\x80 \xe0\x80 \xe0\xa0 end"]
    # Random bytes, weighted towards the ones that start or continue sequences.
    pool = [b for b in range(1, 256) if b != ord("/")] + list(range(0x80, 0xC0)) + list(range(0xE0, 0xF8))
    return parts + [bytes(rng.choice(pool) for _ in range(200)) for _ in range(8)]


@pytest.mark.parametrize("parts", [
    tricky_path_parts(),
    [b"carriage\rreturn \x1b[2J\x07 \xff"],  # nothing that makes CSV quote the field
], ids=["tricky", "unquoted"])
def test_paths_that_are_not_utf8(tmp_path, parts):
    """The path is decoded as Python decodes it with errors="replace": one
    U+FFFD per invalid sequence. Python cannot open such a directory by name,
    so its records are read through an ASCII alias and given the real path."""
    real = os.fsencode(tmp_path) + b"/" + b"/".join(parts)
    os.makedirs(real)
    alias = tmp_path / "alias"
    os.symlink(real, alias)
    db = plyvel.DB(str(alias), create_if_missing=True)
    db.put(b"k", b"v")
    db.close()

    records = []
    for r in _vostrel.RawLevelDb(str(alias)).iterate_records_raw():
        origin = os.fsencode(r.origin_file).replace(os.fsencode(alias), real, 1)
        records.append(SimpleNamespace(
            key=r.key, user_key=r.user_key, value=r.value, seq=r.seq, state=r.state,
            file_type=r.file_type, origin_file=origin.decode("utf-8", "replace"),
            offset=r.offset, was_compressed=r.was_compressed))
    assert records
    for fmt in ("jsonl", "csv"):
        assert native_export(real, fmt, "hex", "all") == python_export(records, fmt, "hex", "all")


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_store_field_same_bytes_as_python(store, fmt):
    """Many stores' output: the store's path (here one that needs quoting and
    holds control characters) first in every record, the CSV header only when
    asked for, whatever the number of threads."""
    db = _vostrel.RawLevelDb(str(store))
    records = db.iterate_records_raw()
    for header, threads in ((True, 1), (False, 3)):
        expected = io.StringIO(newline="")
        write_records(records, expected, fmt, ENCODERS["escaped"], store=str(store), header=header)
        native = io.BytesIO()
        db.export(native, format=fmt, store=str(store), header=header, threads=threads)
        assert native.getvalue() == expected.getvalue().encode("utf-8"), (header, threads)


def each_store_alone(stores, fmt: str) -> bytes:
    out = io.BytesIO()
    for path in stores:
        if os.path.isdir(path):
            with _vostrel.RawLevelDb(path) as db:
                db.export(out, format=fmt, store=path, header=False)
    return out.getvalue()


def mapped_or_open_under(paths) -> int:
    with open("/proc/self/maps") as maps:
        mapped = sum(1 for line in maps if any(path in line for path in paths))
    fds = sum(1 for fd in os.listdir("/proc/self/fd")
              if any(path in os.path.realpath(f"/proc/self/fd/{fd}") for path in paths))
    return mapped + fds


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_many_stores_same_bytes_as_each_store_alone(store, store_tree, tmp_path, fmt):
    """export_stores: each store's own export with its store field, in the
    order given, one CSV header; a store that cannot be opened is reported in
    its turn and has no records; the same bytes to a file object or a
    descriptor, whatever the number of threads (more stores than are opened
    ahead of the writer, more threads than data files); every store closed
    after."""
    missing = str(tmp_path / "missing")
    stores = [str(store), missing] + store_tree.stores * 4
    header = b"store,key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n"
    expected = (header if fmt == "csv" else b"") + each_store_alone(stores, fmt)
    for threads, to_descriptor in ((1, False), (2, True), (5, False)):
        reported = []
        path = tmp_path / "out"
        with open(path, "w+b") as out:
            target = out.fileno() if to_descriptor else out
            count = _vostrel.export_stores(
                stores, target, format=fmt, threads=threads,
                on_store=lambda index, error, skipped: reported.append((index, error is None)))
            out.seek(0)
            assert out.read() == expected, threads
        assert count == expected.count(b"\n") - (fmt == "csv")
        assert reported == [(i, path != missing) for i, path in enumerate(stores)]
        assert mapped_or_open_under([str(store)] + store_tree.stores) == 0


def test_many_stores_stop_before_the_store_whose_report_raises(store, store_tree):
    """An exception from on_store ends the export at once: the stores before
    it are written whole, nothing of it or after, and the workers are joined
    (no hang)."""
    stores = [str(store)] + store_tree.stores * 3

    def on_store(index, error, skipped):
        if index == 2:
            raise KeyboardInterrupt

    for threads in (1, 2):
        out = io.BytesIO()
        with pytest.raises(KeyboardInterrupt):
            _vostrel.export_stores(stores, out, threads=threads, on_store=on_store)
        assert out.getvalue() == each_store_alone(stores[:2], "jsonl"), threads
