#!/usr/bin/env bash
# Runs the Python tests on the free-threaded .venv and on the GIL-enabled
# .venv-gil, then the C++ tests. Every suite runs even when an earlier one fails;
# the exit status is non-zero if any failed. Extra arguments go to pytest.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO" || exit 1

failed=()

run_pytest() {
  local venv=$1 py=$REPO/$1/bin/python rc
  shift
  echo
  echo "==> pytest on $venv: $("$py" -c 'import sys, sysconfig
build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL build"
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
state = "GIL enabled" if gil else "GIL disabled"
print(f"Python {sys.version.split()[0]} ({build}, {state}) at {sys.executable}")' 2>&1)"
  "$py" -m pytest -q tests "$@"
  rc=$?
  case $rc in
    0) ;;
    # pytest's "no tests collected" must not pass for a green run.
    5) echo "==> pytest on $venv collected no tests: counted as a failure"; failed+=("pytest on $venv (no tests)") ;;
    *) failed+=("pytest on $venv (exit $rc)") ;;
  esac
}

run_pytest .venv "$@"
run_pytest .venv-gil "$@"

echo
bash "$REPO/scripts/run_cxx_tests.sh" || failed+=("C++ tests")

echo
if ((${#failed[@]})); then
  printf '==> FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "==> all test suites passed"
