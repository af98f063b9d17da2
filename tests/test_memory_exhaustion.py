"""Running out of memory while a call makes a result, an error or a value raises MemoryError
and leaves the book and the orders unchanged (each of a call's allocations refused in turn).
The engine's own containers running out are the fuzz target's to check: it fails each
allocation of an operation in turn and compares the book with a twin."""
import sys

import pytest

from quorvane import Fill, Order, OrderBook, OrderType
from interpreter_texts import raised

def fresh():
    """A book with two asks, a buy that crosses both, and the first ask."""
    book, asks = OrderBook(0.01), [Order(OrderType.Sell, price, 1.0) for price in (99, 100)]
    for ask in asks:
        book.add(ask)
    return book, Order(OrderType.Buy, 100, 3.0), asks[0]


def state(book, *orders):
    return repr(book), [(o.price_in_ticks, o.quantity) for o in book.sell_orders], [repr(o) for o in orders]


# Each call's allocations are refused one at a time until it goes through: refused, a call
# raises MemoryError (or its own error, if that can still be made), leaves the book and the
# orders as they were, and holds on to nothing. Calls share a case when only the last one
# changes anything: refusing each allocation in turn still reaches every one of each call.
CALLS = {
    "fill and Fill": lambda book, buy, sell: Fill(1.0, 2.0, buy.id, sell.id, 0) and buy.fill(sell, 0.01),
    "add": lambda book, buy, sell: book.add(buy),
    "add a non-order": lambda book, buy, sell: book.add("not an order"),
    "reads": lambda book, buy, sell: (book.best_ask(), book.get_order(sell.id), book.sell_orders, repr(book)),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_a_call_whose_allocation_is_refused_changes_nothing(name):
    testcapi = pytest.importorskip("_testcapi")
    after, held = fresh(), []
    unrefused = raised(lambda: CALLS[name](*after))  # None, or the call's own error
    for refused in [(n, n + 1) for n in range(40)]:  # the allocation to refuse, as set_nomemory takes it
        book, buy, sell = fresh()
        before, error = state(book, buy, sell), None
        # Empties the free lists, the interpreter's and the module's spare instances: results are allocated.
        held.append([(i, float(i)) for i in range(1000, 4000)] + [Fill(1.0, 2.0, buy.id, sell.id, 0) for _ in range(99)]
                    + [Order(OrderType.Buy, 1, 1.0) for _ in range(99)])
        references = sys.getrefcount(Fill)
        testcapi.set_nomemory(*refused)  # given a tuple of ours, the call frees no argument tuple into them
        try:
            CALLS[name](book, buy, sell)
        except Exception as caught:
            error = caught
        finally:
            testcapi.remove_mem_hooks()
        if (seen := error and (type(error), str(error))) == unrefused:
            break
        assert seen[0] is MemoryError or unrefused and seen[0] is unrefused[0], seen
        # An add keeps the trades it made before it ran out: the book is as after it.
        assert state(book, buy, sell) == before or name == "add" and state(book) == state(after[0])
        assert sys.getrefcount(Fill) == references
    # Some allocation was refused before the call went through, and it did go through.
    assert seen == unrefused and refused[0] > 0, "the call never went through"
