#!/usr/bin/env bash
# Checks the distributions a user would install: builds a wheel and an sdist
# from this tree, rebuilds a wheel from the unpacked sdist alone (so the sdist
# must carry everything the build needs), installs each wheel into a fresh
# virtual environment and runs the command line, the demo and the type
# checks there, away from the source tree.
#
# Needs network access to the package index (build isolation, mypy).
# Usage: bash tests/dist_check.sh   (PYTHON=python3.11 to choose the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'dist_check: FAILED: %s\n' "$*" >&2; exit 1; }

step "tools"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet --upgrade pip build

step "wheel from the tree"
"$work/tools/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$work/wheel" "$repo"
wheel=$(ls "$work"/wheel/*.whl)
"$python" - "$wheel" <<'EOF' || fail "wheel contents"
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
required = {
    "csv_vornish/__init__.py", "csv_vornish/cli.py", "csv_vornish/__main__.py", "csv_vornish/py.typed",
    "_csv_vornish_backend.pyi", "_csv_vornish_backend-stubs/__init__.pyi",
}
missing = required - names
if not any(n.startswith("_csv_vornish_backend.") and n.endswith(".so") for n in names):
    missing.add("_csv_vornish_backend*.so")
entry = [n for n in names if n.endswith("entry_points.txt")]
if not entry or b"csv-vornish = csv_vornish.cli:main" not in zipfile.ZipFile(sys.argv[1]).read(entry[0]):
    missing.add("console script csv-vornish")
if missing:
    sys.exit(f"missing from the wheel: {sorted(missing)}")
print(f"{len(names)} files, all expected ones present")
EOF

step "sdist, then a wheel from the unpacked sdist alone"
"$work/tools/bin/python" -m build --sdist --outdir "$work/sdist" "$repo"
sdist=$(ls "$work"/sdist/*.tar.gz)
tar -tzf "$sdist" | grep -E '/(build[^/]*|dist|\.venv)/' && fail "build outputs in the sdist"
tar -tzf "$sdist" | grep -E '\.so$' && fail "binaries in the sdist"
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
"$work/tools/bin/python" -m build --wheel --outdir "$work/from-sdist" "$work/unpacked"/*/

check_install() {
  local name=$1 wheel_file=$2 env="$work/env-$1" run="$work/run-$1"
  step "fresh environment ($name): install and run"
  "$python" -m venv "$env"
  "$env/bin/python" -m pip install --quiet "$wheel_file"
  mkdir "$run"
  cp "$repo/examples/damaged.csv" "$run/"
  (
    cd "$run"
    status=0
    "$env/bin/csv-vornish" repair damaged.csv --no-merge --quarantine-each --strict || status=$?
    [ "$status" -eq 1 ] || fail "repair --strict exited $status, expected 1"
    [ -s damaged.clean.csv ] || fail "no clean output"
    head -n1 damaged.quarantine.csv | grep -qx 'line,reason,raw_content' || fail "no quarantine header"
    # Output goes to files first: grep -q may close a pipe before the writer is done.
    "$env/bin/csv-vornish" sniff damaged.csv > sniff.out || fail "sniff exited $?"
    grep -qx "delimiter: ';'" sniff.out || fail "sniff output"
    "$env/bin/python" -m csv_vornish --version > version.out || fail "python -m csv_vornish"
    grep -q '^csv-vornish ' version.out || fail "version output"
    "$env/bin/python" "$repo/examples/demo.py" > demo.out || fail "demo"
    grep -q 'RepairSummary total_rows=' demo.out || fail "demo output"
    grep -q 'München' demo.out || fail "demo output: the Latin-1 row as written"
  )
}

check_install tree "$wheel"
check_install sdist "$(ls "$work"/from-sdist/*.whl)"

step "installed stubs seen by mypy"
env="$work/env-tree"
"$env/bin/python" -m pip install --quiet mypy
(
  cd "$work/run-tree"
  cp "$repo/tests/python/typed_example.py" .
  env -u MYPYPATH -u PYTHONPATH "$env/bin/python" -m mypy --strict --disallow-any-expr typed_example.py
  # Without the dask extra the type-only name for dask's frames has no
  # module behind it; that is not drift in our own stubs.
  printf 'csv_vornish.dask.dd\n' > stubtest-allow.txt
  env -u MYPYPATH -u PYTHONPATH "$env/bin/python" -m mypy.stubtest --ignore-unused-allowlist \
    --allowlist stubtest-allow.txt _csv_vornish_backend csv_vornish
)

step "dist_check: all passed"
