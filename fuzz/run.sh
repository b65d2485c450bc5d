#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 19 (ASan + UBSan) and runs each one for
# SECONDS (default 60) from its seed corpus. New inputs go to a scratch corpus
# under fuzz/work/, crashes to fuzz/artifacts/. Inputs reach 64 KiB (-max_len), so
# that a log straddles its 32 KiB blocks and a table holds several real blocks.
#   bash fuzz/run.sh 300        # five minutes per target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
if [[ ! -d build-fuzz ]]; then
  CXX=clang++-19 meson setup build-fuzz -Dtests=false -Dfuzzers=true \
    -Dbuildtype=debugoptimized -Db_ndebug=false -Db_lundef=false >/dev/null
fi
meson compile -C build-fuzz
mkdir -p fuzz/artifacts
for target in log_fuzz table_file_fuzz manifest_fuzz carve_fuzz v8_value_fuzz chromium_store_fuzz byte_encoding_fuzz file_structure_fuzz \
    carve_truth_fuzz; do
  work="fuzz/work/$target"
  mkdir -p "$work" "fuzz/corpus/$target"
  echo "fuzz: $target for ${seconds}s"
  log="fuzz/work/$target.log"
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build-fuzz/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
    -timeout=10 -print_final_stats=0 -artifact_prefix="fuzz/artifacts/$target-" \
    -max_len=65536 "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    tail -n 60 "$log"
    echo "fuzz: $target FAILED (exit $status); the input is in fuzz/artifacts/"
    exit "$status"
  fi
  grep -E '^Done [0-9]+ runs' "$log" || true
done
