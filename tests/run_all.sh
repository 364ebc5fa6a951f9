#!/usr/bin/env bash
# Runs every test: the C++ core under GoogleTest, then the installed
# package under pytest. On a fresh machine it first installs what the
# tests need: GoogleTest from the system's packages (when run as root with
# apt-get at hand; otherwise it says what to install and stops), and the
# package with its test extras from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

have_gtest() {
  local dir
  for dir in /usr/include /usr/local/include ${CMAKE_PREFIX_PATH:+${CMAKE_PREFIX_PATH//:/ }}; do
    [[ -e "$dir/gtest/gtest.h" || -e "$dir/include/gtest/gtest.h" ]] && return 0
  done
  return 1
}

if ! have_gtest; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "run_all.sh: GoogleTest is missing; installing libgtest-dev" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends libgtest-dev >/dev/null
  else
    echo "run_all.sh: GoogleTest is missing: install it (Debian: sudo apt-get install libgtest-dev) and run again" >&2
    exit 1
  fi
fi

cmake -S . -B build/tests -DVORNISH_BUILD_TESTS=ON -DVORNISH_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest -q
