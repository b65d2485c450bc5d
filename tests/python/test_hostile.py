"""Stores and files as an investigator meets them or an attacker makes them:
file numbers past 999,999, other codecs, files that cannot be read, shrink
while open, hang on open, or ask for unbounded memory. Each case once."""

from __future__ import annotations

import os
import struct
from pathlib import Path

import plyvel
import pytest

from conftest import LIVE, as_tuple, expected_records, read_all


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


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
