#!/usr/bin/env bash
# The main job: build and install vostrel, then show the sample database written
# by the real LevelDB library: one row per data file, then every record.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
.venv/bin/vostrel stats sample/db
.venv/bin/vostrel dump sample/db
