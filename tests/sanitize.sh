#!/usr/bin/env bash
# Runs the test suites once more with AddressSanitizer and
# UndefinedBehaviorSanitizer: the C++ core tests, then the Python tests
# against the extension module built with the same instrumentation.
#
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded into it; leak detection is off because the interpreter keeps
# many allocations alive until exit on purpose. Python's small-object
# allocator is bypassed so that misuse of Python objects reaches the
# sanitizer too. Tests that must run without the sanitizer (address-space
# limits) skip themselves when they see the preloaded runtime.
#
# Usage: bash tests/sanitize.sh        (build dir: build/sanitize, or $BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
build=${BUILD_DIR:-build/sanitize}
jobs=${JOBS:-$(nproc)}
cxx=${CXX:-g++}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORNISH_SANITIZE=ON -DVORNISH_BUILD_TESTS=ON -DVORNISH_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")"
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The runtime the module was linked against, found the way the compiler
# finds it, so that the preloaded copy and the module's copy are one.
asan_runtime=$("$cxx" -print-file-name=libasan.so)
ubsan_runtime=$("$cxx" -print-file-name=libubsan.so)
for lib in "$asan_runtime" "$ubsan_runtime"; do
  if [[ ! -e "$lib" ]]; then
    echo "sanitize.sh: sanitizer runtime not found: $lib" >&2
    exit 1
  fi
done

module=$(find "$build" -maxdepth 1 -name '_csv_vornish_backend*.so' -print -quit)
if [[ -z "$module" ]]; then
  echo "sanitize.sh: the extension module was not built in $build" >&2
  exit 1
fi

# The package's pure-Python part comes from the source tree; the module
# comes from the sanitizer build, ahead of any installed copy. Absolute
# paths: some tests start Python children in other folders.
module_dir=$(cd "$(dirname "$module")" && pwd)
LD_PRELOAD="$asan_runtime:$ubsan_runtime" PYTHONMALLOC=malloc \
  PYTHONPATH="$module_dir:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" \
  "$python" -m pytest -q -p no:cacheprovider "$@"
