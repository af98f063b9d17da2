"""How every call reaches the module: binding, conversions, access control."""
import pytest

from quorvane import Fill, Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell


def buy(quantity=5.0):
    return Order(BUY, 101, quantity)


def sell(quantity=3.0):
    return Order(SELL, 100, quantity)


def outcome(call):
    try:
        call()
    except BaseException as error:  # the exact type is what is checked
        return type(error), str(error)
    return None


class Number:
    """A number whose conversion first runs `hook`, which may call back into the module."""

    def __init__(self, value, hook=lambda: None):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return float(self.value)

    def __index__(self):
        self.hook()
        return int(self.value)


def raising(error):
    def hook():
        raise error
    return hook


@pytest.mark.parametrize("call, message", [
    (lambda: Order(BUY, 1, 1.0, 2), "Order.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: OrderBook(0.01, 2), "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: buy().can_match(sell(), sell()), "Order.can_match() takes 1 positional arguments but 2 were given"),
    (lambda: Order(BUY, 1, 1.0, 2, nope=1), "Order.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: Order(BUY, 1, 1.0, side=SELL), "Order.__new__() got multiple values for argument 'side'"),
    (lambda: Order(BUY, side=BUY, nope=1), "Order.__new__() got multiple values for argument 'side'"),
    (lambda: buy().fill(sell(), incoming=sell()), "Order.fill() got multiple values for argument 'incoming'"),
    (lambda: OrderBook().add(order=buy()), "OrderBook.add() got an unexpected keyword argument 'order'"),
    (lambda: Order(nope=1, side=BUY), "Order.__new__() got an unexpected keyword argument 'nope'"),
    (Order, "Order.__new__() missing 3 required positional arguments: 'side', 'price_in_ticks', and 'quantity'"),
    (lambda: Order(BUY), "Order.__new__() missing 2 required positional arguments: 'price_in_ticks' and 'quantity'"),
    (lambda: Order(quantity=1), "Order.__new__() missing 2 required positional arguments: 'side' and 'price_in_ticks'"),
    (lambda: Order(BUY, quantity=1.0), "Order.__new__() missing 1 required positional argument: 'price_in_ticks'"),
    (lambda: Fill(1.0, 2.0, "a", "b"), "Fill.__new__() missing 1 required positional argument: 'timestamp'"),
    (Fill, "Fill.__new__() missing 5 required positional arguments: 'quantity', 'price', 'buy_id', 'sell_id', "
           "and 'timestamp'"),
    (lambda: buy().fill(tick_size=0.01), "Order.fill() missing 1 required positional argument: 'incoming'"),
    (lambda: buy().is_open(1), "Order.is_open() takes no arguments (1 given)"),
    (lambda: OrderBook().spread(x=1), "OrderBook.spread() takes no keyword arguments"),
])
def test_binding_errors(call, message):
    assert outcome(call) == (TypeError, message)


@pytest.mark.parametrize("call, kind, message", [
    (lambda: Order("Buy", 1, 1.0), TypeError, "argument 'side': 'str' object cannot be converted to 'OrderType'"),
    (lambda: Order(OrderStatus.Open, "x", "y"), TypeError,
     "argument 'side': 'OrderStatus' object cannot be converted to 'OrderType'"),
    (lambda: Order(BUY, 1.5, 1.0), TypeError,
     "argument 'price_in_ticks': 'float' object cannot be interpreted as an integer"),
    (lambda: Order(BUY, SELL, 1.0), TypeError,
     "argument 'price_in_ticks': 'builtins.OrderType' object cannot be interpreted as an integer"),
    (lambda: Order(BUY, 1, "2"), TypeError, "argument 'quantity': must be real number, not str"),
    (lambda: Order(BUY, 2**63, 1.0), OverflowError, "Python int too large to convert to C long"),
    (lambda: Order(BUY, 1, 10**400), OverflowError, "int too large to convert to float"),
    (lambda: Fill(1.0, None, "a", "b", 1), TypeError, "argument 'price': must be real number, not NoneType"),
    (lambda: Fill(1.0, 1.0, 5, "b", 1), TypeError, "argument 'buy_id': 'int' object cannot be converted to 'PyString'"),
    (lambda: Fill(1.0, 1.0, "a", b"b", 1), TypeError,
     "argument 'sell_id': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Fill(1.0, 1.0, "a", "b", 1.0), TypeError,
     "argument 'timestamp': 'float' object cannot be interpreted as an integer"),
    (lambda: Fill(1.0, 1.0, "a", "b", Number(-1)), OverflowError, "can't convert negative int to unsigned"),
    (lambda: Fill(1.0, 1.0, "a", "b", 2**64), OverflowError, "int too big to convert"),
    (lambda: Fill(1.0, 1.0, "\ud800", "b", 1), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (lambda: OrderBook(tick_size=None), TypeError, "argument 'tick_size': must be real number, not NoneType"),
    (lambda: OrderBook().add(BUY), TypeError,
     "argument 'incoming_order': 'OrderType' object cannot be converted to 'Order'"),
    (lambda: buy().can_match(1), TypeError, "argument 'other': 'int' object cannot be converted to 'Order'"),
    (lambda: buy().fill(OrderBook(), 0.01), TypeError,
     "argument 'incoming': 'OrderBook' object cannot be converted to 'Order'"),
    (lambda: buy().fill(sell(), "x"), TypeError, "argument 'tick_size': must be real number, not str"),
    # Errors from the argument's own conversion: only an exact TypeError is given the parameter's name.
    (lambda: Order(BUY, Number(1, raising(TypeError("bad"))), 1.0), TypeError, "argument 'price_in_ticks': bad"),
    (lambda: Order(BUY, 1, Number(1, raising(ValueError("bad")))), ValueError, "bad"),
    (lambda: Order(BUY, 1, Number(1, raising(ZeroDivisionError("bad")))), ZeroDivisionError, "bad"),
    (lambda: Order(BUY, 1, Number(1, raising(type("Sub", (TypeError,), {})("bad")))), "Sub", "bad"),
])
def test_conversion_errors(call, kind, message):
    seen, text = outcome(call)
    assert (seen if isinstance(kind, type) else seen.__name__, text) == (kind, message)


def test_conversion_keeps_the_cause_and_stops_at_the_first_failure():
    cause, seen = LookupError("root"), []

    def hook():
        raise TypeError("bad") from cause

    with pytest.raises(TypeError) as info:
        Fill(1.0, Number(2.0, hook), "a", "b", Number(1, lambda: seen.append("timestamp")))
    assert info.value.args == ("argument 'price': bad",) and info.value.__cause__ is cause and seen == []
    order = Order(price_in_ticks=Number(7), quantity=Number(2), side=SELL)
    assert (order.price_in_ticks, order.quantity, Order(BUY, True, 1).price_in_ticks) == (7, 2.0, 1)


def test_fill_on_itself_is_refused_and_changes_nothing():
    order = buy(quantity=5.0)
    assert outcome(lambda: order.fill(order, 0.01)) == (RuntimeError, "Already borrowed")
    assert (order.quantity, order.status, order.can_match(order)) == (5.0, OrderStatus.Open, False)


def reentrant_cases():
    order, other, book = buy(), sell(), OrderBook()
    fill, create = (lambda n: order.fill(other, n)), (lambda n: book.create_order(BUY, n, 1.0))
    create_late = lambda n: book.create_order(BUY, 1.0, n)  # noqa: E731
    mutably = "Already mutably borrowed"
    return {  # receiver, call, what the argument's conversion does, the error it meets
        "fill reads receiver": (order, fill, lambda: order.quantity, mutably),
        "fill reads incoming": (order, fill, lambda: other.is_open(), mutably),
        "fill compares": (order, fill, lambda: other.can_match(order), mutably),
        "fill fills back": (order, fill, lambda: other.fill(order, 1.0), "Already borrowed"),
        "create adds": (book, create, lambda: book.add(sell()), "Already borrowed"),
        "create cancels": (book, create_late, lambda: book.cancel("x"), "Already borrowed"),
        "create reads": (book, create, lambda: book.best_bid(), None),
        "constructor holds nothing": (order, lambda n: Order(BUY, n, 1.0), lambda: order.fill(other, 1.0), None),
    }


@pytest.mark.parametrize("name", list(reentrant_cases()))
def test_reentrant_calls(name):
    receiver, call, hook, expected = reentrant_cases()[name]
    seen = []
    call(Number(1, lambda: seen.append(outcome(hook))))
    assert seen == [expected and (RuntimeError, expected)]
    if expected:  # left to propagate, the error comes out unchanged and the call changes nothing
        before = repr(receiver)
        assert outcome(lambda: call(Number(1, hook))) == (RuntimeError, expected)
        assert repr(receiver) == before
    # Every access was released.
    assert receiver.cancel("x") is False if isinstance(receiver, OrderBook) else receiver.fill(sell(), 0.01)
