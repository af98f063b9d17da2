import math

import pytest

from quorvane import Order, OrderBook, OrderStatus, OrderType
from reference_book import ReferenceBook

Buy, Sell = OrderType.Buy, OrderType.Sell
I64_MAX = 2**63 - 1
NAN, INF = math.nan, math.inf
EMPTY_SUMMARY = "Best Bid: None, Best Ask: None (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: -0.00"


def fields(o):
    return (o.id, int(o.side), o.price_in_ticks, o.quantity, int(o.status), o.timestamp)


def place(book, side, ticks, quantity):
    order = Order(side, ticks, quantity)
    return order, book.add(order)


def trades(fills):
    return [(f.quantity, f.price, f.buy_id, f.sell_id) for f in fills]


def level_view(orders):
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


def state(book, order):
    record = book.get_order(order.id)
    return None if record is None else (record.quantity, record.status)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, 0.01), ((0.5,), {}, 0.5), ((), {"tick_size": 1}, 1.0), ((0,), {}, 0.0), ((-1.0,), {}, -1.0),
])
def test_construction_keeps_tick_size(args, kwargs, expected):
    book = OrderBook(*args, **kwargs)
    assert type(book.tick_size) is float and book.tick_size == expected
    assert repr(book) == str(book) == EMPTY_SUMMARY
    with pytest.raises(AttributeError):
        book.tick_size = 0.5


def test_construction_rejects_none_tick_size():
    with pytest.raises(TypeError, match="tick_size"):
        OrderBook(None)


@pytest.mark.parametrize("tick_size, price, ticks", [
    (0.01, 0.025, 3), (0.01, 0.005, 1), (0.01, 1.005, 100), (0.01, 0.035, 4), (0.01, 1.01, 101),
    (0.5, 1.25, 3), (0.01, 0.0251, 3), (0.0, 1.0, I64_MAX), (0.01, INF, I64_MAX), (1.0, 1e300, I64_MAX),
])
def test_create_order_rounds_half_away_and_saturates(tick_size, price, ticks):
    book = OrderBook(tick_size)
    order = book.create_order(Sell, price, 2.5)
    assert (order.price_in_ticks, order.side, order.quantity, order.status) == (ticks, Sell, 2.5, OrderStatus.Open)
    assert book.get_order(order.id) is None and repr(book) == EMPTY_SUMMARY


NOT_POSITIVE, NO_TICKS = "Price and quantity must be positive", "Resulting price_in_ticks must be positive"


@pytest.mark.parametrize("tick_size, price, quantity, message", [
    (0.01, 0.0, 1.0, NOT_POSITIVE), (0.01, -0.0, 1.0, NOT_POSITIVE), (0.01, -1.0, 0.0, NOT_POSITIVE),
    (0.01, 1.0, 0.0, NOT_POSITIVE), (0.01, 1.0, -0.0, NOT_POSITIVE), (0.01, 1.0, -1.0, NOT_POSITIVE),
    (0.01, 0.004, 1.0, NO_TICKS), (0.01, NAN, 1.0, NO_TICKS), (-0.01, 1.0, 1.0, NO_TICKS),
    (INF, 1.0, 1.0, NO_TICKS), (NAN, 1.0, 1.0, NO_TICKS), (0.01, 1e-300, 1.0, NO_TICKS),
])
def test_create_order_rejects(tick_size, price, quantity, message):
    with pytest.raises(ValueError) as err:
        OrderBook(tick_size).create_order(Buy, price, quantity)
    assert err.value.args == (message,)


def test_create_order_makes_fresh_orders_by_keyword_too():
    book = OrderBook()
    a = book.create_order(side=Buy, price=1.0, quantity=NAN)
    b = book.create_order(Buy, 1.0, NAN)
    assert a.id != b.id and a.price_in_ticks == b.price_in_ticks == 100 and math.isnan(a.quantity)


def test_buy_sweeps_asks_in_price_order_and_rests_its_remainder():
    book = OrderBook()
    a101, _ = place(book, Sell, 101, 5.0)
    a100, _ = place(book, Sell, 100, 5.0)
    a103, _ = place(book, Sell, 103, 5.0)
    buy, fills = place(book, Buy, 101, 12.0)
    assert trades(fills) == [(5.0, 100 * 0.01, buy.id, a100.id), (5.0, 101 * 0.01, buy.id, a101.id)]
    assert level_view(book.sell_orders) == [(a103.id, 103, 5.0)]
    assert level_view(book.buy_orders) == [(buy.id, 101, 2.0)]
    assert state(book, a100) == state(book, a101) == (0.0, OrderStatus.Filled)
    assert state(book, buy) == (2.0, OrderStatus.Open)
    assert (buy.quantity, buy.status, buy.is_open()) == (12.0, OrderStatus.Open, True)


def test_partly_filled_front_order_keeps_its_place():
    book = OrderBook()
    a, _ = place(book, Sell, 100, 5.0)
    b, _ = place(book, Sell, 100, 5.0)
    first, fills = place(book, Buy, 100, 3.0)
    assert trades(fills) == [(3.0, 1.0, first.id, a.id)]
    assert level_view(book.sell_orders) == [(a.id, 100, 2.0), (b.id, 100, 5.0)]
    assert book.best_ask() == (100, 2.0) and state(book, first) == (0.0, OrderStatus.Filled)
    second, fills = place(book, Buy, 102, 4.0)
    assert trades(fills) == [(2.0, 1.0, second.id, a.id), (2.0, 1.0, second.id, b.id)]
    assert level_view(book.sell_orders) == [(b.id, 100, 3.0)] and book.buy_orders == []


def test_incoming_sell_trades_at_its_own_price():
    book = OrderBook()
    bid, _ = place(book, Buy, 100, 4.0)
    sell, fills = place(book, Sell, 99, 10.0)
    assert trades(fills) == [(4.0, 99 * 0.01, bid.id, sell.id)]
    assert book.buy_orders == [] and level_view(book.sell_orders) == [(sell.id, 99, 6.0)]
    assert book.best_bid() is None and book.best_ask() == (99, 6.0)


@pytest.mark.parametrize("side, resting_at, incoming_at, trades_count", [
    (Buy, 100, 100, 1), (Buy, 100, 99, 0), (Sell, 100, 100, 1), (Sell, 100, 101, 0),
])
def test_equal_prices_cross_one_tick_away_does_not(side, resting_at, incoming_at, trades_count):
    book = OrderBook()
    resting, _ = place(book, Sell if side == Buy else Buy, resting_at, 5.0)
    incoming, fills = place(book, side, incoming_at, 5.0)
    assert len(fills) == trades_count
    expected = (0.0, OrderStatus.Filled) if trades_count else (5.0, OrderStatus.Open)
    assert state(book, resting) == state(book, incoming) == expected
    assert len(book.buy_orders) + len(book.sell_orders) == 2 - 2 * trades_count


@pytest.mark.parametrize("resting_quantity, incoming_quantity", [(INF, INF), (NAN, NAN), (INF, NAN), (NAN, INF)])
def test_two_unbounded_quantities_trade_once_then_both_rest(resting_quantity, incoming_quantity):
    book = OrderBook()
    bid, _ = place(book, Buy, 100, resting_quantity)
    sell, fills = place(book, Sell, 100, incoming_quantity)
    assert [(f.buy_id, f.sell_id) for f in fills] == [(bid.id, sell.id)]
    assert [o.id for o in book.buy_orders + book.sell_orders] == [bid.id, sell.id]
    for record in (book.get_order(bid.id), book.get_order(sell.id)):
        assert math.isnan(record.quantity) and record.status == OrderStatus.Open


def test_order_not_open_is_recorded_but_never_matched_or_queued():
    book = OrderBook()
    ask, _ = place(book, Sell, 100, 5.0)
    spent = Order(Buy, 101, 2.0)
    assert spent.fill(Order(Sell, 101, 2.0), 0.01) is not None and spent.status == OrderStatus.Filled
    assert book.add(incoming_order=spent) == []
    assert state(book, spent) == (0.0, OrderStatus.Filled)
    assert book.buy_orders == [] and level_view(book.sell_orders) == [(ask.id, 100, 5.0)]
    with pytest.raises(TypeError, match="order"):
        book.add(order=spent)


def test_same_order_added_twice_rests_twice_under_one_record():
    book = OrderBook()
    bid = Order(Buy, 100, 5.0)
    assert book.add(bid) == [] and book.add(bid) == []
    assert level_view(book.buy_orders) == [(bid.id, 100, 5.0)] * 2 and book.buy_volume() == 10.0
    sell, fills = place(book, Sell, 100, 7.0)
    assert trades(fills) == [(5.0, 1.0, bid.id, sell.id), (2.0, 1.0, bid.id, sell.id)]
    assert state(book, bid) == (3.0, OrderStatus.Open) and book.best_bid() == (100, 3.0)
    book.add(bid)
    assert book.cancel(bid.id) is True and book.buy_orders == [] and book.best_bid() is None


def test_cancel_takes_orders_out_and_moves_the_best_level():
    book = OrderBook()
    b99, _ = place(book, Buy, 99, 1.0)
    b100, _ = place(book, Buy, 100, 2.0)
    ask, _ = place(book, Sell, 103, 3.0)
    a, _ = place(book, Sell, 104, 1.0)
    b, _ = place(book, Sell, 104, 2.0)
    c, _ = place(book, Sell, 104, 3.0)
    assert book.spread() == 0.01 * 3
    assert book.cancel(b100.id) is True and book.cancel(b100.id) is False
    assert book.best_bid() == (99, 1.0) and book.spread() == 0.01 * 4
    assert book.cancel(b.id) and level_view(book.sell_orders)[1:] == [(a.id, 104, 1.0), (c.id, 104, 3.0)]
    assert book.cancel(ask.id) and book.best_ask() == (104, 1.0)
    assert book.cancel(b99.id.upper()) is False and book.get_order(b99.id.upper()) is None
    assert book.cancel("not an id") is False and book.best_bid() == (99, 1.0)


def test_filled_order_stays_recorded_until_cancelled():
    book = OrderBook()
    ask, _ = place(book, Sell, 100, 2.0)
    place(book, Sell, 101, 4.0)
    place(book, Buy, 100, 2.0)
    before = level_view(book.sell_orders)
    assert state(book, ask) == (0.0, OrderStatus.Filled)
    assert book.cancel(ask.id) is True
    assert book.get_order(ask.id) is None and level_view(book.sell_orders) == before


def test_get_order_returns_detached_copies():
    book = OrderBook()
    bid, _ = place(book, Buy, 100, 5.0)
    one, two = book.get_order(bid.id), book.get_order(bid.id)
    assert one is not two and one != two and fields(one) == fields(two) == fields(bid)
    one.fill(Order(Sell, 100, 1.0), 0.01)
    assert book.get_order(bid.id).quantity == 5.0
    lists = book.buy_orders, book.buy_orders
    assert lists[0] is not lists[1] and lists[0][0] is not lists[1][0]
    assert [fields(o) for o in lists[0]] == [fields(o) for o in lists[1]]


def test_update_order_records_an_order_without_queueing_it():
    book = OrderBook()
    order = book.create_order(Sell, 1.0, 3.0)
    assert book.get_order(order.id) is None and book.cancel(order.id) is False
    assert book.update_order(order) is None and book.update_order(order=order) is None
    assert fields(book.get_order(order.id)) == fields(order)
    assert book.sell_orders == [] and book.cancel(order.id) is True and book.get_order(order.id) is None


def test_update_order_lets_record_and_queue_copy_diverge():
    book = OrderBook()
    bid, _ = place(book, Buy, 100, 5.0)
    stale = book.get_order(bid.id)
    stale.fill(Order(Sell, 100, 3.0), 0.01)
    book.update_order(stale)
    assert state(book, bid) == (2.0, OrderStatus.Open)
    assert book.best_bid() == (100, 5.0) and book.buy_volume() == 5.0 and book.buy_orders[0].quantity == 5.0
    sell, fills = place(book, Sell, 100, 4.0)
    assert trades(fills) == [(4.0, 1.0, bid.id, sell.id)]
    assert state(book, bid) == (1.0, OrderStatus.Open) and book.best_bid() == (100, 1.0)
    stale.fill(Order(Sell, 100, 9.0), 0.01)
    book.update_order(stale)
    assert state(book, bid) == (0.0, OrderStatus.Filled) and book.best_bid() == (100, 1.0)
    assert book.cancel(bid.id) is True and book.buy_orders == []


def test_empty_book_queries():
    book = OrderBook()
    assert book.buy_orders == [] and book.sell_orders == []
    assert book.best_bid() is None and book.best_ask() is None and book.spread() is None
    for volume in (book.buy_volume(), book.sell_volume()):
        assert volume == 0.0 and math.copysign(1.0, volume) == -1.0


@pytest.mark.parametrize("side, prices", [(Buy, (98, 99, 100)), (Sell, (101, 102, 103))])
def test_sides_are_walked_by_ascending_price(side, prices):
    book = OrderBook()
    for ticks, quantity in zip(prices, (1.0, 1.0, 1e16)):
        place(book, side, ticks, quantity)
    place(book, side, prices[-1], 1.0)
    orders = book.buy_orders if side == Buy else book.sell_orders
    assert [(o.price_in_ticks, o.quantity) for o in orders] == [(prices[0], 1.0), (prices[1], 1.0),
                                                               (prices[2], 1e16), (prices[2], 1.0)]
    # Summed from the lowest price up, 1 + 1 + 1e16 is exact and the last 1.0 rounds to even
    # upwards; summed from the highest price down, every 1.0 would be lost against 1e16.
    volume = book.buy_volume() if side == Buy else book.sell_volume()
    assert volume == 10000000000000004.0
    best = book.best_bid() if side == Buy else book.best_ask()
    assert best == ((prices[-1], 1e16) if side == Buy else (prices[0], 1.0))


SUMMARIES = [
    (0.01, [], [], EMPTY_SUMMARY),
    (0.01, [(100, 5.0)], [(101, 2.5)],
     "Best Bid: 5.00 @ 1, Best Ask: 2.50 @ 1.01 (Spread: 0.0100)\nOpen Buy Volume: 5.00, Open Sell Volume: 2.50"),
    (0.01, [(100, 0.125)], [(102, 0.375)],
     "Best Bid: 0.12 @ 1, Best Ask: 0.38 @ 1.02 (Spread: 0.0200)\nOpen Buy Volume: 0.12, Open Sell Volume: 0.38"),
    (0.01, [(99, 2.675)], [],
     "Best Bid: 2.67 @ 0.99, Best Ask: None (Spread: None)\nOpen Buy Volume: 2.67, Open Sell Volume: -0.00"),
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
]


@pytest.mark.parametrize("tick_size, bids, asks, expected", SUMMARIES)
def test_summary_text(tick_size, bids, asks, expected):
    book, model = OrderBook(tick_size), ReferenceBook(tick_size)
    for side, levels in ((Buy, bids), (Sell, asks)):
        for ticks, quantity in levels:
            order = Order(side, ticks, quantity)
            assert book.add(order) == [] and model.add(order) == []
    assert repr(book) == expected
    assert repr(model) == expected
