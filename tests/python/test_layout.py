"""The core's folders by concern: a folder includes only the folders below it,
so that the byte rules never depend on file access, reading never on
carving, and so on (docs/architecture.md)."""

from __future__ import annotations

import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"
# Lower concerns first; io and format are side by side (neither includes the other).
RANK = {"base": 0, "io": 1, "format": 1, "read": 2, "recover": 3, "export": 4, "chromium": 5, "bindings": 6}


def test_no_include_runs_from_a_lower_concern_to_a_higher_one():
    wrong = []
    for path in SRC.rglob("*"):
        if path.suffix not in (".h", ".cc", ".inc") or path.parent == SRC:
            continue
        folder = path.relative_to(SRC).parts[0]
        assert folder in RANK, f"a folder the layout does not know: {folder}"
        for included in re.findall(r'#include "([^"]+)"', path.read_text(errors="replace")):
            target = included.split("/")[0] if "/" in included else folder
            if target != folder and RANK[target] >= RANK[folder]:
                wrong.append(f"{path.relative_to(SRC)} -> {included}")
    assert wrong == []
