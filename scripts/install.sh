#!/usr/bin/env bash
# Builds the extension and the vostrel package and installs them into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Offline: build with the system's meson-python instead of an isolated download.
.venv/bin/python -m pip install --quiet --no-build-isolation --no-deps --force-reinstall . 
