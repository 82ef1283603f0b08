#!/usr/bin/env bash
# Prepares everything `make test` and `make demo` need, on a fresh machine or an
# already set-up one (a second run only rebuilds the package):
#   1. a free-threaded CPython: python3.14t/python3.13t on PATH, else one built
#      earlier into the cache folder, else built now from Debian's source package;
#   2. .venv on that interpreter and .venv-gil on the stock python3;
#   3. the package built from this working tree and installed into both;
#   4. what the tests need beyond that: GoogleTest and qemu-user, Dask, the
#      type checkers.
#
# Usage: setup.sh [--demo]   (--demo: only steps 1-3 for .venv, what `make demo` runs on)
#
# Environment:
#   TARNWICK_CACHE        cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick)
#   TARNWICK_PYTHON_FT    free-threaded interpreter to use instead of searching
#   TARNWICK_PYTHON_GIL   GIL-enabled interpreter for .venv-gil (default python3)
#   TARNWICK_JOBS         parallel jobs for the interpreter build (default nproc)
#   TARNWICK_DEBIAN_MIRROR  Debian mirror for the interpreter's source package
#                         (default: the one this machine's apt sources name)
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tarnwick}
JOBS=${TARNWICK_JOBS:-$(nproc 2>/dev/null || echo 2)}

# The interpreter we build: Debian stable's CPython source, the newest series
# any of the reachable registries serve.
CPYTHON_SERIES=3.13
DEBIAN_SUITE=trixie
DEBIAN_KEYRINGS=(
  /usr/share/keyrings/debian-archive-trixie-stable.gpg
  /usr/share/keyrings/debian-archive-trixie-automatic.gpg
)
# GoogleTest for the C++ tests of the colour arithmetic; qemu-user to import
# the module on an emulated processor without AVX2.
TEST_DEPS=(g++ libgtest-dev qemu-user)
BUILD_DEPS=(build-essential pkg-config dpkg-dev xz-utils libssl-dev zlib1g-dev
  libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev)

# What each virtual environment gets. Binary wheels only: a NumPy source build
# would take long and could quietly produce a GIL-enabled extension.
REQS_COMMON=("numpy>=2.2,<2.5" "pytest>=8" "scikit-build-core>=0.10" "ninja" "cmake>=3.18"
  "pillow>=11.0,<14" "tqdm>=4.66,<5" "hypothesis>=6.100,<7")
# The image extra's 16-bit TIFF writer.
REQS_COMMON+=("tifffile>=2024.8.10")
REQS_FT=()
REQS_GIL=()
# The type checkers the tests run, pinned so a new release cannot turn a run
# red. On the stock interpreter only: mypy's compiled runtime has no
# free-threaded build.
TYPING_REQS_GIL=("mypy==2.4.1" "basedpyright==1.40.2")

say() { printf '==> %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }
now() { date +%s; }

SCRIPT_START=$(now)

DEMO_ONLY=0
case ${1:-} in
  "") ;;
  --demo) DEMO_ONLY=1 ;;
  *) die "unknown option '$1' (usage: setup.sh [--demo])" ;;
esac

# --- interpreter checks ------------------------------------------------------

# True when $1 runs and was built with the GIL disabled.
is_free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' \
    >/dev/null 2>&1
}

# True when $1 runs and is an ordinary GIL build of CPython >= 3.11.
is_gil_build() {
  "$1" -c 'import sys, sysconfig
sys.exit(0 if sys.version_info >= (3, 11) and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' \
    >/dev/null 2>&1
}

describe() {
  "$1" -c 'import sys, sysconfig
build = "free-threaded build" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL build"
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
state = "GIL enabled" if gil else "GIL disabled"
print(f"{sys.executable} (Python {sys.version.split()[0]}, {build}, {state})")'
}

# Newest complete interpreter in the cache, if any.
cached_interpreter() {
  local dir py
  for dir in $(ls -d "$CACHE"/cpython-*t 2>/dev/null | sort -rV); do
    [[ -f $dir/.complete ]] || continue
    for py in "$dir"/bin/python3.1[0-9]t; do
      if [[ -x $py ]] && is_free_threaded "$py"; then
        echo "$py"
        return 0
      fi
    done
  done
  return 1
}

# --- building the interpreter --------------------------------------------------

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    die "need root to run: $*"
  fi
}

# Installs the named Debian packages that are not installed yet.
install_debian_packages() {
  local what=$1 missing=() pkg
  shift
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$pkg")
  done
  if ((${#missing[@]} == 0)); then
    say "$what already installed"
    return
  fi
  say "Installing $what: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

# The mirror that the machine's own apt sources use for Debian's main archive.
debian_mirror() {
  if [[ -n ${TARNWICK_DEBIAN_MIRROR:-} ]]; then
    echo "${TARNWICK_DEBIAN_MIRROR%/}"
    return
  fi
  bash "$REPO/scripts/debian_mirror.sh" ||
    die "no Debian mirror in this machine's apt sources (a deb or deb-src entry for the main archive in /etc/apt/sources.list or /etc/apt/sources.list.d/); add one or set TARNWICK_DEBIAN_MIRROR"
}

# Downloads the python3.$minor source package into the current directory with an
# apt configuration of our own, so the system's sources and package lists stay
# untouched. apt still checks the index signature and every file's hash.
fetch_source_package() {
  local aptdir=$CACHE/apt keyrings k mirror
  mirror=$(debian_mirror) || exit 1
  say "Debian mirror (from the apt sources): $mirror"
  for k in "${DEBIAN_KEYRINGS[@]}"; do
    [[ -r $k ]] || die "missing $k (Debian's debian-archive-keyring package provides it)"
  done
  keyrings=$(IFS=,; echo "${DEBIAN_KEYRINGS[*]}")
  mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
  printf 'deb-src [signed-by=%s] %s %s main\n' "$keyrings" "$mirror" "$DEBIAN_SUITE" \
    >"$aptdir/sources.list"
  local opts=(
    -o "Dir::Etc::sourcelist=$aptdir/sources.list"
    -o "Dir::Etc::sourceparts=$aptdir/sources.list.d"
    -o "Dir::State::Lists=$aptdir/lists"
    -o "Dir::Cache=$aptdir/cache"
    # The cache usually lies in root's home, which apt's unprivileged download
    # user cannot enter; apt would fall back to root anyway, with a warning.
    -o "APT::Sandbox::User=root"
  )
  say "Fetching the $DEBIAN_SUITE source index"
  apt-get "${opts[@]}" -q update
  say "Downloading the python$CPYTHON_SERIES source package"
  apt-get "${opts[@]}" -q source --download-only "python$CPYTHON_SERIES"
}

build_interpreter() {
  local t0 work orig version prefix logdir py
  t0=$(now)
  install_debian_packages "interpreter build dependencies" "${BUILD_DEPS[@]}"
  command -v python3 >/dev/null || die "python3 is needed to fetch pip for the new interpreter"

  mkdir -p "$CACHE"
  work=$(mktemp -d "$CACHE/build.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" EXIT
  (cd "$work" && fetch_source_package)

  orig=$(ls "$work"/python"$CPYTHON_SERIES"_*.orig.tar.xz 2>/dev/null | head -n 1)
  [[ -n $orig ]] || die "apt-get source left no python$CPYTHON_SERIES orig tarball"
  version=${orig##*_}
  version=${version%.orig.tar.xz}
  [[ $version == "$CPYTHON_SERIES".* ]] || die "unexpected upstream version '$version'"
  prefix=$CACHE/cpython-${version}t
  logdir=$CACHE/logs
  mkdir -p "$logdir"

  # Debian's patches move site-packages to paths a free-threaded build doesn't
  # search (venvs end up without their own site-packages), and they disable
  # ensurepip; the upstream tarball inside the source package builds cleanly.
  say "Unpacking CPython $version (upstream sources from the package)"
  tar -xJf "$orig" -C "$work"
  [[ -d $work/Python-$version ]] || die "tarball did not contain Python-$version/"

  # Debian strips the bundled pip wheel from the tarball; give ensurepip one
  # from PyPI in the interpreter's wheel folder so `-m venv` seeds pip as usual.
  rm -rf "$prefix"
  mkdir -p "$prefix/share/python-wheels"
  say "Downloading a pip wheel for ensurepip"
  python3 -m pip download -q --disable-pip-version-check --only-binary=:all: --no-deps \
    --dest "$prefix/share/python-wheels" "pip>=25"

  say "Configuring CPython $version with --disable-gil (log: $logdir/cpython-configure.log)"
  (cd "$work/Python-$version" &&
    ./configure --prefix="$prefix" --disable-gil \
      --with-wheel-pkg-dir="$prefix/share/python-wheels" \
      >"$logdir/cpython-configure.log" 2>&1) ||
    { tail -n 40 "$logdir/cpython-configure.log" >&2; die "configure failed"; }

  say "Compiling CPython $version with $JOBS jobs, a few minutes (log: $logdir/cpython-make.log)"
  (cd "$work/Python-$version" && make -j"$JOBS" >"$logdir/cpython-make.log" 2>&1) ||
    { tail -n 60 "$logdir/cpython-make.log" >&2; die "make failed"; }

  say "Installing into $prefix (log: $logdir/cpython-install.log)"
  (cd "$work/Python-$version" && make install >"$logdir/cpython-install.log" 2>&1) ||
    { tail -n 60 "$logdir/cpython-install.log" >&2; die "make install failed"; }

  py=$prefix/bin/python${CPYTHON_SERIES}t
  is_free_threaded "$py" || die "$py is not a free-threaded build"
  # pip needs ssl and zlib; a missing -dev package makes these silently absent.
  "$py" -c 'import ssl, zlib, bz2, lzma, sqlite3, ctypes, venv' ||
    die "$py lacks standard modules; see $logdir/cpython-make.log"
  "$py" -m pip --version >/dev/null || die "$py has no pip"
  touch "$prefix/.complete"

  rm -rf "$work"
  trap - EXIT
  say "Built $(describe "$py") in $(($(now) - t0)) s"
}

find_free_threaded() {
  local py name
  if [[ -n ${TARNWICK_PYTHON_FT:-} ]]; then
    py=$(command -v "$TARNWICK_PYTHON_FT") || die "TARNWICK_PYTHON_FT=$TARNWICK_PYTHON_FT not found"
    is_free_threaded "$py" || die "TARNWICK_PYTHON_FT=$py is not a free-threaded build"
    FT_PYTHON=$py
    return
  fi
  for name in python3.14t python3.13t; do
    py=$(command -v "$name" 2>/dev/null) || continue
    if is_free_threaded "$py"; then
      FT_PYTHON=$py
      return
    fi
    say "Ignoring $py: not a free-threaded build"
  done
  if FT_PYTHON=$(cached_interpreter); then
    return
  fi

  # Two set-ups racing on one machine must not build into the same folder.
  mkdir -p "$CACHE"
  exec 9>"$CACHE/.build.lock"
  if ! flock -n 9; then
    say "Waiting for another set-up that is building the interpreter"
    flock 9
  fi
  if ! FT_PYTHON=$(cached_interpreter); then
    say "No free-threaded CPython found; building one into $CACHE (first run only)"
    build_interpreter
    FT_PYTHON=$(cached_interpreter) || die "the new interpreter is not usable"
  fi
  exec 9>&-
}

# --- virtual environments ----------------------------------------------------

# setup_venv DIR PYTHON REQUIREMENT...
setup_venv() {
  local name=$1 venv=$REPO/$1 base=$2
  shift 2
  local stamp=$venv/.tarnwick-setup want have=""
  want=$(printf 'python=%s\n' "$(readlink -f "$base")"
    "$base" -c 'import sys; print("version=" + sys.version.split()[0])'
    printf 'req=%s\n' "$@")
  [[ -f $stamp ]] && have=$(<"$stamp")
  if [[ $want == "$have" ]] && "$venv/bin/python" -c '' 2>/dev/null; then
    say "$name is up to date"
    return
  fi

  local base_line
  base_line=$(head -n 1 <<<"$want")
  if [[ ! -x $venv/bin/python ]] || ! "$venv/bin/python" -c '' 2>/dev/null ||
    [[ $(head -n 1 <<<"$have") != "$base_line" ]]; then
    say "Creating $name on $(describe "$base")"
    rm -rf "$venv"
    "$base" -m venv "$venv"
  fi

  local pip=("$venv/bin/python" -m pip --disable-pip-version-check)
  say "Installing into $name: $*"
  "${pip[@]}" install -q --upgrade pip
  "${pip[@]}" install -q --only-binary=:all: "$@"
  printf '%s\n' "$want" >"$stamp"
}

# --- the package -------------------------------------------------------------

install_package() {
  local venv=$REPO/$1 log t0
  log=$REPO/build/pip-install-$1.log
  mkdir -p "$REPO/build"
  t0=$(now)
  say "Building and installing tarnwick into $1"
  if ! (cd "$REPO" && "$venv/bin/python" -m pip --disable-pip-version-check install -v \
    --no-build-isolation --no-deps . >"$log" 2>&1); then
    echo "---- last 200 lines of $log ----" >&2
    tail -n 200 "$log" >&2
    die "building tarnwick for $1 failed (full log: $log)"
  fi
  say "tarnwick installed into $1 in $(($(now) - t0)) s"
}

# --- Dask, for tarnwick.dask and its tests -------------------------------------

# Both venvs get the distributed scheduler (the tests start a local cluster of
# worker processes); the stock one also gets Zarr (chunked on-disk arrays for
# the Dask benchmark). The compiled dependencies without free-threaded wheels
# are built from source on .venv (about 30 s on 2 cores, once); everything
# else, NumPy included, stays binary.
DASK_REQS_GIL=("dask[array,distributed]>=2024.8,<2027" "zarr>=3,<4")
DASK_REQS_FT=("dask[array,distributed]>=2024.8,<2027")
DASK_SOURCE_BUILDS_FT=pyyaml,msgpack,tornado

# install_dask VENV NO_BINARY REQUIREMENT...: NO_BINARY is a comma-separated list
# of packages to build from source ("" for none). A stamp in the venv skips a
# second install of the same requirements.
install_dask() {
  local name=$1 venv=$REPO/$1 no_binary=$2
  shift 2
  local stamp=$venv/.tarnwick-dask want have="" t0
  want=$(printf 'no-binary=%s\n' "$no_binary"; printf 'req=%s\n' "$@")
  [[ -f $stamp ]] && have=$(<"$stamp")
  if [[ $want == "$have" ]]; then
    say "Dask in $name is up to date"
    return
  fi
  t0=$(now)
  say "Installing Dask into $name: $*${no_binary:+ (built from source: $no_binary)}"
  local opts=(--only-binary=:all:)
  [[ -n $no_binary ]] && opts+=(--no-binary="$no_binary")
  "$venv/bin/python" -m pip --disable-pip-version-check install -q "${opts[@]}" "$@" ||
    die "installing Dask into $name failed"
  # A compiled dependency without free-threading support would turn the GIL back on.
  "$venv/bin/python" -W error::RuntimeWarning -c 'import sys, sysconfig, dask.array, distributed
sys.exit(1 if sysconfig.get_config_var("Py_GIL_DISABLED") and sys._is_gil_enabled() else 0)' ||
    die "Dask fails to import in $name, or re-enables the GIL there"
  printf '%s\n' "$want" >"$stamp"
  say "Dask installed into $name in $(($(now) - t0)) s"
}

# install_typing VENV REQUIREMENT...: the type checkers, with a stamp like Dask's.
install_typing() {
  local name=$1 venv=$REPO/$1
  shift
  local stamp=$venv/.tarnwick-typing want have=""
  want=$(printf 'req=%s\n' "$@")
  [[ -f $stamp ]] && have=$(<"$stamp")
  [[ $want == "$have" ]] && { say "Type checkers in $name are up to date"; return; }
  say "Installing into $name: $*"
  "$venv/bin/python" -m pip --disable-pip-version-check install -q --only-binary=:all: "$@" ||
    die "installing the type checkers into $name failed"
  printf '%s\n' "$want" >"$stamp"
}

# --- main --------------------------------------------------------------------

main() {
  mkdir -p "$REPO/build"
  # Keeps two set-ups in this working tree from rewriting the venvs at once.
  exec 8>"$REPO/build/.setup.lock"
  flock 8

  if ((DEMO_ONLY)); then
    install_debian_packages "C++ compiler" g++   # the package itself is C++
  else
    install_debian_packages "C++ test dependencies" "${TEST_DEPS[@]}"
  fi

  FT_PYTHON=""
  find_free_threaded
  say "Free-threaded interpreter: $(describe "$FT_PYTHON")"

  local gil_python
  gil_python=$(command -v "${TARNWICK_PYTHON_GIL:-python3}") ||
    die "no stock python3 on PATH"
  gil_python=$("$gil_python" -c 'import sys; print(sys.executable)')
  is_gil_build "$gil_python" || die "$gil_python is not a GIL-enabled CPython >= 3.11"
  say "GIL-enabled interpreter: $(describe "$gil_python")"

  setup_venv .venv "$FT_PYTHON" "${REQS_COMMON[@]}" ${REQS_FT[@]+"${REQS_FT[@]}"}
  ((DEMO_ONLY)) || setup_venv .venv-gil "$gil_python" "${REQS_COMMON[@]}" ${REQS_GIL[@]+"${REQS_GIL[@]}"}

  "$REPO/.venv/bin/python" -c 'import sys; sys.exit(0 if not sys._is_gil_enabled() else 1)' ||
    die ".venv runs with the GIL enabled (is PYTHON_GIL=1 set?)"

  install_package .venv
  ((DEMO_ONLY)) || install_package .venv-gil

  if ((!DEMO_ONLY)); then
    install_dask .venv "$DASK_SOURCE_BUILDS_FT" "${DASK_REQS_FT[@]}"
    install_dask .venv-gil "" "${DASK_REQS_GIL[@]}"
    install_typing .venv-gil "${TYPING_REQS_GIL[@]}"
  fi

  # Importing an extension that doesn't declare free-threading support turns
  # the GIL back on; say so here rather than leave it to a puzzled test run.
  if ! "$REPO/.venv/bin/python" -W error::RuntimeWarning -c \
    'import sys, tarnwick; sys.exit(1 if sys._is_gil_enabled() else 0)' 2>/dev/null; then
    say "warning: importing tarnwick in .venv fails or re-enables the GIL"
  fi

  local v
  for v in .venv $( ((DEMO_ONLY)) || echo .venv-gil); do
    say "$v: $("$REPO/$v/bin/python" -c 'import sys, numpy
print(f"Python {sys.version.split()[0]}, NumPy {numpy.__version__}")')"
  done
  say "Set-up done in $(($(now) - SCRIPT_START)) s"
}

main "$@"
