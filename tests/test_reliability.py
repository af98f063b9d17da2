"""Odd input, re-entrant callers, threads, forks and leaks must never crash the
module or change a book or order behind a failed call."""

import os
import sys
import threading

import pytest

from quorvane import Fill, Order, OrderBook, OrderStatus, OrderType

Buy, Sell = OrderType.Buy, OrderType.Sell


def order_state(o):
    return (o.id, int(o.side), o.price_in_ticks, repr(o.quantity), int(o.status), o.timestamp)


def book_state(book, ids=()):
    return (
        repr(book),
        [order_state(o) for o in book.buy_orders],
        [order_state(o) for o in book.sell_orders],
        [None if (o := book.get_order(i)) is None else order_state(o) for i in ids],
    )


class Raises:
    def __float__(self):
        raise ZeroDivisionError("from __float__")

    __index__ = __float__


class ReturnsText:
    def __float__(self):
        return "1.0"

    def __index__(self):
        return "1"


class Subfloat(float):
    pass


class Subint(int):
    pass


class Substr(str):
    pass


# Per kind of parameter: (bad value, exception type, text or None when the
# interpreter's own wording may vary across versions).
BAD = {
    "double": [
        ("1.0", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (2**1100, OverflowError, None),
        (Raises(), ZeroDivisionError, None),
        (ReturnsText(), TypeError, None),
    ],
    "int64": [
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
        (-(2**64), OverflowError, "Python int too large to convert to C long"),
        (Raises(), ZeroDivisionError, None),
        (ReturnsText(), TypeError, None),
        (OrderType.Sell, TypeError, None),
    ],
    "uint64": [(-1, OverflowError, None), (2**64, OverflowError, None), (1.0, TypeError, None)],
    "text": [
        (5, TypeError, "'int' object cannot be converted to 'PyString'"),
        (b"id", TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
    "side": [
        ("Buy", TypeError, "'str' object cannot be converted to 'OrderType'"),
        (OrderStatus.Open, TypeError, "'OrderStatus' object cannot be converted to 'OrderType'"),
        (0, TypeError, "'int' object cannot be converted to 'OrderType'"),
    ],
    "order": [(OrderType.Buy, TypeError, "'OrderType' object cannot be converted to 'Order'")],
}


def populated():
    book = OrderBook(0.01)
    orders = [book.create_order(side, price, qty) for side, price, qty in
              [(Buy, 1.00, 5.0), (Buy, 0.99, 2.0), (Sell, 1.02, 3.0), (Sell, 1.03, 4.5)]]
    for o in orders:
        book.add(o)
    return book, orders


def callables(book, orders):
    """(name, call taking a full argument list, good arguments, kinds)."""
    o, other = orders[0], orders[2]
    return [
        ("Order", lambda *a: Order(*a), [Buy, 100, 1.0], ["side", "int64", "double"]),
        ("Fill", lambda *a: Fill(*a), [1.0, 2.0, "a", "b", 5], ["double", "double", "text", "text", "uint64"]),
        ("OrderBook", lambda *a: OrderBook(*a), [0.5], ["double"]),
        ("can_match", o.can_match, [other], ["order"]),
        ("fill", o.fill, [other, 0.01], ["order", "double"]),
        ("create_order", book.create_order, [Sell, 1.0, 1.0], ["side", "double", "double"]),
        ("add", book.add, [other], ["order"]),
        ("cancel", book.cancel, [o.id], ["text"]),
        ("get_order", book.get_order, [o.id], ["text"]),
        ("update_order", book.update_order, [other], ["order"]),
    ]


def bad_cases():
    book, orders = populated()
    for name, call, good, kinds in callables(book, orders):
        for i, kind in enumerate(kinds):
            for value, exc, text in BAD[kind]:
                yield pytest.param(name, i, value, exc, text, id=f"{name}-{i}-{value!r}")


@pytest.mark.parametrize("name, index, value, exc, text", list(bad_cases()))
def test_bad_argument_raises_exactly_and_changes_nothing(name, index, value, exc, text):
    book, orders = populated()
    call, good = next((c, g) for n, c, g, _ in callables(book, orders) if n == name)
    ids = [o.id for o in orders]
    before = book_state(book, ids), [order_state(o) for o in orders]
    args = list(good)
    args[index] = value
    with pytest.raises(exc) as info:
        call(*args)
    if text is not None:
        prefix = "" if exc is not TypeError else f"argument '{call_param(name, index)}': "
        assert str(info.value) == prefix + text
    named = str(info.value).startswith(f"argument '{call_param(name, index)}': ")
    assert named == (exc is TypeError)
    assert (book_state(book, ids), [order_state(o) for o in orders]) == before


PARAMS = {
    "Order": ["side", "price_in_ticks", "quantity"],
    "Fill": ["quantity", "price", "buy_id", "sell_id", "timestamp"],
    "OrderBook": ["tick_size"],
    "can_match": ["other"],
    "fill": ["incoming", "tick_size"],
    "create_order": ["side", "price", "quantity"],
    "add": ["incoming_order"],
    "cancel": ["order_id"],
    "get_order": ["order_id"],
    "update_order": ["order"],
}


def call_param(name, index):
    return PARAMS[name][index]


def test_subclasses_of_float_int_and_str_are_accepted():
    book, orders = populated()
    o = Order(Buy, Subint(7), Subfloat(2.5))
    assert (o.price_in_ticks, o.quantity) == (7, 2.5)
    assert book.get_order(Substr(orders[0].id)).id == orders[0].id
    assert Fill(Subfloat(1), 2, Substr("a"), "b", Subint(3)).buy_id == "a"
    assert OrderBook(Subfloat(0.5)).tick_size == 0.5


class CallsBack:
    """A number whose conversion runs `action` first."""

    def __init__(self, action, value=1.0):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def test_reentrant_conversions_see_the_access_already_held():
    book, orders = populated()
    o, other = orders[0], orders[2]
    ids = [x.id for x in orders]
    before = book_state(book, ids), [order_state(x) for x in orders]

    # Shared access to the book while create_order converts: reading is fine,
    # changing is refused, and the refusal is not renamed after the argument.
    seen = []
    made = book.create_order(Buy, CallsBack(lambda: seen.append(repr(book))), 1.0)
    assert seen == [before[0][0]] and made.price_in_ticks == 100
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        book.create_order(Buy, CallsBack(lambda: book.cancel(o.id)), 1.0)
    # fill holds both orders exclusively while converting tick_size.
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        o.fill(other, CallsBack(lambda: o.quantity))
    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        o.fill(other, CallsBack(lambda: other.id))
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        o.fill(o, 0.01)
    assert (book_state(book, ids), [order_state(x) for x in orders]) == before
    # After every failure the objects are usable again.
    assert o.fill(other, 0.01) is None and book.cancel(o.id)


def test_threads_driving_one_book_only_meet_access_errors():
    book = OrderBook(0.01)
    shared = [book.create_order(Buy if i % 2 else Sell, 1.0 + (i % 5) / 100, 1.0 + i) for i in range(20)]
    errors, unexpected = [], []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def slow(value):
        # Converting this argument runs Python code, so other threads get the lock mid-call.
        return CallsBack(lambda: sum(range(50)), value)

    def worker(seed):
        try:
            for i in range(300):
                o = shared[(seed + i) % len(shared)]
                try:
                    match i % 6:
                        case 0:
                            book.add(book.create_order(Buy if i % 4 else Sell, slow(1.0 + (i % 7) / 100), slow(2.0)))
                        case 1:
                            book.add(o)
                        case 2:
                            book.cancel(o.id)
                        case 3:
                            o.fill(shared[(seed + i + 1) % len(shared)], slow(0.01))
                        case 4:
                            book.update_order(o)
                        case 5:
                            repr(book), book.buy_orders, book.best_ask(), o.quantity
                except RuntimeError as e:
                    errors.append(str(e))
        except BaseException as e:  # anything else is a failure of the module
            unexpected.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert unexpected == []
    assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
    assert_book_consistent(book)


def assert_book_consistent(book):
    """What a caller can see of the book's invariants."""
    for side, orders in ((Buy, book.buy_orders), (Sell, book.sell_orders)):
        prices = [o.price_in_ticks for o in orders]
        assert prices == sorted(prices)
        assert all(o.side == side and o.status == OrderStatus.Open for o in orders)
    best_bid, best_ask = book.best_bid(), book.best_ask()
    if book.buy_orders:
        top = [o for o in book.buy_orders if o.price_in_ticks == book.buy_orders[-1].price_in_ticks][0]
        assert best_bid == (top.price_in_ticks, top.quantity)
    if best_bid and best_ask:
        assert best_bid[0] < best_ask[0]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_never_repeats_the_parents_ids():
    Order(Buy, 1, 1.0)  # the parent now holds unused random bytes
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        with os.fdopen(write, "w") as out:
            out.write("\n".join(Order(Buy, 1, 1.0).id for _ in range(50)))
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as inp:
        child = set(inp.read().split())
    os.waitpid(pid, 0)
    parent = {Order(Buy, 1, 1.0).id for _ in range(50)}
    assert len(child) == 50 and not child & parent
