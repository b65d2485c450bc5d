#!/usr/bin/env bash
# Builds the extension and the vostrel package and installs them into .venv.
#   bash scripts/install.sh [run|test]   which packages set-up installs (default: run)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh "${1:-run}"
echo "install: building vostrel and installing it into .venv (build-install/ keeps the build)" >&2
# Offline: the system's meson-python instead of an isolated download; a build
# directory of its own, so that a second install compiles only what changed.
.venv/bin/python -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
  --config-settings=builddir=build-install .
