"""Every record of many stores as one Dask DataFrame, a partition per data file.

    from vostrel.dask import find_stores, read_stores
    frame = read_stores(find_stores("/mnt/image"))

Why a DataFrame rather than a bag: records are rows of ten fixed fields, and
what an examiner does with many stores (count by state, group the versions of
a key across stores, write CSV or Parquet partitions) is what DataFrames do
natively and column by column; a bag would hold one Python object per record,
and every groupby or write would go through Python code per record.

Partitions: one per data file, except that files smaller than PARTITION_BYTES
are packed, in order, into partitions of up to that many bytes of files (many
small stores would otherwise be many tiny tasks). The order is that of the
stores given and, within a store, the order the reader visits its files, so
computing the frame gives the same rows in the same order as
RawLevelDb(store).iterate_records_raw() over the stores in turn. A task reads
its data files one at a time (_vostrel.partition_columns, which opens no other
file of the store) and builds its frame straight from columns, so a worker
thread holds one partition's records: at most PARTITION_BYTES of files, or
one larger file. Partitions are planned on the client from the reader's own
listing of each store (_vostrel.data_files), so every worker must see the
stores at the same paths.

Columns and dtypes (stable; `META` is an empty frame of them):

    store           object (str)    the store's path as given
    key             object (bytes)  the key as stored
    user_key        object (bytes)  the key as the application wrote it
    value           object (bytes)
    seq             uint64
    state           object (str)    "live", "deleted" or "unknown"
    file_type       object (str)    "ldb" or "log"
    origin_file     object (str)
    offset          uint64
    was_compressed  bool

state and file_type are the words ``vostrel dump`` writes, not codes, so a
CSV written from the frame reads the same as the command's.

With ``status=True`` a last column, ``status`` (object, str): "current",
"superseded" or "orphaned", as ``vostrel dump --status`` writes it
(`META_WITH_STATUS`). Which records are current depends on the whole store,
while a task reads its files alone; so the client finds each store's current
records once, before the frame is made (RawLevelDb.current_ordinals: a pass
over the store's files in use, with memory for its distinct keys), and hands
each task the ordinals of its own files' current records (8 bytes each),
from which the task builds the column by record ordinal. A store without a
readable manifest warns (RuntimeWarning), and all its files count as in use.

The reading holds the GIL, so use processes: dask.distributed (a LocalCluster
starts worker processes) or ``scheduler="processes"``; the default threaded
scheduler works but reads on one core at a time.

Dask is optional: this module needs python3-dask and python3-pandas (Debian)
or the ``dask`` extra; the rest of vostrel never imports it.
"""

from __future__ import annotations

import os
from typing import Iterable, List, Optional, Tuple, Union

try:
    import dask.dataframe as _dd
    from dask.base import tokenize as _tokenize
    import numpy as _np
    import pandas as _pd
except ImportError as _error:  # pragma: no cover - depends on the machine
    raise ImportError(
        "vostrel.dask needs Dask with its DataFrame (dask, pandas, numpy): on Debian "
        "apt install python3-dask python3-distributed python3-pandas, or install "
        f"vostrel with its 'dask' extra ({_error})"
    ) from _error

from .dump import FILE_TYPE_NAMES, STATE_NAMES, STATUS_NAMES
from .stores import find_stores

__all__ = ["COLUMNS", "META", "META_WITH_STATUS", "PARTITION_BYTES", "find_stores", "partitions",
           "partition_frame", "read_stores"]

COLUMNS = ("store", "key", "user_key", "value", "seq", "state", "file_type", "origin_file",
           "offset", "was_compressed")
_DTYPES = {"seq": "uint64", "offset": "uint64", "was_compressed": "bool"}
META = _pd.DataFrame({name: _pd.Series(dtype=_DTYPES.get(name, "object")) for name in COLUMNS})
META_WITH_STATUS = META.assign(status=_pd.Series(dtype="object"))

# Code -> word tables indexed with a whole column at once; a code the reader
# does not define reads as "unknown", as in the command's output.
_STATE_WORDS = _np.array([STATE_NAMES.get(code, "unknown") for code in range(256)], dtype=object)
_FILE_TYPE_WORDS = _np.array([FILE_TYPE_NAMES.get(code, "unknown") for code in range(256)],
                             dtype=object)
_CURRENT, _SUPERSEDED, _ORPHANED = range(3)
_STATUS_WORDS = _np.array(STATUS_NAMES, dtype=object)


# Data files smaller than this are packed together, in order, into one
# partition up to this many bytes of files, so that a thousand small stores are
# not a thousand tiny tasks; a larger file is a partition of its own. A
# partition's frame takes a few times its files' size in memory.
PARTITION_BYTES = 2 << 20


def partitions(stores: Iterable[str], partition_bytes: int = PARTITION_BYTES
               ) -> List[Tuple[Tuple[str, str], ...]]:
    """The partitions, in frame order: each a tuple of (store, data file path).

    partition_bytes=0 gives one partition per data file.
    """
    import _vostrel

    parts: List[Tuple[Tuple[str, str], ...]] = []
    group: List[Tuple[str, str]] = []
    group_bytes = 0
    for store in stores:
        for path, _, _ in _vostrel.data_files(store):
            try:
                size = os.stat(path).st_size
            except OSError:
                size = 0  # read as the directory reader would: no records
            if group and group_bytes + size > partition_bytes:
                parts.append(tuple(group))
                group, group_bytes = [], 0
            group.append((store, path))
            group_bytes += size
    if group:
        parts.append(tuple(group))
    return parts


def _objects(items, count: int):
    """An object array of the items (the objects themselves, not copies)."""
    return _np.fromiter(items, dtype=object, count=count)


def _status_column(current: Tuple[Tuple[bytes, bool], ...], counts):
    """The status of every record of a partition's files, from each file's
    (current ordinals, orphaned) and its record count."""
    codes = _np.empty(int(sum(counts)), dtype=_np.uint8)
    start = 0
    for (ordinals, orphaned), count in zip(current, counts):
        part = codes[start:start + count]
        part[:] = _ORPHANED if orphaned else _SUPERSEDED
        if not orphaned:
            at = _np.frombuffer(ordinals, dtype=_np.uint64)
            part[at[at < count]] = _CURRENT
        start += count
    return _STATUS_WORDS[codes]


def partition_frame(files: Tuple[Tuple[str, str], ...],
                    current: Optional[Tuple[Tuple[bytes, bool], ...]] = None):
    """The pandas frame of one partition: every record of its data files;
    with `current` (each file's current ordinals and whether it is orphaned,
    as RawLevelDb.current_ordinals gives them) a status column too."""
    import _vostrel

    arrays = []

    def allocate(count):
        # The keys, user keys and values move straight into these: no list
        # of them is ever built.
        arrays.extend(_np.empty(count, dtype=object) for _ in range(3))
        return arrays

    c = _vostrel.partition_columns([path for _, path in files], allocate)
    counts = c["counts"]
    key, user_key, value = arrays
    frame = _pd.DataFrame({
        # One str per file, shared by all of its rows.
        "store": _np.repeat(_objects((store for store, _ in files), len(files)), counts),
        "key": key,
        "user_key": user_key,
        "value": value,
        "seq": _np.frombuffer(c["seq"], dtype=_np.uint64),
        "state": _STATE_WORDS[_np.frombuffer(c["state"], dtype=_np.uint8)],
        "file_type": _FILE_TYPE_WORDS[_np.frombuffer(c["file_type"], dtype=_np.uint8)],
        "origin_file": _np.repeat(_objects(c["origin_file"], len(files)), counts),
        "offset": _np.frombuffer(c["offset"], dtype=_np.uint64),
        "was_compressed": _np.frombuffer(c["was_compressed"], dtype=_np.bool_),
    }, copy=False)  # the arrays are new: pandas need not copy them again
    if current is not None:
        frame["status"] = _status_column(current, counts)
    return frame


def _current_ordinals(stores: List[str]) -> dict:
    """{(store, data file path): (current ordinals, orphaned)} of every store,
    found on the client once per store."""
    import _vostrel

    found = {}
    for store in stores:
        with _vostrel.RawLevelDb(store) as db:
            for path, entry in db.current_ordinals().items():
                found[(store, path)] = entry
    return found


def read_stores(stores: Union[str, Iterable[str]], partition_bytes: int = PARTITION_BYTES,
                status: bool = False):
    """A dask.dataframe.DataFrame of every record of the stores (paths of
    LevelDB directories), one partition per data file, small files packed
    (PARTITION_BYTES); nothing is read until it is computed. A store that
    cannot be listed raises OSError here. status=True adds the status column,
    the stores' current records found here, on the client (see above)."""
    if isinstance(stores, str):
        stores = [stores]
    stores = list(stores)
    meta = META_WITH_STATUS if status else META
    parts = partitions(stores, partition_bytes)
    if not parts:
        return _dd.from_pandas(meta, npartitions=1)
    # The collection's name from one string of every (store, file) and the
    # partition sizes: what Dask would hash from the partitions themselves,
    # for a fraction of the cost of walking hundreds of tuples.
    token = _tokenize("vostrel-records", "\n".join(f"{store}\0{path}" for part in parts
                                                  for store, path in part),
                      [len(part) for part in parts])
    if not status:
        return _dd.from_map(partition_frame, parts, meta=META, label="vostrel-records", token=token,
                            enforce_metadata=False)
    # A file the reader could not open has no records in the task either.
    found = _current_ordinals(list(dict.fromkeys(store for part in parts for store, _ in part)))
    current = [tuple(found.get(file, (b"", False)) for file in part) for part in parts]
    return _dd.from_map(partition_frame, parts, current, meta=META_WITH_STATUS, label="vostrel-records",
                        token=_tokenize(token, "status"), enforce_metadata=False)
