"""Enumerations, orders, fills and the pairwise matching step."""
import operator
import re
import time

import pytest
from hypothesis import given, strategies as st

from interpreter_texts import error_text, probe_class, stand_in
from quorvane import Fill, Order, OrderStatus, OrderType
from reference_book import same, shortest

BUY, SELL = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled
NAN, INF = float("nan"), float("inf")
ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("member, value, text", [
    (BUY, 0, "OrderType.Buy"), (SELL, 1, "OrderType.Sell"), (OPEN, 0, "OrderStatus.Open"),
    (FILLED, 1, "OrderStatus.Filled"), (OrderStatus.Canceled, 2, "OrderStatus.Canceled"),
])
def test_enumeration_values(member, value, text):
    assert (int(member), type(int(member)), repr(member), str(member), bool(member)) == (value, int, text, text, True)
    for convert in (operator.index, float):
        with pytest.raises(TypeError):
            convert(member)
    with pytest.raises(TypeError) as info:
        {member}
    assert str(info.value) == error_text(lambda: {probe_class(__hash__=None)()}, *stand_in(type(member)))


# Equal to a member or an integer of the same value, both ways round; never ordered.
@pytest.mark.parametrize("left, right, equal", [
    (BUY, 0, True), (SELL, True, True), (OPEN, Index(0), True), (BUY, Order(BUY, 1, 1.0).side, True),
    (BUY, SELL, False), (BUY, OPEN, False), (BUY, 0.0, False), (BUY, "Buy", False), (BUY, 2**64, False),
])
def test_enumeration_comparisons(left, right, equal):
    assert ((left == right), (right == left), (left != right), (right != left)) == (equal, equal, not equal, not equal)
    for compare in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError) as info:
            compare(left, right)
        assert str(info.value) == error_text(lambda: compare(probe_class()(), right), *stand_in(type(left)))


# A failed integer conversion means "not comparable"; anything else __index__ raises is the caller's.
@pytest.mark.parametrize("error", [TypeError, OverflowError, ValueError, KeyboardInterrupt])
def test_enumeration_comparison_keeps_what_index_raises(error):
    def hook():
        raise error("raised by __index__")
    other = type("Raising", (), {"__index__": lambda self: hook()})()
    if error in (TypeError, OverflowError):
        assert (BUY == other, BUY != other) == (False, True)
    else:
        with pytest.raises(error, match="raised by __index__"):
            BUY == other


# One case per message, the price tested first; the fuzz target tries the edges of both.
@pytest.mark.parametrize("price, quantity, message", [
    (0, -1.0, "price_in_ticks must be positive"), (False, 1.0, "price_in_ticks must be positive"),
    (1, -0.0, "quantity must be positive"),
])
def test_order_validation(price, quantity, message):
    with pytest.raises(ValueError) as info:
        Order(BUY, price, quantity)
    assert type(info.value) is ValueError and info.value.args == (message,)


def test_order_ids_are_random_version_4_uuids():
    ids = [Order(BUY, 1, 1.0).id for _ in range(400)]
    assert all(ID.fullmatch(i) for i in ids) and len(set(ids)) == len(ids) and {i[19] for i in ids} == set("89ab")
    for position in set(range(36)) - {8, 13, 14, 18, 19, 23}:  # no random digit is stuck
        assert len({i[position] for i in ids}) >= 10, position


@pytest.mark.parametrize("side, price, quantity, text", [
    (BUY, 101, 2.5, "[Buy 2.5 @ 101]"), (SELL, 2**63 - 1, 5, "[Sell 5 @ 9223372036854775807]"),
    (BUY, True, NAN, "[Buy NaN @ 1]"), (SELL, Index(9), INF, "[Sell inf @ 9]"), (BUY, 1, 1e23, f"[Buy 1{'0' * 23} @ 1]"),
])
def test_new_order(side, price, quantity, text):
    before = time.time_ns()
    order = Order(side, price, quantity)
    after = time.time_ns()
    assert before <= order.timestamp <= after
    assert (order.side, order.price_in_ticks, order.status, order.is_open()) == (side, int(price), OPEN, True)
    assert order.side is not order.side and order.status is not OPEN
    assert type(order.quantity) is float and same(order.quantity, float(quantity))
    twin = Order(quantity=quantity, side=side, price_in_ticks=price)
    assert (twin.side, twin.price_in_ticks, repr(twin)[:len(text)]) == (side, int(price), text)
    assert twin.id != order.id
    assert repr(order) == str(order) == f"{text} [{order.id}, placed at {order.timestamp}]"


@given(st.floats(min_value=5e-324, allow_infinity=False))
def test_order_repr_of_any_quantity(quantity):
    assert repr(Order(BUY, 3, quantity)).startswith(f"[Buy {shortest(quantity)} @ 3] [")


# Fixed two decimals, ties to even on the exact value; any finite number against Python's own format.
@given(st.floats(allow_nan=False, allow_infinity=False).map(lambda v: (v, f"{v:.2f}")) | st.sampled_from([
    (3, "3.00"), (0.125, "0.12"), (2.675, "2.67"), (-0.001, "-0.00"), (NAN, "NaN"), (INF, "inf"), (-INF, "-inf")]))
def test_fill_repr(value_text):
    value, text = value_text
    assert repr(Fill(value, 1.0, "A", "B", 5)) == f"[{text} @ 1.00] Buy: A, Sell: B, Filled at 5"
    assert str(Fill(2, value, "", "", 0)) == f"[2.00 @ {text}] Buy: , Sell: , Filled at 0"


def test_fill_constructor():
    fill = Fill(3, -2.5, "é", "Ä" * 40, 2**64 - 1)
    fields = (fill.quantity, fill.price, fill.buy_id, fill.sell_id, fill.timestamp)
    assert fields == (3.0, -2.5, "é", "Ä" * 40, 2**64 - 1) and list(map(type, fields)) == [float, float, str, str, int]
    assert repr(fill) == f"[3.00 @ -2.50] Buy: é, Sell: {'Ä' * 40}, Filled at 18446744073709551615"
    assert repr(Fill(timestamp=2**64 - 1, sell_id="Ä" * 40, buy_id="é", price=-2.5, quantity=3)) == repr(fill)


@pytest.mark.parametrize("side_a, price_a, side_b, price_b, match", [
    (BUY, 100, SELL, 100, True), (BUY, 101, SELL, 100, True), (BUY, 99, SELL, 100, False),
    (BUY, 100, BUY, 100, False), (SELL, 1, SELL, 2**63 - 1, False), (BUY, 2**63 - 1, SELL, 1, True),
])
def test_can_match(side_a, price_a, side_b, price_b, match):
    a, b = Order(side_a, price_a, 1.0), Order(side_b, price_b, 1.0)
    assert (a.can_match(b), b.can_match(other=a), a.fill(b, 1.0) is not None) == (match, match, match)
    left = (0.0, FILLED) if match else (1.0, OPEN)  # no match: fill returns None and changes nothing
    assert (a.can_match(b), (a.quantity, a.status), (b.quantity, b.status)) == (match, left, left)


# A buy at 7 ticks against a sell at 3 ticks, tick size 0.1: the price is 3 * 0.1. One NaN on
# each side; the fuzz target checks the other quantities' arithmetic against its model.
@pytest.mark.parametrize("buy_quantity, sell_quantity, matched, buy_left, sell_left", [
    (10.0, 4.0, 4.0, 6.0, 0.0), (4.0, 10.0, 4.0, 0.0, 6.0), (5.0, 5.0, 5.0, 0.0, 0.0),
    (NAN, 5.0, 5.0, NAN, 0.0), (5.0, NAN, 5.0, 0.0, NAN), (INF, INF, INF, NAN, NAN),
])
@pytest.mark.parametrize("buy_receives", [True, False])
def test_fill(buy_quantity, sell_quantity, matched, buy_left, sell_left, buy_receives):
    buy, sell = Order(BUY, 7, buy_quantity), Order(SELL, 3, sell_quantity)
    before = time.time_ns()
    fill = buy.fill(sell, 0.1) if buy_receives else sell.fill(incoming=buy, tick_size=0.1)
    after = time.time_ns()
    assert type(fill) is Fill and same(fill.quantity, matched) and fill.price == 0.30000000000000004
    assert (fill.buy_id, fill.sell_id) == (buy.id, sell.id) and before <= fill.timestamp <= after
    for order, left in [(buy, buy_left), (sell, sell_left)]:
        assert same(order.quantity, left)
        assert (order.status, order.is_open()) == ((FILLED, False) if left <= 0.0 else (OPEN, True))


def test_fill_after_a_finished_order():
    done, other = Order(SELL, 5, 2.0), Order(BUY, 5, 9.0)
    done.fill(other, 1.0)
    fill = other.fill(done, 1.0)
    assert (fill.quantity, fill.price, fill.buy_id, fill.sell_id) == (0.0, 5.0, other.id, done.id)
    assert [(o.quantity, o.status) for o in (done, other)] == [(0.0, FILLED), (7.0, OPEN)]


@pytest.mark.parametrize("tick_size, price", [(0.0, 0.0), (-0.01, -0.05), (1e308, INF), (NAN, NAN), (2, 10.0)])
def test_fill_price_is_sell_ticks_times_tick_size(tick_size, price):
    assert same(Order(BUY, 9, 1.0).fill(Order(SELL, 5, 1.0), tick_size).price, price)
