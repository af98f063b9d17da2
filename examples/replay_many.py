"""Replay many inputs, each into its own quorvane book, on a pool of workers.

    replay_many.py [--lobster MESSAGE_FILE ORDERBOOK_FILE]... [--synthetic N] [--ops N] [--seed N]
                   [--workers N] [--executor thread|process] [--scheduler ADDRESS]

Books are independent, so many instruments or days fan out over workers with
nothing shared. An input is a LOBSTER file pair, replayed and checked level by
level as replay_lobster.py does, or a synthetic instrument: demo.py's seeded
flow generator, seed S + i for instrument i, so a run can be made of any size.

Every executor is a concurrent.futures.Executor driven by the same code: a
thread pool (on a free-threaded interpreter with the GIL off the books run on
all cores at once), a process pool, or a Dask cluster through
Client.get_executor() (--scheduler tcp://HOST:PORT; its workers need quorvane
installed, and get this folder's example modules uploaded). The rows are the
same whichever executor runs them; only the seconds differ.

One row per input: messages (operations for a synthetic instrument), the rows
of a LOBSTER file agreeing at every level, the fills, and the CPU seconds the
replay took (reading and checking a LOBSTER pair included, generating a
synthetic flow not); then the total throughput over the elapsed time, which
includes everything. An input that
fails reports its error in its row, and the others still complete. A LOBSTER
input whose final check finds resting orders on which the engine and the
replay's level mirror disagree says so in its row, and counts as failed.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from quorvane import OrderBook

import demo
import replay_lobster

HERE = Path(__file__).resolve().parent


@dataclass(frozen=True)
class LobsterInput:
    message_file: Path
    orderbook_file: Path

    @property
    def name(self) -> str:
        return self.message_file.name.split("_")[0]


@dataclass(frozen=True)
class SyntheticInput:
    seed: int
    operations: int
    tick_size: float = 0.01

    @property
    def name(self) -> str:
        return f"synthetic seed {self.seed}"


Input = LobsterInput | SyntheticInput


@dataclass(frozen=True)
class Result:
    name: str
    messages: int = 0
    agree: int | None = None  # LOBSTER rows that agree at every level; None for a synthetic instrument
    engine_mismatches: int = 0  # LOBSTER resting orders on which the engine and the mirror disagree at the end
    fills: int = 0
    book: str = ""  # the final book's summary, its repr() on one line
    seconds: float = 0.0  # CPU time of the replay
    error: str | None = None

    def same_outcome(self, other: Result) -> bool:
        """Everything but the time."""
        return (self.name, self.messages, self.agree, self.engine_mismatches, self.fills, self.book, self.error) == \
               (other.name, other.messages, other.agree, other.engine_mismatches, other.fills, other.book, other.error)

    @property
    def failed(self) -> bool:
        return self.error is not None or self.engine_mismatches > 0


def replay(task: Input) -> Result:
    """Replays one input into a new book; runs on a worker."""
    began = time.thread_time()
    if isinstance(task, LobsterInput):
        summary, book = replay_lobster.run(task.message_file, task.orderbook_file)
        messages, agree, fills = summary.messages, summary.agree, summary.fills
        engine_mismatches = summary.engine_mismatches
    else:
        flow = demo.generate_flow(task.seed, task.operations, task.tick_size)
        began = time.thread_time()  # the book's work, not the generator's
        book = OrderBook(task.tick_size)
        _, fills, _ = demo.play(book, flow, [""] * len(flow), 0, len(flow))
        messages, agree, engine_mismatches = len(flow), None, 0
    return Result(task.name, messages, agree, engine_mismatches, fills, " / ".join(repr(book).splitlines()),
                  time.thread_time() - began)


def replay_all(executor: Executor, tasks: Sequence[Input], timeout: float | None = None) -> list[Result]:
    """One result per input, in order; a failing input's row carries its error instead."""
    futures = [executor.submit(replay, task) for task in tasks]
    results = []
    for task, future in zip(tasks, futures):
        try:
            results.append(future.result(timeout))
        except Exception as error:  # the worker's failure, reported in this input's row
            results.append(Result(task.name, error=f"{type(error).__name__}: {error}"))
    return results


class NoScheduler(Exception):
    """Dask is missing, or the scheduler's address is wrong or unreachable."""


@contextmanager
def open_executor(kind: str, workers: int, scheduler: str | None) -> Iterator[Executor]:
    if scheduler is not None:
        try:
            # Optional, and untyped: the ignores cover both an interpreter with dask and one without.
            from dask.distributed import Client  # type: ignore[import-not-found, unused-ignore]
        except ImportError as error:
            raise NoScheduler(f"--scheduler needs Dask ({error}): pip install distributed") from None
        try:
            client = Client(scheduler)  # type: ignore[no-untyped-call, unused-ignore]
        except (OSError, ValueError, TypeError) as error:  # a bad address, or no scheduler there
            raise NoScheduler(f"Dask scheduler {scheduler}: {error}") from None
        with client as connected:  # type: ignore[no-untyped-call, unused-ignore]
            for module in ("replay_lobster.py", "demo.py", "replay_many.py"):
                connected.upload_file(str(HERE / module), load=False)  # imported where a task needs it
            yield connected.get_executor()
    elif kind == "thread":
        with ThreadPoolExecutor(workers) as threads:
            yield threads
    else:
        # Not fork: the parent may run threads of its own (Dask's, a test runner's).
        with ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver")) as processes:
            yield processes


def table(results: Sequence[Result], elapsed: float) -> str:
    lines = [f"{'input':<22} {'messages':>10} {'agreement':>10} {'fills':>9} {'CPU s':>7}"]
    for result in results:
        if result.error is not None:
            lines.append(f"{result.name:<22} failed: {result.error}")
            continue
        agreement = "-" if result.agree is None else f"{result.agree / result.messages:.2%}"
        lines.append(f"{result.name:<22} {result.messages:>10,} {agreement:>10} {result.fills:>9,} "
                     f"{result.seconds:>7.2f}")
        if result.engine_mismatches:  # the agreement is the mirror's; the engine's book differs from it
            lines[-1] += f"  failed: engine and level mirror disagree on {result.engine_mismatches:,} resting orders"
    total = sum(result.messages for result in results)
    lines.append(f"total: {total:,} messages in {elapsed:.2f} s elapsed: {total / elapsed:,.0f} messages per second "
                 f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lobster", nargs=2, action="append", type=Path, default=[],
                        metavar=("MESSAGE_FILE", "ORDERBOOK_FILE"), help="a LOBSTER file pair (repeatable)")
    parser.add_argument("--synthetic", type=int, default=0, metavar="N", help="synthetic instruments (default 0)")
    parser.add_argument("--ops", type=int, default=200_000, help="operations per synthetic instrument (default 200000)")
    parser.add_argument("--seed", type=int, default=7, help="seed of synthetic instrument 0 (default 7)")
    parser.add_argument("--workers", type=int, help="pool size (default: the cores; not with --scheduler)")
    parser.add_argument("--executor", choices=("thread", "process"),
                        help="local pool (default process; not with --scheduler)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask cluster (tcp://HOST:PORT) instead of a local pool")
    args = parser.parse_args(argv)
    if args.scheduler and (args.workers is not None or args.executor is not None):
        parser.error("--workers and --executor choose a local pool; they do not apply with --scheduler")
    args.workers = args.workers if args.workers is not None else os.cpu_count() or 1
    args.executor = args.executor or "process"
    if args.synthetic < 0 or args.ops < 1 or args.workers < 1:
        parser.error("--synthetic must be >= 0, --ops and --workers positive")
    tasks: list[Input] = [LobsterInput(messages, orderbook) for messages, orderbook in args.lobster]
    tasks += [SyntheticInput(args.seed + i, args.ops) for i in range(args.synthetic)]
    if not tasks:
        parser.error("nothing to replay: give --lobster pairs or --synthetic N")
    where = f"Dask cluster {args.scheduler}" if args.scheduler else f"{args.workers} {args.executor} worker(s)"
    print(f"replaying {len(tasks)} input(s) on {where}")
    began = time.perf_counter()
    try:
        with open_executor(args.executor, args.workers, args.scheduler) as executor:
            results = replay_all(executor, tasks)
    except NoScheduler as error:
        print(f"replay_many: {error}", file=sys.stderr)
        return 1
    print(table(results, time.perf_counter() - began))
    return 1 if any(result.failed for result in results) else 0


if __name__ == "__main__":
    # Run as the module replay_many, not as __main__: workers then import the
    # task's function from the module (Dask's from the uploaded file) instead
    # of receiving it by value, with quorvane's classes, which pickle cannot name.
    import replay_many

    sys.exit(replay_many.main())
