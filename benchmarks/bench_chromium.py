#!/usr/bin/python3
"""Decoding a large IndexedDB store with `vostrel chromium` against dumping its
raw records with `vostrel dump`, in the same run, plus the share of records
that decode without falling back to raw bytes.

    .venv/bin/python benchmarks/bench_chromium.py [--objects N] [--runs R] [--store DIR]

Without --store, Chromium writes a fresh store of N mixed objects (notes,
messages with dates, contacts with Maps and typed arrays, events with Sets,
BigInts and nested arrays) with scripts/make_chromium_stores.py --bench (needs
Debian's chromium). Each command runs R times in a fresh process writing to
/dev/null; the table gives the median wall time and the peak resident memory
that /usr/bin/time -v reports.
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


def decoded_share(directory: str) -> tuple:
    """(entries, entries without a raw fallback)."""
    from vostrel import chromium

    total = clean = 0
    for entry in chromium.iter_entries(directory):
        total += 1
        clean += "error" not in entry
    return total, clean


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objects", type=int, default=40000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--store", help="an existing IndexedDB store to time instead")
    args = parser.parse_args()

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
