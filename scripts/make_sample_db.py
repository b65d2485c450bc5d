#!/usr/bin/python3
"""Writes the small sample database sample/db with the real LevelDB library.

Run with Debian's Python, which has plyvel:  /usr/bin/python3 scripts/make_sample_db.py

The story the sample tells, in the order it is written:
1. A few notes (compressible text) and two attachments (incompressible bytes,
   one with a key that is not valid UTF-8) are put; one note is then
   overwritten and another deleted. A flush writes all of it, old version and
   deletion marker included, into a table file with small blocks, so that
   the note block is stored Snappy-compressed and the attachment block
   are not.
2. After the flush, more writes go to the write-ahead log only: a new note, an
   overwrite and a deletion of notes that the table still holds, the last two
   in one write batch.
The result: one table file, one log file, the manifest and CURRENT. Every
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
    # Repetitive text compresses well, so these blocks are stored compressed.
    return ((text + " ") * 6).encode()


def attachment(name: str, size: int) -> bytes:
    # Hash output does not compress, so these blocks are stored raw.
    out = b""
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{name}/{counter}".encode()).digest()
        counter += 1
    return out[:size]


def make(target: str) -> None:
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    db = plyvel.DB(target, create_if_missing=True, error_if_exists=True,
                   compression="snappy", block_size=1024, paranoid_checks=True)

    db.put(b"note:0001", note("Meet at the harbour at nine."))
    db.put(b"note:0002", note("The key is under the blue pot."))
    db.put(b"note:0003", note("Call Anna about the invoice."))
    db.put(b"att:0001\x00\xfe", attachment("photo", 600))
    db.put(b"att:0002", attachment("scan", 600))
    db.put(b"note:0002", note("Moved the key; ask me."))  # overwrite
    db.delete(b"note:0003")                                 # deletion

    # Flush the memtable into a table file. The range names no existing key,
    # so no further compaction runs and the table keeps every version.
    db.compact_range(start=b"\xff\xfe", stop=b"\xff\xff")

    db.put(b"note:0004", note("Burn after reading."))
    with db.write_batch() as batch:
        batch.put(b"note:0001", b"Meeting moved to ten, C:\\plans\\harbour.txt")
        batch.delete(b"note:0002")
    db.close()

    for name in ("LOG", "LOG.old"):
        path = os.path.join(target, name)
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    make(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_TARGET)
