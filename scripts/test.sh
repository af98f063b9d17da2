#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what it needs, then runs
# one stage per line of CPython that users run, and prints a summary with the
# time each stage took:
#   engine      the engine's C++ tests, without an interpreter
#   fuzz        the engine under libFuzzer for a minute, from the seed corpus
#   wheel       an sdist and from it a wheel built on CPython 3.13, the wheel
#               repaired to a manylinux tag (the stage fails without one),
#               installed into a fresh venv and tested
#   3.11, 3.12  source builds on those lines, tested
#   types       the type stub against the module (stubtest) and the examples
#               (mypy --strict)
#   asan        3.13 with AddressSanitizer + UBSan and the book's invariant checks
#   debug       the leak tests on a debug build of 3.13
#   3.13t       a free-threaded 3.13 with the GIL off, invariant checks on
#   3.14, 3.15  source builds on those lines (inside a Debian unstable root)
#   3.15-debug  the leak tests on 3.15's debug build
# QUORVANE_QUICK=1 runs engine, wheel, 3.11 and types only; QUORVANE_STAGES
# (names above, space-separated) picks stages. The stages in the Debian
# unstable root run beside the others, and interpreters that need building
# are built in the background while the first stages run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QUORVANE_ROOT"

all_stages="engine fuzz wheel 3.11 3.12 types asan debug 3.13t 3.14 3.15 3.15-debug"
if [ -n "${QUORVANE_STAGES:-}" ]; then
  stages=$QUORVANE_STAGES
elif [ "${QUORVANE_QUICK:-0}" = 1 ]; then
  stages="engine wheel 3.11 types"
else
  stages=$all_stages
fi
selected() { [[ " $stages " == *" $1 "* ]]; }

run_tests() {  # PYTHON LABEL [pytest args...]
  local python=$1 label=$2; shift 2
  log "tests: $label ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
  (cd "$QUORVANE_ROOT/tests" && "$python" -m pytest -q -p no:cacheprovider "$@")
}

# Builds and tests the checkout on LINE inside the Debian unstable root.
in_sid_root() {  # LINE [pytest args...]
  bash scripts/sid-root.sh run bash -c '
    source scripts/setup.sh
    python=$(new_venv "$1" "sid-$1")
    install_checkout "$python"
    log "tests: $1 ($("$python" -c "import sys; print(sys.version.split()[0])"))"
    cd tests && exec "$python" -m pytest -q -p no:cacheprovider "${@:2}"' in-root "$@"
}

stage_engine() {
  cmake -S . -B build-native -DQUORVANE_BUILD_EXTENSION=OFF -DQUORVANE_BUILD_NATIVE_TESTS=ON \
    -DQUORVANE_CHECK_INVARIANTS=ON -DCMAKE_BUILD_TYPE=Debug >&2 &&
    cmake --build build-native -j2 >&2 &&
    build-native/engine_tests
}

stage_wheel() {
  local py313 wheel wheel_python
  py313=$(new_venv 3.13 3.13 mypy)
  wheel=$(release_wheel "$py313" "$QUORVANE_ROOT/dist")
  rm -rf "$QUORVANE_VENVS/3.13-wheel"
  wheel_python=$(new_venv 3.13 3.13-wheel mypy matplotlib distributed)
  "$wheel_python" -m pip install -q --disable-pip-version-check "$wheel" >&2
  run_tests "$wheel_python" "3.13 wheel"
}

# The engine under the fuzzer, failing allocations included.
stage_fuzz() {
  bash scripts/fuzz.sh 60
}

stage_source_build() {  # LINE [packages...]
  local line=$1 python
  shift
  python=$(new_venv "$line" "$line" "$@")
  install_checkout "$python"
  run_tests "$python" "$line"
}

stage_types() {  # on the wheel's venv and the 3.11 source build
  local python status=0
  for python in "$QUORVANE_VENVS/3.13-wheel/bin/python" "$QUORVANE_VENVS/3.11/bin/python"; do
    log "stubtest and mypy --strict with $python"
    (cd /tmp && "$python" -m mypy.stubtest quorvane --allowlist "$QUORVANE_ROOT/python/stubtest-allowlist.txt") ||
      status=1
    "$python" -m mypy --strict examples/*.py || status=1
  done
  return $status
}

# The interpreter is not instrumented, so the runtime is preloaded, with
# libstdc++ so that it can intercept C++ throws; CPython's own allocations at
# exit are not ours to report.
stage_asan() {
  local python
  python=$(new_venv 3.13 3.13-asan)
  install_checkout "$python" -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_tests "$python" "3.13 under AddressSanitizer and UBSan"
}

# Reference leaks need the debug interpreter's reference total.
stage_debug() {
  local python
  python=$(new_venv 3.13-debug 3.13-debug)
  install_checkout "$python"
  run_tests "$python" "3.13 debug: leaks" test_leaks.py
}

stage_free_threaded() {
  local python
  python=$(new_venv 3.13t 3.13t)
  install_checkout "$python" -DQUORVANE_CHECK_INVARIANTS=ON
  PYTHON_GIL=0 run_tests "$python" "3.13t, GIL off"
}

# Two lanes run side by side, since a test run keeps one core busy: the
# stages on this machine's interpreters in the foreground, and the stages in
# the Debian unstable root (which provision their own root first) in the
# background, their output shown when they are done. The host interpreters
# that take minutes to build are made in the background too, niced. Each
# provisioning step holds a lock, so a stage that needs one waits for it.
root_stages="3.14 3.15 3.15-debug"
host_stages="engine fuzz wheel 3.11 3.12 types asan debug 3.13t"
background=()
in_background() {  # LOG COMMAND...: runs in a process group of its own
  local out=$1; shift
  setsid "$@" >"$out" 2>&1 &
  background+=($!)
}
stop_background() { local pid; for pid in "${background[@]}"; do kill -- "-$pid" 2>/dev/null || true; done; }
trap stop_background EXIT

provision_in_background() {
  local wanted=()
  if selected debug; then wanted+=("scripts/python.sh 3.13-debug"); fi
  if selected 3.13t; then wanted+=("scripts/python.sh 3.13t"); fi
  [ ${#wanted[@]} -gt 0 ] || return 0
  provision_log=$(mktemp "${TMPDIR:-/tmp}/quorvane-provision.XXXXXX")
  log "building in the background: ${wanted[*]} (log: $provision_log)"
  in_background "$provision_log" nice -n 10 bash -c 'for step; do bash $step >/dev/null || true; done' provision "${wanted[@]}"
}

# Each stage runs as a process of its own, so that `set -e` holds inside it.
run_stage() {  # NAME
  case $1 in
    engine) stage_engine ;;
    fuzz) stage_fuzz ;;
    wheel) stage_wheel ;;
    3.11) stage_source_build 3.11 mypy matplotlib ;;  # the types stage checks with it
    3.12) stage_source_build 3.12 ;;
    types) stage_types ;;
    asan) stage_asan ;;
    debug) stage_debug ;;
    3.13t) stage_free_threaded ;;
    3.14 | 3.15) in_sid_root "$1" ;;
    3.15-debug) in_sid_root 3.15-debug test_leaks.py ;;
    *) log "unknown stage $1"; return 2 ;;
  esac
}

declare -A labels=(
  [engine]="engine tests (C++)" [fuzz]="the engine under libFuzzer, 60 s" [wheel]="3.13 wheel, repaired" [3.11]="3.11 source build" [3.12]="3.12 source build"
  [types]="stubtest and mypy --strict" [asan]="3.13 under ASan and UBSan, invariant checks on"
  [debug]="3.13 debug build: leak tests" [3.13t]="free-threaded 3.13, GIL off, invariant checks on"
  [3.14]="3.14 source build" [3.15]="3.15 source build" [3.15-debug]="3.15 debug build: leak tests"
)
# Runs the named stages that are selected, one after another, and appends a
# summary line per stage to RESULTS.
run_lane() {  # RESULTS NAME...
  local results=$1 name started result
  shift
  for name; do
    selected "$name" || continue
    started=$SECONDS result=passed
    log "== stage $name: ${labels[$name]}"
    bash "${BASH_SOURCE[0]}" --stage "$name" || result=FAILED
    printf '%-7s %5ds  %-10s %s\n' "$result" $((SECONDS - started)) "$name" "${labels[$name]}" >>"$results"
  done
}

case "${1:-}" in
  --stage) run_stage "$2"; exit ;;
  --lane) shift; run_lane "$@"; exit ;;
esac

results=$(mktemp "${TMPDIR:-/tmp}/quorvane-stages.XXXXXX")
root_log=$(mktemp "${TMPDIR:-/tmp}/quorvane-root-lane.XXXXXX")
install_system_packages
if selected 3.14 || selected 3.15 || selected 3.15-debug; then
  log "stages in the Debian unstable root run beside the others (log: $root_log)"
  in_background "$root_log" bash "${BASH_SOURCE[0]}" --lane "$results" $root_stages
fi
provision_in_background
run_lane "$results" $host_stages
for pid in "${background[@]}"; do wait "$pid" || true; done
background=()
[ ! -s "$root_log" ] || { log "== the Debian unstable root's lane:"; cat "$root_log" >&2; }
[ -z "${provision_log:-}" ] ||
  grep -h -E '(built|made) in [0-9]+s' "$provision_log" | sed 's/^/[quorvane] provisioned: /' >&2 || true
grep -h -E 'made in [0-9]+s' "$root_log" | sed 's/^/[quorvane] provisioned: /' >&2 || true
log "stage summary (total ${SECONDS}s):"
failed=()
for name in $all_stages; do
  line=$(grep -E "^[A-Za-z]+ +[0-9]+s  $name " "$results" || true)
  [ -n "$line" ] || continue
  log "  $line"
  [[ $line != FAILED* ]] || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
  log "FAILED: ${failed[*]}"
  exit 1
fi
log "all stages passed"
