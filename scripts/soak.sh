#!/usr/bin/env bash
# Soak run, outside the test suite: random operations through quorvane and the
# plain-Python reference book (tests/reference_book.py), compared after every
# operation, split over worker processes. Does all set-up itself.
#
#   bash scripts/soak.sh [--ops N] [--seed S] [--jobs J]
#
# Defaults: 10,000,000 operations in total, seed 1, one worker per core. Each
# worker's seed is derived from S and printed; a divergence report ends with
# the command that replays that worker (tools/soak.py --worker-seed X --ops N).
# Further options: python tools/soak.py --help. Exits 1 on any divergence.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_system_packages
python=$(venv_for 3.13)
exec "$python" "$QUORVANE_ROOT/tools/soak.py" "$@"
