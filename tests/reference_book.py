"""A plain-Python model of quorvane's order book, written for clarity: price-time
priority, a record index by id next to per-price FIFO queues of immutable `Rec`
copies (so a record and its queue copy never alias), fills priced at the sell
order's ticks, the same summary text. Sides and statuses are plain ints."""
from collections import deque, namedtuple
from decimal import ROUND_HALF_UP, Decimal
from functools import partialmethod, reduce
import math
import operator

BUY, SELL = 0, 1
OPEN, FILLED, CANCELED = 0, 1, 2
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)


class Rec(namedtuple("Rec", "id side price_in_ticks quantity status timestamp")):
    __slots__ = ()

    @classmethod
    def of(cls, order):
        """The value of a quorvane.Order (or of a Rec) as a Rec."""
        return order if isinstance(order, Rec) else cls(
            order.id, int(order.side), order.price_in_ticks, order.quantity, int(order.status), order.timestamp)


Trade = namedtuple("Trade", "quantity price buy_id sell_id")


def same(a, b):
    """Float equality that tells -0.0 from 0.0 and lets NaN equal NaN (as they print); None equals only None."""
    return a is b if a is None or b is None else repr(float(a)) == repr(float(b))


def same_record(order, rec):
    got = Rec.of(order)
    return got._replace(quantity=0.0) == rec._replace(quantity=0.0) and same(got.quantity, rec.quantity)


def same_top(top, expected):
    return top is expected if top is None or expected is None else top[0] == expected[0] and same(top[1], expected[1])


def fixed(x: float, decimals: int) -> str:
    """Exact value rounded to `decimals` places, ties to even; NaN and infinities spelled NaN, inf, -inf."""
    return "NaN" if x != x else format(x, f".{decimals}f")


def shortest(x: float) -> str:
    """Fewest digits that read back as x, positional, no '.0' on whole values."""
    return fixed(x, 0) if x != x or math.isinf(x) else format(Decimal(repr(x)).normalize(), "f")


def ticks_for(price: float, tick_size: float) -> int:
    """price / tick_size rounded half away from zero, saturated to int64 (infinities too; NaN gives 0)."""
    # Python raises on a zero of either sign; IEEE division gives price times an infinity of the zero's sign.
    q = price / tick_size if tick_size else price * math.copysign(math.inf, tick_size)
    return 0 if q != q else int(max(I64_MIN, min(I64_MAX, Decimal(q).to_integral_value(ROUND_HALF_UP))))


def create_check(price: float, quantity: float, tick_size: float):
    """(ticks, None) for an order create_order accepts, else (None, message)."""
    if price <= 0.0 or quantity <= 0.0:
        return None, "Price and quantity must be positive"
    ticks = ticks_for(price, tick_size)
    return (ticks, None) if ticks >= 1 else (None, "Resulting price_in_ticks must be positive")


def fill_step(resting: Rec, incoming: Rec, tick_size: float):
    """One pairwise trade between crossing orders: (resting', incoming', Trade)."""
    a, b = resting.quantity, incoming.quantity
    m = b if a != a else a if b != b else b if b < a else a
    after = [r._replace(quantity=(left := r.quantity - m), status=FILLED if left <= 0.0 else r.status)
             for r in (resting, incoming)]
    buy, sell = after if resting.side == BUY else after[::-1]
    return *after, Trade(m, float(sell.price_in_ticks) * tick_size, buy.id, sell.id)


class ReferenceBook:
    def __init__(self, tick_size: float = 0.01):
        self.tick_size = float(tick_size)
        self.orders: dict[str, Rec] = {}
        self.queues = ({}, {})  # per side: price -> deque of queue copies, never empty

    @property
    def levels(self):
        """side -> (price -> queue, ascending list of prices)."""
        return {side: (queues, sorted(queues)) for side, queues in enumerate(self.queues)}

    def add(self, order) -> list[Trade]:
        incoming, trades = Rec.of(order), []
        # The other side from its best price: the lowest ask for a buy, the highest bid for a sell.
        queues, best = (self.queues[SELL], min) if incoming.side == BUY else (self.queues[BUY], max)
        while incoming.status == OPEN and queues:
            price = best(queues)
            if best(price, incoming.price_in_ticks) != price:
                break  # no longer crosses
            queue = queues[price]
            resting, incoming, trade = fill_step(queue.popleft(), incoming, self.tick_size)
            trades.append(trade)
            self.orders[resting.id] = resting
            if resting.status == OPEN:  # so the incoming order is done, or neither is (two non-finite quantities)
                queue.appendleft(resting)
                break
            if not queue:
                del queues[price]
        if incoming.status == OPEN:
            self.queues[incoming.side].setdefault(incoming.price_in_ticks, deque()).append(incoming)
        self.orders[incoming.id] = incoming
        return trades

    def cancel(self, order_id: str) -> bool:
        if (record := self.orders.pop(order_id, None)) is not None:
            # Every queue copy of the id at the record's level goes (an order added twice rests twice).
            queues, price = self.queues[record.side], record.price_in_ticks
            if kept := deque(r for r in queues.pop(price, ()) if r.id != order_id):
                queues[price] = kept
        return record is not None

    def get_order(self, order_id: str) -> Rec | None:
        return self.orders.get(order_id)

    def update_order(self, order) -> None:
        self.orders[order.id] = Rec.of(order)

    # Queries read queue copies only, walking ascending prices, front to back.
    def resting(self, side: int) -> list[Rec]:
        queues = self.queues[side]
        return [r for p in sorted(queues) for r in queues[p]]

    buy_orders, sell_orders = property(lambda self: self.resting(BUY)), property(lambda self: self.resting(SELL))

    def _top(self, side: int):
        price = (max if side == BUY else min)(queues := self.queues[side], default=None)
        return None if price is None else (price, queues[price][0].quantity)

    best_bid, best_ask = partialmethod(_top, BUY), partialmethod(_top, SELL)

    def volume(self, side: int) -> float:
        """One float addition at a time from -0.0, in walk order (never sum(): it compensates)."""
        return reduce(operator.add, (r.quantity for r in self.resting(side)), -0.0)

    buy_volume, sell_volume = partialmethod(volume, BUY), partialmethod(volume, SELL)

    def spread(self) -> float | None:
        bids, asks = self.queues
        return self.tick_size * float(min(asks) - max(bids)) if bids and asks else None

    def __repr__(self) -> str:
        top = lambda t: "None" if t is None else f"{fixed(t[1], 2)} @ {shortest(float(t[0]) * self.tick_size)}"
        spread = self.spread()
        return (f"Best Bid: {top(self.best_bid())}, Best Ask: {top(self.best_ask())}"
                f" (Spread: {'None' if spread is None else fixed(spread, 4)})\n"
                f"Open Buy Volume: {fixed(self.buy_volume(), 2)}, Open Sell Volume: {fixed(self.sell_volume(), 2)}")
