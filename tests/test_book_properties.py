"""Random trading sessions, checked step by step against the plain-Python book."""
import math

from hypothesis import given, settings, strategies as st

from quorvane import OrderBook, OrderType
# same, same_record and same_top are imported from here by tools/soak.py too.
from reference_book import ReferenceBook, create_check, same, same_record, same_top

SIDES = (OrderType.Buy, OrderType.Sell)
NAN, INF = math.nan, math.inf


def assert_same_book(book, model):
    for orders, expected in ((book.buy_orders, model.buy_orders), (book.sell_orders, model.sell_orders)):
        assert len(orders) == len(expected) and all(map(same_record, orders, expected)), (orders, expected)
    assert same_top(book.best_bid(), model.best_bid()) and same_top(book.best_ask(), model.best_ask())
    for query in ("spread", "buy_volume", "sell_volume"):
        assert same(getattr(book, query)(), getattr(model, query)()), query
    assert repr(book) == repr(model)


def assert_same_fills(fills, trades):
    assert len(fills) == len(trades)
    for f, t in zip(fills, trades):
        assert (f.buy_id, f.sell_id) == (t.buy_id, t.sell_id)
        assert same(f.quantity, t.quantity) and same(f.price, t.price)


plain_quantity = st.integers(1, 9).map(float) | st.sampled_from([0.1, 0.3, 2.675])
odd_quantity = st.sampled_from([NAN, INF, 5e-324, 1e-300, 1e300, 1e16, 0.0, -1.0])
quantity = st.one_of(plain_quantity, plain_quantity, plain_quantity, odd_quantity)
price_ticks = st.integers(97, 103)
odd_price = st.floats() | st.sampled_from([0.004, 0.005, 1.005, 1e300])
pick = st.integers(0, 10**6)
operation = st.one_of(
    st.tuples(st.just("create"), st.sampled_from(SIDES), price_ticks, quantity, st.booleans()),
    st.tuples(st.just("create"), st.sampled_from(SIDES), price_ticks, quantity, st.just(True)),
    st.tuples(st.just("create"), st.sampled_from(SIDES), odd_price, quantity, st.booleans()),
    st.tuples(st.just("add"), pick),
    st.tuples(st.just("cancel"), pick, st.sampled_from(["as is", "upper", "unknown"])),
    st.tuples(st.just("update"), pick),
    st.tuples(st.just("get"), pick, st.booleans()),
    st.tuples(st.just("fill"), pick, pick),
)


@settings(max_examples=400, deadline=None)
@given(tick_size=st.sampled_from([0.01, 0.1, 0.25, 1.0]), session=st.lists(operation, min_size=20, max_size=80))
def test_book_follows_the_reference_model(tick_size, session):
    book, model = OrderBook(tick_size), ReferenceBook(tick_size)
    pool = []  # real Order objects the session has made or fetched
    for op, *args in session:
        if op == "create":
            side, price, qty, add_now = args
            if isinstance(price, int):
                price = price * tick_size
            ticks, error = create_check(price, qty, tick_size)
            try:
                order = book.create_order(side, price, qty)
            except ValueError as e:
                assert e.args == (error,)
                continue
            assert error is None and order.price_in_ticks == ticks and same(order.quantity, qty)
            pool.append(order)
            if add_now:
                assert_same_fills(book.add(order), model.add(order))
        elif pool:
            i = args[0] % len(pool)
            order = pool[i]
            if op == "add":
                assert_same_fills(book.add(order), model.add(order))
            elif op == "cancel":
                order_id = {"as is": order.id, "upper": order.id.upper(), "unknown": order.id[::-1]}[args[1]]
                assert book.cancel(order_id) is model.cancel(order_id)
            elif op == "update":
                assert book.update_order(order=order) is None
                model.update_order(order)
            elif op == "get":
                got, expected = book.get_order(order.id), model.get_order(order.id)
                assert got is None if expected is None else same_record(got, expected)
                if args[1] and got is not None:  # go on with the copy that the book handed out
                    pool[i] = got
            elif op == "fill" and order is not pool[args[1] % len(pool)]:
                order.fill(pool[args[1] % len(pool)], tick_size)
        assert_same_book(book, model)
    for order in pool:
        got, expected = book.get_order(order.id), model.get_order(order.id)
        assert got is None if expected is None else same_record(got, expected)
