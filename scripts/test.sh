#!/usr/bin/env bash
# Runs every test: the C++ core tests (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer), a short fuzz run of every fuzz target, and the
# Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

echo "== C++ core tests"
[[ -d build ]] || meson setup build -Dtests=true >/dev/null
meson compile -C build
meson test -C build --suite core --print-errorlogs

echo "== C++ core tests under ASan + UBSan"
if [[ ! -d build-asan ]]; then
  meson setup build-asan -Dtests=true -Dbuildtype=debugoptimized -Db_ndebug=false \
    -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
fi
meson compile -C build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  meson test -C build-asan --suite core --print-errorlogs

echo "== Fuzz smoke run"
bash fuzz/run.sh "${VOSTREL_FUZZ_SECONDS:-8}"

echo "== Python tests"
bash scripts/install.sh test
cd tests/python
../../.venv/bin/python -m pytest -q -p no:cacheprovider .
