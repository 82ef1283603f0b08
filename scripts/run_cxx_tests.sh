#!/usr/bin/env bash
# Builds and runs the C++ tests under tests/cxx/ with CTest, using the cmake
# and ninja of .venv. Nothing to do while there are none.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"

if [[ ! -d tests/cxx ]]; then
  echo "==> no C++ tests (tests/cxx/ does not exist): skipped"
  exit 0
fi
[[ -f tests/cxx/CMakeLists.txt ]] || { echo "tests/cxx/ has no CMakeLists.txt" >&2; exit 1; }

bin=$REPO/.venv/bin
echo "==> C++ tests: building tests/cxx into build/cxx"
"$bin/cmake" -S tests/cxx -B build/cxx -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$bin/python"
"$bin/cmake" --build build/cxx
"$bin/ctest" --test-dir build/cxx --output-on-failure
