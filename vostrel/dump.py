"""Names the dump's output uses for the extension's values."""

from __future__ import annotations

# int() of the extension's KeyState and FileType values.
STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}
FILE_TYPE_NAMES = {1: "ldb", 2: "log"}
# What the extension's statuses mean, by the order of their codes.
STATUS_NAMES = ("current", "superseded", "orphaned")
FORMATS = ("jsonl", "csv")
