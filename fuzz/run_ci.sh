#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one for a bounded time starting
# from its committed seed corpus. Exits non-zero when a target crashes,
# leaks, breaks an invariant or hangs on an input.
#
# Usage: bash fuzz/run_ci.sh
#   FUZZ_SECONDS  seconds per target (default 60)
#   BUILD_DIR     build directory (default build/fuzz)
#   CXX           clang++ to use (default clang++-14)
# New inputs found go to $BUILD_DIR/corpus-<target>, crash inputs to
# $BUILD_DIR/artifacts-<target>/; the committed corpus is only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=${BUILD_DIR:-build/fuzz}
cxx=${CXX:-clang++-14}
targets=(tokenizer pipeline writer_roundtrip dialect dispatch stream arrow decompress)

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "${JOBS:-$(nproc)}"

status=0
for target in "${targets[@]}"; do
  work="$build/corpus-$target"
  artifacts="$build/artifacts-$target/"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$target: ${seconds}s"
  # -timeout: an input that takes this long counts as a hang (a crash).
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$work" "fuzz/corpus/$target" > "$build/fuzz_$target.log" 2>&1; then
    status=1
    echo "fuzz_$target FAILED; inputs kept in $artifacts" >&2
    tail -n 60 "$build/fuzz_$target.log" >&2
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz_$target.log" || true
  fi
done
exit "$status"
