#!/usr/bin/env bash
# The benchmarks, from a fresh machine: installs what they need, writes the
# seeded flow files, builds and runs the engine benchmark (C++, no
# interpreter), then the Python benchmark, which ends with the figures
# against their targets, then N books on N threads on CPython 3.13 and on the
# free-threaded 3.13 with the GIL off and on. Nothing here fails on a figure.
#
#   bash scripts/bench.sh [--quick] [--ops N] [--seed N]
#
# Environment: QUORVANE_BENCH_RUNS (engine runs per flow, default 7).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$QUORVANE_ROOT"

ops=200000
seed=1
quick=()
runs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=(--quick); ops=20000; runs=1 ;;
    --ops) ops=$2; shift ;;
    --seed) seed=$2; shift ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) log "unknown option $1"; exit 2 ;;
  esac
  shift
done

install_system_packages
python=$(venv_for 3.13)

log "writing flows ($ops measured operations each, seed $seed) to bench/flows/"
"$python" bench/flows.py --out bench/flows --ops "$ops" --seed "$seed"
log "writing the mixed flow with $((ops * 10)) measured operations to bench/flows/mixed-large.flow"
"$python" bench/flows.py --out bench/flows/large --ops "$((ops * 10))" --seed "$seed" --only mixed
mv bench/flows/large/mixed.flow bench/flows/mixed-large.flow

log "building the engine benchmark in build-bench/"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVANE_BUILD_EXTENSION=OFF -DQUORVANE_BUILD_BENCH=ON >&2
cmake --build build-bench --target engine_bench -j "$(nproc 2>/dev/null || echo 2)" >&2

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo
build-bench/engine_bench --runs "${QUORVANE_BENCH_RUNS:-7}" --results build-bench/engine-results.txt \
  bench/flows/mixed.flow bench/flows/resting.flow bench/flows/sweep.flow bench/flows/cancel.flow \
  bench/flows/mixed-large.flow
echo
"$python" bench/bench_python.py --flows bench/flows --engine-results build-bench/engine-results.txt "${quick[@]}"

echo
echo "== N books on N threads (the mixed flow, each thread a book of its own; elapsed time) =="
free_threaded=$(venv_for 3.13t)
"$python" bench/thread_scaling.py --runs "$runs" --label "CPython 3.13"
PYTHON_GIL=0 "$free_threaded" bench/thread_scaling.py --runs "$runs" --label "CPython 3.13t, PYTHON_GIL=0"
PYTHON_GIL=1 "$free_threaded" bench/thread_scaling.py --runs "$runs" --label "CPython 3.13t, PYTHON_GIL=1"
