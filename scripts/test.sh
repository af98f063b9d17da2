#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what it needs, then
#  0. builds and runs the engine's C++ tests;
#  1. builds an sdist and from it a wheel on CPython 3.13, repairs the wheel
#     to a manylinux tag, installs it into a fresh venv and runs the tests
#     against it;
#  2. builds from source on CPython 3.11 and runs the tests;
#  3. checks the type stub against the module and the examples with mypy;
#  4. runs the tests against an AddressSanitizer + UBSan build with the
#     book's invariant checks on;
#  5. runs the leak tests on a debug build of CPython 3.13;
#  6. fuzzes the engine for a minute from the seed corpus (scripts/fuzz.sh).
# Set QUORVANE_QUICK=1 to run only stages 1 and 2.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QUORVANE_ROOT"

failed=()
run_tests() {  # PYTHON LABEL [pytest args...]
  local python=$1 label=$2; shift 2
  log "tests: $label ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
  (cd "$QUORVANE_ROOT/tests" && "$python" -m pytest -q -p no:cacheprovider "$@") || failed+=("$label")
}

install_system_packages

# 0. The engine alone, without an interpreter.
log "engine tests (C++)"
if cmake -S "$QUORVANE_ROOT" -B "$QUORVANE_ROOT/build-native" -DQUORVANE_BUILD_EXTENSION=OFF \
     -DQUORVANE_BUILD_NATIVE_TESTS=ON -DQUORVANE_CHECK_INVARIANTS=ON -DCMAKE_BUILD_TYPE=Debug >&2 &&
   cmake --build "$QUORVANE_ROOT/build-native" -j2 >&2; then
  "$QUORVANE_ROOT/build-native/engine_tests" || failed+=("engine tests")
else
  failed+=("engine build")
fi

# 1. The wheel, as users get it.
py313=$(new_venv 3.13 3.13 mypy)
wheel=$(release_wheel "$py313" "$QUORVANE_ROOT/dist")
rm -rf "$QUORVANE_VENVS/3.13-wheel"
wheel_python=$(new_venv 3.13 3.13-wheel mypy matplotlib distributed)
"$wheel_python" -m pip install -q --disable-pip-version-check "$wheel" >&2
run_tests "$wheel_python" "3.13 wheel"

# 2. A source build on the machine's default interpreter.
py311=$(new_venv 3.11 3.11 mypy matplotlib)
install_checkout "$py311"
run_tests "$py311" "3.11"

# 3. Types.
for python in "$wheel_python" "$py311"; do
  log "stubtest and mypy --strict with $python"
  (cd /tmp && "$python" -m mypy.stubtest quorvane --allowlist "$QUORVANE_ROOT/python/stubtest-allowlist.txt") ||
    failed+=("stubtest $python")
  "$python" -m mypy --strict "$QUORVANE_ROOT"/examples/*.py || failed+=("mypy $python")
done

if [ "${QUORVANE_QUICK:-0}" != 1 ]; then
  # 4. Sanitizers. The interpreter is not instrumented, so the runtime is
  # preloaded, with libstdc++ so that it can intercept C++ throws; CPython's
  # own allocations at exit are not ours to report.
  asan_python=$(new_venv 3.13 3.13-asan numpy)  # the replay example needs it; matplotlib brings it elsewhere
  install_checkout "$asan_python" -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  log "tests under AddressSanitizer and UBSan"
  (cd "$QUORVANE_ROOT/tests" &&
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$asan_python" -m pytest -q -p no:cacheprovider) || failed+=("sanitizers")

  # 5. Reference leaks need the debug interpreter's reference total.
  debug_python=$(new_venv 3.13-debug 3.13-debug)
  install_checkout "$debug_python"
  run_tests "$debug_python" "3.13 debug: leaks" test_leaks.py

  # 6. The engine under the fuzzer, failing allocations included.
  bash "$QUORVANE_ROOT/scripts/fuzz.sh" 60 || failed+=("fuzz")
fi

if [ ${#failed[@]} -gt 0 ]; then
  log "FAILED: ${failed[*]}"
  exit 1
fi
log "all stages passed"
