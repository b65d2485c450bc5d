#!/usr/bin/env python3
"""Many stores on one machine: the command on 1 and on all cores, and Dask.

Writes two sets of stores with plyvel once, into benchmarks/data/many/ (kept
between runs; git ignores it):

  * small: 200 stores of 2,000 records (a table or two and a log each)
  * large: 8 stores of 250,000 records (several compacted tables and a log)

and, for each set, in fresh processes and as the median of several runs:

  * loop:     one process, for each store `for r in records_of(db)` touching
              nothing (the plain loop over the records)
  * fields:   the same loop reading all nine fields of every record
  * frames:   one process building every partition's pandas frame in turn
              (vostrel.dask.partition_frame), no Dask: what Dask adds is the rest
  * dump -j1: `vostrel dump --find ROOT -o FILE --jobs 1`, FILE a regular file
              beside the data (deleted after each run)
  * dump -jN: the same with --jobs N (N = cores)
  * null -j1, null -jN: the same two writing to /dev/null, which leaves out
              the system's writing of the file (on a VM it moves the file
              rows by up to a factor of two from run to run)
  * native -j1, native -jN: in one process, _vostrel.export_stores of the
              stores to /dev/null with 1 and N threads, timed without the
              interpreter's start: the reading and formatting alone
  * dask 1w:  len() of vostrel.dask.read_stores(...) on a LocalCluster of one
              single-threaded worker process
  * dask Nw:  the same with N workers

Reported: wall seconds, processor seconds (user + system of every process
involved; for dask the workers', the client's and the scheduler's, counted
from the cluster's own processes), records/s, and peak memory (largest
process, as /usr/bin/time -v reports it). dump -jN is set against dump -j1 by
wall time (scaling). Dask is set against the loops and frames by processor
time: its overhead is the processor time it spends beyond doing the same work
in one process, a figure that other load on the machine hardly moves, where
wall time on a shared machine moves with it.
The dask times leave out starting the cluster and warming it with one small
store (a cluster is started once and kept), but include planning the
partitions and gathering the result.

    .venv/bin/python benchmarks/bench_many.py [--runs R] [--jobs N] [--data DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SETS = {"small": (200, 2_000), "large": (8, 250_000)}

LOOP = r"""
import json, sys, time
import _vostrel
from vostrel.stores import find_stores, records_of
fields = sys.argv[2] == "fields"
stores = find_stores(sys.argv[1])
start, cpu = time.perf_counter(), time.process_time()
count = 0
for store in stores:
    with _vostrel.RawLevelDb(store) as db:
        if fields:
            for r in records_of(db):
                r.key; r.user_key; r.value; r.seq; r.state; r.file_type; r.origin_file
                r.offset; r.was_compressed
                count += 1
        else:
            for r in records_of(db):
                count += 1
print(json.dumps({"records": count, "seconds": time.perf_counter() - start,
                  "cpu": time.process_time() - cpu}))
"""

FRAMES = r"""
import json, sys, time
from vostrel.dask import find_stores, partition_frame, partitions
start, cpu = time.perf_counter(), time.process_time()
count = sum(len(partition_frame(part)) for part in partitions(find_stores(sys.argv[1])))
print(json.dumps({"records": count, "seconds": time.perf_counter() - start,
                  "cpu": time.process_time() - cpu}))
"""

NATIVE = r"""
import json, os, sys, time
import _vostrel
from vostrel.stores import find_stores
stores = find_stores(sys.argv[1])
out = os.open(os.devnull, os.O_WRONLY)
start, cpu = time.perf_counter(), time.process_time()
count = _vostrel.export_stores(stores, out, threads=int(sys.argv[2]))
print(json.dumps({"records": count, "seconds": time.perf_counter() - start,
                  "cpu": time.process_time() - cpu}))
"""

DASK = r"""
import json, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)
from distributed import Client, LocalCluster
from vostrel.dask import find_stores, read_stores
workers = int(sys.argv[2])
with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                  dashboard_address=None) as cluster, Client(cluster) as client:
    # Workers warm, as on a running cluster: the module imported and one
    # small frame computed (the first task a worker runs pays for pandas'
    # and Dask's own first use).
    client.run(lambda: __import__("vostrel.dask"))
    stores = find_stores(sys.argv[1])
    len(read_stores(stores[:1]))
    def cpu():
        return sum(client.run(time.process_time).values()) + time.process_time()
    cpu_before = cpu()  # the workers' and this process's (client and scheduler)
    start = time.perf_counter()
    frame = read_stores(find_stores(sys.argv[1]))  # planning counted, as a user pays it
    count = len(frame)  # computed on the cluster: the client is the default scheduler
    seconds = time.perf_counter() - start
    cpu_used = cpu() - cpu_before
print(json.dumps({"records": count, "seconds": seconds, "cpu": cpu_used}))
"""


def write_store(path: str, count: int, seed: int) -> None:
    import plyvel

    rng = random.Random(seed)
    small = count < 10_000
    db = plyvel.DB(path, create_if_missing=True, compression="snappy",
                   write_buffer_size=(64 << 10) if small else (4 << 20))
    keys = max(1, count * 3 // 4)  # a quarter of the writes overwrite a key
    written = 0
    while written < count:
        with db.write_batch() as batch:
            for _ in range(min(500, count - written)):
                key = b"key/%012d" % rng.randrange(keys)
                if rng.random() < 0.05:
                    batch.delete(key)
                else:
                    batch.put(key, (b"%012d" % rng.getrandbits(36)) * 4 + rng.randbytes(52))
                written += 1
    db.close()


def ensure_data(data: str) -> None:
    for name, (stores, records) in SETS.items():
        root = os.path.join(data, name)
        done = os.path.join(root, ".complete")
        if os.path.exists(done):
            continue
        print(f"writing {stores} stores of {records} records into {root} ...", file=sys.stderr)
        os.makedirs(root, exist_ok=True)
        for i in range(stores):
            path = os.path.join(root, f"store-{i:03d}")
            if os.path.exists(path):
                import shutil

                shutil.rmtree(path)
            write_store(path, records, seed=1000 * len(name) + i)
        open(done, "w").close()


def timed(argv) -> dict:
    """Runs argv under /usr/bin/time -v: seconds (wall) and peak RSS in MiB."""
    start = time.perf_counter()
    # Away from the source tree, so that `-m vostrel` is the installed package.
    result = subprocess.run(["/usr/bin/time", "-v", *argv], capture_output=True, text=True,
                            cwd="/")
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"failed: {' '.join(argv)}\n{result.stderr}")
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    # User and system time of the process and of the children it waited for
    # (the command's worker processes).
    cpu = sum(float(m) for m in re.findall(r"(?:User|System) time \(seconds\): ([\d.]+)",
                                             result.stderr))
    return {"seconds": seconds, "peak_mib": int(peak.group(1)) / 1024 if peak else None,
            "cpu": cpu, "stdout": result.stdout}


def median_of(runs: int, measure) -> dict:
    samples = [measure() for _ in range(runs)]
    return {key: statistics.median(s[key] for s in samples)
            for key in ("seconds", "cpu", "peak_mib") if samples[0].get(key) is not None}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--data", default=os.path.join(HERE, "data", "many"))
    args = parser.parse_args()
    ensure_data(args.data)
    python = sys.executable
    print(f"cores: {os.cpu_count()}, jobs: {args.jobs}, load average before: "
          f"{os.getloadavg()[0]:.2f}, runs: {args.runs} (median)")

    results = {}
    for name in SETS:
        root = os.path.join(args.data, name)

        def in_process(code, *extra):
            def measure():
                out = timed([python, "-c", code, root, *extra])
                return {**json.loads(out["stdout"]), "peak_mib": out["peak_mib"]}
            return measure

        count = json.loads(timed([python, "-c", LOOP, root, "bare"])["stdout"])["records"]
        rows = {
            "loop": median_of(args.runs, in_process(LOOP, "bare")),
            "fields": median_of(args.runs, in_process(LOOP, "fields")),
            "frames": median_of(args.runs, in_process(FRAMES)),
        }
        # A regular file, as a real dump writes: with /dev/null, --jobs 1 would
        # write nothing while more jobs write every store's part to disk and
        # copy it.
        output = os.path.join(args.data, "dump.out")

        def dump(jobs):
            try:
                return timed([python, "-m", "vostrel", "dump", "--find", root, "-o", output,
                              "--jobs", str(jobs)])
            finally:
                os.unlink(output)

        for jobs in sorted({1, args.jobs}):
            rows[f"dump -j{jobs}"] = median_of(args.runs, lambda jobs=jobs: dump(jobs))
        for jobs in sorted({1, args.jobs}):
            rows[f"null -j{jobs}"] = median_of(args.runs, lambda jobs=jobs: timed(
                [python, "-m", "vostrel", "dump", "--find", root, "-o", "/dev/null", "--jobs", str(jobs)]))
        for jobs in sorted({1, args.jobs}):
            rows[f"native -j{jobs}"] = median_of(args.runs, in_process(NATIVE, str(jobs)))
        for workers in sorted({1, args.jobs}):
            rows[f"dask {workers}w"] = median_of(args.runs, in_process(DASK, str(workers)))
        results[name] = (count, rows)

        print(f"\n{name}: {SETS[name][0]} stores, {count:,} records")
        print(f"  {'':10} {'seconds':>8} {'cpu s':>6} {'records/s':>12} {'peak MiB':>9}  ratio")
        base = {"dump": rows["dump -j1"]["seconds"], "loop": rows["loop"]["seconds"],
                "fields": rows["fields"]["seconds"], "frames": rows["frames"]["seconds"]}
        for label, row in rows.items():
            rate = count / row["seconds"]
            peak = f"{row['peak_mib']:9.0f}" if "peak_mib" in row else " " * 9
            note = ""
            if label.startswith("dump -j") and label != "dump -j1":
                note = f"{base['dump'] / row['seconds']:.2f}x dump -j1"
            elif label[:7] in ("null -j", "native ") and not label.endswith("-j1"):
                first = label.split()[0] + " -j1"
                note = f"{rows[first]['seconds'] / row['seconds']:.2f}x {first}"
            elif label.startswith("dask"):
                # Overhead as processor time, which load from other
                # processes on the machine does not inflate the way it does
                # wall time: the workers', the client's and the scheduler's
                # against the same work in one process.
                workers = int(label.split()[1][:-1])
                note = ("cpu: " + ", ".join(f"{row['cpu'] / rows[b]['cpu']:.2f}x {b}"
                                            for b in ("loop", "fields", "frames")))
                if workers > 1:
                    one = rows["dask 1w"]["seconds"]
                    note += f"; wall {one / row['seconds']:.2f}x dask 1w"
            print(f"  {label:10} {row['seconds']:8.2f} {row['cpu']:6.2f} {rate:12,.0f} {peak}  {note}")


if __name__ == "__main__":
    main()
