#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what it needs, builds
# quorvane for CPython 3.13 and 3.11, and runs the tests on both.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QUORVANE_ROOT"

install_system_packages
status=0
for version in 3.13 3.11; do
  python=$(venv_for "$version")
  log "running the tests on $("$python" -c 'import sys; print(sys.version.split()[0])')"
  (cd "$QUORVANE_ROOT/tests" && "$python" -m pytest -q -p no:cacheprovider "$QUORVANE_ROOT/tests") || status=1
done
exit $status
