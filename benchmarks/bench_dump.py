#!/usr/bin/env python3
"""`vostrel dump` and iter_records against their baselines, on stores written
by the real library.

Stores: 1,000,000 and 5,000,000 records (16-byte keys, 100-byte values, 5%
overwritten and 2% deleted; Snappy tables plus a log), written once with plyvel
into benchmarks/data/ (git-ignored; writing 5,000,000 takes minutes) by the
same writer as bench_iterate.py. Then, each reader in a fresh process under
/usr/bin/time -v (wall time and peak resident set size, which counts the touched
pages of file mappings too), the median of --runs runs:

  dump jsonl / csv     vostrel dump --no-progress -o /dev/null (native exporter,
                       formatting on every core)
  dump jsonl / csv 1t  the same with --threads 1
  python jsonl / csv   the Python formatting path vostrel dump used before:
                       iterate_records_raw, then the Python reference writer
                       (tests/python/reference_writer.py)
  DumpFile loop        leveldb::DumpFile for every data file (dumpfile_loop,
                       built with -Dbenchmarks=true), output to /dev/null
  iter_records         a loop over RawLevelDb.iter_records() keeping nothing
  plyvel               a loop over plyvel.DB(d).iterator() keeping nothing
  raw now / before     iterate_records_raw() with this build and with a build
                       of an earlier commit (--before PYTHONPATH), if given

    .venv/bin/python benchmarks/bench_dump.py [--stores 1m,5m] [--runs 3]
        [--slow-runs 1] [--before /tmp/vostrel-before/build]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.path.join(HERE, "data")
STORES = {"1m": 1_000_000, "5m": 5_000_000}

PYTHON_PATH = r"""
import sys, _vostrel
sys.path.insert(0, sys.argv[3])  # tests/python: the reference writer
from reference_writer import write_records
from vostrel.encodings import ENCODERS
fmt, d = sys.argv[1], sys.argv[2]
with _vostrel.RawLevelDb(d) as db:
    records = db.iterate_records_raw()
with open("/dev/null", "w", encoding="utf-8", newline="", buffering=1 << 16) as out:
    write_records(records, out, fmt, ENCODERS["escaped"])
"""
ITER_RECORDS = r"""
import sys, _vostrel
n = 0
with _vostrel.RawLevelDb(sys.argv[1]) as db:
    for record in db.iter_records():
        n += 1
print(n)
"""
# Opening a store with the real library changes it (the log is written into a
# new table and old files are deleted), so plyvel reads a fresh copy each run.
PLYVEL = r"""
import sys, plyvel
db = plyvel.DB(sys.argv[1])
n = 0
for key, value in db.iterator():
    n += 1
db.close()
print(n)
"""
RAW = r"""
import sys, _vostrel
with _vostrel.RawLevelDb(sys.argv[1]) as db:
    print(len(db.iterate_records_raw()))
"""


def measure(command, env=None, copy_of=None):
    """(seconds, peak MiB, stdout) of one run under /usr/bin/time -v. With
    copy_of, the last argument is replaced by a fresh copy of that directory
    (made before timing starts)."""
    if copy_of is not None:
        with tempfile.TemporaryDirectory(dir=DATA) as scratch:
            copy = os.path.join(scratch, "db")
            shutil.copytree(copy_of, copy)
            return measure([*command[:-1], copy], env)
    with tempfile.NamedTemporaryFile("r") as report:
        result = subprocess.run(["/usr/bin/time", "-v", "-o", report.name, *command],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, check=True)
        text = report.read()
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", text).group(1)
    seconds = 0.0
    for part in wall.split(":"):
        seconds = seconds * 60 + float(part)
    peak_kib = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return seconds, peak_kib / 1024, result.stdout


def ensure_store(name):
    path = os.path.join(DATA, "db" + name)
    if not os.path.isdir(path):
        sys.path.insert(0, HERE)
        from bench_iterate import write_database

        print(f"writing {STORES[name]:,} records to {path} ...", flush=True)
        os.makedirs(DATA, exist_ok=True)
        write_database(path, STORES[name])
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stores", default="1m,5m")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--slow-runs", type=int, default=1, help="runs of the Python formatting path")
    parser.add_argument("--before", help="PYTHONPATH of an earlier build, for iterate_records_raw")
    parser.add_argument("--only", help="comma-separated labels of the readers to run (default: all)")
    parser.add_argument("--dumpfile", default=os.path.join(ROOT, "build-bench", "benchmarks", "dumpfile_loop"))
    args = parser.parse_args()
    py = sys.executable

    for name in args.stores.split(","):
        path = ensure_store(name)
        import _vostrel

        with _vostrel.RawLevelDb(path) as db:
            stats = db.file_stats()
        raw_records = sum(f["records"] for f in stats)
        size = sum(f["size"] or 0 for f in stats)
        print(f"\n== store {name}: {len(stats)} data files, {size / 1e6:.0f} MB, {raw_records:,} raw records")

        readers = {
            "dump jsonl": ([py, "-m", "vostrel", "dump", "--no-progress", "-o", "/dev/null", path], None),
            "dump csv": ([py, "-m", "vostrel", "dump", "--no-progress", "--format", "csv", "-o", "/dev/null",
                          path], None),
            "dump jsonl 1t": ([py, "-m", "vostrel", "dump", "--no-progress", "--threads", "1", "-o", "/dev/null",
                               path], None),
            "dump csv 1t": ([py, "-m", "vostrel", "dump", "--no-progress", "--threads", "1", "--format", "csv",
                             "-o", "/dev/null", path], None),
            "python jsonl": ([py, "-c", PYTHON_PATH, "jsonl", path, os.path.join(ROOT, "tests", "python")], None),
            "python csv": ([py, "-c", PYTHON_PATH, "csv", path, os.path.join(ROOT, "tests", "python")], None),
            "DumpFile loop": ([args.dumpfile, path], None),
            "iter_records": ([py, "-c", ITER_RECORDS, path], None),
            "plyvel": ([py, "-c", PLYVEL, path], None),
            "raw now": ([py, "-c", RAW, path], None),
        }
        if args.before:
            readers["raw before"] = ([py, "-c", RAW, path], {**os.environ, "PYTHONPATH": args.before})
        if args.only:
            wanted = [label.strip() for label in args.only.split(",")]
            readers = {label: readers[label] for label in wanted}
        measure(readers[next(iter(readers))][0])  # warm the page cache

        results = {}
        for label, (command, env) in readers.items():
            runs = args.slow_runs if label.startswith("python") else args.runs
            copy_of = path if label == "plyvel" else None
            samples = [measure(command, env, copy_of) for _ in range(runs)]
            seconds = statistics.median(s[0] for s in samples)
            peak = max(s[1] for s in samples)
            out = samples[0][2].strip()
            records = int(out) if out.isdigit() else raw_records
            results[label] = (seconds, peak, records)
            print(f"{label:14} {records:>10,} records  {seconds:7.2f} s  {records / seconds / 1e6:6.2f} M rec/s"
                  f"  peak {peak:7.1f} MiB", flush=True)

        def rate(label):
            seconds, _, records = results[label]
            return records / seconds

        print("ratios (records/s):")
        for a, b in [("dump jsonl", "dump jsonl 1t"), ("dump csv", "dump csv 1t"),
                     ("dump jsonl 1t", "DumpFile loop"), ("dump jsonl", "python jsonl"), ("dump csv", "python csv"), ("dump jsonl", "DumpFile loop"),
                     ("dump csv", "DumpFile loop"), ("iter_records", "plyvel"), ("raw now", "raw before")]:
            if a in results and b in results:
                print(f"  {a} / {b}: {rate(a) / rate(b):.2f}x")


if __name__ == "__main__":
    main()
