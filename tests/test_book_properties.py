"""Random trading sessions, checked step by step against the plain-Python book."""
import math

from hypothesis import given, settings, strategies as st

from quorvane import OrderBook, OrderType
from reference_book import Rec, ReferenceBook, create_check

SIDES = (OrderType.Buy, OrderType.Sell)
NAN, INF = math.nan, math.inf


def same(a, b):
    """Float equality that tells -0.0 from 0.0 and lets NaN equal NaN."""
    if a is None or b is None:
        return a is b
    if a != a or b != b:
        return a != a and b != b
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def same_record(order, rec):
    got = Rec.of(order)
    return got._replace(quantity=0.0) == rec._replace(quantity=0.0) and same(got.quantity, rec.quantity)


def same_top(top, expected):
    if top is None or expected is None:
        return top is expected
    return top[0] == expected[0] and same(top[1], expected[1])


def assert_same_book(book, model):
    for orders, expected in ((book.buy_orders, model.buy_orders), (book.sell_orders, model.sell_orders)):
        assert len(orders) == len(expected)
        assert all(same_record(o, r) for o, r in zip(orders, expected)), (orders, expected)
    assert same_top(book.best_bid(), model.best_bid()) and same_top(book.best_ask(), model.best_ask())
    assert same(book.spread(), model.spread())
    assert same(book.buy_volume(), model.buy_volume()) and same(book.sell_volume(), model.sell_volume())
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
    st.tuples(st.just("get"), pick),
    st.tuples(st.just("refetch"), pick),
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
        elif not pool:
            continue
        elif op == "add":
            order = pool[args[0] % len(pool)]
            assert_same_fills(book.add(order), model.add(order))
        elif op == "cancel":
            order_id = pool[args[0] % len(pool)].id
            order_id = {"as is": order_id, "upper": order_id.upper(), "unknown": order_id[::-1]}[args[1]]
            assert book.cancel(order_id) is model.cancel(order_id)
        elif op == "update":
            order = pool[args[0] % len(pool)]
            assert book.update_order(order) is None
            model.update_order(order)
        elif op in ("get", "refetch"):
            i = args[0] % len(pool)
            got, expected = book.get_order(pool[i].id), model.get_order(pool[i].id)
            assert got is None if expected is None else same_record(got, expected)
            if op == "refetch" and got is not None:
                pool[i] = got
        elif op == "fill":
            mine, other = pool[args[0] % len(pool)], pool[args[1] % len(pool)]
            if mine is not other:
                mine.fill(other, tick_size)
        assert_same_book(book, model)
    for order in pool:
        got, expected = book.get_order(order.id), model.get_order(order.id)
        assert got is None if expected is None else same_record(got, expected)


@settings(max_examples=1500, deadline=None)
@given(tick_size=st.floats() | st.sampled_from([0.01, 0.1, 0.05, 1e-9]), price=st.floats(), qty=st.floats())
def test_create_order_agrees_on_rounding_and_rejections(tick_size, price, qty):
    ticks, error = create_check(price, qty, tick_size)
    try:
        order = OrderBook(tick_size).create_order(OrderType.Buy, price, qty)
    except ValueError as e:
        assert e.args == (error,)
    else:
        assert error is None and order.price_in_ticks == ticks
