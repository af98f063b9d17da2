"""How every call reaches the module: argument binding, the conversion of every
parameter of every callable, access control and re-entrant callers."""
import gc
import os
import subprocess
import sys

import pytest

from quorvane import Fill, Order, OrderBook, OrderStatus, OrderType
from interpreter_texts import interpreter_error, raised, refused
from reference_book import Rec

Buy, Sell = OrderType.Buy, OrderType.Sell


class Number:
    """A number whose conversion first runs `hook`, which may call back into the module or raise."""

    def __init__(self, value, hook=lambda: None):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return float(self.value)

    def __index__(self):
        self.hook()
        return int(self.value)


def raising(kind, cause=None):
    def hook():
        raise kind("bad") from cause
    return Number(1, hook)


class Cancels:
    """Cancels an order when freed and records what the cancel raised (None: it went through)."""

    def __init__(self, book, order_id, seen, cycle=False):
        self.book, self.order_id, self.seen = book, order_id, seen
        self.cycle = self if cycle else None  # a cycle is freed by the collector only

    def __del__(self):
        self.seen.append(raised(lambda: self.book.cancel(self.order_id)))


ReturnsText = type("ReturnsText", (), {"__float__": lambda self: "1.0", "__index__": lambda self: "1"})
SubTypeError = type("SubTypeError", (TypeError,), {})


# One binder serves every callable; a class is also called through __new__,
# which binds from a tuple and a dictionary instead, to the same errors.
@pytest.mark.parametrize("call, args, kwargs, message", [
    (OrderBook, (0.01, 2), {}, "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (Order, (Buy, 1, 1.0, 2), {"nope": 1}, "Order.__new__() takes 3 positional arguments but 4 were given"),
    (Order, (Buy, 1, 1.0), {"side": Sell}, "Order.__new__() got multiple values for argument 'side'"),
    (Order, (), {"\ud800": 1, "side": Buy}, "Order.__new__() got an unexpected keyword argument '\ud800'"),
    (Order, (), {}, "Order.__new__() missing 3 required positional arguments: 'side', 'price_in_ticks', "
                    "and 'quantity'"),
    (Fill, (1.0, 2.0, "a"), {}, "Fill.__new__() missing 2 required positional arguments: 'sell_id' and 'timestamp'"),
    (OrderBook().add, (), {}, "OrderBook.add() missing 1 required positional argument: 'incoming_order'"),
    (Order(Buy, 1, 1.0).is_open, (1,), {}, interpreter_error(lambda: [].copy(1), ("list.copy()", "Order.is_open()"))[1]),
])
def test_binding_errors(call, args, kwargs, message):
    assert raised(lambda: call(*args, **kwargs)) == (TypeError, message)
    if isinstance(call, type):
        assert raised(lambda: call.__new__(call, *args, **kwargs)) == (TypeError, message)


def test_keyword_values_stay_alive_while_later_arguments_convert():
    # The timestamp's conversion empties the keyword dictionary that __new__ binds from, which
    # (merged by **) holds the only reference to the id text: the text must not be freed and reused.
    def empty():
        next(d for d in gc.get_referrers(timestamp) if isinstance(d, dict) and "buy_id" in d).clear()
        empty.filler = ["B" * 3000 for _ in range(50)]
    timestamp = Number(7, empty)
    fill = Fill.__new__(Fill, 1.0, buy_id="".join(["A"] * 3000), **{"sell_id": "s", "price": 2.0, "timestamp": timestamp})
    assert (type(fill), fill.buy_id, fill.timestamp) == (Fill, "A" * 3000, 7)


def test_a_new_or_init_set_from_python_is_honoured():
    script = """if True:
        import quorvane as q
        from interpreter_texts import raised
        B, seen = q.OrderType.Buy, []
        q.Order.__init__ = lambda self, *a, **k: seen.append((a, k))
        assert q.Order(B, 1, quantity=2.0).quantity == 2.0 and seen == [((B, 1), {"quantity": 2.0})], seen
        # A __new__ set from Python is called too; object.__new__ would skip the class's
        # constructor: refused, never a half-made instance.
        for cls in (q.Order, q.Fill, q.OrderBook, q.OrderType):
            cls.__new__ = lambda cls, *a: object.__new__(cls)
            assert raised(cls) == (TypeError, f"cannot create 'builtins.{cls.__name__}' instances"), cls
    """
    subprocess.run([sys.executable, "-c", script], check=True, cwd=os.path.dirname(__file__))


def not_a(target, *values):
    return [(v, TypeError, f"'{type(v).__name__}' object cannot be converted to '{target}'") for v in values]


# Per kind of parameter: (bad value, exception, text), the interpreter's own
# texts taken from it. A conversion TypeError, and only an exact one, is
# renamed "argument '<parameter>': <text>".
RAISING = [(raising(kind), kind, "bad") for kind in (TypeError, SubTypeError, ZeroDivisionError)]
BAD = {
    "double": [*(refused("double", v) for v in ("1.0", None, 10**400, ReturnsText())), *RAISING],
    "int64": [*(refused("int64", v) for v in (1.5, Sell, 2**63, -(2**63) - 1, ReturnsText())), *RAISING],
    "uint64": [*(refused("uint64", v) for v in (1.0, -1, Number(-1), 2**64, ReturnsText())), *RAISING],
    "text": [*not_a("PyString", 5, b"id"), ("\ud800", *interpreter_error(lambda: "\ud800".encode()))],
    "side": not_a("OrderType", "Buy", 0, OrderStatus.Open, Order(Buy, 1, 1.0)),
    "order": not_a("Order", 1, Buy, OrderBook()),
}


def callables():
    """A book, its orders and every callable with parameters: (call, good arguments, "parameter:kind ...")."""
    book, orders = OrderBook(0.01), [Order(Buy, 100, 5.0), Order(Buy, 99, 2.0), Order(Sell, 102, 3.0)]
    assert [book.add(o) for o in orders] == [[], [], []]
    o, other = orders[0], orders[2]  # o crosses with a sell at 100 ticks, not with `other`
    return book, orders, {
        "Order": (Order, [Buy, 100, 1.0], "side:side price_in_ticks:int64 quantity:double"),
        "Fill": (Fill, [1.0, 2.0, "a", "b", 5], "quantity:double price:double buy_id:text sell_id:text timestamp:uint64"),
        "OrderBook": (OrderBook, [0.5], "tick_size:double"),
        "can_match": (o.can_match, [other], "other:order"),
        "fill": (o.fill, [Order(Sell, 100, 1.0), 0.01], "incoming:order tick_size:double"),
        "create_order": (book.create_order, [Sell, 1.0, 1.0], "side:side price:double quantity:double"),
        "add": (book.add, [other], "incoming_order:order"),
        "cancel": (book.cancel, [o.id], "order_id:text"),
        "get_order": (book.get_order, [o.id], "order_id:text"),
        "update_order": (book.update_order, [other], "order:order"),
    }


def bad_arguments():
    for name, (_, _, parameters) in callables()[2].items():
        for index, (parameter, kind) in enumerate(p.split(":") for p in parameters.split()):
            for k, bad in enumerate(BAD[kind]):
                yield pytest.param(name, index, parameter, *bad, id=f"{name}-{parameter}-{k}")


@pytest.mark.parametrize("name, index, parameter, value, error, text", list(bad_arguments()))
def test_bad_argument_raises_exactly_and_changes_nothing(name, index, parameter, value, error, text):
    book, orders, calls = callables()
    call, args, _ = calls[name]
    before = repr(book), [Rec.of(o) for o in book.buy_orders + book.sell_orders + orders]
    args[index] = value
    assert raised(lambda: call(*args)) == (error, (f"argument '{parameter}': " if error is TypeError else "") + text)
    assert (repr(book), [Rec.of(o) for o in book.buy_orders + book.sell_orders + orders]) == before


def test_conversion_keeps_the_cause_and_stops_at_the_first_failure():
    cause, seen = LookupError("root"), []
    with pytest.raises(TypeError) as info:
        Fill(1.0, raising(TypeError, cause), "a", "b", Number(1, lambda: seen.append("timestamp")))
    assert info.value.args == ("argument 'price': bad",) and info.value.__cause__ is cause and seen == []


def test_conversions_run_with_access_held():
    # The argument converted last runs a hook that calls back in and meets the access its call
    # holds. (What a conversion raises and what the call leaves are the bad arguments' to check.)
    order, other, book = Order(Buy, 101, 5.0), Order(Sell, 100, 3.0), OrderBook()
    for call, hook, error in [
        (lambda n: order.fill(other, n), lambda: order.quantity, "Already mutably borrowed"),  # the receiver
        (lambda n: order.fill(other, n), lambda: other.is_open(), "Already mutably borrowed"),  # the incoming order
        (lambda n: book.create_order(Buy, 1.0, n), lambda: (book.best_bid(), book.cancel("x")), "Already borrowed"),
    ]:
        seen = []
        call(Number(1, lambda: seen.append(raised(hook))))
        assert seen == [(RuntimeError, error)], error
        hook()  # every access was released


def test_finalizers_run_by_the_collector_find_the_book_free():
    # Garbage whose finalizer cancels an order, dropped before each call that returns a list or a
    # tuple: before 3.12 the collector may free it at any allocation.
    book, cancels, kept = OrderBook(0.01), [], []
    threshold = gc.get_threshold()
    gc.set_threshold(50)
    try:
        for i in range(3000):
            order = Order(Buy, 1 + i % 7, 1.0)
            Cancels(book, order.id, cancels, cycle=True)
            kept.append((book.add(order), book.best_bid(), book.buy_orders[:1]))
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert cancels == [None] * 3000 and book.buy_orders == []


def test_an_empty_result_is_the_callers_own_list():
    # While a caller holds the list an add returned, the next add returns another;
    # what a caller put in a list it then dropped is freed by a later add, after
    # that add has let the book go.
    book, seen, resting = OrderBook(0.01), [], Order(Sell, 200, 1.0)
    first, second = book.add(resting), book.add(Order(Buy, 100, 1.0))
    assert first == second == [] and first is not second
    second.append(Cancels(book, resting.id, seen))
    del first, second
    assert book.add(Order(Buy, 101, 1.0)) == [] and book.add(Order(Buy, 102, 1.0)) == []
    assert seen == [None] and book.get_order(resting.id) is None
