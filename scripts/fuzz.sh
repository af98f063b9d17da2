#!/usr/bin/env bash
# Fuzzes the engine (tests/fuzz/book_fuzz.cpp) with libFuzzer under
# AddressSanitizer and UBSan, with the book's invariant checks on, starting
# from the seed corpus in tests/fuzz/corpus.
#
#   bash scripts/fuzz.sh [SECONDS] [libFuzzer options...]     (default: 60)
#
# Installs clang-16 and its runtimes, builds into build-fuzz/, and keeps the
# inputs it finds in build-fuzz/corpus (the seeds are only read). A failing
# input is written to build-fuzz/artifacts/ and its decoded session printed;
# replay one with build-fuzz/book_fuzz FILE. Prints libFuzzer's final figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

fuzz_engine() {
  local seconds=${1:-60}
  [ $# -gt 0 ] && shift
  local build="$QUORVANE_ROOT/build-fuzz"
  install_debian_packages clang-16 libclang-rt-16-dev
  log "building the fuzz target (clang-16, ASan + UBSan, invariant checks)"
  CXX=clang++-16 cmake -S "$QUORVANE_ROOT" -B "$build" -DQUORVANE_BUILD_EXTENSION=OFF -DQUORVANE_BUILD_FUZZER=ON \
    -DQUORVANE_SANITIZE=ON -DQUORVANE_CHECK_INVARIANTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  cmake --build "$build" -j2 --target book_fuzz >&2
  mkdir -p "$build/corpus" "$build/artifacts"
  log "fuzzing for ${seconds}s (log: $build/fuzz.log)"
  local status=0
  # An input runs in milliseconds; the timeout is long because a loaded
  # machine can stall the process for half a minute.
  (cd "$build" && ./book_fuzz -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$@" corpus "$QUORVANE_ROOT/tests/fuzz/corpus") >"$build/fuzz.log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$build/fuzz.log" >&2
    log "the fuzzer found a failing input (exit $status)"
    return "$status"
  fi
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$build/fuzz.log" >&2 || tail -n 3 "$build/fuzz.log" >&2
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  fuzz_engine "$@"
fi
