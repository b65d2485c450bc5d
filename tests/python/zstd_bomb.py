"""A table whose zstd data blocks are tiny on disk and each expand to one
record with a huge value, written byte by byte (no zstd library needed): a
frame of one raw block (the entry's header and key), run-length blocks of one
byte (the value's bulk, 4 bytes per 128 KiB) and a raw block (the value's tail
and the block's restart array). Keys are IndexedDB object store records of
database 1, store 1, so the Chromium decoders look at every value."""

from __future__ import annotations

import struct
from pathlib import Path

import plyvel

TABLE_MAGIC = struct.pack("<Q", 0xDB4775248B80FB57)
ZSTD_MAGIC = struct.pack("<I", 0xFD2FB528)
ZSTD_BLOCK = 128 << 10


def _crc_table() -> list[int]:
    table = []
    for n in range(256):
        for _ in range(8):
            n = (n >> 1) ^ (0x82F63B78 if n & 1 else 0)
        table.append(n)
    return table


_CRC = _crc_table()


def masked_crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc = _CRC[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    crc ^= 0xFFFFFFFF
    return ((((crc >> 15) | (crc << 17)) & 0xFFFFFFFF) + 0xA282EAD8) & 0xFFFFFFFF


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def indexeddb_key(name: str) -> bytes:
    """The key of record `name` (a string key) in object store 1 of database 1."""
    return b"\x00\x01\x01\x01\x01" + varint(len(name)) + name.encode("utf-16-be")


def _zstd_frame(head: bytes, fill: int, count: int, tail: bytes) -> bytes:
    """head, then `count` copies of byte `fill`, then tail, as one zstd frame
    without a declared content size and a 128 KiB window."""
    def header(size: int, kind: int, last: bool = False) -> bytes:
        return struct.pack("<I", size << 3 | kind << 1 | last)[:3]
    out = bytearray(ZSTD_MAGIC + b"\x00" + bytes([(17 - 10) << 3]))
    out += header(len(head), 0) + head
    while count:
        run = min(count, ZSTD_BLOCK)
        out += header(run, 1) + bytes([fill])
        count -= run
    out += header(len(tail), 0, last=True) + tail
    return bytes(out)


def _block(stored: bytes, kind: int) -> bytes:
    return stored + bytes([kind]) + struct.pack("<I", masked_crc32c(stored + bytes([kind])))


def _raw_block(entries: list[tuple[bytes, bytes]]) -> bytes:
    body = b"".join(varint(0) + varint(len(k)) + varint(len(v)) + k + v for k, v in entries)
    return body + struct.pack("<II", 0, 1)


# What a value can be, as (prefix, fill byte): the prefix is followed by the
# fill byte up to the value's size. None: a V8 one-byte string of all of it.
SHAPES = {
    "zeros": (b"", 0),                                                  # plainly no IndexedDB value
    "string": (b"\x05\xff\x0f\x22", None),                             # a genuine 200 MiB string
    "long-string": (b"\x05\xff\x0f\x22\xff\xff\xff\xff\x0f", ord("x")),  # declares 4 GiB
    "array": (b"\x05\xff\x0fA\xff\xff\xff\xff\x0f", ord("0")),          # 4 G elements declared, nulls
    # Snappy declaring 256 MiB: a 64 KiB literal, then 64-byte copies
    "snappy": (b"\x05\xff\x11\x02\x80\x80\x80\x80\x01\xf4\xff\xff", 0xFE),
}


def _value_prefix(shape: str, size: int) -> tuple[bytes, int]:
    prefix, fill = SHAPES[shape]
    if fill is not None:
        return prefix, fill
    length = size - len(prefix)
    while len(prefix) + len(varint(length)) + length != size:
        length = size - len(prefix) - len(varint(length))
    return prefix + varint(length), ord("x")


def bomb_table(value_size: int, shapes: list[str]) -> bytes:
    """A table of one data block per shape, each one record of that shape
    whose value is value_size bytes, keys b0, b1, ... in order."""
    data = bytearray()
    handles = []
    for i, shape in enumerate(shapes):
        key = indexeddb_key("b%02d" % i) + struct.pack("<Q", (i + 1) << 8 | 1)
        prefix, fill = _value_prefix(shape, value_size)
        entry_head = varint(0) + varint(len(key)) + varint(value_size) + key + prefix
        frame = _zstd_frame(entry_head, fill, value_size - len(prefix), struct.pack("<II", 0, 1))
        handles.append((key, len(data), len(frame)))
        data += _block(frame, 2)
    metaindex_at = len(data)
    metaindex = _block(_raw_block([]), 0)
    index_at = metaindex_at + len(metaindex)
    index = _block(_raw_block([(k, varint(o) + varint(n)) for k, o, n in handles]), 0)
    footer = (varint(metaindex_at) + varint(len(metaindex) - 5) + varint(index_at) +
              varint(len(index) - 5)).ljust(40, b"\0") + TABLE_MAGIC
    return bytes(data + metaindex + index + footer)


def bomb_store(path: Path, value_size: int, shapes: list[str]) -> Path:
    """A store of two genuine logs (written by the real library, three
    IndexedDB records each) with the bomb table numbered between them."""
    path.mkdir()
    for number, first in ((3, "a"), (5, "c")):
        source = path.parent / f"{path.name}-source{number}"
        db = plyvel.DB(str(source), create_if_missing=True)
        for j in range(3):
            db.put(indexeddb_key(f"{first}{j}"), b"\x05\xff\x0f\x22\x01" + first.encode())
        db.close()
        [log] = source.glob("*.log")
        (path / f"{number:06d}.log").write_bytes(log.read_bytes())
    (path / "000004.ldb").write_bytes(bomb_table(value_size, shapes))
    return path
