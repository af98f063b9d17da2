#!/usr/bin/env bash
# A Debian unstable root that carries the CPython lines the machine's own
# Debian does not: 3.14 and 3.15, each with headers, venv and debug build.
#
#   scripts/sid-root.sh ensure            make the root, or reuse it; print its path
#   scripts/sid-root.sh run CMD [ARG...]  run CMD inside the root, in the checkout
#
# The root is cached in $QUORVANE_CACHE/sid-root (default ~/.cache/quorvane).
# It is made in a staging directory and moved into place whole, so that an
# interrupted build leaves nothing half-made, and a later run reuses it.
#
# `run` mounts /proc (the memory tests read /proc/self/statm) and binds the
# checkout at /quorvane, $QUORVANE_VENVS at /quorvane-venvs and the LOBSTER
# samples, when there are any, at /quorvane-lobster. It does so in a mount
# namespace of its own where unshare(1) allows, so that the mounts exist only
# for CMD and two runs never see each other's; they are unmounted on the way
# out in any case, failure included.
set -euo pipefail

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache_root=${QUORVANE_CACHE:-$HOME/.cache/quorvane}
venvs=${QUORVANE_VENVS:-$root_dir/.venv}
sid=$cache_root/sid-root
packages=(python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg
          g++ cmake make ca-certificates)

log() { printf '[sid-root] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# The machine's Debian mirror (not -security), as the machine is set up to reach it.
debian_uri() {
  local uri=""
  [[ -r /etc/apt/sources.list.d/debian.sources ]] &&
    uri=$(awk 'tolower($1)=="uris:" { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
          /etc/apt/sources.list.d/debian.sources)
  printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

# pip inside the root checks TLS against the same certificates as the host.
copy_certificates() {
  local bundle=/etc/ssl/certs/ca-certificates.crt
  [[ -r $bundle ]] || return 0
  mkdir -p "$1/etc/ssl/certs"
  cmp -s "$bundle" "$1$bundle" || cp "$bundle" "$1$bundle"
}

# Runs "$@" chrooted into $1 with /proc mounted, unmounting on every exit.
chroot_with_proc() {
  local dir=$1; shift
  mount -t proc proc "$dir/proc"
  trap "umount -l '$dir/proc'" EXIT
  chroot "$dir" "$@"
}

# Unmounts whatever a run killed before its trap left below $1, so that
# nothing ever removes files through a leftover bind mount.
release_mounts() {
  local target
  while read -r _ target _; do
    [[ $target == "$1"/* ]] && umount -l "$target" 2>/dev/null || true
  done < <(tac /proc/mounts)
}

# Installs the package list into the root at $1 and records it there.
install_packages() {
  local dir=$1
  log "installing ${packages[*]}"
  copy_certificates "$dir"
  cp /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  (chroot_with_proc "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
     sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${packages[*]} && apt-get clean") \
    >>"$dir.log" 2>&1 || { tail -n 30 "$dir.log" >&2; die "package installation failed (log: $dir.log)"; }
  copy_certificates "$dir"  # ca-certificates wrote its own bundle
  printf '%s\n' "${packages[@]}" >"$dir/.quorvane-packages"
}

build() {
  local stage=$1
  if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >&2
  fi
  log "debootstrap sid into $stage"
  debootstrap --variant=minbase sid "$stage" "$(debian_uri)" >"$stage.log" 2>&1 ||
    { tail -n 30 "$stage.log" >&2; die "debootstrap failed (log: $stage.log)"; }
  # The archive's Release file may be past its validity date.
  echo 'Acquire::Check-Valid-Until "false";' >"$stage/etc/apt/apt.conf.d/99quorvane"
  mkdir -p "$stage/quorvane" "$stage/quorvane-venvs" "$stage/quorvane-lobster"
  install_packages "$stage"
}

ensure() {
  local started=$SECONDS
  mkdir -p "$cache_root"
  exec 9>"$sid.lock"
  flock -n 9 || { log "waiting for another run holding $sid.lock"; flock 9; }
  release_mounts "$sid"
  if [[ ! -f $sid/.quorvane-packages ]]; then
    local stage=$sid.stage
    release_mounts "$stage"
    rm -rf --one-file-system "$stage" "$sid"
    build "$stage"
    mv "$stage" "$sid"
    rm -f "$stage.log"
    log "made in $((SECONDS - started))s"
  elif [[ $(cat "$sid/.quorvane-packages") != "$(printf '%s\n' "${packages[@]}")" ]]; then
    install_packages "$sid"
  fi
  exec 9>&-
  printf '%s\n' "$sid"
}

lobster_dir() {
  if [[ -n ${QUORVANE_LOBSTER_DIR:-} ]]; then
    printf '%s\n' "$QUORVANE_LOBSTER_DIR"
    return
  fi
  local dir=$root_dir
  while [[ $dir != / ]]; do
    dir=$(dirname "$dir")
    [[ -d $dir/shared/data/lobster ]] && { printf '%s\n' "$dir/shared/data/lobster"; return; }
  done
  return 0  # none: the tests that need them are skipped
}

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
bind() { mount --bind "$1" "$sid$2"; mounted+=("$sid$2"); }

# The part of `run` that holds the mounts (in its own namespace when possible).
inside() {
  local lobster
  lobster=$(lobster_dir)
  trap unmount_all EXIT
  mount -t proc proc "$sid/proc"
  mounted+=("$sid/proc")
  mkdir -p "$venvs"
  bind "$root_dir" /quorvane
  bind "$venvs" /quorvane-venvs
  local -a env=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 QUORVANE_VENVS=/quorvane-venvs)
  if [[ -n $lobster && -d $lobster ]]; then
    bind "$lobster" /quorvane-lobster
    env+=(QUORVANE_LOBSTER_DIR=/quorvane-lobster)
  fi
  local name
  for name in CI PYTHON_GIL PIP_DEFAULT_TIMEOUT QUORVANE_JOBS; do
    [[ -n ${!name:-} ]] && env+=("$name=${!name}")
  done
  chroot "$sid" /usr/bin/env -i "${env[@]}" sh -c 'cd /quorvane && exec "$@"' run "$@"
}

case ${1:-} in
  ensure) ensure ;;
  run)
    shift
    [[ $# -gt 0 ]] || die "run needs a command"
    ensure >/dev/null
    copy_certificates "$sid"
    if unshare --mount --propagation private true 2>/dev/null; then
      exec unshare --mount --propagation private bash "${BASH_SOURCE[0]}" __inside "$@"
    fi
    inside "$@"
    ;;
  __inside) shift; inside "$@" ;;
  -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' ;;
  *) die "usage: $0 ensure | run CMD [ARG...]" ;;
esac
