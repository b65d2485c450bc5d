#!/usr/bin/python3
"""Decoding a large IndexedDB store with `vostrel chromium` against dumping its
raw records with `vostrel dump`, in the same run, plus the share of records
that decode without falling back to raw bytes.

    .venv/bin/python benchmarks/bench_chromium.py [--objects N] [--runs R] [--store DIR]
    .venv/bin/python benchmarks/bench_chromium.py --profile DIR [--runs R]

Without --store, Chromium writes a fresh store of N mixed objects (notes,
messages with dates, contacts with Maps and typed arrays, events with Sets,
BigInts and nested arrays) with scripts/make_chromium_stores.py --bench (needs
Debian's chromium). Each command runs R times in a fresh process writing to
/dev/null; the table gives the median wall time and the peak resident memory
that /usr/bin/time -v reports.

--profile times a whole profile instead (one that
benchmarks/make_chromium_profile.py builds): `vostrel chromium --find` and
`vostrel dump --find` of it with --jobs 1 and --jobs 2, and the records each
writes a second.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VOSTREL = [sys.executable, "-m", "vostrel"]


def timed(command: list) -> tuple:
    """(wall seconds, peak RSS in KiB) of one run."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", *command], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    elapsed = time.perf_counter() - start
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    return elapsed, peak


def cpu_seconds(command: list) -> float:
    """User plus system time of one run: on a machine other work shares, the
    cost that wall time hides."""
    result = subprocess.run(["/usr/bin/time", "-f", "%U %S", *command], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    user, system = result.stderr.split()[-2:]
    return float(user) + float(system)


def decoded_share(directory: str) -> tuple:
    """(entries, entries without a raw fallback)."""
    from vostrel import chromium

    total = clean = 0
    for entry in chromium.iter_entries(directory):
        total += 1
        clean += "error" not in entry
    return total, clean


def lines_of(command: list) -> int:
    output = subprocess.run(command + ["-o", "-"], stdout=subprocess.PIPE, check=True).stdout
    return output.count(b"\n")


def profile(root: str, runs: int) -> int:
    """The whole-profile table: median wall time of each command and --jobs."""
    stores = [d for d, _, files in os.walk(root) if "CURRENT" in files]
    size = sum(os.path.getsize(os.path.join(d, f)) for d in stores for f in os.listdir(d)
               if f.endswith((".ldb", ".log", ".sst")))
    print(f"profile: {len(stores)} LevelDB stores, {size / 1e6:.1f} MB of data files")
    commands = {}
    for jobs in ("1", "2"):
        commands[f"vostrel dump --jobs {jobs}"] = VOSTREL + ["dump", "--find", root, "--jobs", jobs]
        commands[f"vostrel chromium --jobs {jobs}"] = VOSTREL + ["chromium", "--find", root, "--jobs", jobs]
    records = {name: lines_of(command) for name, command in commands.items()}
    results = {name: [] for name in commands}
    cpu = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():  # interleaved: drift hits both alike
            results[name].append(timed(command + ["-o", os.devnull]))
            cpu[name].append(cpu_seconds(command + ["-o", os.devnull]))
    print(f"{'command':<28} {'records':>10} {'median':>9} {'records/s':>11} {'CPU':>8} {'peak memory':>12}")
    medians = {}
    for name, timings in results.items():
        medians[name] = statistics.median(t for t, _ in timings)
        peak = max(p for _, p in timings)
        print(f"{name:<28} {records[name]:>10,} {medians[name]:>7.2f} s {records[name] / medians[name]:>11,.0f} "
              f"{statistics.median(cpu[name]):>6.2f} s {peak / 1024:>8.0f} MiB")
    for jobs in ("1", "2"):
        ratio = medians[f"vostrel chromium --jobs {jobs}"] / medians[f"vostrel dump --jobs {jobs}"]
        print(f"--jobs {jobs}: decoding costs {ratio:.2f}x the raw dump's time")
    print(f"vostrel chromium: --jobs 2 runs {medians['vostrel chromium --jobs 1'] / medians['vostrel chromium --jobs 2']:.2f}x "
          f"as fast as --jobs 1")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objects", type=int, default=40000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--store", help="an existing IndexedDB store to time instead")
    parser.add_argument("--profile", metavar="DIR", help="a whole profile to time instead")
    args = parser.parse_args()
    # The package's bytecode written once beside its sources (git ignores
    # it), as an installed copy has it: with PYTHONDONTWRITEBYTECODE set, as
    # on this machine, every process would otherwise compile the package
    # anew (about 13 ms of each run's start).
    subprocess.run([sys.executable, "-m", "compileall", "-q", os.path.join(ROOT, "vostrel")], check=True)
    if args.profile:
        return profile(args.profile, args.runs)

    with tempfile.TemporaryDirectory(prefix="vostrel-bench-chromium-") as scratch:
        store = args.store
        if store is None:
            subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make_chromium_stores.py"),
                            "--bench", str(args.objects), "--out", scratch], check=True)
            store = glob.glob(os.path.join(scratch, "IndexedDB", "*.indexeddb.leveldb"))[0]
        files = sorted(os.listdir(store))
        size = sum(os.path.getsize(os.path.join(store, f)) for f in files)
        print(f"store: {len(files)} files, {size / 1e6:.1f} MB "
              f"({', '.join(f for f in files if f.endswith(('.ldb', '.log')))})")

        commands = {
            "vostrel dump": VOSTREL + ["dump", "-o", os.devnull, store],
            "vostrel chromium": VOSTREL + ["chromium", "-o", os.devnull, store],
        }
        results = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, command in commands.items():  # interleaved: drift hits both alike
                results[name].append(timed(command))

        total, clean = decoded_share(store)
        print(f"entries: {total:,}, decoded without raw fallback: {clean:,} "
              f"({100 * clean / total:.2f}%)")
        print(f"{'command':<18} {'median':>9} {'peak memory':>12}")
        medians = {}
        for name, runs in results.items():
            medians[name] = statistics.median(t for t, _ in runs)
            peak = max(p for _, p in runs)
            print(f"{name:<18} {medians[name] * 1000:>7.0f} ms {peak / 1024:>8.0f} MiB")
        ratio = medians["vostrel chromium"] / medians["vostrel dump"]
        print(f"decoding costs {ratio:.2f}x the raw dump's time")

    committed = os.path.join(ROOT, "tests", "data", "chromium")
    stores = [os.path.join(committed, "Local Storage", "leveldb"),
              os.path.join(committed, "Session Storage"),
              *glob.glob(os.path.join(committed, "IndexedDB", "*.indexeddb.leveldb"))]
    shares = [decoded_share(s) for s in stores]
    total, clean = sum(t for t, _ in shares), sum(c for _, c in shares)
    print(f"committed stores: {total} entries, {clean} decoded without raw fallback "
          f"({100 * clean / total:.1f}%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
