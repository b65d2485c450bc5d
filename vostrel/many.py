"""The command over many stores, with the output grouped per store in a
stable order.

`dump` hands the whole list to the native exporter (_vostrel.export_stores):
its worker threads share out the data files of all the stores, each store
opened when a worker reaches it, while this thread writes every store's
output in turn, straight from memory. `stats` reads each store on its own:
this process takes stores from the front, jobs - 1 worker processes take
them from the back, and they meet in between.

A store that cannot be read costs a one-line warning and nothing else.
"""

from __future__ import annotations

import codecs
import os
import signal
import sys
from typing import TYPE_CHECKING, Callable, List, NamedTuple, Optional, TextIO, Tuple

from .skipped import warn_skipped
from .stores import StoreError, find_stores, open_store, store_error
from .terminal import printable

# Only `stats` uses worker processes and the stats module, imported where
# used: `dump`, the common case, starts without them.
if TYPE_CHECKING:
    from .stats import FileStats

# The data files a store's reader left out: (path, reason) pairs.
Skipped = List[Tuple[str, str]]


def warn(message: str) -> None:
    # Paths reach a terminal: control characters escaped.
    print(f"vostrel: warning: {printable(message)}", file=sys.stderr, flush=True)


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
            print(f"vostrel: no LevelDB directory found under {root}", file=sys.stderr)
        stores.extend(found)
    return list(dict.fromkeys(stores)), problems


def _quiet_interrupt() -> None:
    # Ctrl-C reaches the workers too: a worker leaves at once and silently,
    # instead of printing a traceback from wherever it was waiting.
    # A command started with Ctrl-C ignored (in the background, under nohup)
    # keeps ignoring it.
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        signal.signal(signal.SIGINT, lambda signum, frame: os._exit(130))


def run_each(stores: List[str], jobs: int, work: Callable, emit: Callable) -> int:
    """Every store done once, `jobs` at a time, and emit(store, result) in this
    process, in store order, for each store a worker did; returns the number
    of stores whose work raised StoreError (each warned about).

    This process is one of the `jobs`: it does stores itself from the front,
    while jobs - 1 worker processes take work(store) from the back; they meet
    in between. A store done here needs no detour through a worker's result.
    """
    def do_here(store: str) -> None:
        emit(store, work(store))

    failures = 0
    if jobs <= 1 or len(stores) <= 1:
        for store in stores:
            try:
                do_here(store)
            except StoreError as error:
                warn(str(error))
                failures += 1
        return failures

    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    workers = min(jobs, len(stores)) - 1
    pool = ProcessPoolExecutor(max_workers=workers, initializer=_quiet_interrupt)
    try:
        futures = {index: pool.submit(work, stores[index])
                   for index in reversed(range(len(stores)))}
        for index, store in enumerate(stores):
            future = futures.pop(index)
            try:
                if future.cancel():  # no worker has taken it yet
                    do_here(store)
                    continue
                result = future.result()
            except StoreError as error:
                warn(str(error))
                failures += 1
                continue
            except BrokenProcessPool:
                # A worker died (killed, or out of memory); the pool takes
                # every store still queued with it.
                warn(f"cannot read {store}: its worker process died")
                failures += 1
                continue
            emit(store, result)
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()
    return failures


# --------------------------------------------------------------------------
# dump


class DumpOptions(NamedTuple):
    format: str
    encoding: str
    states: Optional[frozenset]
    reverse: bool


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
                           reverse=options.reverse, threads=jobs, on_store=on_store)
    return failures


# --------------------------------------------------------------------------
# stats


def stats_of(store: str) -> Tuple[List[FileStats], Skipped]:
    from .stats import collect

    with open_store(store) as db:
        return collect(store, db.file_stats()), list(db.skipped_files)


def stats_many(stores: List[str], fmt: str, jobs: int, out: TextIO) -> int:
    """One table per store, each headed by a 'store:' line and separated by a
    blank line; or, as JSON, {"stores": [one store's document, ...]}."""
    from .stats import render_json_document, render_table

    documents = []
    first = True

    def emit(store: str, result: Tuple[List[FileStats], Skipped]) -> None:
        nonlocal first
        files, skipped = result
        warn_skipped(skipped)
        if fmt == "json":
            documents.append(render_json_document(store, files))
            return
        out.write(("" if first else "\n") + f"store: {store}\n" + render_table(files))
        first = False

    failures = run_each(stores, jobs, stats_of, emit)
    if fmt == "json":
        import json

        out.write(json.dumps({"stores": documents}, indent=2, ensure_ascii=False) + "\n")
    return failures
