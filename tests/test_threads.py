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
from collections import Counter

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType
from test_call_frame import Number

Buy, Sell = OrderType.Buy, OrderType.Sell
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


REFUSED = object()


def attempt(call):
    """call(), or REFUSED when it met the other thread's access."""
    try:
        return call()
    except RuntimeError as error:
        if str(error) not in ACCESS_ERRORS:
            raise
        return REFUSED


# A tick size whose conversion lets other threads run while its call holds access.
YIELDING = Number(0.01, lambda: time.sleep(0))


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_import_keeps_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run = subprocess.run([sys.executable, "-c", "import sys, quorvane; print(sys._is_gil_enabled())"],
                         env=env, capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


def test_threads_sharing_one_book_lose_nothing():
    book = OrderBook(0.01)

    def trade(seed):
        rng, added, cancelled, mine = random.Random(seed), {}, set(), []
        for _ in range(1500):
            step = rng.random()
            if step < 0.5:  # whole quantities keep every sum exact
                order = Order(rng.choice((Buy, Sell)), rng.randint(98, 102), float(rng.randint(1, 5)))
                fills = attempt(lambda: book.add(order))
                if fills is not REFUSED:
                    added[order.id] = (order.side, order.price_in_ticks, order.quantity, fills)
                    mine.append(order.id)
            elif step < 0.65 and mine:
                order_id = mine.pop(rng.randrange(len(mine)))
                done = attempt(lambda: book.cancel(order_id))
                assert done is not False  # a thread cancels only orders it saw added
                (mine.append if done is REFUSED else cancelled.add)(order_id)
            else:
                attempt(rng.choice((lambda: (repr(book), book.buy_volume()), lambda: book.sell_orders,
                                    lambda: book.get_order(rng.choice(mine or ["x"])))))
        return added, cancelled

    results = on_threads(trade)
    added = {k: v for a, _ in results for k, v in a.items()}
    cancelled = set().union(*(c for _, c in results))
    traded = Counter()
    for fills in (a[3] for a in added.values()):
        for f in fills:
            buy, sell = added[f.buy_id], added[f.sell_id]
            assert (buy[0], sell[0]) == (Buy, Sell) and buy[1] >= sell[1] and f.price == sell[1] * 0.01
            traded.update({f.buy_id: f.quantity, f.sell_id: f.quantity})
    resting = {o.id: o.quantity for o in book.buy_orders + book.sell_orders}
    for order_id, (side, price, quantity, _) in added.items():
        left, record = quantity - traded[order_id], book.get_order(order_id)
        if order_id in cancelled:
            assert record is None and order_id not in resting
        else:
            assert (record.quantity, record.status, resting.get(order_id, 0.0)) == (
                left, OrderStatus.Open if left > 0 else OrderStatus.Filled, left)
    for side, orders in ((Buy, book.buy_orders), (Sell, book.sell_orders)):
        assert [o.price_in_ticks for o in orders] == sorted(o.price_in_ticks for o in orders)
        assert sum(o.quantity for o in orders) == (book.buy_volume() if side == Buy else book.sell_volume())
    bid, ask = book.best_bid(), book.best_ask()
    assert bid is None or ask is None or bid[0] < ask[0]


def test_threads_sharing_orders_never_tear_or_lose_a_fill():
    depth, shared = 1e9, [Order(Buy, 100, 1e9), Order(Sell, 100, 1e9)]
    sides = [(shared[0], Sell, shared[0].id), (shared[1], Buy, shared[1].id)]  # ids read before the threads

    def fill(seed):
        rng, fills, snapshot = random.Random(seed), [], OrderBook()
        for _ in range(4000):
            deep, opposite, deep_id = rng.choice(sides)
            if rng.random() < 0.8:  # a small order of this thread's against a shared one, either way round
                mine = Order(opposite, 100, float(rng.randint(1, 5)))
                made = attempt(rng.choice((lambda: deep.fill(mine, YIELDING), lambda: mine.fill(deep, YIELDING))))
                fills += [] if made is REFUSED else [made]
            elif attempt(lambda: snapshot.update_order(deep)) is not REFUSED:  # one access copies the record
                copy = snapshot.get_order(deep_id)
                assert (copy.status, copy.quantity == int(copy.quantity)) == (OrderStatus.Open, True)
        return fills

    fills = [f for result in on_threads(fill) for f in result]
    for deep in shared:
        traded = [f.quantity for f in fills if deep.id in (f.buy_id, f.sell_id)]
        assert traded and deep.quantity == depth - sum(traded)


def session(seed):
    """A seeded session on a book of its own: its transcript, ids as their order of creation, and its ids."""
    rng, book, names, transcript = random.Random(seed), OrderBook(0.01), {}, []
    for _ in range(800):
        if rng.random() < 0.75 or not names:
            order = book.create_order(rng.choice((Buy, Sell)), rng.randint(95, 105) / 100, float(rng.randint(1, 9)))
            names[order.id] = len(names)
            transcript.append([(f.quantity, f.price, names[f.buy_id], names[f.sell_id]) for f in book.add(order)])
        else:
            transcript.append(book.cancel(rng.choice(list(names))))
    transcript += [[(names[o.id], o.quantity) for o in book.buy_orders + book.sell_orders], repr(book)]
    return transcript, set(names)


def test_threads_with_books_of_their_own_match_the_serial_run_with_unique_ids():
    serial, threaded = [session(seed) for seed in range(THREADS)], on_threads(session)
    assert [t for t, _ in threaded] == [t for t, _ in serial]
    assert len(set().union(*(ids for _, ids in threaded))) == sum(len(ids) for _, ids in threaded)


def ids_around_a_fork():
    """Ids made in a forked child and in its parent after the fork."""
    Order(Buy, 1, 1.0)  # this thread's pool now holds unused random bytes
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        pid = os.fork()
    if pid == 0:
        os.write(write, " ".join(Order(Buy, 1, 1.0).id for _ in range(50)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as inp:
        child = inp.read().split()
    os.waitpid(pid, 0)
    return child, [Order(Buy, 1, 1.0).id for _ in range(50)]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_never_repeats_its_parents_ids():
    for child, parent in [ids_around_a_fork(), *on_threads(lambda _: ids_around_a_fork(), count=1)]:
        assert len(set(child)) == 50 and not set(child) & set(parent)


# At exit the interpreter ends each daemon thread that wants it back, through
# pthread_exit; a thread inside a call whose argument is running Python code
# unwinds through the module's frames, which must let it pass.
DAEMONS_AT_EXIT = """if True:
    import threading, time
    from quorvane import Order, OrderType

    class Slow:
        def __float__(self):
            sum(range(200_000))
            return 1.0

    def work():
        started.set()
        while True:
            Order(OrderType.Buy, 1, Slow())

    started = threading.Event()
    for _ in range(4):
        threading.Thread(target=work, daemon=True).start()
    started.wait()
    time.sleep(0.05)
"""


def test_daemon_threads_inside_calls_at_exit():
    codes = [subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], timeout=60).returncode for _ in range(8)]
    assert codes == [0] * 8
