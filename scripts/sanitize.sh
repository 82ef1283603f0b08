#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UBSan and runs the Python suite
# on it (GIL-enabled interpreter; the sanitizer runtimes are preloaded because
# the interpreter itself is not instrumented). Run `make setup` first.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
PY=$REPO/.venv-gil/bin/python
cmake -S . -B build/sanitize -G Ninja -DPython_EXECUTABLE="$PY" -DTARNWICK_SANITIZE=ON >/dev/null
cmake --build build/sanitize
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PYTHONPATH=$REPO/src:$REPO/build/sanitize "$PY" -m pytest -q -p no:cacheprovider tests "$@"
