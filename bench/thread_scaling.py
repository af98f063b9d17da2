"""N books on N threads: how quorvane's throughput grows with threads that each
own a book. Every thread replays the same flow file through a book of its
own (the warm-up untimed, then the measured part, started together); the
figure is all threads' measured operations over the elapsed time from the
common start to the last thread's end, the median of several runs. The
scaling factor is the figure for N threads over the figure for one.

On a build with the GIL the threads take turns, so the factor stays near 1;
on a free-threaded build with the GIL off they run at once, up to the number
of cores. One line per interpreter:

    python bench/thread_scaling.py [--flow bench/flows/mixed.flow] [--threads 1,2] [--runs 5] [--label TEXT]
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import sysconfig
import threading
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
from bench_python import QUORVANE, CpuWatch, for_impl, read_flow, replay  # noqa: E402


def one_run(warm: list, measured: list, threads: int) -> float:
    """Measured operations per second of `threads` threads, each with its own book."""
    ready = threading.Barrier(threads + 1)
    spans: list[tuple[float, float]] = []

    def trade() -> None:
        book, ids = QUORVANE.OrderBook(0.01), []
        replay(book, QUORVANE.Order, warm, ids)
        ready.wait()
        began = time.perf_counter()
        replay(book, QUORVANE.Order, measured, ids)
        spans.append((began, time.perf_counter()))

    workers = [threading.Thread(target=trade) for _ in range(threads)]
    for w in workers:
        w.start()
    gc.collect()
    ready.wait()
    for w in workers:
        w.join()
    elapsed = max(end for _, end in spans) - min(began for began, _ in spans)
    return threads * len(measured) / elapsed


def gil_state() -> str:
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "GIL build"
    return "free-threaded, GIL " + ("on" if sys._is_gil_enabled() else "off")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flow", type=Path, default=BENCH_DIR / "flows" / "mixed.flow")
    parser.add_argument("--threads", default="1,2", help="comma-separated thread counts; the first is the base")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--label", default="")
    args = parser.parse_args()

    warm, measured = (for_impl(part, QUORVANE) for part in read_flow(args.flow))
    counts = [int(n) for n in args.threads.split(",")]
    watch = CpuWatch()
    rates = {n: statistics.median(one_run(warm, measured, n) for _ in range(args.runs)) for n in counts}
    base = rates[counts[0]]
    figures = "  ".join(f"{n} thread{'s' if n > 1 else ''}: {rate / 1e6:5.2f} M ops/s" for n, rate in rates.items())
    scaling = "  ".join(f"x{rates[n] / base:.2f} on {n}" for n in counts[1:])
    label = args.label or f"Python {sys.version.split()[0]}"
    print(f"{label:<34} ({gil_state()})  {figures}  scaling {scaling}")
    print(f"{'':<34} {watch.report()}")


if __name__ == "__main__":
    main()
