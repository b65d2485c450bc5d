"""End-to-end tests of the `vostrel` command, run as `python -m vostrel`.

The databases are written at test time by the real LevelDB library (plyvel);
one directory holds a small hand-built log for the record states that LevelDB
itself never writes. What the command prints is decoded here, independently of
the package, and compared field by field with what the extension returns.
"""

from __future__ import annotations

import base64
import csv
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

plyvel = pytest.importorskip("plyvel")
_vostrel = pytest.importorskip("_vostrel")

STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}
FILE_TYPE_NAMES = {1: "ldb", 2: "log"}
FIELDS = ["key", "user_key", "value", "seq", "state", "file_type", "origin_file", "offset",
          "was_compressed"]
BYTE_FIELDS = ("key", "user_key", "value")


# --------------------------------------------------------------------------
# Running the command


def vostrel(*args: str) -> subprocess.CompletedProcess:
    """Runs the command with this interpreter; stdout and stderr as bytes."""
    return subprocess.run([sys.executable, "-m", "vostrel", *args], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=120)


SKIPPED_WARNING = b"vostrel: warning: skipped "


def ok(*args: str) -> str:
    """stdout of a run that wrote its output; stderr may only name skipped
    files, which make the status 1 (the output left them out)."""
    result = vostrel(*args)
    assert result.returncode == (1 if result.stderr else 0), result.stderr.decode(errors="replace")
    assert all(line.startswith(SKIPPED_WARNING) for line in result.stderr.splitlines())
    return result.stdout.decode("utf-8")


# --------------------------------------------------------------------------
# Decoders for the three byte encodings, written from their description


def unescape(text: str) -> bytes:
    """Escaped text: characters stand for their UTF-8 bytes, \\xNN for one byte,
    \\\\ for a backslash; a backslash followed by anything else is malformed."""
    out = bytearray()
    i = 0
    while i < len(text):
        ch = text[i]
        if ch != "\\":
            out += ch.encode("utf-8")
            i += 1
        elif text[i + 1] == "\\":
            out += b"\\"
            i += 2
        elif text[i + 1] == "x" and len(text[i + 2:i + 4]) == 2:
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            raise ValueError(f"bad escape at {i} in {text!r}")
    return bytes(out)


DECODERS = {
    "escaped": unescape,
    "hex": bytes.fromhex,
    "base64": lambda text: base64.b64decode(text, validate=True),
}


def expected_rows(in_dir: str, reverse: bool = False, states=None) -> list:
    """The extension's records as dictionaries in the command's vocabulary."""
    with _vostrel.RawLevelDb(in_dir) as db:
        records = db.iterate_records_raw(reverse=reverse)
    rows = []
    for r in records:
        if states is not None and int(r.state) not in states:
            continue
        rows.append({
            "key": r.key, "user_key": r.user_key, "value": r.value, "seq": r.seq,
            "state": STATE_NAMES[int(r.state)], "file_type": FILE_TYPE_NAMES[int(r.file_type)],
            "origin_file": r.origin_file, "offset": r.offset, "was_compressed": r.was_compressed,
        })
    return rows


def parse_jsonl(text: str, encoding: str) -> list:
    rows = []
    for line in text.splitlines():
        row = json.loads(line)
        assert list(row) == FIELDS
        for field in BYTE_FIELDS:
            row[field] = DECODERS[encoding](row[field])
        rows.append(row)
    return rows


def parse_csv(text: str, encoding: str) -> list:
    reader = csv.reader(io.StringIO(text, newline=""))
    assert next(reader) == FIELDS
    rows = []
    for cells in reader:
        row = dict(zip(FIELDS, cells))
        for field in BYTE_FIELDS:
            row[field] = DECODERS[encoding](row[field])
        row["seq"] = int(row["seq"])
        row["offset"] = int(row["offset"])
        assert row["was_compressed"] in ("true", "false")
        row["was_compressed"] = row["was_compressed"] == "true"
        rows.append(row)
    return rows


PARSERS = {"jsonl": parse_jsonl, "csv": parse_csv}


# --------------------------------------------------------------------------
# Databases


# Keys and values that stress the text encodings: invalid UTF-8, backslashes,
# text that looks like an escape, control characters, a non-breaking space,
# separators that CSV must quote, and empty strings.
AWKWARD = [
    b"plain",
    "café ünïcödé 日本".encode(),
    b"back\\slash\\",
    b"\\x41 is not an escape",
    b"nul\x00byte",
    b"\xff\xfe\x80 invalid utf-8 \xc3",
    b"new\nline\r\ttab",
    "nbsp\u00a0\u2028end".encode(),
    b'comma, "quote"',
    bytes(range(256)),
    b"",
]


def incompressible(seed: int, size: int) -> bytes:
    return random.Random(seed).randbytes(size)


def write_mixed_db(path: Path) -> Path:
    """Tables with compressed and uncompressed blocks, overwritten versions and
    deletion markers, then later writes in the log."""
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy", block_size=1024)
    for i, key in enumerate(AWKWARD):
        db.put(key, AWKWARD[-1 - i])
    for i in range(40):
        db.put(b"text-%02d" % i, b"compressible text %02d " % i * 8)
        db.put(b"blob-%02d" % i, incompressible(i, 120))
    db.put(b"text-01", b"overwritten")
    db.delete(b"text-02")
    # Flushes the memtable into a table; the range names no key, so nothing is
    # merged away and every version stays.
    db.compact_range(start=b"\xff\xff\xfe", stop=b"\xff\xff\xff")
    db.put(b"text-03", b"overwritten in the log")
    with db.write_batch() as batch:
        batch.delete(b"blob-04")
        batch.put(b"back\\slash\\", b"\\\\")
    db.delete(b"never written")
    db.close()
    return path


def log_entry(tag: int, key: bytes, value: bytes = None) -> bytes:
    entry = bytes([tag, len(key)]) + key
    return entry if value is None else entry + bytes([len(value)]) + value


def write_odd_dir(path: Path) -> Path:
    """Not written by LevelDB: a hand-built log with a put, a deletion and an
    entry of a tag that LevelDB does not define (state unknown), an empty log, a
    table file that is not a table, and files that are not data files."""
    path.mkdir()
    body = log_entry(1, b"a", b"1") + log_entry(0, b"b") + log_entry(7, b"k", b"v")
    payload = struct.pack("<QI", 100, 3) + body
    record = b"\0\0\0\0" + struct.pack("<HB", len(payload), 1) + payload
    (path / "000003.log").write_bytes(record)
    (path / "000004.LOG").write_bytes(b"")
    (path / "000005.ldb").write_bytes(b"not a table" * 10)
    (path / "0000006.log").write_bytes(record)  # seven digits: not a data file
    # "ſ" (U+017F) folds to "s" case-insensitively, but the extension rule is ASCII.
    (path / "000009.\u017fst").write_bytes(record)
    (path / "notes.txt").write_bytes(record)
    (path / "000008.log").mkdir()  # a directory, not a data file
    return path


@pytest.fixture(scope="module")
def mixed_db(tmp_path_factory) -> str:
    # The path itself needs quoting in JSON and CSV.
    return str(write_mixed_db(tmp_path_factory.mktemp("cli") / 'db "é", 1\\2'))


@pytest.fixture(scope="module")
def odd_dir(tmp_path_factory) -> str:
    return str(write_odd_dir(tmp_path_factory.mktemp("cli") / "odd"))


@pytest.fixture(scope="module")
def big_db(tmp_path_factory) -> str:
    """Output far larger than a pipe's buffer."""
    path = tmp_path_factory.mktemp("cli") / "big"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(3000):
        db.put(b"key-%05d" % i, b"v" * 200)
    db.close()
    return str(path)


# --------------------------------------------------------------------------
# dump


def test_mixed_db_covers_what_the_output_must_show(mixed_db):
    rows = expected_rows(mixed_db)
    assert {r["file_type"] for r in rows} == {"ldb", "log"}
    # The table's empty key is exactly its 8-byte trailer: state unknown.
    assert {r["state"] for r in rows} == {"live", "deleted", "unknown"}
    assert {r["was_compressed"] for r in rows} == {True, False}
    assert {r["key"] for r in rows if r["file_type"] == "log"} >= {b"back\\slash\\"}
    assert {r["user_key"] for r in rows} >= set(AWKWARD)


@pytest.mark.parametrize("encoding", ["escaped", "hex", "base64"])
@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_dump_round_trips_every_record(mixed_db, fmt, encoding):
    text = ok("dump", "--format", fmt, "--encoding", encoding, mixed_db)
    assert PARSERS[fmt](text, encoding) == expected_rows(mixed_db)


def test_dump_defaults_to_json_lines_with_escaped_text(mixed_db):
    text = ok("dump", mixed_db)
    assert text == ok("dump", "--format", "jsonl", "--encoding", "escaped", mixed_db)
    # Valid UTF-8 stays readable: the key is in the output as it is.
    assert '"user_key": "café ünïcödé 日本"' in text
    assert len(text.splitlines()) == len(expected_rows(mixed_db))


@pytest.mark.parametrize("raw, shown", [
    (b"plain text", "plain text"),
    ("café".encode(), "café"),
    (b"a\\b", "a\\\\b"),
    (b"\\x41", "\\\\x41"),
    (b"\xff\x00\n\x7f", "\\xff\\x00\\x0a\\x7f"),
    (b"\xc3", "\\xc3"),                      # a truncated two-byte sequence
    ("\u00a0".encode(), "\\xc2\\xa0"),       # not printable: shown as bytes
    (b"\xed\xa0\x80", "\\xed\\xa0\\x80"),    # an encoded surrogate is not UTF-8
])
def test_escaped_text(tmp_path, raw, shown):
    db = plyvel.DB(str(tmp_path / "db"), create_if_missing=True)
    db.put(raw, b"")
    db.close()
    (row,) = [json.loads(line) for line in ok("dump", str(tmp_path / "db")).splitlines()]
    assert row["key"] == shown
    assert unescape(shown) == raw


def test_escaped_text_round_trips_arbitrary_bytes(tmp_path):
    rng = random.Random(7)
    alphabet = [b"\\", b"x", b"a", b"\xc3", b"\xa9", b"\xe2\x82\xac", b"\x00", b"\xff", b"\n"]
    keys = {b"".join(rng.choice(alphabet) for _ in range(rng.randrange(12))) for _ in range(300)}
    keys |= {incompressible(i, 16) for i in range(100)}
    db = plyvel.DB(str(tmp_path / "db"), create_if_missing=True)
    for key in keys:
        db.put(key, key)
    db.close()
    rows = parse_jsonl(ok("dump", str(tmp_path / "db")), "escaped")
    assert {r["key"] for r in rows} == keys
    assert all(r["key"] == r["value"] for r in rows)


@pytest.mark.parametrize("option, states", [
    ("live", {1}),
    ("deleted", {0}),
    ("unknown", {2}),
    ("deleted,unknown", {0, 2}),
    ("Live, DELETED", {0, 1}),
    ("live,deleted,unknown", {0, 1, 2}),
])
def test_state_filter(mixed_db, odd_dir, option, states):
    for directory in (mixed_db, odd_dir):
        text = ok("dump", "--state", option, directory)
        assert parse_jsonl(text, "escaped") == expected_rows(directory, states=states)


def test_reverse(mixed_db):
    forward = parse_jsonl(ok("dump", mixed_db), "escaped")
    backward = parse_jsonl(ok("dump", "--reverse", mixed_db), "escaped")
    assert backward == expected_rows(mixed_db, reverse=True)
    assert backward != forward and sorted(map(repr, backward)) == sorted(map(repr, forward))


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_output_file(mixed_db, tmp_path, fmt):
    out = tmp_path / ("records." + fmt)
    assert ok("dump", "--format", fmt, "-o", str(out), mixed_db) == ""
    assert out.read_bytes() == vostrel("dump", "--format", fmt, mixed_db).stdout
    assert ok("dump", "--format", fmt, "--output", "-", mixed_db).encode() == out.read_bytes()


def test_directory_that_is_not_a_database_has_no_records(tmp_path):
    # The output is what an empty store gives; the status says nothing was read.
    (tmp_path / "readme.txt").write_text("hello")
    warning = f"vostrel: warning: {tmp_path}: no LevelDB data files (.log, .ldb, .sst) in this directory\n"
    for args, stdout in [(["dump"], ""), (["dump", "--format", "csv"], ",".join(FIELDS) + "\n")]:
        result = vostrel(*args, str(tmp_path))
        assert (result.returncode, result.stdout.decode(), result.stderr.decode()) == (1, stdout, warning)
    result = vostrel("stats", "--format", "json", str(tmp_path))
    assert (result.returncode, result.stderr.decode()) == (1, warning)
    stats = json.loads(result.stdout)
    assert stats["files"] == [] and stats["total"]["records"] == 0


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_closed_pipe_ends_quietly(big_db, fmt):
    command = (f"set +o pipefail; {sys.executable} -m vostrel dump --format {fmt} {big_db}"
               " | head -n 1; echo \"status=${PIPESTATUS[0]}\" >&2")
    result = subprocess.run(["bash", "-c", command], capture_output=True, timeout=120)
    assert result.stderr == b"status=0\n"
    assert len(result.stdout.splitlines()) == 1


# --------------------------------------------------------------------------
# Bad input


def test_bad_input(tmp_path, mixed_db):
    a_file = tmp_path / "file"
    a_file.write_text("x")
    missing = tmp_path / "missing"
    cases = [
        (["dump", str(missing)], "no such directory: " + str(missing)),
        (["stats", str(missing)], "no such directory: " + str(missing)),
        (["stats", str(a_file)], "not a directory: " + str(a_file)),
        (["dump", "--bogus", mixed_db], "unrecognized arguments: --bogus"),
        (["dump", "--format", "xml", mixed_db], "invalid choice: 'xml'"),
        (["stats", "--format", "csv", mixed_db], "invalid choice: 'csv'"),
        (["dump", "--encoding", "rot13", mixed_db], "invalid choice: 'rot13'"),
        (["dump", "--state", "live,gone", mixed_db], "invalid state 'gone'"),
        (["dump"], "the following arguments are required: PATH"),
        ([], "the following arguments are required: COMMAND"),
        (["frobnicate", mixed_db], "invalid choice: 'frobnicate'"),
        (["dump", "-o", str(missing / "out.jsonl"), mixed_db], "cannot write"),
    ]
    for args, message in cases:
        result = vostrel(*args)
        err = result.stderr.decode()
        assert result.returncode == 2, (args, err)
        assert result.stdout == b"", args
        assert err.startswith("vostrel") and err.count("\n") == 1, (args, err)
        assert message in err, (args, err)
    # A bad directory is reported before the output file is created.
    assert vostrel("dump", "-o", str(tmp_path / "out"), str(missing)).returncode == 2
    assert not (tmp_path / "out").exists()


# --------------------------------------------------------------------------
# stats


def expected_stats(directory: str, names) -> dict:
    counts = {name: {"records": 0, "live": 0, "deleted": 0, "unknown": 0,
                     "compressed_records": 0} for name in names}
    for row in expected_rows(directory):
        c = counts[os.path.basename(row["origin_file"])]
        c["records"] += 1
        c[row["state"]] += 1
        c["compressed_records"] += row["was_compressed"]
    return counts


def check_stats(directory: str, names: list):
    stats = json.loads(ok("stats", "--format", "json", directory))
    assert [f["file"] for f in stats["files"]] == names
    counts = expected_stats(directory, names)
    for f in stats["files"]:
        path = os.path.join(directory, f["file"])
        assert f["path"] == path
        assert f["size"] == os.path.getsize(path)
        assert f["number"] == int(f["file"][:6])
        assert f["type"] == ("log" if f["file"].lower().endswith(".log") else "ldb")
        assert {k: f[k] for k in counts[f["file"]]} == counts[f["file"]]
        assert f["compressed_share"] == (
            f["compressed_records"] / f["records"] if f["records"] else None)
    total = stats["total"]
    assert total["files"] == len(names)
    for key in ("size", "records", "live", "deleted", "unknown", "compressed_records"):
        assert total[key] == sum(f[key] for f in stats["files"]), key
    assert total["records"] == len(expected_rows(directory))
    return stats


def test_stats_json_matches_the_records(mixed_db):
    names = sorted(n for n in os.listdir(mixed_db) if n.endswith((".log", ".ldb")))
    stats = check_stats(mixed_db, names)
    assert 0 < stats["total"]["compressed_records"] < stats["total"]["records"]


@pytest.mark.parametrize("command", ["dump", "stats"])
def test_files_left_out_are_named_on_stderr(odd_dir, command):
    result = vostrel(command, odd_dir)
    assert result.returncode == 1  # the output leaves them out
    assert sorted(result.stderr.decode().splitlines()) == [
        f"vostrel: warning: skipped {odd_dir}/000005.ldb: Invalid magic number in {odd_dir}/000005.ldb",
        f"vostrel: warning: skipped {odd_dir}/000008.log: not a regular file",
    ]


def test_control_characters_in_warnings_are_escaped():
    from vostrel.skipped import warn_skipped
    import io
    out = io.StringIO()
    warn_skipped([("d/00\x1b[2J0001.log", "bad\nline\x9b")], out)
    assert out.getvalue() == "vostrel: warning: skipped d/00\\x1b[2J0001.log: bad\\x0aline\\x9b\n"


def test_stats_lists_data_files_without_records(odd_dir):
    stats = check_stats(odd_dir, ["000003.log", "000004.LOG", "000005.ldb"])
    assert [f["records"] for f in stats["files"]] == [3, 0, 0]
    assert [stats["total"][k] for k in ("live", "deleted", "unknown")] == [1, 1, 1]


def test_stats_table(odd_dir, mixed_db):
    for directory in (odd_dir, mixed_db):
        stats = json.loads(ok("stats", "--format", "json", directory))
        lines = ok("stats", directory).splitlines()
        assert lines[0].split() == ["file", "type", "number", "size", "records", "live",
                                    "deleted", "unknown", "compressed"]
        assert set(lines[-2]) == {"-"}
        rows = [line.split() for line in lines[1:-2]]
        assert len(rows) == len(stats["files"])
        for cells, f in zip(rows, stats["files"]):
            share = f["compressed_share"]
            assert cells == [f["file"], f["type"], str(f["number"]), str(f["size"]),
                             str(f["records"]), str(f["live"]), str(f["deleted"]),
                             str(f["unknown"]), "-" if share is None else f"{100 * share:.1f}%"]
        total = stats["total"]
        assert lines[-1].split()[:6] == ["total", str(total["size"]), str(total["records"]),
                                         str(total["live"]), str(total["deleted"]),
                                         str(total["unknown"])]


def test_stats_with_trailing_separator_and_relative_path(mixed_db):
    parent, name = os.path.split(mixed_db)
    result = subprocess.run([sys.executable, "-m", "vostrel", "stats", "--format", "json",
                             name + "/"], capture_output=True, cwd=parent, timeout=120)
    assert result.returncode == 0, result.stderr
    stats = json.loads(result.stdout)
    assert stats["total"]["records"] == len(expected_rows(mixed_db))
    assert all(f["records"] for f in stats["files"])


# --------------------------------------------------------------------------
# Help, version and entry points


def test_help_and_version():
    top = ok("--help")
    assert "examples:" in top and "vostrel dump" in top and "vostrel stats" in top
    for command in ("dump", "stats"):
        assert "examples:" in ok(command, "--help")
    version = ok("--version").split()
    assert version[0] == "vostrel" and version[1][0].isdigit()


def test_console_script(mixed_db):
    script = shutil.which("vostrel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the package is not installed next to this interpreter")
    result = subprocess.run([script, "dump", mixed_db], capture_output=True, timeout=120)
    assert result.returncode == 0
    assert result.stdout == vostrel("dump", mixed_db).stdout


# --------------------------------------------------------------------------
# Write errors, text for people, progress


def test_full_disk_is_one_line_and_status_1(big_db):
    for args in (["-o", "/dev/full"], ["--format", "csv", "-o", "/dev/full"]):
        result = vostrel("dump", *args, big_db)
        assert result.returncode == 1
        assert result.stderr.decode() == "vostrel: error: /dev/full: No space left on device\n"
    with open("/dev/full", "wb") as full:
        result = subprocess.run([sys.executable, "-m", "vostrel", "dump", big_db], stdout=full,
                                stderr=subprocess.PIPE, timeout=120)
    assert (result.returncode, result.stderr.count(b"\n")) == (1, 1)


def test_control_characters_in_paths_are_escaped_for_people(tmp_path, mixed_db):
    hostile = "x\x1b[2J\x1b]0;owned\x07"
    missing = tmp_path / hostile
    err = vostrel("dump", str(missing)).stderr.decode()
    assert err == f"vostrel: error: no such directory: {tmp_path}/x\\x1b[2J\\x1b]0;owned\\x07\n"
    assert vostrel("stats", "--bogus" + hostile, mixed_db).stderr.count(b"\x1b") == 0
    # Machine formats stay lossless.
    shutil.copytree(mixed_db, missing)
    stats = json.loads(ok("stats", "--format", "json", str(missing)))
    assert stats["directory"] == str(missing)
    assert all(r["origin_file"].startswith(str(missing)) for r in parse_jsonl(ok("dump", str(missing)), "escaped"))


def run_with_terminal_stderr(*args: str) -> tuple:
    """Runs the command with stderr on a pseudo-terminal and stdout in a pipe;
    returns (stdout, what the terminal received)."""
    import pty

    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-m", "vostrel", *args], stdout=subprocess.PIPE,
                                   stderr=terminal, stdin=subprocess.DEVNULL)
        os.close(terminal)
        out = process.stdout.read()
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # EIO: the command has closed its side
                break
            if not chunk:
                break
            shown += chunk
        assert process.wait(timeout=120) == 0, shown
    finally:
        os.close(controller)
    return out, shown


def test_progress_on_a_terminal_only(big_db):
    pytest.importorskip("tqdm")
    out, shown = run_with_terminal_stderr("dump", big_db)
    assert b"B/s" in shown and b"100%" in shown
    quiet_out, quiet = run_with_terminal_stderr("dump", "--no-progress", big_db)
    assert quiet == b""
    assert out == quiet_out == vostrel("dump", big_db).stdout
    assert vostrel("dump", big_db).stderr == b""  # stderr not a terminal: no bar
