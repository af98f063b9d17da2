"""Running out of memory inside the book's containers, or while making a
result or an error, raises MemoryError and leaves the book consistent and
usable and the orders unchanged (checked in a child process whose address
space is capped, or whose allocations are refused one at a time)."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="ASan reserves more address space than the cap")
CHILD = textwrap.dedent(
    """
    from quorvane import Order, OrderBook, OrderType

    book = OrderBook(0.01)
    first = Order(OrderType.Sell, 100, 1.0)
    book.add(first)
    # Room for the interpreter, not for a queue that keeps doubling.
    cap(256 * 2**20)
    added = 1
    try:  # one level whose queue keeps doubling, then a new level per order
        while True:
            book.add(Order(OrderType.Sell, 100 + (added // 300_000) * added, 1.0))
            added += 1
    except MemoryError:
        pass
    uncap()
    orders = book.sell_orders
    prices = [o.price_in_ticks for o in orders]
    assert len(orders) == added and prices == sorted(prices), (len(orders), added)
    assert book.best_ask() == (100, 1.0) and book.sell_volume() == float(added)
    fills = book.add(Order(OrderType.Buy, 100, 2.5))
    assert [f.quantity for f in fills] == [1.0, 1.0, 0.5]
    assert book.cancel(first.id) and book.get_order(first.id) is None
    assert all(book.get_order(o.id) is not None for o in orders[1:])
    print(added)
    """
)

# A Fill whose id texts cannot be copied: the half-made object is given back.
FILL_CHILD = textwrap.dedent(
    """
    import sys
    from quorvane import Fill

    text = "x" * 2**26
    references = sys.getrefcount(Fill)
    cap(16 * 2**20)
    for _ in range(3):
        try:
            Fill(1.0, 2.0, text, "b", 0)
        except MemoryError:
            pass
        else:
            raise AssertionError("the copy of 64 MiB fitted under the cap")
    uncap()
    assert sys.getrefcount(Fill) == references, (sys.getrefcount(Fill), references)
    assert len(Fill(1.0, 2.0, text, "b", 0).buy_id) == 2**26
    """
)


# Results too large for the memory left: the list of orders, the summary.
RESULTS_CHILD = textwrap.dedent(
    """
    from quorvane import Order, OrderBook, OrderType

    book = OrderBook(0.01)
    for i in range(500_000):  # the list alone needs 4 MB
        book.add(Order(OrderType.Buy, 1 + i % 500, 1.0))
    cap(2 * 2**20)
    try:
        book.buy_orders
    except MemoryError:
        pass
    else:
        raise AssertionError("500,000 orders fitted in 2 MiB")
    uncap()
    assert len(book.buy_orders) == 500_000 and book.best_bid() == (500, 1.0)
    """
)


# Each allocation of a refused call fails in turn: the call raises its own
# error, or MemoryError when not even that can be made; the process goes on.
REFUSED_CHILD = textwrap.dedent(
    """
    import _testcapi
    from quorvane import OrderBook

    book = OrderBook(0.01)
    outcomes = set()
    for allocation in range(40):
        _testcapi.set_nomemory(allocation, allocation + 1)
        try:
            book.add("not an order")
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            outcomes.add(type(error).__name__)
    print(*sorted(outcomes))
    """
)


# Each child caps its address space at what it uses now plus some headroom.
CAP = textwrap.dedent(
    """
    import resource

    def cap(headroom):
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * 4096
        resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))

    def uncap():
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    """
)


def run_capped(script):
    run = subprocess.run([sys.executable, "-c", CAP + script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_memory_exhaustion_raises_and_keeps_the_book_usable():
    assert int(run_capped(CHILD)) > 100_000


def test_fill_that_cannot_be_made_raises_and_leaks_nothing():
    run_capped(FILL_CHILD)


def test_result_that_cannot_be_made_raises_memory_error():
    run_capped(RESULTS_CHILD)


def test_refused_call_whose_error_cannot_be_made_raises_memory_error():
    pytest.importorskip("_testcapi")
    assert run_capped(REFUSED_CHILD).split() == ["MemoryError", "TypeError"]


def test_fill_whose_result_cannot_be_made_changes_neither_order():
    testcapi = pytest.importorskip("_testcapi")
    from quorvane import Order, OrderStatus, OrderType

    outcomes = set()
    for allocation in range(8):  # the call's n-th allocation fails, until none does
        buy, sell = Order(OrderType.Buy, 10, 3.0), Order(OrderType.Sell, 10, 1.0)
        testcapi.set_nomemory(allocation, allocation + 1)
        try:
            fill = buy.fill(sell, 0.01)
        except MemoryError:
            fill = None
        finally:
            testcapi.remove_mem_hooks()
        left = (buy.quantity, buy.status == OrderStatus.Open, sell.quantity, sell.status == OrderStatus.Filled)
        assert left == ((3.0, True, 1.0, False) if fill is None else (2.0, True, 0.0, True))
        outcomes.add(fill is None)
    assert outcomes == {True, False}  # some allocation was refused, and the call later succeeded
