"""The command over many stores, with the output grouped per store in a
stable order.

`dump` hands the whole list to the native exporter (_vostrel.export_stores):
its worker threads share out the data files of all the stores, each store
opened when a worker reaches it, while this thread writes every store's
output in turn, straight from memory. `stats` hands it to the native counter
(_vostrel.stats_stores): its worker threads open and count a store each,
while this thread writes each store's table in turn.

A store that cannot be read costs a one-line warning and nothing else.
"""

from __future__ import annotations

import codecs
import os
from typing import List, NamedTuple, Optional, TextIO, Tuple

from .skipped import warn, warn_skipped
from .stores import StoreError, find_stores, store_error

# The data files a store's reader left out: (path, reason) pairs.
Skipped = List[Tuple[str, str]]




def gather_stores(directories: List[str], roots: List[str]) -> Tuple[List[str], int]:
    """The stores to read: the directories as given, then the stores found
    under each root in sorted order; each path once, at its first place.
    Problems while searching are warned about; their count is returned too."""
    problems = 0

    def listing_failed(directory: str, error: OSError) -> None:
        nonlocal problems
        problems += 1
        warn(f"cannot list {directory}: {error.strerror or error}")

    stores = list(directories)
    for root in roots:
        if not os.path.isdir(root):
            problems += 1
            warn(("not a directory: " if os.path.exists(root) else "no such directory: ") + root)
            continue
        found = find_stores(root, listing_failed)
        if not found:
            warn(f"no LevelDB directory found under {root}")
        stores.extend(found)
    return list(dict.fromkeys(stores)), problems


# --------------------------------------------------------------------------
# dump


class DumpOptions(NamedTuple):
    format: str
    encoding: str
    states: Optional[frozenset]
    reverse: bool
    status: bool = False
    positions: bool = False


class _TextTarget:
    """The exporter's output, which is UTF-8 bytes, into a text stream that has
    no descriptor (one put in place of stdout); chunk boundaries may split a
    character, so the decoding is incremental."""

    def __init__(self, out: TextIO):
        self._out = out
        self._decoder = codecs.getincrementaldecoder("utf-8")()

    def write(self, chunk: bytes) -> int:
        self._out.write(self._decoder.decode(chunk))
        return len(chunk)


def _export_target(out):
    try:
        out.fileno()
    except (AttributeError, OSError, ValueError):
        return _TextTarget(out)
    return out  # the exporter flushes it, then writes to its descriptor


def dump_many(stores: List[str], options: DumpOptions, jobs: int, out: TextIO) -> int:
    """Writes every store's records to out, grouped per store, with `jobs`
    worker threads sharing out the data files of all the stores; returns the
    number of stores that could not be read (each warned about as its turn
    comes)."""
    failures = 0

    def on_store(index: int, error: Optional[str], skipped: Skipped) -> None:
        nonlocal failures
        if error is not None:
            failures += 1
            warn(store_error(stores[index], error))
        warn_skipped(skipped)

    import _vostrel

    _vostrel.export_stores(stores, _export_target(out), format=options.format,
                           encoding=options.encoding,
                           states=None if options.states is None else sorted(options.states),
                           reverse=options.reverse, threads=jobs, on_store=on_store,
                           status=options.status, positions=options.positions)
    return failures


# --------------------------------------------------------------------------
# stats


def stats_many(stores: List[str], fmt: str, jobs: int, out: TextIO) -> int:
    """One table per store, each headed by a 'store:' line and separated by a
    blank line; or, as JSON, {"stores": [one store's document, ...]}. Returns
    the number of stores that could not be read (each warned about as its
    turn comes)."""
    from .stats import read_stores, render_json_document, render_table

    documents = []
    first = True
    failures = 0

    def emit(store: str, files) -> None:
        nonlocal first
        if fmt == "json":
            documents.append(render_json_document(store, files))
            return
        out.write(("" if first else "\n") + f"store: {store}\n" + render_table(files))
        first = False

    def failed(error: StoreError) -> None:
        nonlocal failures
        failures += 1
        warn(str(error))

    read_stores(stores, jobs, emit, failed)
    if fmt == "json":
        import json

        out.write(json.dumps({"stores": documents}, indent=2, ensure_ascii=False) + "\n")
    return failures
