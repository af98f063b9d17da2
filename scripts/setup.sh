#!/usr/bin/env bash
# Shared set-up: system packages the build prefers, and a virtual environment
# per interpreter with quorvane and the tools installed.
#   source scripts/setup.sh; venv_for 3.13   -> prints the venv's python
set -euo pipefail
shopt -s inherit_errexit  # a failure inside $(...) fails the caller too

QUORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVANE_VENVS=${QUORVANE_VENVS:-$QUORVANE_ROOT/.venv}

log() { echo "[quorvane] $*" >&2; }

# tsl-robin-map (a faster order index) and Google Benchmark; the build works without them.
install_system_packages() {
  local missing=()
  for pkg in robin-map-dev libbenchmark-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    log "not installing ${missing[*]} (needs root and apt-get); building with standard containers"
    return 0
  fi
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 ||
    log "could not install ${missing[*]}; building with standard containers"
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
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest "$hypothesis" "$@" >&2
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
