#!/usr/bin/env bash
# Line and branch coverage of src/ (gcc --coverage, reported by gcovr):
#  1. by the test suite: the Python tests on CPython 3.11 and the engine's C++ tests;
#  2. by the fuzz corpus: every input replayed through the fuzz target without
#     libFuzzer, from tests/fuzz/corpus and, when a fuzz run has grown it,
#     build-fuzz/corpus (or from the folders given).
#
#   bash scripts/coverage.sh [CORPUS_DIR...]
#
# Builds into build-coverage/. Branches that only exceptions take, and those
# the compiler proves unreachable, are left out of the branch figures.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QUORVANE_ROOT"
install_system_packages

build="$QUORVANE_ROOT/build-coverage"
python=$(new_venv 3.11 3.11-coverage gcovr)
rm -rf "$build"
# Two builds: the extension without the book's self-checks, and the engine's
# C++ tests and fuzz replay with them, as the suite builds each.
configure() {  # DIR [cmake definitions...]
  local dir=$1; shift
  log "building with coverage into $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Coverage -DCMAKE_CXX_FLAGS="--coverage -O0 -g" "$@" >&2
  cmake --build "$dir" -j2 >&2
}
configure "$build/python" -DPython_EXECUTABLE="$python"
configure "$build/engine" -DQUORVANE_BUILD_EXTENSION=OFF -DQUORVANE_BUILD_NATIVE_TESTS=ON -DQUORVANE_CHECK_INVARIANTS=ON

report() {  # TITLE FILTER BUILD_DIR...
  local title=$1 filter=$2; shift 2
  for metric in line branch; do
    echo
    echo "== $title: $metric coverage"
    "$python" -m gcovr --root . --filter "$filter" --exclude-throw-branches --exclude-unreachable-branches \
      --txt-metric "$metric" --sort uncovered-percent "$@"
  done
}

log "test suite: C++ engine tests and Python tests"
"$build/engine/engine_tests"
(cd tests && PYTHONPATH="$build/python" "$python" -m pytest -q -p no:cacheprovider) || log "some tests failed"
report "test suite" 'src/' "$build/python" "$build/engine"

find "$build" -name '*.gcda' -delete
corpora=("$@")
if [ ${#corpora[@]} -eq 0 ]; then
  corpora=(tests/fuzz/corpus)
  [ -d build-fuzz/corpus ] && corpora+=(build-fuzz/corpus)
fi
# One process per input, so that an input that fails loses only its own counts.
inputs=$(find "${corpora[@]}" -type f | wc -l)
failing=$(find "${corpora[@]}" -type f -print0 |
  xargs -0 -n1 -P2 sh -c '"$0" "$1" >/dev/null 2>&1 || echo "$1"' "$build/engine/book_fuzz_replay" | wc -l)
log "fuzz corpus: $inputs inputs from ${corpora[*]}; $failing failed"
report "fuzz corpus ($inputs inputs)" 'src/(book|model)/' "$build/engine"
