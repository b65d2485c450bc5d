"""vostrel: every record of a LevelDB directory, read from its raw files.

The reading is done by the extension module ``_vostrel``; this package holds
the ``vostrel`` command line (see ``vostrel --help``).
"""


def __getattr__(name: str):
    # The version is looked up on first use only: importing importlib.metadata
    # costs more than the rest of the command's start-up together.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("vostrel")
    except metadata.PackageNotFoundError:  # running from a source tree
        version = "0.1.0"
    globals()["__version__"] = version
    return version
