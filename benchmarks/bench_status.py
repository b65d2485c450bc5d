#!/usr/bin/env python3
"""What the status costs: `vostrel dump --status` against plain `dump`, and
latest() against the real library's iterator.

  dump / dump --status   vostrel dump [--status] --no-progress -o /dev/null STORE,
                         each in a fresh process under /usr/bin/time -v (wall
                         time, peak resident set size), the two alternating,
                         --runs rounds; the medians
  latest()               RawLevelDb(STORE).latest() in this process
  plyvel iterator        for kv in plyvel.DB(COPY).iterator(): pass, on a copy
                         the library has opened once (so its log is already a
                         table and opening writes nothing more)

Nothing writes to STORE: the dump only reads it.

    /usr/bin/python3 benchmarks/bench_status.py --store benchmarks/data/db5m \\
        --copy /tmp/db5m_p [--runs 3]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def timed_dump(store: str, extra: list, env: dict) -> tuple:
    command = ["/usr/bin/time", "-v", sys.executable, "-m", "vostrel", "dump", *extra, "--no-progress",
               "-o", "/dev/null", store]
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    wall = re.search(r"Elapsed \(wall clock\) time .*: (?:(\d+):)?(\d+):([\d.]+)", result.stderr)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    seconds = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    return seconds, int(rss.group(1)) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", required=True)
    parser.add_argument("--copy", required=True, help="a copy of the store for plyvel")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=f"{args.build}:{ROOT}")
    sys.path[:0] = [args.build, ROOT]

    times = {"dump": [], "dump --status": []}
    peaks = {"dump": [], "dump --status": []}
    for _ in range(args.runs):
        for name, extra in (("dump", []), ("dump --status", ["--status"])):
            seconds, peak = timed_dump(args.store, extra, env)
            times[name].append(seconds)
            peaks[name].append(peak)
    for name in times:
        print(f"{name:16} {statistics.median(times[name]):7.2f} s  peak {statistics.median(peaks[name]):6.0f} MB"
              f"   (runs: {', '.join(f'{t:.2f}' for t in times[name])})")
    ratio = statistics.median(times["dump --status"]) / statistics.median(times["dump"])
    print(f"--status time / plain time: {ratio:.2f}x")

    import _vostrel
    import plyvel

    started = time.perf_counter()
    with _vostrel.RawLevelDb(args.store) as db:
        count = len(db.latest())
    latest = time.perf_counter() - started
    started = time.perf_counter()
    db = plyvel.DB(args.copy)
    library = 0
    for _ in db.iterator():
        library += 1
    db.close()
    iterator = time.perf_counter() - started
    print(f"latest()         {latest:7.2f} s  ({count} records)")
    print(f"plyvel iterator  {iterator:7.2f} s  ({library} records)")
    print(f"latest() time / iterator time: {latest / iterator:.2f}x")


if __name__ == "__main__":
    main()
