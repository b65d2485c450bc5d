#!/usr/bin/env python3
"""What a decompression bomb costs: a store of two genuine logs (written by
plyvel) with, between them, a table of about 100 KB whose --blocks zstd data
blocks each expand to one IndexedDB record with a value of --value-mib MiB
(tests/python/zstd_bomb.py builds it byte by byte). The values cycle through
the shapes of zstd_bomb.SHAPES: zeros (no Chromium value at all), a genuine
one-byte string filling the value, a string and an array declaring more than
the value holds, and a Snappy-wrapped value declaring 256 MiB.

Each command runs in a fresh process under /usr/bin/time -v: wall time and
peak resident set size.

  dump        vostrel dump --no-progress DIR -o /dev/null
  indexeddb   vostrel chromium --kind indexeddb DIR -o /dev/null
  iterate     a loop over RawLevelDb(DIR).iter_records() keeping nothing

    /usr/bin/python3 benchmarks/bench_bomb.py [--blocks 15] [--value-mib 200]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from zstd_bomb import SHAPES, bomb_store  # noqa: E402

sys.path.insert(0, str(HERE))
from bench_dump import measure  # noqa: E402

ITERATE = "import sys, _vostrel\nfor _ in _vostrel.RawLevelDb(sys.argv[1]).iter_records(): pass"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--blocks", type=int, default=15)
    parser.add_argument("--value-mib", type=int, default=200)
    parser.add_argument("--only", help="comma-separated commands to run (default: all)")
    args = parser.parse_args()
    py = sys.executable
    shapes = [list(SHAPES)[i % len(SHAPES)] for i in range(args.blocks)]
    with tempfile.TemporaryDirectory(prefix="vostrel-bomb-") as scratch:
        path = bomb_store(Path(scratch) / "db", args.value_mib << 20, shapes)
        table = path / "000004.ldb"
        print(f"{args.blocks} blocks of {args.value_mib} MiB values ({', '.join(shapes)}); "
              f"table {table.stat().st_size:,} bytes")
        commands = {
            "dump": [py, "-m", "vostrel", "dump", "--no-progress", str(path), "-o", "/dev/null"],
            "indexeddb": [py, "-m", "vostrel", "chromium", "--kind", "indexeddb", str(path), "-o", "/dev/null"],
            "iterate": [py, "-c", ITERATE, str(path)],
        }
        wanted = args.only.split(",") if args.only else list(commands)
        env_note = os.environ.get("PYTHONPATH", "")
        print(f"PYTHONPATH={env_note}")
        for name in wanted:
            seconds, peak, _ = measure(commands[name])
            print(f"{name:10s} {seconds:7.1f} s  {peak:8.0f} MiB peak", flush=True)


if __name__ == "__main__":
    main()
