#!/usr/bin/env bash
# Find or set up a CPython with development headers and a working venv;
# print its path.
#
#   scripts/python.sh LINE
#
#   3.11, 3.12  an existing install (PATH, then pyenv), else Debian's package
#   3.13        the same, else a source build
#   3.13-debug  a --with-pydebug source build (its reference total catches
#               reference leaks in the extension)
#   3.13t       a free-threaded (--disable-gil) source build
#
# Source builds use the upstream tarball of Debian trixie's python3.13 source
# package (kept in the cache, so the second build fetches nothing) and are
# cached per line. 3.14 and 3.15 come from scripts/sid-root.sh instead.
#
# The interpreter path is the only thing written to stdout (last line);
# all progress goes to stderr.
#
# Environment:
#   QUORVANE_CACHE              cache root (default: ~/.cache/quorvane)
#   QUORVANE_PY313_FORCE_BUILD  =1 skips the lookup/apt steps for 3.13
#   QUORVANE_JOBS               make parallelism (default: nproc)
set -euo pipefail

# Everything below logs to stderr; fd 3 carries the final answer.
exec 3>&1 1>&2

line=${1:-}
case $line in
    3.11|3.12|3.13) version=$line; flavour=release ;;
    3.13-debug) version=3.13; flavour=debug ;;
    3.13t) version=3.13; flavour=freethreaded ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "usage: $0 3.11|3.12|3.13|3.13-debug|3.13t"; exit 2 ;;
esac

cache_root=${QUORVANE_CACHE:-$HOME/.cache/quorvane}
case $flavour in
    release) prefix=$cache_root/python$version; binary=python$version ;;
    debug) prefix=$cache_root/python$version-debug; binary=python$version ;;
    freethreaded) prefix=$cache_root/python${version}t; binary=python${version}t ;;
esac
jobs=${QUORVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "QUORVANE_JOBS must be a positive integer" >&2; exit 2; }
src_suite=trixie

log() { printf '[python %s] %s\n' "$line" "$*"; }
die() { log "error: $*"; exit 1; }

answer() {
    printf '%s\n' "$1" >&3
    exit 0
}

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
else
    sudo=(sudo)
fi
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -y -q "$@"
}

# Install only what is absent: `apt-get install` of a present package would
# also upgrade it (and its runtime libs), which is not ours to decide.
apt_install_missing() {
    local pkg
    local -a missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        log "installing ${missing[*]}"
        apt_get install --no-install-recommends "${missing[@]}"
    fi
}

# Prints sys.executable if $1 is CPython $version of this flavour with
# Python.h and can create a venv with pip (Debian's python3.X without -venv
# fails exactly here).
check_python() {
    local py=$1 tmp exe
    exe=$("$py" - "$version" "$flavour" <<'EOF' 2>/dev/null
import os, sys, sysconfig
version, flavour = sys.argv[1], sys.argv[2]
if "%d.%d" % sys.version_info[:2] != version:
    sys.exit(1)
if not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    sys.exit(1)
if hasattr(sys, "gettotalrefcount") != (flavour == "debug"):
    sys.exit(1)
if bool(sysconfig.get_config_var("Py_GIL_DISABLED")) != (flavour == "freethreaded"):
    sys.exit(1)
import venv, ensurepip
print(sys.executable)
EOF
    ) || return 1
    [[ -n $exe && -x $exe ]] || return 1
    tmp=$(mktemp -d)
    if ! "$exe" -m venv "$tmp/venv" >/dev/null 2>&1 ||
       ! "$tmp/venv/bin/python" -m pip --version >/dev/null 2>&1; then
        rm -rf "$tmp"
        return 1
    fi
    rm -rf "$tmp"
    printf '%s\n' "$exe"
}

# --- release: reuse what the machine already has --------------------------
find_existing() {
    local cand exe
    local -a cands=()
    if cand=$(command -v "python$version" 2>/dev/null); then
        cands+=("$cand")
    fi
    # pyenv shims fail unless the line is the selected version, so look at
    # the installs directly too (newest first).
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    while IFS= read -r cand; do
        [[ -n $cand ]] && cands+=("$cand")
    done < <(compgen -G "$pyenv_root/versions/$version.*/bin/python$version" | sort -rV || true)
    for cand in "${cands[@]}"; do
        log "trying $cand"
        if exe=$(check_python "$cand"); then
            log "using $exe"
            answer "$exe"
        fi
    done
}

try_apt_python() {
    command -v apt-cache >/dev/null || return 1
    local candidate
    candidate=$(apt-cache policy "python$version-dev" 2>/dev/null |
                awk '/Candidate:/ {print $2}')
    [[ -n $candidate && $candidate != "(none)" ]] || return 1
    log "installing python$version-dev $candidate from apt"
    apt_get install "python$version-dev" "python$version-venv"
    local exe
    exe=$(check_python "/usr/bin/python$version") ||
        die "/usr/bin/python$version installed but lacks headers or venv"
    answer "$exe"
}

# --- source build from Debian's next-release source package ---------------

# URI of the machine's main Debian archive (not -security), so the deb-src
# entry goes through the same mirror the machine is set up for.
debian_uri() {
    local f uri=""
    f=/etc/apt/sources.list.d/debian.sources
    if [[ -r $f ]]; then
        uri=$(awk 'tolower($1)=="uris:" {
                  for (i = 2; i <= NF; i++)
                      if ($i !~ /security/) { print $i; exit }
              }' "$f")
    fi
    if [[ -z $uri && -r /etc/apt/sources.list ]]; then
        uri=$(awk '$1=="deb" {
                  for (i = 2; i <= NF; i++) {
                      if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; continue }
                      if ($i !~ /security/) print $i
                      break
                  }
              }' /etc/apt/sources.list | head -n1)
    fi
    printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

add_deb_src() {
    local file=/etc/apt/sources.list.d/quorvane-$src_suite-src.sources
    local uri keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    uri=$(debian_uri)
    local content
    content="Types: deb-src
URIs: $uri
Suites: $src_suite
Components: main"
    [[ -r $keyring ]] && content+=$'\n'"Signed-By: $keyring"
    if [[ ! -f $file ]] || [[ $(cat "$file") != "$content" ]]; then
        log "adding deb-src $uri $src_suite main ($file)"
        printf '%s\n' "$content" | "${sudo[@]}" tee "$file" >/dev/null
    fi
    log "apt-get update"
    apt_get update
}

# Sets $tarball to the upstream tarball, downloading it into the cache once.
find_source_tarball() {
    local dir=$cache_root/src dl
    mkdir -p "$dir"
    exec 8>"$dir/python$version.lock"
    flock 8
    tarball=$(compgen -G "$dir/python${version}_*.orig.tar.*" | head -n1 || true)
    if [[ -z $tarball ]]; then
        add_deb_src
        dl=$(mktemp -d "$dir/dl.XXXXXX")
        # apt's downloader drops to the _apt user; give it a directory it can
        # write so the fetch stays sandboxed instead of warning.
        if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then
            chown _apt "$dl"
        fi
        log "downloading python$version source ($src_suite)"
        (cd "$dl" && apt_get source --download-only "python$version/$src_suite")
        tarball=$(compgen -G "$dl/python${version}_*.orig.tar.*" | head -n1 || true)
        [[ -n $tarball ]] || die "no upstream tarball in $(ls "$dl")"
        mv "$tarball" "$dir/"
        rm -rf "$dl"
        tarball=$dir/$(basename "$tarball")
    fi
    exec 8>&-
}

build_from_source() {
    local build_log=$prefix.build.log
    local work stage srcdir started=$SECONDS

    apt_install_missing \
        build-essential pkg-config xz-utils dpkg-dev \
        libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
        libsqlite3-dev libreadline-dev uuid-dev
    # Build the pristine upstream tarball: Debian's patches relocate
    # site-packages to dist-packages and assume prefix=/usr, which breaks a
    # private prefix.
    find_source_tarball

    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-python.XXXXXX")
    # shellcheck disable=SC2064
    trap "rm -rf '$work'" EXIT
    log "unpacking $(basename "$tarball")"
    tar -xf "$tarball" -C "$work"
    srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "Python-$version*" | head -n1)
    [[ -n $srcdir && -x $srcdir/configure ]] || die "unexpected tarball layout"

    # The interpreter's own test suite is neither needed nor worth its
    # build and install time.
    local -a conf=(--prefix="$prefix" --with-ensurepip=install --disable-test-modules)
    case $flavour in
        debug) conf+=(--with-pydebug) ;;
        freethreaded) conf+=(--disable-gil) ;;
    esac

    # Install into a staging tree and move it into place at the end, so an
    # interrupted build never leaves a half-populated cache behind.
    stage=$work/stage
    log "building $(basename "$srcdir") ($flavour, -j$jobs); log: $build_log"
    : >"$build_log"
    # Chained with && on purpose: set -e is off inside an `if` condition.
    if ! (
        cd "$srcdir" &&
        ./configure "${conf[@]}" &&
        make -j"$jobs" &&
        make install DESTDIR="$stage" COMPILEALL_OPTS="-j$jobs"
    ) >>"$build_log" 2>&1; then
        log "build failed; last lines of $build_log:"
        tail -n 60 "$build_log"
        exit 1
    fi
    [[ -x $stage$prefix/bin/$binary ]] || die "install produced no bin/$binary"
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    mv "$stage$prefix" "$prefix"
    log "built in $((SECONDS - started))s"
}

if [[ $flavour == release ]]; then
    if [[ $version != 3.13 || ${QUORVANE_PY313_FORCE_BUILD:-0} != 1 ]]; then
        find_existing
        try_apt_python || true
    fi
    [[ $version == 3.13 ]] || die "no usable python$version found (PATH, pyenv, Debian's python$version-dev)"
fi

mkdir -p "$cache_root"
lock=$prefix.lock
exec 9>"$lock"
if ! flock -n 9; then
    log "waiting for another build holding $lock"
    flock 9
fi

if [[ -x $prefix/bin/$binary ]]; then
    if exe=$(check_python "$prefix/bin/$binary"); then
        log "using cached $exe"
        answer "$exe"
    fi
    log "cached $prefix is unusable; rebuilding"
fi

build_from_source
exe=$(check_python "$prefix/bin/$binary") ||
    die "fresh build in $prefix failed the sanity checks"
answer "$exe"
