#!/usr/bin/env bash
# The main job: build and install vostrel, then show the sample database written
# by the real LevelDB library: one row per data file, then every record. Each
# step says what it does on stderr; stdout is vostrel's own output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh run
echo "main: vostrel stats sample/db" >&2
.venv/bin/vostrel stats sample/db
echo "main: vostrel dump sample/db" >&2
.venv/bin/vostrel dump sample/db
