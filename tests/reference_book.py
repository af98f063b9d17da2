"""A plain-Python model of quorvane's order book, written for clarity: price-time
priority, a record index by id next to per-price FIFO queues of immutable `Rec`
copies (so a record and its queue copy never alias), fills priced at the sell
order's ticks, the same summary text. Sides and statuses are plain ints."""
from bisect import bisect_left, insort
from collections import deque
from decimal import Decimal
from functools import partialmethod, reduce
import math
import operator
from typing import NamedTuple, Optional

BUY, SELL = 0, 1
OPEN, FILLED, CANCELED = 0, 1, 2
I64_MAX, I64_MIN = 2**63 - 1, -(2**63)
PRICE_NOT_POSITIVE = "Price and quantity must be positive"
TICKS_NOT_POSITIVE = "Resulting price_in_ticks must be positive"
_ID, _QUANTITY = operator.itemgetter(0), operator.itemgetter(3)


class Rec(NamedTuple):
    id: str
    side: int
    price_in_ticks: int
    quantity: float
    status: int
    timestamp: int

    @classmethod
    def of(cls, order):
        """The value of a quorvane.Order (or of a Rec) as a Rec."""
        if isinstance(order, Rec):
            return order
        return cls(order.id, int(order.side), order.price_in_ticks, order.quantity, int(order.status), order.timestamp)


Trade = NamedTuple("Trade", [("quantity", float), ("price", float), ("buy_id", str), ("sell_id", str)])


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


def fixed(x: float, decimals: int) -> str:
    """Exact value rounded to `decimals` places, ties to even; NaN/inf spelled out."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, f".{decimals}f")


def shortest(x: float) -> str:
    """Fewest digits that read back as x, positional, no '.0' on whole values."""
    if x != x or math.isinf(x):
        return fixed(x, 0)
    return format(Decimal(repr(x)).normalize(), "f")


def ticks_for(price: float, tick_size: float) -> int:
    """price / tick_size rounded half away from zero, saturated to int64 (NaN gives 0)."""
    try:
        q = price / tick_size
    except ZeroDivisionError:  # IEEE division by a zero of either sign
        q = math.nan if price != price else math.copysign(math.inf, price) * math.copysign(1.0, tick_size)
    if q != q:
        return 0
    if math.isinf(q):
        return I64_MAX if q > 0 else I64_MIN
    r = math.floor(abs(q))
    r += abs(q) - r >= 0.5
    return max(I64_MIN, min(I64_MAX, int(math.copysign(r, q))))


def create_check(price: float, quantity: float, tick_size: float):
    """(ticks, None) for an order create_order accepts, else (None, message)."""
    if price <= 0.0 or quantity <= 0.0:
        return None, PRICE_NOT_POSITIVE
    ticks = ticks_for(price, tick_size)
    if ticks < 1:
        return None, TICKS_NOT_POSITIVE
    return ticks, None


def fill_step(resting: Rec, incoming: Rec, tick_size: float):
    """One pairwise trade between crossing orders: (resting', incoming', Trade)."""
    a, b = resting.quantity, incoming.quantity
    m = b if a != a else a if b != b else b if b < a else a
    ra, rb = a - m, b - m
    resting = resting._replace(quantity=ra, status=FILLED if ra <= 0.0 else resting.status)
    incoming = incoming._replace(quantity=rb, status=FILLED if rb <= 0.0 else incoming.status)
    buy, sell = (resting, incoming) if resting.side == BUY else (incoming, resting)
    return resting, incoming, Trade(m, float(sell.price_in_ticks) * tick_size, buy.id, sell.id)


class ReferenceBook:
    def __init__(self, tick_size: float = 0.01):
        self.tick_size = float(tick_size)
        self.orders: dict[str, Rec] = {}
        # side -> (price -> deque of queue copies, ascending list of prices)
        self.levels = {BUY: ({}, []), SELL: ({}, [])}

    def _drop_level(self, side: int, price: int) -> None:
        queues, prices = self.levels[side]
        del queues[price]
        del prices[bisect_left(prices, price)]

    def add(self, order) -> list[Trade]:
        incoming = Rec.of(order)
        trades = []
        if incoming.status == OPEN:
            buying = incoming.side == BUY
            queues, prices = self.levels[SELL if buying else BUY]
            while incoming.status == OPEN and prices:
                price = prices[0] if buying else prices[-1]
                if (price > incoming.price_in_ticks) if buying else (price < incoming.price_in_ticks):
                    break
                queue = queues[price]
                resting, incoming, trade = fill_step(queue.popleft(), incoming, self.tick_size)
                trades.append(trade)
                if resting.status == OPEN:
                    queue.appendleft(resting)
                elif not queue:
                    self._drop_level(resting.side, price)
                self.orders[resting.id] = resting
                self.orders[incoming.id] = incoming
                if resting.status == OPEN and incoming.status == OPEN:
                    break  # two non-finite quantities: neither completes, stop here
            if incoming.status == OPEN:
                queues, prices = self.levels[incoming.side]
                if incoming.price_in_ticks not in queues:
                    queues[incoming.price_in_ticks] = deque()
                    insort(prices, incoming.price_in_ticks)
                queues[incoming.price_in_ticks].append(incoming)
        self.orders[incoming.id] = incoming
        return trades

    def cancel(self, order_id: str) -> bool:
        record = self.orders.pop(order_id, None)
        if record is None:
            return False
        queues, _ = self.levels[record.side]
        queue = queues.get(record.price_in_ticks)
        ids = [] if queue is None else list(map(_ID, queue))  # the scans run in C; queues can be long
        if order_id in ids:
            if ids.count(order_id) == 1:
                del queue[ids.index(order_id)]
            else:
                queue = queues[record.price_in_ticks] = deque(r for r in queue if r.id != order_id)
            if not queue:
                self._drop_level(record.side, record.price_in_ticks)
        return True

    def get_order(self, order_id: str) -> Optional[Rec]:
        return self.orders.get(order_id)

    def update_order(self, order) -> None:
        record = Rec.of(order)
        self.orders[record.id] = record

    # Queries read queue copies only, walking ascending prices, front to back.
    def resting(self, side: int) -> list[Rec]:
        queues, prices = self.levels[side]
        return [r for p in prices for r in queues[p]]

    buy_orders = property(lambda self: self.resting(BUY))
    sell_orders = property(lambda self: self.resting(SELL))

    def _top(self, side: int):
        queues, prices = self.levels[side]
        if not prices:
            return None
        price = prices[-1] if side == BUY else prices[0]
        return price, queues[price][0].quantity

    best_bid, best_ask = partialmethod(_top, BUY), partialmethod(_top, SELL)

    def volume(self, side: int) -> float:
        """One float addition at a time from -0.0, in walk order (never sum(): it compensates)."""
        queues, prices = self.levels[side]
        return reduce(operator.add, (q for p in prices for q in map(_QUANTITY, queues[p])), -0.0)

    buy_volume, sell_volume = partialmethod(volume, BUY), partialmethod(volume, SELL)

    def spread(self) -> Optional[float]:
        bids, asks = self.levels[BUY][1], self.levels[SELL][1]
        if not bids or not asks:
            return None
        return self.tick_size * float(asks[0] - bids[-1])

    def _top_text(self, top) -> str:
        return "None" if top is None else f"{fixed(top[1], 2)} @ {shortest(float(top[0]) * self.tick_size)}"

    def summary(self) -> str:
        spread = self.spread()
        return (f"Best Bid: {self._top_text(self.best_bid())}, Best Ask: {self._top_text(self.best_ask())}"
                f" (Spread: {'None' if spread is None else fixed(spread, 4)})\n"
                f"Open Buy Volume: {fixed(self.buy_volume(), 2)}, Open Sell Volume: {fixed(self.sell_volume(), 2)}")

    __repr__ = summary
