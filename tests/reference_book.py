"""A plain-Python model of quorvane's order book, written for clarity.

It follows the same rules as the extension: price-time priority, a record
index by id next to per-price FIFO queues, fills priced at the sell order's
ticks, and the same two-line summary text. Orders come in from the real
module (anything with id, side, price_in_ticks, quantity, status and
timestamp attributes) and are kept as immutable `Rec` tuples, so a record
and its queue copy can never alias each other's changes.

Sides and statuses are plain ints: BUY 0, SELL 1; OPEN 0, FILLED 1, CANCELED 2.
"""
from bisect import bisect_left, insort
from collections import deque
from decimal import Decimal
from functools import reduce
import math
import operator
from typing import NamedTuple, Optional

BUY, SELL = 0, 1
OPEN, FILLED, CANCELED = 0, 1, 2
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)

_ID, _QUANTITY = operator.itemgetter(0), operator.itemgetter(3)

PRICE_NOT_POSITIVE = "Price and quantity must be positive"
TICKS_NOT_POSITIVE = "Resulting price_in_ticks must be positive"


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
        return cls(order.id, int(order.side), order.price_in_ticks, order.quantity,
                   int(order.status), order.timestamp)


class Trade(NamedTuple):
    quantity: float
    price: float
    buy_id: str
    sell_id: str


def fixed(x: float, decimals: int) -> str:
    """Exact value rounded to `decimals` places, ties to even; NaN/inf spelled out."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, f".{decimals}f")


def shortest(x: float) -> str:
    """Fewest digits that read back as x, positional, no '.0' on whole values."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = repr(x)
    if "e" in text:
        return format(Decimal(text).normalize(), "f")
    return text[:-2] if text.endswith(".0") else text


def ticks_for(price: float, tick_size: float) -> int:
    """price / tick_size rounded half away from zero, saturated to int64."""
    if tick_size == 0.0:
        q = math.nan if price != price else math.copysign(math.inf, price) * math.copysign(1.0, tick_size)
    else:
        q = price / tick_size
    if q != q:
        return 0
    if math.isinf(q):
        return I64_MAX if q > 0 else I64_MIN
    a = abs(q)
    r = math.floor(a)
    if a - r >= 0.5:
        r += 1
    r = float(math.copysign(r, q))
    if r >= 9223372036854775808.0:
        return I64_MAX
    if r < -9223372036854775808.0:
        return I64_MIN
    return int(r)


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
    if a != a:
        m = b
    elif b != b:
        m = a
    else:
        m = b if b < a else a
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
                queue = queues.get(incoming.price_in_ticks)
                if queue is None:
                    queue = queues[incoming.price_in_ticks] = deque()
                    insort(prices, incoming.price_in_ticks)
                queue.append(incoming)
        self.orders[incoming.id] = incoming
        return trades

    def cancel(self, order_id: str) -> bool:
        record = self.orders.pop(order_id, None)
        if record is None:
            return False
        queues, _ = self.levels[record.side]
        queue = queues.get(record.price_in_ticks)
        if queue is None:
            return True
        ids = list(map(_ID, queue))  # the scans run in C; queues can be long
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

    @property
    def buy_orders(self) -> list[Rec]:
        return self.resting(BUY)

    @property
    def sell_orders(self) -> list[Rec]:
        return self.resting(SELL)

    def _top(self, side: int):
        queues, prices = self.levels[side]
        if not prices:
            return None
        price = prices[-1] if side == BUY else prices[0]
        return price, queues[price][0].quantity

    def best_bid(self):
        return self._top(BUY)

    def best_ask(self):
        return self._top(SELL)

    def volume(self, side: int) -> float:
        """One float addition at a time from -0.0, in walk order (never sum(): it compensates)."""
        total = -0.0
        queues, prices = self.levels[side]
        for p in prices:
            total = reduce(operator.add, map(_QUANTITY, queues[p]), total)
        return total

    def buy_volume(self) -> float:
        return self.volume(BUY)

    def sell_volume(self) -> float:
        return self.volume(SELL)

    def spread(self) -> Optional[float]:
        bids, asks = self.levels[BUY][1], self.levels[SELL][1]
        if not bids or not asks:
            return None
        return self.tick_size * float(asks[0] - bids[-1])

    def _top_text(self, top) -> str:
        if top is None:
            return "None"
        price, quantity = top
        return f"{fixed(quantity, 2)} @ {shortest(float(price) * self.tick_size)}"

    def summary(self) -> str:
        spread = self.spread()
        return (f"Best Bid: {self._top_text(self.best_bid())}, Best Ask: {self._top_text(self.best_ask())}"
                f" (Spread: {'None' if spread is None else fixed(spread, 4)})\n"
                f"Open Buy Volume: {fixed(self.buy_volume(), 2)}, Open Sell Volume: {fixed(self.sell_volume(), 2)}")

    __repr__ = summary
