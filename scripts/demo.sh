#!/usr/bin/env bash
# The demonstration, from a fresh machine: builds quorvane for CPython 3.13
# and replays a synthetic order flow through one book. Options go to the demo
# (--seed, --ops, --tick-size, --checkpoints).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_system_packages
python=$(venv_for 3.13)
exec "$python" "$QUORVANE_ROOT/examples/demo.py" "$@"
