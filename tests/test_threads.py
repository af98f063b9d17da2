"""Threads sharing a book or orders, books of their own per thread, ids across threads
and fork. Without the GIL the calls really overlap; either way the only failures
allowed are the two access errors, and every change a thread saw succeed holds."""
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time
import warnings
from collections import defaultdict

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType

Buy, Sell = OrderType.Buy, OrderType.Sell
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ACCESS_ERRORS = {"Already borrowed", "Already mutably borrowed"}
THREADS = 4


def on_threads(work, count=THREADS):
    """work(i) on `count` threads released together; their results in order."""
    start, results, failures = threading.Barrier(count), [None] * count, []

    def main(i):
        start.wait()
        try:
            results[i] = work(i)
        except BaseException as error:  # a PanicException included
            failures.append(error)

    threads = [threading.Thread(target=main, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads) and failures == []
    return results


class Yielding:
    """A number whose conversion lets other threads run while its call holds access."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def attempt(call, refused):
    """call(), or None after noting an access error in `refused`."""
    try:
        return call()
    except RuntimeError as error:
        if str(error) not in ACCESS_ERRORS:
            raise
        refused.append(str(error))
        return None


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build")
def test_import_keeps_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run = subprocess.run([sys.executable, "-c", "import sys, quorvane; print(sys._is_gil_enabled())"],
                         env=env, capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


def test_threads_sharing_one_book_lose_nothing():
    book, tick = OrderBook(0.01), 0.01

    def trade(seed):
        rng, refused, added, cancelled, mine = random.Random(seed), [], [], [], []
        for _ in range(1500):
            step = rng.random()
            if step < 0.5:  # whole quantities keep every sum exact
                side = rng.choice((Buy, Sell))
                order = Order(side, rng.randint(98, 102), float(rng.randint(1, 5)))
                fills = attempt(lambda: book.add(order), refused)
                if fills is not None:
                    added.append((order.id, order.side, order.price_in_ticks, order.quantity, fills))
                    mine.append(order.id)
            elif step < 0.65 and mine:
                order_id = mine.pop(rng.randrange(len(mine)))
                done = attempt(lambda: book.cancel(order_id), refused)
                if done is None:
                    mine.append(order_id)
                else:
                    cancelled.append((order_id, done))
            else:
                attempt(rng.choice((lambda: (repr(book), book.buy_volume()), lambda: book.sell_orders,
                                    lambda: book.best_bid(), lambda: book.get_order(rng.choice(mine or ["x"])))),
                        refused)
        return refused, added, cancelled

    results = on_threads(trade)
    refused = [r for result in results for r in result[0]]
    added = {a[0]: a[1:] for result in results for a in result[1]}
    cancelled = dict(c for result in results for c in result[2])
    assert set(refused) <= ACCESS_ERRORS
    # A thread cancels only orders it saw added, so the book knows every one of them.
    assert all(cancelled.values())

    traded = defaultdict(float)
    for side, price, quantity, fills in added.values():
        for f in fills:
            buy, sell = added[f.buy_id], added[f.sell_id]
            assert (buy[0], sell[0]) == (Buy, Sell) and buy[1] >= sell[1] and f.price == sell[1] * tick
            traded[f.buy_id] += f.quantity
            traded[f.sell_id] += f.quantity
    resting = {o.id: o for o in book.buy_orders + book.sell_orders}
    for order_id, (side, price, quantity, _) in added.items():
        left = quantity - traded[order_id]
        assert left >= 0
        record = book.get_order(order_id)
        if order_id in cancelled:
            assert record is None and order_id not in resting
        elif left > 0:
            assert (record.quantity, record.status, resting[order_id].quantity) == (left, OrderStatus.Open, left)
        else:
            assert (record.quantity, record.status) == (0.0, OrderStatus.Filled) and order_id not in resting
    assert_consistent(book)


def assert_consistent(book):
    """What a caller can see of the book's invariants."""
    for side, orders in ((Buy, book.buy_orders), (Sell, book.sell_orders)):
        assert all(o.side == side and o.status == OrderStatus.Open and o.quantity > 0 for o in orders)
        assert [o.price_in_ticks for o in orders] == sorted(o.price_in_ticks for o in orders)
        assert len({o.id for o in orders}) == len(orders)
        assert sum(o.quantity for o in orders) == (book.buy_volume() if side == Buy else book.sell_volume())
    bid, ask = book.best_bid(), book.best_ask()
    assert bid is None or ask is None or bid[0] < ask[0]


def test_threads_sharing_orders_never_tear_or_lose_a_fill():
    depth = 1e9
    shared = [Order(Buy, 100, depth), Order(Sell, 100, depth)]  # enumerations are unhashable: no dict

    def fill(seed):
        rng, refused, fills, snapshot = random.Random(seed), [], [], OrderBook()
        for _ in range(4000):
            deep, opposite = rng.choice(((shared[0], Sell), (shared[1], Buy)))
            if rng.random() < 0.8:  # a small order of this thread's against a shared one, either way round
                mine = Order(opposite, 100, float(rng.randint(1, 5)))
                fill = rng.choice((lambda: deep.fill(mine, Yielding(0.01)), lambda: mine.fill(deep, Yielding(0.01))))
                made = attempt(fill, refused)
                if made is not None:
                    fills.append(made)
            elif attempt(lambda: snapshot.update_order(deep), refused) is not None:  # one access copies the record
                copy = snapshot.get_order(deep.id)
                assert (copy.status, copy.quantity == int(copy.quantity)) == (OrderStatus.Open, True)
        return refused, fills

    results = on_threads(fill)
    assert {r for refused, _ in results for r in refused} <= ACCESS_ERRORS
    for deep in shared:
        traded = [f.quantity for _, fills in results for f in fills if deep.id in (f.buy_id, f.sell_id)]
        assert traded and deep.quantity == depth - sum(traded)


def session(seed):
    """A seeded session on a book of its own; ids in the transcript are their order of creation."""
    rng, book, names, transcript = random.Random(seed), OrderBook(0.01), {}, []
    for _ in range(800):
        if rng.random() < 0.75 or not names:
            order = book.create_order(rng.choice((Buy, Sell)), rng.randint(95, 105) / 100, float(rng.randint(1, 9)))
            names[order.id] = len(names)
            fills = book.add(order)
            transcript.append([(f.quantity, f.price, names[f.buy_id], names[f.sell_id]) for f in fills])
        else:
            transcript.append(book.cancel(rng.choice(list(names))))
    transcript.append([(names[o.id], o.quantity) for o in book.buy_orders + book.sell_orders])
    transcript.append(repr(book))
    return transcript


def test_threads_with_books_of_their_own_match_the_serial_run():
    serial = [session(seed) for seed in range(THREADS)]
    assert on_threads(session) == serial


def test_ids_are_unique_across_threads():
    ids = on_threads(lambda _: [Order(Buy, 1, 1.0).id for _ in range(2000)])
    assert len({i for batch in ids for i in batch}) == THREADS * 2000


def ids_around_a_fork():
    """Ids made in a forked child and in its parent after the fork."""
    Order(Buy, 1, 1.0)  # this thread's pool now holds unused random bytes
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        pid = os.fork()
    if pid == 0:
        os.close(read)
        with os.fdopen(write, "w") as out:
            out.write("\n".join(Order(Buy, 1, 1.0).id for _ in range(50)))
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as inp:
        child = inp.read().split()
    os.waitpid(pid, 0)
    return child, [Order(Buy, 1, 1.0).id for _ in range(50)]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("where", ["main thread", "another thread"])
def test_a_forked_child_never_repeats_its_parents_ids(where):
    if where == "main thread":
        child, parent = ids_around_a_fork()
    else:
        [(child, parent)] = on_threads(lambda _: ids_around_a_fork(), count=1)
    assert len(set(child)) == 50 and not set(child) & set(parent)
