#!/usr/bin/env bash
# Runs every test: the C++ core under GoogleTest, then the installed
# package under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

cmake -S . -B build/tests -DVORNISH_BUILD_TESTS=ON -DVORNISH_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

"$python" -m pip install --quiet ".[test]"
"$python" -m pytest -q
