#!/usr/bin/env python3
"""Times vostrel.chromium.iter_entries against the command's own work.

For each store given, in one process, passes alternate between:

  * export:  _vostrel.chromium_export(store, /dev/null)  (what `vostrel chromium
             STORE -o /dev/null` does, in process)
  * entries: list(vostrel.chromium.iter_entries(store))  (dicts of Python values
             built from the decoded values)
  * stream:  the same, each entry dropped as the next comes (no list kept)
  * lines:   the JSON route iter_entries once took: each entry's line read
             back with json's scanner and its values revived by from_json
  * objects: pickle.loads of the entries' list: the cost of making those
             Python objects alone (pickle's loader is a C loop over the
             objects, their shared texts made once), no store read at all;
             a floor no way of building the entries goes below

and reports the median CPU time of each (per pass, over --runs runs of
--passes passes) and the ratios to export.

    PYTHONPATH=build /usr/bin/python3 benchmarks/bench_chromium_entries.py STORE... [--runs 5] [--passes 20]
"""

import argparse
import json
import os
import pickle
import statistics
import time

import _vostrel
from vostrel import chromium
from vostrel.chromium.common import from_json

VALUE_FIELDS = ("key", "value", "primary_key")


def through_lines(store):
    scan = json.JSONDecoder().scan_once
    out = []
    for line in _vostrel.iter_chromium_entries(store):
        entry = scan(line, 0)[0]
        if '"$' in line:
            refs = '"$ref"' in line
            journal = entry.get("journal")
            parts = [entry] + ([journal[p] for p in ("entry", "begin", "end") if type(journal.get(p)) is dict]
                               if journal is not None else [])
            for part in parts:
                for field in VALUE_FIELDS:
                    if field in part:
                        part[field] = from_json(part[field], refs)
        out.append(entry)
    return out


def stream(store):
    for _ in chromium.iter_entries(store):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("stores", nargs="+")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--passes", type=int, default=20)
    args = parser.parse_args()
    for store in args.stores:
        pickled = pickle.dumps(list(chromium.iter_entries(store)), protocol=pickle.HIGHEST_PROTOCOL)
        with open(os.devnull, "wb") as null:
            ways = {
                "export": lambda: _vostrel.chromium_export(store, null, threads=1),
                "entries": lambda: list(chromium.iter_entries(store)),
                "stream": lambda: stream(store),
                "lines": lambda: through_lines(store),
                "objects": lambda: pickle.loads(pickled),
            }
            times = {name: [] for name in ways}
            for _ in range(args.runs):
                for name, way in ways.items():
                    start = time.process_time()
                    for _ in range(args.passes):
                        way()
                    times[name].append((time.process_time() - start) / args.passes * 1000)
        medians = {name: statistics.median(values) for name, values in times.items()}
        print(f"{store}: " + ", ".join(
            f"{name} {ms:.2f} ms ({ms / medians['export']:.2f}x)" for name, ms in medians.items()))


if __name__ == "__main__":
    main()
