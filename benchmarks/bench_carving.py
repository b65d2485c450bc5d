#!/usr/bin/env python3
"""Recovery and speed of carving on stores written by the real library.

Writes two stores with plyvel (every key written once, so a record is its
(key, value) pair and plyvel's own view is comparable): one compacted into
Snappy tables, one left in its log. Then damages copies systematically and,
for each damage, counts the records of the undamaged original that lie in
undamaged bytes ("intact") recovered by

  (a) vostrel's normal read (iterate_records_raw, or read_file(carve=False)),
  (b) plyvel.repair_db on the damaged directory, then plyvel's iterator,
  (c) vostrel with carving (normal read + carve_records, or read_file),

and the records each reports that the original never held. Intact records are
found from the original's own structure: the data blocks its index names
that lie, trailer included, outside the damage; the logical records whose
physical records lie outside it.

Speed: carving throughput (MB/s) on a large table and a large log, each as a
ratio to the normal read of the same file in the same run, the carving of
the same table without its footer (all blocks through carving), and random
bytes (carving's worst case: every position a resynchronisation candidate).
Peak memory is what /usr/bin/time -v reports for a process carving the
footer-less table.

The command (--command): a store of --store-records records written by plyvel
as bench_dump.py writes them (16-byte keys, 100-byte values), one of its
tables damaged (its footer zeroed). `vostrel dump --carve DIR -o /dev/null`,
plain `vostrel dump DIR -o /dev/null` and an iter_records() loop, each run
alternately with this tree's build and with the build given by --before (its
PYTHONPATH), --runs times; the best wall time and the highest peak RSS of
each, from /usr/bin/time -v.

    .venv/bin/python benchmarks/bench_carving.py [--records N] [--dir PATH]
    /usr/bin/python3 benchmarks/bench_carving.py --command --before OLD_BUILD:OLD_TREE [--dir PATH]
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

MAGIC = 0xDB4775248B80FB57
FOOTER = 48
LOG_BLOCK = 32768


# --- The original's structure, read here independently of vostrel ---------------

def varint(data, pos):
    result = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if byte < 0x80:
            return result, pos
        shift += 7


def snappy(data):
    length, pos = varint(data, 0)
    out = bytearray()
    while pos < len(data):
        tag = data[pos]
        pos += 1
        if tag & 3 == 0:
            n = tag >> 2
            if n >= 60:
                n = int.from_bytes(data[pos:pos + n - 59], "little")
                pos += (tag >> 2) - 59
            out += data[pos:pos + n + 1]
            pos += n + 1
            continue
        if tag & 3 == 1:
            n, back = ((tag >> 2) & 7) + 4, ((tag >> 5) << 8) | data[pos]
            pos += 1
        elif tag & 3 == 2:
            n, back = (tag >> 2) + 1, int.from_bytes(data[pos:pos + 2], "little")
            pos += 2
        else:
            n, back = (tag >> 2) + 1, int.from_bytes(data[pos:pos + 4], "little")
            pos += 4
        for _ in range(n):
            out.append(out[-back])
    assert len(out) == length
    return bytes(out)


def block_entries(block):
    restarts = struct.unpack_from("<I", block, len(block) - 4)[0]
    limit = len(block) - 4 - 4 * restarts
    pos, key = 0, b""
    while pos < limit:
        shared, pos = varint(block, pos)
        non_shared, pos = varint(block, pos)
        length, pos = varint(block, pos)
        key = key[:shared] + block[pos:pos + non_shared]
        pos += non_shared
        yield key, block[pos:pos + length]
        pos += length


def read_block(data, offset, size):
    stored = data[offset:offset + size]
    return snappy(stored) if data[offset + size] else stored


def table_blocks(data):
    """(start, end including trailer, [(user_key, value)]) per data block."""
    footer = data[-FOOTER:]
    assert struct.unpack_from("<Q", footer, 40)[0] == MAGIC
    _, pos = varint(footer, 0)
    _, pos = varint(footer, pos)
    index_offset, pos = varint(footer, pos)
    index_size, _ = varint(footer, pos)
    blocks = []
    for _, handle in block_entries(read_block(data, index_offset, index_size)):
        offset, pos = varint(handle, 0)
        size, _ = varint(handle, pos)
        records = [(k[:-8], v) for k, v in block_entries(read_block(data, offset, size))]
        blocks.append((offset, offset + size + 5, records))
    return blocks, (index_offset, index_size)


def log_batches(data):
    """(first header, end, [(key, value)]) per logical record (puts only)."""
    out, pending = [], None
    for block_start in range(0, len(data), LOG_BLOCK):
        pos = block_start
        end_of_block = min(block_start + LOG_BLOCK, len(data))
        while end_of_block - pos >= 7:
            length = data[pos + 4] | data[pos + 5] << 8
            kind = data[pos + 6]
            payload = data[pos + 7:pos + 7 + length]
            if kind == 1:
                out.append((pos, pos + 7 + length, payload))
            elif kind == 2:
                pending = (pos, bytearray(payload))
            elif kind in (3, 4):
                pending[1].extend(payload)
                if kind == 4:
                    out.append((pending[0], pos + 7 + length, bytes(pending[1])))
            else:
                break
            pos += 7 + length
    batches = []
    for start, end, payload in out:
        count, body, records = struct.unpack_from("<I", payload, 8)[0], payload[12:], []
        pos = 0
        for _ in range(count):
            assert body[pos] == 1
            n, pos = varint(body, pos + 1)
            key = body[pos:pos + n]
            n, pos = varint(body, pos + n)
            records.append((key, body[pos:pos + n]))
            pos += n
        batches.append((start, end, records))
    return batches


def outside(start, end, damage):
    return all(end <= a or start >= b for a, b in damage)


# --- Stores ------------------------------------------------------------------------

def value_for(rng, i):
    text = b"value-%08d-" % i
    return text * rng.randint(1, 12) + (rng.randbytes(rng.randint(0, 60)) if i % 3 == 0 else b"")


def write_table_store(path, count):
    import plyvel
    rng = random.Random(1)
    db = plyvel.DB(path, create_if_missing=True, compression="snappy", write_buffer_size=8 << 20)
    with db.write_batch() as batch:
        for i in range(count):
            batch.put(b"key-%09d" % rng.getrandbits(30) + b"-%d" % i, value_for(rng, i))
    db.compact_range()
    db.close()


def write_log_store(path, count):
    import plyvel
    rng = random.Random(2)
    db = plyvel.DB(path, create_if_missing=True, write_buffer_size=1 << 30)
    for i in range(count):
        db.put(b"log-key-%09d" % i, value_for(rng, i))
    del db  # closed without a flush: everything stays in the log


def all_records(directory):
    import _vostrel
    with _vostrel.RawLevelDb(directory) as db:
        return {(r.user_key, r.value) for r in db.iterate_records_raw()}


# --- Methods ------------------------------------------------------------------------

def normal_dir(d):
    return all_records(d)


def carve_dir(d):
    """Normal read plus carving, and the carved records alone."""
    import _vostrel
    with _vostrel.RawLevelDb(d) as db:
        carved = {(r.user_key, r.value) for r in db.carve_records()}
    return all_records(d) | carved, carved


REPAIR_CHILD = r"""
import sys, plyvel
copy = sys.argv[1]
plyvel.repair_db(copy)
db = plyvel.DB(copy)
for key, value in db.iterator():
    sys.stdout.write(key.hex() + " " + value.hex() + "\n")
db.close()
"""

REPAIR_FAILURES = []


def repaired(d):
    """plyvel.repair_db then plyvel's iterator, in a child process: the
    library's repair can abort on a damaged table."""
    copy = d + "-repaired"
    shutil.copytree(d, copy)
    result = subprocess.run([sys.executable, "-c", REPAIR_CHILD, copy], capture_output=True, text=True)
    if result.returncode != 0:
        REPAIR_FAILURES.append((os.path.basename(d), result.returncode,
                                (result.stderr.strip().splitlines() or ["?"])[-1]))
        return set()
    return {tuple(bytes.fromhex(h) for h in line.split(" ")) for line in result.stdout.splitlines()}


def loose(path):
    import _vostrel
    records = _vostrel.read_file(path)
    return ({(r.user_key, r.value) for r in records},
            {(r.user_key, r.value) for r in records if r.recovered})


def row(name, intact, original, results):
    """results: (a) and (b) as record sets, (c) as (all, carved only); the
    records carving invented are counted among the carved ones alone (the
    normal read's own, from a damaged stretch, show under (a))."""
    cells = []
    for i, found in enumerate(results):
        found, judged = found if i == 2 else (found, found)
        got = len(found & intact)
        invented = len(judged - original)
        cells.append(f"{got:>7} ({100 * got / len(intact):5.1f}%) +{invented}")
    print(f"| {name:<34} | {len(intact):>7} | " + " | ".join(cells) + " |")


def recovery(work, count):
    tables_dir = os.path.join(work, "tables")
    logs_dir = os.path.join(work, "logs")
    write_table_store(tables_dir, count)
    write_log_store(logs_dir, count)
    table = max((n for n in os.listdir(tables_dir) if n.endswith(".ldb")),
                key=lambda n: os.path.getsize(os.path.join(tables_dir, n)))
    log = next(n for n in os.listdir(logs_dir) if n.endswith(".log"))
    table_bytes = open(os.path.join(tables_dir, table), "rb").read()
    log_bytes = open(os.path.join(logs_dir, log), "rb").read()
    blocks, (index_offset, index_size) = table_blocks(table_bytes)
    original_tables = all_records(tables_dir)
    original_logs = all_records(logs_dir)
    in_table = {r for _, _, records in blocks for r in records}

    def table_case(name, damaged, damage_ranges, renamed=False):
        d = os.path.join(work, name.replace(" ", "_").replace("%", ""))
        shutil.copytree(tables_dir, d)
        path = os.path.join(d, table)
        with open(path, "wb") as f:
            f.write(damaged)
        intact = (original_tables - in_table) | {
            r for start, end, records in blocks if outside(start, end, damage_ranges) for r in records}
        if renamed:
            loose_path = os.path.join(work, "f12345.bin")
            os.rename(path, loose_path)
            intact = {r for _, _, records in blocks for r in records}
            lonely = os.path.join(work, "lonely")
            os.makedirs(lonely)
            shutil.copy(loose_path, lonely)
            results = [set(), repaired(lonely), loose(loose_path)]
            # (a) the directory reader cannot see it; the loose reader's
            # normal read alone (no carving) is shown in the notes.
            row(name, intact, in_table, results)
            return
        results = [normal_dir(d), repaired(d), carve_dir(d)]
        row(name, intact, original_tables, results)

    n = len(table_bytes)
    print(f"table store: {len(original_tables)} records, damaged table {table} "
          f"({n} bytes, {len(blocks)} data blocks, {len(in_table)} records)")
    print(f"log store: {len(original_logs)} records, log {log} ({len(log_bytes)} bytes)\n")
    print("| damage                             |  intact | (a) normal read         "
          "| (b) repair_db + open     | (c) carving              |")
    print("|---|---:|---:|---:|---:|")
    table_case("table: footer cut off", table_bytes[:-FOOTER], [(n - FOOTER, n)])
    zeroed = bytearray(table_bytes)
    zeroed[index_offset:index_offset + index_size + 5] = bytes(index_size + 5)
    table_case("table: index block zeroed", bytes(zeroed), [(index_offset, index_offset + index_size + 5)])
    table_case("table: truncated at 50%", table_bytes[: n // 2], [(n // 2, n)])
    table_case("table: truncated at 90%", table_bytes[: n * 9 // 10], [(n * 9 // 10, n)])
    table_case("table: renamed f12345.bin, alone", table_bytes, [], renamed=True)

    # 4 KiB zeroed in the middle of the log, from 100 bytes before a header.
    batches = log_batches(log_bytes)
    middle = batches[len(batches) // 2][0] - 100
    damaged = bytearray(log_bytes)
    damaged[middle:middle + 4096] = bytes(4096)
    d = os.path.join(work, "log_zeroed")
    shutil.copytree(logs_dir, d)
    with open(os.path.join(d, log), "wb") as f:
        f.write(damaged)
    intact = {r for start, end, records in batches if outside(start, end, [(middle, middle + 4096)])
              for r in records}
    row("log: 4 KiB zeroed in the middle", intact, original_logs,
        [normal_dir(d), repaired(d), carve_dir(d)])
    for name, code, message in REPAIR_FAILURES:
        print(f"\nrepair_db failed on {name} (exit status {code}): {message}")
    return os.path.join(tables_dir, table), os.path.join(logs_dir, log)


# --- Speed ---------------------------------------------------------------------------

def timed(path, carve, runs=3):
    import _vostrel
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        _vostrel.read_file(path, carve=carve)
        best = min(best, time.perf_counter() - start)
    return best


def speed(work, table, log):
    size_mb = lambda p: os.path.getsize(p) / 1e6
    cut = os.path.join(work, "cut.bin")
    with open(table, "rb") as f, open(cut, "wb") as g:
        g.write(f.read()[:-FOOTER])
    noise = os.path.join(work, "noise.bin")
    with open(noise, "wb") as f:
        f.write(random.Random(3).randbytes(32 << 20))
    print("\n| file | MB | normal read MB/s | with carving MB/s | carving / normal time |")
    print("|---|---:|---:|---:|---:|")
    for name, path in (("table (index intact)", table), ("log", log)):
        normal, carving = timed(path, False), timed(path, True)
        print(f"| {name} | {size_mb(path):.1f} | {size_mb(path) / normal:.0f} | "
              f"{size_mb(path) / carving:.0f} | {carving / normal:.2f} |")
    for name, path in (("table without footer (all by carving)", cut), ("random bytes", noise)):
        carving = timed(path, True)
        print(f"| {name} | {size_mb(path):.1f} | - | {size_mb(path) / carving:.0f} | - |")
    if os.path.exists("/usr/bin/time"):
        child = f"import _vostrel; _vostrel.read_file({cut!r})"
        result = subprocess.run(["/usr/bin/time", "-v", sys.executable, "-c", child],
                                capture_output=True, text=True)
        peak = next((l.split(":")[1].strip() for l in result.stderr.splitlines()
                     if "Maximum resident" in l), "?")
        print(f"\npeak memory carving the footer-less table ({size_mb(cut):.1f} MB): {peak} KiB")


# --- The command, before and after ----------------------------------------------------

ITER_RECORDS = r"""
import sys, _vostrel
n = 0
with _vostrel.RawLevelDb(sys.argv[1]) as db:
    for record in db.iter_records():
        n += 1
"""


def time_v(command, env):
    """(wall seconds, peak RSS MB) of one run under /usr/bin/time -v."""
    result = subprocess.run(["/usr/bin/time", "-v", *command], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, env=env, cwd="/")  # not this tree by cwd
    if result.returncode != 0:
        raise SystemExit(f"{command} failed: {result.stderr[-2000:]}")
    fields = dict(line.strip().rsplit(": ", 1) for line in result.stderr.splitlines() if ": " in line)
    seconds = 0.0
    for part in fields["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":"):
        seconds = seconds * 60 + float(part)
    return seconds, int(fields["Maximum resident set size (kbytes)"]) / 1024


def command(work, records, before, runs):
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    sys.path.insert(0, here)
    from bench_iterate import write_database

    store = os.path.join(work, f"store{records}")
    if not os.path.isdir(store):
        print(f"writing {records:,} records to {store} ...", flush=True)
        write_database(store, records)
        table = sorted(n for n in os.listdir(store) if n.endswith(".ldb"))[0]
        with open(os.path.join(store, table), "r+b") as f:
            f.seek(-FOOTER, 2)
            f.write(bytes(FOOTER))
        print(f"footer of {table} zeroed", flush=True)
    builds = {"after": os.path.join(root, "build") + ":" + root, "before": before}
    py = "/usr/bin/python3"
    cases = {
        "dump --carve": [py, "-m", "vostrel", "dump", "--no-progress", "--carve", "-o", "/dev/null", store],
        "dump": [py, "-m", "vostrel", "dump", "--no-progress", "-o", "/dev/null", store],
        "iter_records": [py, "-c", ITER_RECORDS, store],
    }
    best = {}
    for _ in range(runs):
        for case, argv in cases.items():
            for build, path in builds.items():
                seconds, peak = time_v(argv, dict(os.environ, PYTHONPATH=path))
                old = best.get((case, build), (float("inf"), 0.0))
                best[(case, build)] = (min(old[0], seconds), max(old[1], peak))
    print(f"\n{records:,} records, best of {runs} alternating runs")
    print("| command | before s | after s | speed-up | before peak MB | after peak MB |")
    print("|---|---:|---:|---:|---:|---:|")
    for case in cases:
        (b, bp), (a, ap) = best[(case, "before")], best[(case, "after")]
        print(f"| {case} | {b:.2f} | {a:.2f} | {b / a:.1f}x | {bp:.0f} | {ap:.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=300_000)
    parser.add_argument("--dir", help="work directory (default: a temporary one)")
    parser.add_argument("--command", action="store_true", help="time the dump command instead, before and after")
    parser.add_argument("--store-records", type=int, default=1_000_000)
    parser.add_argument("--before", help="PYTHONPATH of the earlier build and its tree (with --command)")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    work = args.dir or tempfile.mkdtemp(prefix="vostrel-carve-")
    os.makedirs(work, exist_ok=True)
    try:
        if args.command:
            if not args.before:
                parser.error("--command needs --before")
            command(work, args.store_records, args.before, args.runs)
            return
        table, log = recovery(work, args.records)
        speed(work, table, log)
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
