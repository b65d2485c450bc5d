#!/usr/bin/env python3
"""What the status costs: `vostrel dump --status` against plain `dump`, and
latest() against the real library's iterator.

  dump / dump --status   vostrel dump [--status] --no-progress -o /dev/null STORE,
                         each in a fresh process under /usr/bin/time -v (wall
                         time, peak resident set size), the two alternating,
                         --runs rounds; the medians
  latest()               RawLevelDb(STORE).latest(), timed inside a fresh process
  plyvel iterator        for kv in plyvel.DB(COPY).iterator(): pass, the same way,
                         on a copy the library has opened once (so its log is
                         already a table and opening writes nothing more)

Every measurement of a round runs once, one after the other, --runs rounds;
each figure is the median of its rounds, and each ratio is taken between
medians of the same run. With --baseline BUILD (another build directory, or
one holding the module and the vostrel package) its dump --status and
latest() join each round, for before/after figures.

Nothing writes to STORE: the dump only reads it.

    /usr/bin/python3 benchmarks/bench_status.py --store benchmarks/data/db5m \\
        --copy /tmp/db5m_p [--runs 3] [--baseline OTHER_BUILD]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys

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


LATEST = """
import sys, time, _vostrel
started = time.perf_counter()
with _vostrel.RawLevelDb(sys.argv[1]) as db:
    count = len(db.latest())
print(time.perf_counter() - started, count)
"""

ITERATOR = """
import sys, time, plyvel
started = time.perf_counter()
db = plyvel.DB(sys.argv[1])
count = 0
for _ in db.iterator():
    count += 1
db.close()
print(time.perf_counter() - started, count)
"""


def timed_script(script: str, path: str, env: dict) -> tuple:
    result = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"failed on {path}: {result.stderr.strip().splitlines()[-1:]}")
    seconds, count = result.stdout.split()
    return float(seconds), int(count)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--store", required=True)
    parser.add_argument("--copy", required=True, help="a copy of the store for plyvel")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--baseline", help="another build to compare with")
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=f"{args.build}:{ROOT}")
    steps = [("dump", lambda: timed_dump(args.store, [], env)),
             ("dump --status", lambda: timed_dump(args.store, ["--status"], env)),
             ("latest()", lambda: timed_script(LATEST, args.store, env)),
             ("plyvel iterator", lambda: timed_script(ITERATOR, args.copy, env))]
    if args.baseline:
        before = dict(os.environ, PYTHONPATH=f"{args.baseline}:{ROOT}")
        steps += [("before: dump", lambda: timed_dump(args.store, [], before)),
                  ("before: --status", lambda: timed_dump(args.store, ["--status"], before)),
                  ("before: latest()", lambda: timed_script(LATEST, args.store, before))]
    times = {name: [] for name, _ in steps}
    other = {name: [] for name, _ in steps}  # peak MB of a dump, records of the others
    for _ in range(args.runs):
        for name, step in steps:
            seconds, extra = step()
            times[name].append(seconds)
            other[name].append(extra)
    median = {name: statistics.median(values) for name, values in times.items()}
    for name, _ in steps:
        unit = "peak {:6.0f} MB" if "dump" in name or "status" in name else "{:.0f} records"
        print(f"{name:18} {median[name]:7.2f} s  {unit.format(statistics.median(other[name]))}"
              f"   (runs: {', '.join(f'{t:.2f}' for t in times[name])})")
    print(f"--status time / plain time: {median['dump --status'] / median['dump']:.2f}x")
    print(f"latest() time / iterator time: {median['latest()'] / median['plyvel iterator']:.2f}x")
    if args.baseline:
        print(f"before: --status / plain: {median['before: --status'] / median['before: dump']:.2f}x, "
              f"latest() / iterator: {median['before: latest()'] / median['plyvel iterator']:.2f}x")


if __name__ == "__main__":
    main()
