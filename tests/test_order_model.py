"""Enumeration comparisons, orders, fills and the pairwise matching step. The
soak that test_book.py runs checks new orders, their validation and every
matching step against the plain-Python model; here are the texts and edges."""
import operator

import pytest
from hypothesis import given, strategies as st

from interpreter_texts import probe_class, raised, raises_like, stand_in
from quorvane import Fill, Order, OrderStatus, OrderType
from test_call_frame import Number, raising

BUY, SELL = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled
NAN, INF = float("nan"), float("inf")


# Equal to a member or an integer of the same value, both ways round; never ordered.
@pytest.mark.parametrize("left, right, equal", [
    (BUY, 0, True), (SELL, True, True), (OPEN, Number(0), True), (BUY, Order(BUY, 1, 1.0).side, True),
    (BUY, SELL, False), (BUY, OPEN, False), (BUY, 0.0, False), (BUY, "Buy", False), (BUY, 2**64, False),
])
def test_enumeration_comparisons(left, right, equal):
    assert ((left == right), (right == left), (left != right), (right != left)) == (equal, equal, not equal, not equal)
    for compare in (operator.lt, operator.le, operator.gt, operator.ge):
        raises_like(lambda: compare(left, right), lambda: compare(probe_class()(), right), *stand_in(type(left)))
    # A failed integer conversion (as for 0.0 and 2**64) means "not comparable"; anything else is the caller's.
    assert raised(lambda: left == raising(KeyboardInterrupt)) == (KeyboardInterrupt, "bad")


# The soak checks each new id's form and that none repeats; here, that every random digit varies.
def test_order_ids_are_random_version_4_uuids():
    ids = [Order(BUY, 1, 1.0).id for _ in range(400)]
    assert {i[19] for i in ids} == set("89ab")
    for position in set(range(36)) - {8, 13, 14, 18, 19, 23}:  # no random digit is stuck
        assert len({i[position] for i in ids}) >= 10, position


# The quantity in its shortest digits, the form the soak checks for prices in the book's text.
@pytest.mark.parametrize("side, price, quantity, text", [
    (BUY, 101, 2.5, "[Buy 2.5 @ 101]"), (SELL, 2**63 - 1, 5, "[Sell 5 @ 9223372036854775807]"),
    (BUY, True, NAN, "[Buy NaN @ 1]"), (SELL, Number(9), INF, "[Sell inf @ 9]"), (BUY, 1, 1e23, f"[Buy 1{'0' * 23} @ 1]"),
])
def test_order_text(side, price, quantity, text):
    order = Order(quantity=quantity, side=side, price_in_ticks=price)  # the text shows where each keyword went
    assert repr(order) == str(order) == f"{text} [{order.id}, placed at {order.timestamp}]"
    # Each read of side and status makes a new object, equal to the member but never the member.
    assert order.side == side and order.side is not order.side and order.side is not side and order.status is not OPEN


# Fixed two decimals, ties to even on the exact value; any finite number against Python's own format.
@given(st.floats(allow_nan=False, allow_infinity=False).map(lambda v: (v, f"{v:.2f}")) | st.sampled_from([
    (3, "3.00"), (0.125, "0.12"), (2.675, "2.67"), (-0.001, "-0.00"), (NAN, "NaN"), (INF, "inf"), (-INF, "-inf")]))
def test_fill_repr(value_text):
    value, text = value_text
    assert repr(Fill(value, 1.0, "A", "B", 5)) == f"[{text} @ 1.00] Buy: A, Sell: B, Filled at 5"
    assert str(Fill(2, value, "", "", 0)) == f"[2.00 @ {text}] Buy: , Sell: , Filled at 0"


def test_fill_constructor():
    fill = Fill(3, -2.5, type("Text", (str,), {})("é"), "Ä" * 40, 2**64 - 1)  # a str subclass is a text
    fields = (fill.quantity, fill.price, fill.buy_id, fill.sell_id, fill.timestamp)
    assert fields == (3.0, -2.5, "é", "Ä" * 40, 2**64 - 1) and list(map(type, fields)) == [float, float, str, str, int]
    assert repr(fill) == f"[3.00 @ -2.50] Buy: é, Sell: {'Ä' * 40}, Filled at 18446744073709551615"


# What each fill takes and leaves, NaN and infinities included, is the soak's to check against the
# model's step; here, by keyword, the sell order's price and is_open() following the status left.
def test_fill():
    buy, sell = Order(BUY, 7, 10.0), Order(SELL, 3, 4.0)
    assert sell.fill(incoming=buy, tick_size=0.1).price == 0.30000000000000004
    assert [(o.quantity, o.status, o.is_open()) for o in (buy, sell)] == [(6.0, OPEN, True), (0.0, FILLED, False)]
