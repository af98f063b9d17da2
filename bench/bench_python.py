"""quorvane from Python, against the plain-Python book users write instead.

1. Flows: each flow file (bench/flows.py) is replayed through a fresh
   quorvane book and a fresh baseline book in this process. The warm-up part
   builds the book untimed; the measured part is timed (the median of several
   runs after one discarded run). An add is `Order(side, ticks, quantity)`
   followed by `book.add(order)`; a cancel is `book.cancel(id)`.
2. Per-call figures: nanoseconds per call with timeit (median of repeats),
   each also as a multiple of `{}.get(1)` timed in the same run.
3. Memory: resident bytes per resting order, in a fresh process, from
   /proc/self/statm before and after resting 1,000,000 orders that Python
   holds no reference to.
4. A table of the figures against the project's targets. The targets are
   reported, never enforced: the exit status does not depend on them.

Times are the process's CPU time by default, so that other work on a shared
machine does not count; --clock wall measures elapsed time instead.

    python bench/bench_python.py [--flows bench/flows] [--engine-results FILE] [--clock cpu|wall] [--quick]
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import time
import timeit
import uuid
from pathlib import Path
from typing import NamedTuple

import quorvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baseline_book  # noqa: E402

BENCH_DIR = Path(__file__).resolve().parent
FLOW_NAMES = ("mixed", "resting", "sweep", "cancel")


class Impl:
    """One book implementation: its classes under the names the flows need."""

    def __init__(self, name: str, module) -> None:
        self.name = name
        self.OrderBook = module.OrderBook
        self.Order = module.Order
        self.Buy = module.OrderType.Buy
        self.Sell = module.OrderType.Sell


QUORVANE = Impl("quorvane", quorvane)
BASELINE = Impl("baseline", baseline_book)
IMPLS = (QUORVANE, BASELINE)


class NullBook:
    """A book that does nothing, at the cost of one builtin call per operation:
    the replay loop with it times what every book pays through that loop
    (making quorvane's orders, reading their ids, the calls), which bounds the
    ratio any book can reach against the baseline."""

    add = cancel = id

    def __init__(self, tick_size: float) -> None:
        pass


LOOP_ONLY = Impl("loop only", quorvane)
LOOP_ONLY.OrderBook = NullBook
# quorvane and the loop alone run back to back: their ratio is the figure that
# matters, and the baseline takes seconds, long enough for the host to change.
TIMED = (QUORVANE, LOOP_ONLY, BASELINE)

clock = time.process_time  # or time.perf_counter, by --clock


# --- machine load ------------------------------------------------------------


class CpuWatch:
    """How much CPU other processes used while we ran: a busy machine skews timings."""

    def __init__(self) -> None:
        self.start = self._sample()

    @staticmethod
    def _sample() -> tuple[float, float, float]:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        ticks = os.sysconf("SC_CLK_TCK")
        idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
        busy_all = (sum(fields[:8]) - idle) / ticks
        t = os.times()
        mine = t.user + t.system + t.children_user + t.children_system
        return time.monotonic(), busy_all, mine

    def report(self) -> str:
        wall0, busy0, mine0 = self.start
        wall1, busy1, mine1 = self._sample()
        wall = wall1 - wall0
        others = max(0.0, (busy1 - busy0) - (mine1 - mine0))
        cores = os.cpu_count() or 1
        verdict = "the machine was busy" if others / wall > 0.25 else "the machine was quiet"
        return (f"other processes used {others / wall:.2f} of {cores} cores on average over {wall:.0f} s "
                f"({verdict}); load average now {' '.join(open('/proc/loadavg').read().split()[:3])}")


# --- flows -------------------------------------------------------------------


class FlowFigures(NamedTuple):
    """One flow's medians, in ns an operation."""

    quorvane: float
    baseline: float
    loop_only: float


def read_flow(path: Path) -> tuple[list, list]:
    """(warm-up ops, measured ops): an add is (is_buy, ticks, quantity), a cancel the add index."""
    warm: list = []
    measured: list = []
    current = warm
    with open(path) as f:
        for number, line in enumerate(f, 1):
            parts = line.split()
            if not parts or parts[0].startswith("#"):
                continue
            kind = parts[0]
            if kind == "A":
                if parts[1] not in ("B", "S"):
                    raise ValueError(f"{path}:{number}: side must be B or S")
                current.append((parts[1] == "B", int(parts[2]), float(parts[3])))
            elif kind == "C":
                current.append(int(parts[1]))
            elif kind == "M":
                current = measured
            else:
                raise ValueError(f"{path}:{number}: unknown operation {kind!r}")
    if current is warm:  # no marker: everything is measured
        warm, measured = [], warm
    return warm, measured


def for_impl(ops: list, impl: Impl) -> list:
    """The ops with each add's side as the implementation's own OrderType member."""
    buy, sell = impl.Buy, impl.Sell
    return [op if op.__class__ is int else (buy if op[0] else sell, op[1], op[2]) for op in ops]


def replay(book, Order, ops: list, ids: list) -> None:
    # The same loop drives both books, so the difference is the books'.
    add = book.add
    cancel = book.cancel
    remember = ids.append
    for op in ops:
        if op.__class__ is int:
            cancel(ids[op])
        else:
            order = Order(*op)
            remember(order.id)
            add(order)


def check_agreement(warm: list, measured: list) -> str:
    """Replays a flow once through both books, counting, and compares the outcomes."""
    outcomes = []
    for impl in IMPLS:
        book = impl.OrderBook(0.01)
        ids: list = []
        fills = found = 0
        for op in for_impl(warm, impl) + for_impl(measured, impl):
            if op.__class__ is int:
                found += book.cancel(ids[op])
            else:
                order = impl.Order(*op)
                ids.append(order.id)
                fills += len(book.add(order))
        outcomes.append((fills, found, book.best_bid(), book.best_ask(), book.buy_volume(), book.sell_volume(),
                         len(book.buy_orders), len(book.sell_orders)))
    q, b = outcomes
    if q != b:
        raise SystemExit(f"quorvane and the baseline disagree on a flow: {q} vs {b}")
    fills, found, bid, ask, _, _, nbuy, nsell = q
    return f"{fills:,} fills, {found:,} cancels found, {nbuy + nsell:,} orders resting at the end"


def time_flow(warm: list, measured: list, runs: int) -> dict[str, list[float]]:
    """Seconds for the measured part, per implementation; the first run is discarded."""
    prepared = {impl.name: (for_impl(warm, impl), for_impl(measured, impl)) for impl in TIMED}
    seconds: dict[str, list[float]] = {impl.name: [] for impl in TIMED}
    for run in range(runs + 1):
        for impl in TIMED:  # interleaved, so a burst of load hits them alike
            warm_ops, measured_ops = prepared[impl.name]
            book = impl.OrderBook(0.01)
            ids: list = []
            replay(book, impl.Order, warm_ops, ids)
            gc.collect()
            began = clock()
            replay(book, impl.Order, measured_ops, ids)
            elapsed = clock() - began
            if run:
                seconds[impl.name].append(elapsed)
            del book, ids
    return seconds


def bench_flows(flow_dir: Path, runs: int, results: dict) -> None:
    print(f"== flows (median of {runs} runs after a discarded one; ops/s of the measured part) ==")
    print(f"{'flow':<8} {'ops':>8} | {'quorvane ops/s':>14} {'ns/op':>7} | {'baseline ops/s':>14} {'ns/op':>7} | "
          f"{'ratio':>6}  run-to-run spread")
    for name in FLOW_NAMES:
        path = flow_dir / f"{name}.flow"
        if not path.exists():
            print(f"{name:<8} missing ({path}); run bench/flows.py first")
            continue
        warm, measured = read_flow(path)
        agreement = check_agreement(warm, measured)
        seconds = time_flow(warm, measured, runs)
        q = statistics.median(seconds["quorvane"])
        b = statistics.median(seconds["baseline"])
        loop = statistics.median(seconds[LOOP_ONLY.name])
        n = len(measured)
        spread = " ".join(f"{impl}: {(max(s) - min(s)) / statistics.median(s) * 100:.0f}%"
                          for impl, s in seconds.items())
        print(f"{name:<8} {n:>8,} | {n / q:>14,.0f} {q / n * 1e9:>7,.0f} | {n / b:>14,.0f} {b / n * 1e9:>7,.0f} | "
              f"{b / q:>5.1f}x  {spread}")
        print(f"{'':<8} both books agree: {agreement}")
        print(f"{'':<8} the loop alone (a book that does nothing): {loop / n * 1e9:,.0f} ns/op, so no book "
              f"run through it can beat the baseline by more than {b / loop:.1f}x")
        results[f"flow:{name}"] = FlowFigures(q / n * 1e9, b / n * 1e9, loop / n * 1e9)


# --- per-call figures ----------------------------------------------------------


def per_call_ns(stmt: str, ns: dict, number: int, repeat: int, prepare=None) -> float:
    """Median over `repeat` of the ns per call of `stmt`, the names of `ns` bound as locals."""
    samples = []
    for _ in range(repeat):
        if prepare is not None:
            prepare(ns)  # untimed: rebuilds whatever the statement uses up
        setup = "; ".join(f"{name} = _ns[{name!r}]" for name in sorted(ns)) or "pass"
        timer = timeit.Timer(stmt, setup=setup, timer=clock, globals={"_ns": ns})
        samples.append(timer.timeit(number) / number * 1e9)
    return statistics.median(samples)


def book_of(impl: Impl, per_side: int, levels_per_side: int):
    """A book with `per_side` orders on each side over `levels_per_side` levels, round robin; returns (book, ids)."""
    book = impl.OrderBook(0.01)
    ids = []
    for i in range(per_side):
        for side, price in ((impl.Buy, 99_999 - i % levels_per_side), (impl.Sell, 100_001 + i % levels_per_side)):
            order = impl.Order(side, price, 10.0)
            ids.append(order.id)
            book.add(order)
    return book, ids


def held_book_prepare(impl: Impl, number: int):
    """For add + cancel: 10,000 orders over 500 levels, and `number` new orders cycling through the levels."""

    def prepare(ns: dict) -> None:
        book, ids = book_of(impl, 5_000, 250)
        new = []
        for i in range(number):
            side, price = ((impl.Buy, 99_999 - (i // 2) % 250) if i % 2 == 0
                           else (impl.Sell, 100_001 + (i // 2) % 250))
            new.append(impl.Order(side, price, 10.0))
        # Cancelling the oldest keeps every level at 20 orders.
        ns.update(book=book, new=iter(new), old=iter(ids + [o.id for o in new]))

    return prepare


def sweep_prepare(impl: Impl, number: int):
    """For a sweep: bids of one order a level, and sells that each take the best three levels."""

    def prepare(ns: dict) -> None:
        book = impl.OrderBook(0.01)
        top = 99_999
        levels = 3 * number
        for price in range(top - levels + 1, top + 1):  # ascending keeps the baseline's insort cheap
            book.add(impl.Order(impl.Buy, price, 1.0))
        for i in range(5_000):
            book.add(impl.Order(impl.Sell, 100_001 + i % 250, 10.0))
        sweeps = [impl.Order(impl.Sell, top - 3 * i - 2, 3.0) for i in range(number)]
        ns.update(book=book, sweeps=iter(sweeps))

    return prepare


def bench_calls(repeat: int, scale: float, results: dict) -> None:
    print()
    print(f"== per-call figures (ns per call, median of {repeat} timeit repeats; x = multiple of {{}}.get(1)) ==")

    def n(count: int) -> int:
        return max(1, int(count * scale))

    reference = per_call_ns("{}.get(1)", {}, n(2_000_000), repeat)
    results["ref"] = reference
    print(f"{'call':<56} {'quorvane ns':>12} {'x':>7} | {'baseline ns':>12} {'x':>7}")
    print(f"{'{}.get(1)':<56} {reference:>12.1f} {1.0:>7.1f} |")

    def row(label: str, key: str, figures: dict[str, float]) -> None:
        q, b = figures["quorvane"], figures["baseline"]
        print(f"{label:<56} {q:>12,.1f} {q / reference:>7.1f} | {b:>12,.1f} {b / reference:>7.1f}")
        results[key] = q

    static_books = {}
    for impl in IMPLS:
        book, ids = book_of(impl, 5_000, 250)
        big, _ = book_of(impl, 10_000, 250)
        static_books[impl.name] = (book, ids, big)

    def each(make) -> dict[str, float]:
        return {impl.name: make(impl) for impl in IMPLS}

    row("create_order(Buy, 100.0, 1.0)", "create_order", each(lambda impl: per_call_ns(
        "book.create_order(Buy, 100.0, 1.0)", {"book": static_books[impl.name][0], "Buy": impl.Buy},
        n(300_000 if impl is QUORVANE else 30_000), repeat)))

    def add_cancel(impl: Impl) -> float:
        number = n(200_000 if impl is QUORVANE else 20_000)
        return per_call_ns("book.add(next(new)); book.cancel(next(old))", {}, number, repeat,
                           held_book_prepare(impl, number))

    row("add resting + cancel oldest (10,000 orders, 500 levels)", "add_cancel", each(add_cancel))

    def sweep(impl: Impl) -> float:
        number = n(20_000 if impl is QUORVANE else 5_000)
        return per_call_ns("book.add(next(sweeps))", {}, number, repeat, sweep_prepare(impl, number))

    row("add sweeping 3 levels (3 fills)", "sweep3", each(sweep))

    absent = str(uuid.uuid4())
    row("get_order(present id) (10,000 orders)", "get_present", each(lambda impl: per_call_ns(
        "book.get_order(oid)", {"book": static_books[impl.name][0], "oid": static_books[impl.name][1][1234]},
        n(1_000_000 if impl is QUORVANE else 300_000), repeat)))
    row("get_order(absent id) (10,000 orders)", "get_absent", each(lambda impl: per_call_ns(
        "book.get_order(oid)", {"book": static_books[impl.name][0], "oid": absent},
        n(1_000_000), repeat)))
    row("best_bid() (10,000 orders)", "best_bid", each(lambda impl: per_call_ns(
        "book.best_bid()", {"book": static_books[impl.name][0]}, n(1_000_000), repeat)))
    row("buy_orders (10,000 orders a side)", "buy_orders", each(lambda impl: per_call_ns(
        "book.buy_orders", {"book": static_books[impl.name][2]}, n(100 if impl is QUORVANE else 10), repeat)))
    row("repr(book) (10,000 orders a side)", "repr", each(lambda impl: per_call_ns(
        "repr(book)", {"book": static_books[impl.name][2]}, n(2_000 if impl is QUORVANE else 100), repeat)))


# --- memory --------------------------------------------------------------------


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(impl: Impl, count: int) -> None:
    """Run in a fresh process: prints bytes of resident size per resting order."""
    book = impl.OrderBook(0.01)
    Order, add, buy, sell = impl.Order, book.add, impl.Buy, impl.Sell
    for i in range(1_000):  # the allocator's first arenas, not the book's share
        Order(buy, 1, 1.0)
    gc.collect()
    before = resident_bytes()
    for i in range(count):
        j = (i >> 1) % 250
        add(Order(buy, 99_999 - j, 10.0) if i & 1 else Order(sell, 100_001 + j, 10.0))
    gc.collect()
    after = resident_bytes()
    print(f"{(after - before) / count:.1f} {after - before}")


def bench_memory(count: int, results: dict) -> None:
    print()
    print(f"== memory: resident size per resting order, {count:,} orders over 500 levels, fresh process each ==")
    for impl in IMPLS:
        out = subprocess.run([sys.executable, __file__, "--memory-probe", impl.name, "--memory-orders", str(count)],
                             check=True, capture_output=True, text=True).stdout.split()
        per_order, total = float(out[0]), int(out[1])
        print(f"{impl.name:<9} {per_order:>8.1f} bytes per order  (resident size grew by {total / 2**20:,.1f} MiB)")
        results[f"memory:{impl.name}"] = per_order


# --- summary -------------------------------------------------------------------


def read_engine_results(path: Path | None) -> dict[str, tuple[float, float]]:
    """flow -> (ns per op, ops per s), from engine_bench --results."""
    figures: dict[str, tuple[float, float]] = {}
    if path is None or not path.exists():
        return figures
    for line in path.read_text().splitlines():
        parts = line.split()
        if len(parts) == 3 and not line.startswith("#"):
            figures[parts[0]] = (float(parts[1]), float(parts[2]))
    return figures


def summary(results: dict, engine: dict) -> None:
    ref = results.get("ref")
    rows = []

    def add_row(figure: str, value: float | None, shown: str, target: str, met: bool | None) -> None:
        rows.append((figure, shown if value is not None else "not measured", target,
                     "n/a" if value is None else ("yes" if met else "NO")))

    flow = results.get("flow:mixed")
    over_loop = flow.quorvane / flow.loop_only if flow else None
    # Both times as well, so that what quorvane adds to the loop can be read off.
    add_row("Python mixed flow / the loop alone", over_loop,
            f"{over_loop:.2f}x ({flow.quorvane:.0f} / {flow.loop_only:.0f} ns/op)" if flow else "", "<= 1.6x",
            over_loop is not None and over_loop <= 1.6)
    ratio = flow.baseline / flow.quorvane if flow else None
    add_row("Python mixed flow vs plain-Python book", ratio,
            f"{ratio:.1f}x (loop alone: {flow.baseline / flow.loop_only:.1f}x)" if flow else "", ">= 25x",
            ratio is not None and ratio >= 25)
    for key, label, limit in (("create_order", "create_order", 10), ("add_cancel", "add + cancel pair", 12),
                              ("get_present", "get_order (present id)", 5), ("best_bid", "best_bid", 3)):
        value = results.get(key)
        x = value / ref if value is not None and ref else None
        add_row(f"{label} / {{}}.get(1)", x, f"{x:.1f}x ({value:.0f} ns)" if x else "", f"<= {limit}x",
                x is not None and x <= limit)
    for key, label, limit in (("mixed:book", "engine mixed flow, book only", 100),
                              ("cancel:book", "engine cancel flow, book only", 80),
                              ("sweep:book", "engine sweep flow, book only", 110),
                              ("resting:book", "engine resting flow, book only", 141),
                              ("mixed-large:book", "engine mixed flow, 10x the operations", 150)):
        figures = engine.get(key)
        ns = figures[0] if figures else None
        add_row(label, ns, f"{ns:.0f} ns/op ({figures[1] / 1e6:.2f} M ops/s)" if figures else "",
                f"<= {limit} ns/op", ns is not None and ns <= limit)
    with_ids, book_only = engine.get("mixed"), engine.get("mixed:book")
    extra = with_ids[0] - book_only[0] if with_ids and book_only else None
    add_row("engine mixed flow, ids made in the loop", extra,
            f"+{extra:.0f} ns/op ({with_ids[0]:.0f} ns/op)" if extra is not None else "", "<= book only + 60 ns",
            extra is not None and extra <= 60)
    mem = results.get("memory:quorvane")
    add_row("bytes per resting order", mem, f"{mem:.0f}" if mem is not None else "", "<= 160",
            mem is not None and mem <= 160)

    print()
    print("== targets (reported, not enforced) ==")
    widths = [max(len(r[i]) for r in rows + [("figure", "value", "target", "met?")]) for i in range(4)]
    header = ("figure", "value", "target", "met?")
    for r in [header] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--flows", type=Path, default=BENCH_DIR / "flows", help="directory of *.flow files")
    parser.add_argument("--runs", type=int, default=9, help="timed runs per flow (default 9)")
    parser.add_argument("--repeat", type=int, default=7, help="timeit repeats per call figure (default 7)")
    parser.add_argument("--memory-orders", type=int, default=1_000_000)
    parser.add_argument("--engine-results", type=Path, help="results file written by engine_bench --results")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu", help="what to time (default: CPU time)")
    parser.add_argument("--quick", action="store_true", help="fewer runs and iterations, for a smoke test")
    parser.add_argument("--skip", default="", help="comma-separated sections to skip: flows,calls,memory")
    parser.add_argument("--memory-probe", choices=[i.name for i in IMPLS], help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_probe:
        memory_probe(QUORVANE if args.memory_probe == "quorvane" else BASELINE, args.memory_orders)
        return

    global clock
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    scale = 1.0
    if args.quick:
        args.runs, args.repeat, scale = 1, 3, 0.1
        args.memory_orders = min(args.memory_orders, 100_000)
    skip = set(filter(None, args.skip.split(",")))
    watch = CpuWatch()
    print(f"Python {sys.version.split()[0]} ({sys.executable}); quorvane from {quorvane.__file__}")
    print(f"timing the process's {'CPU' if args.clock == 'cpu' else 'elapsed'} time")
    results: dict = {}
    if "flows" not in skip:
        bench_flows(args.flows, args.runs, results)
    if "calls" not in skip:
        bench_calls(args.repeat, scale, results)
    if "memory" not in skip:
        bench_memory(args.memory_orders, results)
    summary(results, read_engine_results(args.engine_results))
    print()
    print("during the Python benchmarks " + watch.report())


if __name__ == "__main__":
    main()
