#!/usr/bin/env python3
"""Times vostrel's raw iteration against the real library's Python binding.

Writes a database of 1,000,000 records (16-byte keys, 100-byte values; some keys
overwritten and some deleted; Snappy tables plus a log) with plyvel once, then
in one run times, each in fresh processes and as the median of several runs:

  * vostrel: RawLevelDb(d).iterate_records_raw()  (every raw record)
  * plyvel:  list(plyvel.DB(d).iterator())        (live records only, merged)

and reports records per second, the ratio, and each process's peak memory.
With --mode iter each process walks one record at a time instead:

  * vostrel: for r in RawLevelDb(d).iter_records(): pass
  * plyvel:  for kv in plyvel.DB(d).iterator(): pass

The two readers alternate run by run, so that a machine shared with other work
slows both alike; besides the wall time each run reports its CPU time (user and
system), which other processes on the machine disturb less.

    .venv/bin/python benchmarks/bench_iterate.py [--records N] [--runs R] [--dir PATH] [--mode list|iter]
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import json, resource, sys, time
kind, path, mode = sys.argv[1], sys.argv[2], sys.argv[3]


def walk(records):
    count = 0
    for r in records:
        count += 1
    return count


start, cpu = time.perf_counter(), time.process_time()
if kind == "vostrel":
    import _vostrel
    with _vostrel.RawLevelDb(path) as db:
        count = len(db.iterate_records_raw()) if mode == "list" else walk(db.iter_records())
else:
    import plyvel
    db = plyvel.DB(path)
    count = len(list(db.iterator())) if mode == "list" else walk(db.iterator())
    db.close()
elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"records": count, "seconds": elapsed, "cpu_seconds": cpu, "peak_mib": peak_kib / 1024}))
"""


def write_database(path, count):
    import plyvel

    rng = random.Random(20261207)
    db = plyvel.DB(path, create_if_missing=True, compression="snappy", write_buffer_size=4 << 20)
    keys = [b"%016d" % i for i in range(count)]
    order = list(range(count))
    rng.shuffle(order)
    # Half-compressible values: Snappy shrinks them, as with real application data.
    def value():
        return (b"%012d" % rng.getrandbits(36)) * 4 + rng.randbytes(52)

    batch = db.write_batch()
    written = 0
    for i in order:
        batch.put(keys[i], value())
        written += 1
        if written % 1000 == 0:
            batch.write()
            batch = db.write_batch()
    batch.write()
    # Overwrite 5% and delete 2% of the keys; the last writes stay in the log.
    for i in rng.sample(range(count), count // 20):
        db.put(keys[i], value())
    for i in rng.sample(range(count), count // 50):
        db.delete(keys[i])
    db.close()


def run_child(kind, path, mode):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, kind, path, mode], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", help="reuse or create the database here instead of a temporary folder")
    parser.add_argument("--mode", choices=("list", "iter"), default="list",
                        help="build the whole list (default) or walk one record at a time")
    args = parser.parse_args()

    temp = None
    path = args.dir
    if path is None:
        temp = tempfile.mkdtemp(prefix="vostrel-bench-")
        path = os.path.join(temp, "db")
    try:
        if not os.path.isdir(path):
            print(f"writing {args.records:,} records to {path} ...", flush=True)
            write_database(path, args.records)
        files = sorted(os.listdir(path))
        size = sum(os.path.getsize(os.path.join(path, f)) for f in files)
        print(f"database: {len(files)} files, {size / 1e6:.1f} MB")

        results = {"vostrel": [], "plyvel": []}
        run_child("vostrel", path, args.mode)  # warm the page cache
        for _ in range(args.runs):
            for kind in results:
                results[kind].append(run_child(kind, path, args.mode))

        summary = {}
        for kind, runs in results.items():
            seconds = statistics.median(r["seconds"] for r in runs)
            summary[kind] = {
                "records": runs[0]["records"],
                "seconds": seconds,
                "cpu_seconds": statistics.median(r["cpu_seconds"] for r in runs),
                "records_per_second": runs[0]["records"] / seconds,
                "peak_mib": statistics.median(r["peak_mib"] for r in runs),
            }
        for kind, s in summary.items():
            print(
                f"{kind:8} {s['records']:>10,} records  {s['seconds'] * 1000:8.1f} ms  "
                f"(CPU {s['cpu_seconds'] * 1000:8.1f} ms)  "
                f"{s['records_per_second'] / 1e6:6.2f} M records/s  peak {s['peak_mib']:7.1f} MiB"
            )
        v, p = summary["vostrel"], summary["plyvel"]
        print(f"per-record speed, vostrel / plyvel: {v['records_per_second'] / p['records_per_second']:.2f}x")
        cpu_ratio = (v["records"] / v["cpu_seconds"]) / (p["records"] / p["cpu_seconds"])
        print(f"per-record CPU,   vostrel / plyvel: {cpu_ratio:.2f}x")
        print(f"wall time,        plyvel / vostrel: {p['seconds'] / v['seconds']:.2f}x")
        print(f"peak memory,      vostrel / plyvel: {v['peak_mib'] / p['peak_mib']:.2f}x")
    finally:
        if temp is not None:
            shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    main()
