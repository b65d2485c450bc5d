"""vostrel: every record of a LevelDB directory, read from its raw files.

    import vostrel
    with vostrel.open("path/to/leveldb") as db:
        for record in db:
            print(record.seq, record.state, record.user_key, record.value)

The reading is done by the extension module ``_vostrel``, whose classes are
available here too (``vostrel.RawLevelDb``, ``Record``, ``KeyState``,
``FileType``); this package adds ``open`` (any path type, OSError subclasses
naming the path), the ``vostrel`` command line, ``vostrel.chromium`` and
``vostrel.dask``.
"""

__all__ = ["open", "Database", "RawLevelDb", "Record", "KeyState", "FileType"]

_EXTENSION_NAMES = ("RawLevelDb", "Record", "KeyState", "FileType")


def __getattr__(name: str):
    # Everything is looked up on first use: the command imports this package
    # at every start, and neither the extension nor importlib.metadata is
    # needed for `vostrel --help`.
    if name in ("open", "Database"):
        from . import database

        value = getattr(database, name)
    elif name in _EXTENSION_NAMES:
        import _vostrel

        value = getattr(_vostrel, name)
    elif name == "__version__":
        from importlib import metadata

        try:
            value = metadata.version("vostrel")
        except metadata.PackageNotFoundError:  # running from a source tree
            value = "0.1.0"
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(list(globals()) + __all__ + ["__version__"])
