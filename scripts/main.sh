#!/usr/bin/env bash
# The main job: build and install vostrel, then dump every record of the sample
# database written by the real LevelDB library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install.sh
.venv/bin/python -c "import _vostrel; print('_vostrel', _vostrel.__all__)"
