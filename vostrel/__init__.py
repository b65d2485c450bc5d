"""vostrel: every record of a LevelDB directory, read from its raw files.

The reading is done by the extension module ``_vostrel``; this package holds
the ``vostrel`` command line (see ``vostrel --help``).
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("vostrel")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0.1.0"
