"""Every record of many stores as one Dask DataFrame, one partition per data file.

    from vostrel.dask import find_stores, read_stores
    frame = read_stores(find_stores("/mnt/image"))

Why a DataFrame rather than a bag: records are rows of ten fixed fields, and
what an examiner does with many stores (count by state, group the versions of
a key across stores, write CSV or Parquet partitions) is what DataFrames do
natively and column by column; a bag would hold one Python object per record,
and every groupby or write would go through Python code per record.

Partitions: one per data file, in the order of the stores given and, within a
store, the order the reader visits its files, so computing the frame gives the
same rows in the same order as RawLevelDb(store).iterate_records_raw() over the
stores in turn. A task reads one data file (_vostrel.data_file_columns) and
builds its frame straight from columns, so a worker thread holds one data
file's records at a time; partitions are planned on the client from directory
listings alone, so every worker must see the stores at the same paths.

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

The reading holds the GIL, so use processes: dask.distributed (a LocalCluster
starts worker processes) or ``scheduler="processes"``; the default threaded
scheduler works but reads on one core at a time.

Dask is optional: this module needs python3-dask and python3-pandas (Debian)
or the ``dask`` extra; the rest of vostrel never imports it.
"""

from __future__ import annotations

from typing import Iterable, List, Tuple, Union

try:
    import dask.dataframe as _dd
    import numpy as _np
    import pandas as _pd
except ImportError as _error:  # pragma: no cover - depends on the machine
    raise ImportError(
        "vostrel.dask needs Dask with its DataFrame (dask, pandas, numpy): on Debian "
        "apt install python3-dask python3-distributed python3-pandas, or install "
        f"vostrel with its 'dask' extra ({_error})"
    ) from _error

from .dump import FILE_TYPE_NAMES, STATE_NAMES
from .stores import data_files, find_stores

__all__ = ["COLUMNS", "META", "find_stores", "partitions", "read_stores", "file_frame"]

COLUMNS = ("store", "key", "user_key", "value", "seq", "state", "file_type", "origin_file",
           "offset", "was_compressed")
_DTYPES = {"seq": "uint64", "offset": "uint64", "was_compressed": "bool"}
META = _pd.DataFrame({name: _pd.Series(dtype=_DTYPES.get(name, "object")) for name in COLUMNS})

# Code -> word tables indexed with a whole column at once; a code the reader
# does not define reads as "unknown", as in the command's output.
_STATE_WORDS = _np.array([STATE_NAMES.get(code, "unknown") for code in range(256)], dtype=object)
_FILE_TYPE_WORDS = _np.array([FILE_TYPE_NAMES.get(code, "unknown") for code in range(256)],
                             dtype=object)


def partitions(stores: Iterable[str]) -> List[Tuple[str, str]]:
    """(store, data file path) of every partition, in frame order."""
    return [(store, path) for store in stores for path in data_files(store)]


def _objects(values, count: int):
    array = _np.empty(count, dtype=object)
    array[:] = values
    return array


def file_frame(part: Tuple[str, str]):
    """The pandas frame of one partition: every record of one data file."""
    import _vostrel

    store, path = part
    columns = _vostrel.data_file_columns(path)
    count = len(columns["key"])
    codes = _np.frombuffer
    return _pd.DataFrame({
        "store": _objects([store], count),  # one str, shared by every row
        "key": _objects(columns["key"], count),
        "user_key": _objects(columns["user_key"], count),
        "value": _objects(columns["value"], count),
        "seq": codes(columns["seq"], dtype=_np.uint64),
        "state": _STATE_WORDS[codes(columns["state"], dtype=_np.uint8)],
        "file_type": _FILE_TYPE_WORDS[codes(columns["file_type"], dtype=_np.uint8)],
        "origin_file": _objects([columns["origin_file"]], count),
        "offset": codes(columns["offset"], dtype=_np.uint64),
        "was_compressed": codes(columns["was_compressed"], dtype=_np.uint8).astype(bool),
    })


def read_stores(stores: Union[str, Iterable[str]]):
    """A dask.dataframe.DataFrame of every record of the stores (paths of
    LevelDB directories), one partition per data file; nothing is read until
    it is computed. A store that cannot be listed raises OSError here."""
    if isinstance(stores, str):
        stores = [stores]
    parts = partitions(stores)
    if not parts:
        return _dd.from_pandas(META, npartitions=1)
    return _dd.from_map(file_frame, parts, meta=META, label="vostrel-records",
                        enforce_metadata=False)
