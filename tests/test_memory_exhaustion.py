"""Running out of memory inside the book's containers, or while making a
result or an error, raises MemoryError and leaves the book consistent and
usable and the orders unchanged (checked in a child process whose address
space is capped, or with the allocations of a call refused one at a time)."""

import os
import subprocess
import sys
import textwrap

import pytest

from quorvane import Fill, Order, OrderBook, OrderType

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


def test_refused_call_whose_error_cannot_be_made_raises_memory_error():
    pytest.importorskip("_testcapi")
    assert run_capped(REFUSED_CHILD).split() == ["MemoryError", "TypeError"]


def fresh():
    """A book with two asks, a buy that crosses both, and the first ask."""
    book, asks = OrderBook(0.01), [Order(OrderType.Sell, price, 1.0) for price in (99, 100)]
    for ask in asks:
        book.add(ask)
    return book, Order(OrderType.Buy, 100, 3.0), asks[0]


def state(book, *orders):
    return repr(book), [(o.price_in_ticks, o.quantity) for o in book.sell_orders], [repr(o) for o in orders]


# Each call's allocations are refused one at a time until one succeeds: a refused call
# raises MemoryError, leaves the book and the orders as they were, and holds on to nothing.
CALLS = {
    "fill": lambda book, buy, sell: buy.fill(sell, 0.01),
    "Fill": lambda book, buy, sell: Fill(1.0, 2.0, buy.id, sell.id, 0),
    "add": lambda book, buy, sell: book.add(buy),
    "sell_orders": lambda book, buy, sell: book.sell_orders,
    "best_ask": lambda book, buy, sell: book.best_ask(),
    "get_order": lambda book, buy, sell: book.get_order(sell.id),
    "summary": lambda book, buy, sell: repr(book),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_a_call_whose_allocation_is_refused_changes_nothing(name):
    testcapi = pytest.importorskip("_testcapi")
    after = fresh()
    CALLS[name](*after)
    for allocation in range(40):
        book, buy, sell = fresh()
        before, references = state(book, buy, sell), sys.getrefcount(Fill)
        testcapi.set_nomemory(allocation, allocation + 1)
        try:
            CALLS[name](book, buy, sell)
        except MemoryError:
            testcapi.remove_mem_hooks()
            # An add keeps the trades it made before it ran out: the book is as after it.
            assert state(book, buy, sell) == before or name == "add" and state(book) == state(after[0])
            assert sys.getrefcount(Fill) == references
        else:
            testcapi.remove_mem_hooks()
            assert allocation > 0  # some allocation was refused before the call succeeded
            return
    raise AssertionError("the call never succeeded")
