"""Trading sessions that pin down the book's rules one at a time; random sessions
against the plain-Python model are in test_book_properties.py."""
import math

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType
from reference_book import Rec, ReferenceBook, same

Buy, Sell = OrderType.Buy, OrderType.Sell
OPEN, FILLED = OrderStatus.Open, OrderStatus.Filled
I64_MAX, NAN, INF = 2**63 - 1, math.nan, math.inf


def place(book, side, ticks, quantity):
    order = Order(side, ticks, quantity)
    return order, trades(book.add(order))


def trades(fills):
    return [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]


def queue(orders):
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


def state(book, order):
    record = book.get_order(order.id)
    return None if record is None else (record.quantity, record.status)


@pytest.mark.parametrize("args, kwargs, tick_size", [
    ((), {}, 0.01), ((0.5,), {}, 0.5), ((), {"tick_size": 1}, 1.0), ((0,), {}, 0.0), ((-1.0,), {}, -1.0),
])
def test_new_book_is_empty_and_keeps_its_tick_size(args, kwargs, tick_size):
    book = OrderBook(*args, **kwargs)
    assert type(book.tick_size) is float and book.tick_size == tick_size
    assert book.buy_orders == book.sell_orders == [] and book.best_bid() is book.best_ask() is book.spread() is None
    assert [(v, math.copysign(1.0, v)) for v in (book.buy_volume(), book.sell_volume())] == [(0.0, -1.0)] * 2


NOT_POSITIVE, NO_TICKS = "Price and quantity must be positive", "Resulting price_in_ticks must be positive"


@pytest.mark.parametrize("tick_size, price, quantity, expected", [
    # price / tick_size, rounded half away from zero and saturated: the ticks
    (0.01, 0.025, 2.5, 3), (0.01, 0.005, 2.5, 1), (0.01, 1.005, 2.5, 100), (0.0, 1.0, 2.5, I64_MAX),
    (1.0, 1e300, NAN, I64_MAX),
    # the sign test comes first, then the tick test
    (0.01, -1.0, 0.0, NOT_POSITIVE), (0.01, 1.0, -0.0, NOT_POSITIVE), (0.01, 0.004, 1.0, NO_TICKS),
    (0.01, NAN, 1.0, NO_TICKS), (-0.01, 1.0, 1.0, NO_TICKS),
])
def test_create_order(tick_size, price, quantity, expected):
    book = OrderBook(tick_size)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            book.create_order(Buy, price, quantity)
        assert info.value.args == (expected,)
        return
    order, twin = book.create_order(side=Sell, price=price, quantity=quantity), book.create_order(Sell, price, quantity)
    assert (order.price_in_ticks, order.side, order.status) == (expected, Sell, OPEN) and same(order.quantity, quantity)
    assert twin.id != order.id and twin.price_in_ticks == expected
    assert book.get_order(order.id) is None and book.sell_orders == []


def test_buy_sweeps_asks_by_price_and_rests_its_remainder():
    book = OrderBook()
    a101, _ = place(book, Sell, 101, 5.0)
    a100, _ = place(book, Sell, 100, 5.0)
    a102, _ = place(book, Sell, 102, 5.0)
    buy, fills = place(book, Buy, 101, 12.0)
    assert fills == [(5.0, 100 * 0.01, buy.id, a100.id), (5.0, 101 * 0.01, buy.id, a101.id)]
    assert queue(book.sell_orders) == [(a102.id, 102, 5.0)] and queue(book.buy_orders) == [(buy.id, 101, 2.0)]
    assert state(book, a100) == state(book, a101) == (0.0, FILLED) and state(book, buy) == (2.0, OPEN)
    # The caller's Order is not the book's: it keeps what it had.
    assert (buy.quantity, buy.status, buy.is_open()) == (12.0, OPEN, True)
    # A filled order stays recorded, off the queues, until it is cancelled.
    assert book.cancel(a100.id) is True and book.get_order(a100.id) is None
    assert queue(book.sell_orders) == [(a102.id, 102, 5.0)] and book.best_bid() == (101, 2.0)


def test_incoming_sell_trades_at_its_own_price():
    book = OrderBook()
    b100, _ = place(book, Buy, 100, 4.0)
    b99, _ = place(book, Buy, 99, 1.0)
    b98, _ = place(book, Buy, 98, 2.0)
    sell, fills = place(book, Sell, 99, 10.0)
    assert fills == [(4.0, 99 * 0.01, b100.id, sell.id), (1.0, 99 * 0.01, b99.id, sell.id)]
    assert queue(book.buy_orders) == [(b98.id, 98, 2.0)] and queue(book.sell_orders) == [(sell.id, 99, 5.0)]
    assert book.best_bid() == (98, 2.0) and book.best_ask() == (99, 5.0)
    # A trade's fill renders the ids as the book made them.
    taker = Order(Buy, 99, 1.0)
    (fill,) = book.add(taker)
    assert repr(fill) == f"[1.00 @ 0.99] Buy: {taker.id}, Sell: {sell.id}, Filled at {fill.timestamp}"


def test_order_not_open_is_recorded_but_never_matched_or_queued():
    book = OrderBook()
    ask, _ = place(book, Sell, 100, 5.0)
    spent = Order(Buy, 101, 2.0)
    spent.fill(Order(Sell, 101, 2.0), 0.01)
    assert book.add(incoming_order=spent) == [] and state(book, spent) == (0.0, FILLED)
    assert book.buy_orders == [] and queue(book.sell_orders) == [(ask.id, 100, 5.0)]


def test_same_order_added_twice_rests_twice_under_one_record():
    book = OrderBook()
    bid = Order(Buy, 100, 5.0)
    assert book.add(bid) == [] and book.add(bid) == []
    assert queue(book.buy_orders) == [(bid.id, 100, 5.0)] * 2 and book.buy_volume() == 10.0
    sell, fills = place(book, Sell, 100, 7.0)
    assert fills == [(5.0, 1.0, bid.id, sell.id), (2.0, 1.0, bid.id, sell.id)]
    assert state(book, bid) == (3.0, OPEN) and book.best_bid() == (100, 3.0)
    book.add(bid)
    assert book.cancel(bid.id) is True and book.buy_orders == [] and book.best_bid() is None


def test_update_order_writes_the_record_and_never_a_queue():
    book = OrderBook()
    lone = book.create_order(Sell, 1.0, 3.0)
    assert book.update_order(lone) is None and Rec.of(book.get_order(lone.id)) == Rec.of(lone)
    assert book.sell_orders == [] and book.cancel(lone.id) is True and book.get_order(lone.id) is None
    bid, _ = place(book, Buy, 100, 5.0)
    stale = book.get_order(bid.id)
    stale.fill(Order(Sell, 100, 3.0), 0.01)
    assert book.update_order(order=stale) is None and state(book, bid) == (2.0, OPEN)
    assert book.best_bid() == (100, 5.0) and book.buy_volume() == 5.0 and book.buy_orders[0].quantity == 5.0
    # Matching refreshes the record from the queue copy.
    sell, fills = place(book, Sell, 100, 4.0)
    assert fills == [(4.0, 1.0, bid.id, sell.id)] and state(book, bid) == (1.0, OPEN)
    stale.fill(Order(Sell, 100, 9.0), 0.01)
    book.update_order(stale)
    assert state(book, bid) == (0.0, FILLED) and book.best_bid() == (100, 1.0)
    assert book.cancel(bid.id) is True and book.buy_orders == []


@pytest.mark.parametrize("side", [Buy, Sell])
def test_both_sides_are_walked_by_ascending_price(side):
    book = OrderBook()
    for ticks, quantity in [(98, 1.0), (99, 1.0), (100, 1e16), (100, 1.0)]:
        place(book, side, ticks, quantity)
    orders, volume = (book.buy_orders, book.buy_volume()) if side == Buy else (book.sell_orders, book.sell_volume())
    assert [(o.price_in_ticks, o.quantity) for o in orders] == [(98, 1.0), (99, 1.0), (100, 1e16), (100, 1.0)]
    # Summed from the lowest price up, 1 + 1 + 1e16 is exact and the last 1.0 rounds to even
    # upwards; summed from the highest price down, every 1.0 would be lost against 1e16.
    assert volume == 10000000000000004.0


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
    (1.0, [], [(I64_MAX, 1.0)],
     "Best Bid: None, Best Ask: 1.00 @ 9223372036854776000 (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: 1.00"),
])
def test_summary_text(tick_size, bids, asks, expected):
    book, model = OrderBook(tick_size), ReferenceBook(tick_size)
    for side, levels in ((Buy, bids), (Sell, asks)):
        for ticks, quantity in levels:
            order = Order(side, ticks, quantity)
            assert book.add(order) == [] and model.add(order) == []
    # The model's text is checked too: the random sessions compare the book's against it.
    assert repr(book) == str(book) == repr(model) == expected
