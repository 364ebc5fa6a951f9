#!/usr/bin/env bash
# Runs the C++ tests of the streaming engine, the only code that starts
# threads, under ThreadSanitizer (clang-14): chunks parsed on worker threads,
# committed on the calling one, cancelled mid-run. Also the Arrow builder's
# and batch source's tests: batches and their children are released by
# consumers on any thread, and the parallel batch source builds chunks on
# worker threads and is dropped half-read. And the chunk schedule both
# threaded engines share, the held input and the parallel decoder.
#
# Usage: bash tests/tsan.sh        (build dir: build/tsan, or $BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/tsan}
jobs=${JOBS:-$(nproc)}
cxx=${CXX:-clang++-14}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORNISH_BUILD_TESTS=ON -DVORNISH_BUILD_MODULE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j "$jobs" --target vornish_tests

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
"$build/vornish_tests" --gtest_filter='Stream*:OrderedChunks.*:*/StreamInputs.*:ArrowThreads.*:ArrowBatchBuilder.*:BatchSourceTest.*:ReadAhead.*:HeldStream.*:ParallelDecode.*'
