"""Threads sharing a book and orders, books of their own per thread, ids across threads
and fork. Without the GIL the calls really overlap; either way the only failures
allowed are the two access errors, and every change a thread saw succeed holds."""
import multiprocessing
import os
import random
import subprocess
import sys
import sysconfig
import threading
import warnings
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType
from test_call_frame import Number

Buy, Sell = OrderType.Buy, OrderType.Sell
ACCESS_ERRORS = {"Already borrowed", "Already mutably borrowed"}
THREADS, DEPTH, REFUSED = 4, 1e9, object()
# A tick size whose conversion lets other threads run while its call holds access.
YIELDING = Number(0.01, os.sched_yield)


def on_threads(work, count=THREADS):
    """work(i) on `count` threads released together: their results in order, or a thread's error."""
    start, pool = threading.Barrier(count), ThreadPoolExecutor(count)
    try:
        return list(pool.map(lambda i: (start.wait(), work(i))[1], range(count), timeout=60))
    finally:
        pool.shutdown(wait=False)


def attempt(call):
    """call(), or REFUSED when it met the other thread's access."""
    try:
        return call()
    except RuntimeError as error:
        assert str(error) in ACCESS_ERRORS, error
        return REFUSED


def market():
    """A book, and a deep order on each side with the side of the orders that fill it."""
    return OrderBook(0.01), [(Order(Buy, 100, DEPTH), Sell), (Order(Sell, 100, DEPTH), Buy)]


def trade(seed, book, deep):
    """Seeded adds, cancels and reads on the book, and small orders filled against a deep one either way
    round. What succeeded: the orders added with their quantities, the ids cancelled, every fill made."""
    rng, added, cancelled, mine, fills = random.Random(seed), {}, set(), [], []
    for _ in range(2000):
        step = rng.random()
        if step < 0.4:  # whole quantities keep every sum exact
            order = Order(rng.choice((Buy, Sell)), rng.randint(98, 102), float(rng.randint(1, 5)))
            if (made := attempt(lambda: book.add(order))) is not REFUSED:
                added[order.id] = order.quantity
                fills += made
                mine.append(order.id)
        elif step < 0.5 and mine:
            order_id = mine.pop(rng.randrange(len(mine)))
            done = attempt(lambda: book.cancel(order_id))
            assert done is not False  # a thread cancels only orders it saw added
            (mine.append if done is REFUSED else cancelled.add)(order_id)
        elif step < 0.8:
            resting, side = rng.choice(deep)
            small = Order(side, 100, float(rng.randint(1, 5)))
            made = attempt(rng.choice((lambda: resting.fill(small, YIELDING), lambda: small.fill(resting, YIELDING))))
            fills += [] if made is REFUSED else [made]
        else:
            attempt(rng.choice((lambda: (repr(book), book.buy_volume()), lambda: book.sell_orders,
                                lambda: book.get_order(rng.choice(mine or ["x"])))))
    return added, cancelled, fills


def check(book, deep, runs):
    """Each order's record and the resting orders follow from the fills and cancels the runs saw,
    and each deep order lost what their fills took from it (what a fill holds, the soak checks)."""
    added = {k: v for a, _, _ in runs for k, v in a.items()}
    cancelled, traded = set().union(*(c for _, c, _ in runs)), Counter()
    for f in (f for *_, fills in runs for f in fills):
        traded.update({f.buy_id: f.quantity, f.sell_id: f.quantity})
    left = {i: quantity - traded[i] for i, quantity in added.items() if i not in cancelled}
    assert {i: (r.quantity, r.status) for i in added if (r := book.get_order(i))} == {
        i: (q, OrderStatus.Open if q > 0 else OrderStatus.Filled) for i, q in left.items()}
    resting = {i: q for i, q in left.items() if q > 0}
    assert {o.id: o.quantity for o in book.buy_orders + book.sell_orders} == resting
    assert sum(resting.values()) == book.buy_volume() + book.sell_volume()
    assert all(0 < traded[o.id] == DEPTH - o.quantity for o, _ in deep), [(o, traded[o.id]) for o, _ in deep]


# Books of their own never meet: each is checked against its own thread's run alone.
@pytest.mark.parametrize("shared", [True, False], ids=["one book and its orders", "books of their own"])
def test_threads_trading_lose_nothing(shared):
    markets = [market()] * THREADS if shared else [market() for _ in range(THREADS)]
    runs = on_threads(lambda i: trade(i, *markets[i]))
    ids = [order_id for added, _, _ in runs for order_id in added]
    assert len(set(ids)) == len(ids) and all(added for added, _, _ in runs)
    for i in range(1 if shared else THREADS):
        check(*markets[i], runs if shared else runs[i:i + 1])


def fifty_ids():
    return [Order(Buy, 1, 1.0).id for _ in range(50)]


def ids_around_a_fork():
    """Ids made in a forked child and in its parent after the fork (the pool forks as it starts)."""
    Order(Buy, 1, 1.0)  # this thread's pool now holds unused random bytes
    with warnings.catch_warnings(action="ignore", category=DeprecationWarning):  # forking a process that has threads
        with multiprocessing.get_context("fork").Pool(1) as pool:
            return pool.apply(fifty_ids), fifty_ids()


def test_a_forked_child_never_repeats_its_parents_ids():
    for child, parent in [ids_around_a_fork(), *on_threads(lambda _: ids_around_a_fork(), count=1)]:
        assert len(set(child)) == 50 and not set(child) & set(parent)


# At exit the interpreter ends each daemon thread that wants it back, through
# pthread_exit; a thread inside a call whose argument is running Python code
# unwinds through the module's frames, which must let it pass. And on a
# free-threaded build, importing the module leaves the GIL off.
DAEMONS_AT_EXIT = """
import sys, threading
from quorvane import Order, OrderType

class Endless:
    def __float__(self):
        started.set()
        while True:
            pass

print(getattr(sys, "_is_gil_enabled", lambda: True)())
started = threading.Event()
for _ in range(4):
    threading.Thread(target=Order, args=(OrderType.Buy, 1, Endless()), daemon=True).start()
started.wait()  # exits with a thread inside a call, in the Python code its argument runs
"""


def test_daemon_threads_inside_calls_at_exit_and_the_gil():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # the module's own choice
    runs = [subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], env=env, capture_output=True, text=True, timeout=60)
            for _ in range(8)]
    gil = "False\n" if sysconfig.get_config_var("Py_GIL_DISABLED") else "True\n"
    # The sanitizers cannot follow that unwind: ASan reports its own unpoisoning of the
    # stack the unwind left, UBSan the null reference the unwind is caught by.
    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    assert [(run.returncode, run.stdout, sanitized or run.stderr) for run in runs] == [(0, gil, sanitized or "")] * 8
