"""The command over many stores: each store read on its own, several at once,
and the output grouped per store in a stable order.

This process takes stores from the front and writes each straight to the
output; jobs - 1 workers take stores from the back, and each writes its
store's whole output to a file of its own in a temporary directory, which
this process copies to the output when the store's turn comes. Workers never
wait for this process, so a slow store holds back only the copying, never the
reading of other stores; the price is disk space for the outputs of the
stores the workers did (at most the share of the stores they did): next to
the output file, or in TMPDIR when writing to standard output.

For `dump` the workers are threads: the native exporter releases the
interpreter lock while it decodes, formats and writes, so threads read stores
in parallel without the start-up and hand-over costs of processes. `stats`
uses worker processes.

A store that cannot be read costs a one-line warning and nothing else.
"""

from __future__ import annotations

import codecs
import errno
import functools
import os
import shutil
import signal
import sys
import tempfile
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Callable, List, Optional, TextIO, Tuple

from .dump import FIELDS
from .skipped import warn_skipped
from .stats import FileStats, collect, render_json_document, render_table
from .stores import StoreError, find_stores, open_store
from .terminal import printable

# The data files a store's reader left out: (path, reason) pairs.
Skipped = List[Tuple[str, str]]

_BUFFER_SIZE = 1 << 16


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
    # Ctrl-C reaches the workers too: a worker leaves at once and silently
    # (its partial output is in the temporary directory, removed by the
    # parent), instead of printing a traceback from wherever it was waiting.
    # A command started with Ctrl-C ignored (in the background, under nohup)
    # keeps ignoring it.
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        signal.signal(signal.SIGINT, lambda signum, frame: os._exit(130))


def run_each(stores: List[str], jobs: int, work: Callable, emit: Callable,
             here: Optional[Callable] = None, threads: bool = False) -> int:
    """Every store done once, `jobs` at a time, and emit(store, result) in this
    process, in store order, for each store a worker did; returns the number
    of stores whose work raised StoreError (each warned about).

    This process is one of the `jobs`: it does stores itself from the front,
    here(store) (default: emit(store, work(store))), while jobs - 1 worker
    processes take work(store) from the back; they meet in between. A store
    done here needs no detour through its worker's result (for dump: its part
    on disk, written and then copied), which the ones from the back cannot
    avoid, since their turn in the output comes last.
    """
    def do_here(store: str) -> None:
        if here is not None:
            here(store)
        else:
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

    workers = min(jobs, len(stores)) - 1
    if threads:
        pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="vostrel-store")
    else:
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


@dataclass(frozen=True)
class DumpOptions:
    format: str
    encoding: str
    states: Optional[frozenset]
    reverse: bool
    # Data files formatted at once within one store (RawLevelDb.export's
    # threads); the stores themselves are already spread over the --jobs workers.
    threads: int = 1


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


class _Stopped(Exception):
    """Raised inside a worker's export once the run is being abandoned."""


def dump_store(store: str, options: DumpOptions, out, warn_now: bool = True,
               stop: Optional[threading.Event] = None) -> Skipped:
    """Writes the records of one store, each with its store field, through the
    native exporter. Returns the data files the reader left out, warned about
    at once when warn_now (for a worker's store this process warns, in store
    order). A set `stop` ends the export at its next look (a few times a
    second): a worker thread cannot be interrupted otherwise."""
    progress = None
    if stop is not None:
        def progress(done: int, total: int) -> None:
            if stop.is_set():
                raise _Stopped
    with open_store(store) as db:
        known = list(db.skipped_files)
        if warn_now:
            warn_skipped(known)
        db.export(_export_target(out), format=options.format, encoding=options.encoding,
                  states=None if options.states is None else sorted(options.states),
                  reverse=options.reverse, threads=options.threads, store=store, header=False,
                  progress=progress)
        # A file whose records did not fit in memory is found out by the reading.
        skipped = list(db.skipped_files)
    if warn_now:
        warn_skipped(entry for entry in skipped if entry not in known)
    return skipped


def _dump_to_file(store: str, options: DumpOptions, directory: str,
                  stop: threading.Event) -> Tuple[str, Skipped]:
    """In a worker: the store's output into a new file under directory."""
    descriptor, path = tempfile.mkstemp(prefix="store-", dir=directory)
    try:
        with open(descriptor, "wb") as out:
            skipped = dump_store(store, options, out, warn_now=False, stop=stop)
    except BaseException:
        os.unlink(path)
        raise
    return path, skipped


def _send_file(part, binary) -> bool:
    """Copies part to binary's descriptor in the kernel; False, with nothing
    copied, where the system cannot (then the caller copies)."""
    try:
        target = binary.fileno()
    except (AttributeError, OSError, ValueError):
        return False
    source, offset = part.fileno(), 0
    size = os.fstat(source).st_size
    while offset < size:
        try:
            sent = os.sendfile(target, source, offset, size - offset)
        except OSError as error:
            if offset == 0 and error.errno in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                return False
            raise
        if sent == 0:
            break
        offset += sent
    return True


def dump_many(stores: List[str], options: DumpOptions, jobs: int, out: TextIO,
              scratch_dir: Optional[str] = None) -> int:
    """Writes every store's records to out, grouped per store; returns the
    number of stores that could not be read. The stores' outputs wait in a
    temporary directory under scratch_dir (default: TMPDIR) for their turn."""
    if options.format == "csv":  # one header row, with the store column, for all stores
        out.write(",".join(("store",) + FIELDS) + "\n")

    def here(store: str) -> None:  # straight to the output (the exporter flushes out first)
        dump_store(store, options, out)

    if jobs <= 1 or len(stores) <= 1:
        return run_each(stores, 1, None, None, here)

    binary = getattr(out, "buffer", None)

    def copy_out(store: str, result: Tuple[str, Skipped]) -> None:
        path, skipped = result
        warn_skipped(skipped)
        try:
            with open(path, "rb") as part:
                if binary is None:  # a text stream put in place of stdout
                    out.write(part.read().decode("utf-8"))
                    return
                out.flush()
                binary.flush()
                if not _send_file(part, binary):
                    shutil.copyfileobj(part, binary, _BUFFER_SIZE)
        finally:
            os.unlink(path)

    stop = threading.Event()
    with tempfile.TemporaryDirectory(prefix="vostrel-", dir=scratch_dir,
                                     ignore_cleanup_errors=True) as scratch:
        work = functools.partial(_dump_to_file, options=options, directory=scratch, stop=stop)
        try:
            return run_each(stores, jobs, work, copy_out, here, threads=True)
        finally:
            stop.set()  # workers still exporting (after Ctrl-C, a broken pipe) give up


# --------------------------------------------------------------------------
# stats


def stats_of(store: str) -> Tuple[List[FileStats], Skipped]:
    with open_store(store) as db:
        return collect(store, db.file_stats()), list(db.skipped_files)


def stats_many(stores: List[str], fmt: str, jobs: int, out: TextIO) -> int:
    """One table per store, each headed by a 'store:' line and separated by a
    blank line; or, as JSON, {"stores": [one store's document, ...]}."""
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
