"""The book's order creation, walk order and summary text at the edges, and
random sessions checked step by step against the plain-Python model."""
import math
import subprocess
import sys
from pathlib import Path

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType
from reference_book import ReferenceBook, same

Buy, Sell = OrderType.Buy, OrderType.Sell
I64_MAX, NAN, INF = 2**63 - 1, math.nan, math.inf
NOT_POSITIVE, NO_TICKS = "Price and quantity must be positive", "Resulting price_in_ticks must be positive"


# Ticks are price / tick_size rounded half away from zero, saturated; the sign test comes
# first. The edges of both are checked against the models (the random sessions, the fuzz target).
@pytest.mark.parametrize("tick_size, price, quantity, expected", [
    (0.01, 0.025, 2.5, 3), (0.0, 1.0, NAN, I64_MAX), (0.01, -1.0, 0.0, NOT_POSITIVE), (0.01, 0.004, 1.0, NO_TICKS),
])
def test_create_order(tick_size, price, quantity, expected):
    book = OrderBook(tick_size)
    try:
        order = book.create_order(side=Sell, price=price, quantity=quantity)
    except ValueError as error:
        assert error.args == (expected,)
    else:  # made, not added
        assert (order.price_in_ticks, order.side, order.status) == (expected, Sell, OrderStatus.Open)
        assert same(order.quantity, quantity) and book.get_order(order.id) is None and book.sell_orders == []


@pytest.mark.parametrize("side", [Buy, Sell])
def test_both_sides_are_walked_by_ascending_price(side):
    book = OrderBook()
    for ticks, quantity in [(98, 1.0), (99, 1.0), (100, 1e16), (100, 1.0)]:
        assert book.add(Order(side, ticks, quantity)) == []
    orders, volume = (book.buy_orders, book.buy_volume()) if side == Buy else (book.sell_orders, book.sell_volume())
    assert [(o.price_in_ticks, o.quantity) for o in orders] == [(98, 1.0), (99, 1.0), (100, 1e16), (100, 1.0)]
    # Summed from the lowest price up, 1 + 1 + 1e16 is exact and the last 1.0 rounds to even
    # upwards; summed from the highest price down, every 1.0 would be lost against 1e16.
    assert volume == 10000000000000004.0
    # A fill the book made renders the ids it made; the default tick is a cent.
    taker = Order(Sell, 100, 1.0) if side == Buy else Order(Buy, 98, 1.0)
    (fill,) = book.add(incoming_order=taker)
    buy, sell, price = (orders[2], taker, "1.00") if side == Buy else (taker, orders[0], "0.98")
    assert repr(fill) == f"[1.00 @ {price}] Buy: {buy.id}, Sell: {sell.id}, Filled at {fill.timestamp}"


# One book per row; its tick size is given by keyword, an int one comes back as a float.
@pytest.mark.parametrize("tick_size, bids, asks, expected", [
    (0.01, [], [], "Best Bid: None, Best Ask: None (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: -0.00"),
    (0.01, [(100, 5.0)], [(101, 2.5)],
     "Best Bid: 5.00 @ 1, Best Ask: 2.50 @ 1.01 (Spread: 0.0100)\nOpen Buy Volume: 5.00, Open Sell Volume: 2.50"),
    (0.5, [(3, 1.0), (4, 3.0), (4, 7.0)], [(7, 1e21)],
     "Best Bid: 3.00 @ 2, Best Ask: 1000000000000000000000.00 @ 3.5 (Spread: 1.5000)\n"
     "Open Buy Volume: 11.00, Open Sell Volume: 1000000000000000000000.00"),
    (0.1, [], [(3, NAN), (4, INF)],
     "Best Bid: None, Best Ask: NaN @ 0.30000000000000004 (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: NaN"),
    (1e-7, [(3, INF)], [(5, 0.005)],
     "Best Bid: inf @ 0.0000003, Best Ask: 0.01 @ 0.0000005 (Spread: 0.0000)\nOpen Buy Volume: inf, Open Sell Volume: 0.01"),
    (-0.01, [(100, 1.0)], [(102, 1.0)],
     "Best Bid: 1.00 @ -1, Best Ask: 1.00 @ -1.02 (Spread: -0.0200)\nOpen Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (1, [], [(I64_MAX, 1.0)],
     "Best Bid: None, Best Ask: 1.00 @ 9223372036854776000 (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: 1.00"),
])
def test_summary_text(tick_size, bids, asks, expected):
    book, model = OrderBook(tick_size=tick_size), ReferenceBook(tick_size)
    assert type(book.tick_size) is float and book.tick_size == tick_size
    for side, levels in ((Buy, bids), (Sell, asks)):
        for ticks, quantity in levels:
            order = Order(side, ticks, quantity)
            assert book.add(order) == [] and model.add(order) == []
    # The model's text is checked too: the random sessions compare the book's against it.
    assert repr(book) == str(book) == repr(model) == expected


def test_random_sessions_agree_with_the_plain_python_book():
    # The soak tool drives the book and the model side by side, comparing after every
    # operation; a short run of it, with a fresh book and tick size every 1,000 operations.
    soak = Path(__file__).resolve().parents[1] / "tools" / "soak.py"
    run = subprocess.run([sys.executable, str(soak), "--ops", "20000", "--jobs", "1", "--fresh-every", "1000"],
                         capture_output=True, text=True, timeout=900)
    assert run.returncode == 0 and "RESULT: no divergences" in run.stdout, run.stdout[-4000:] + run.stderr[-2000:]
