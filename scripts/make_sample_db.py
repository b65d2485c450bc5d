#!/usr/bin/python3
"""Writes the small sample database sample/db with the real LevelDB library.

Run with Debian's Python, which has plyvel:  /usr/bin/python3 scripts/make_sample_db.py

The story the sample tells, in the order it is written:
1. Three notes (repetitive, compressible text) are put; one is then
   overwritten and another deleted. A flush writes all of it, old version and
   deletion marker included, into a table file whose block is stored
   Snappy-compressed.
2. Two small attachments (hash bytes, incompressible; one key is not valid
   UTF-8) are put and flushed into a second table file, stored uncompressed.
3. More writes then go to the write-ahead log only: a new note, and in one
   write batch an overwrite and a deletion of notes that the first table
   still holds.
The result: two table files, one log file, the manifest, CURRENT and LOCK. Every
byte is deterministic: the content is fixed and LevelDB's own text log
(LOG, with timestamps) is removed.
"""

import hashlib
import os
import shutil
import sys

import plyvel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TARGET = os.path.join(ROOT, "sample", "db")


def note(text: str) -> bytes:
    # Repetitive text compresses well.
    return ((text + " ") * 3).encode()


def attachment(name: str, size: int) -> bytes:
    # Hash output does not compress, so its block is stored raw.
    out = b""
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{name}/{counter}".encode()).digest()
        counter += 1
    return out[:size]


def flush(db) -> None:
    # compact_range first writes the memtable into a new table file. The range
    # names no existing key, so no further compaction runs and the new table
    # keeps every version, deletion markers included.
    db.compact_range(start=b"\xff\xfe", stop=b"\xff\xff")


def make(target: str) -> None:
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    db = plyvel.DB(target, create_if_missing=True, error_if_exists=True,
                   compression="snappy", block_size=1024, paranoid_checks=True)

    db.put(b"note:0001", note("Meet at the harbour at nine."))
    db.put(b"note:0002", note("The key is under the blue pot."))
    db.put(b"note:0003", note("Call Anna about the invoice."))
    db.put(b"note:0002", note("Moved the key; ask me."))  # overwrite
    db.delete(b"note:0003")                                 # deletion
    flush(db)

    db.put(b"photo:0001\x00\xfe", attachment("photo", 24))
    db.put(b"scan:0001", attachment("scan", 24))
    flush(db)

    db.put(b"note:0004", b"Burn after reading.")
    with db.write_batch() as batch:
        batch.put(b"note:0001", b"Moved to ten. See C:\\plans\\harbour.txt")
        batch.delete(b"note:0002")
    db.close()

    for name in ("LOG", "LOG.old"):
        path = os.path.join(target, name)
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    make(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_TARGET)
