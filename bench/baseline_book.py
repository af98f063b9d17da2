"""The order book a Python user writes instead of using quorvane: same rules,
plain Python.

Orders are slotted objects with uuid4 ids and time.time_ns() stamps; the book
keeps a dict of records by id, a deque per price level, and each side's
prices in a sorted list maintained with bisect. A resting order's record and
queue entry are one object (the book copies the caller's order on add, so the
caller's object never changes). It is a fair baseline, not a straw man: no
per-call validation beyond what the rules need, and the hot paths use local
names.
"""

from __future__ import annotations

import enum
import time
import uuid
from bisect import bisect_left, insort
from collections import deque


class OrderType(enum.Enum):
    Buy = 0
    Sell = 1


class OrderStatus(enum.Enum):
    Open = 0
    Filled = 1
    Canceled = 2


Buy, Sell = OrderType.Buy, OrderType.Sell
Open, Filled = OrderStatus.Open, OrderStatus.Filled


class Order:
    __slots__ = ("id", "side", "price_in_ticks", "quantity", "status", "timestamp")

    def __init__(self, side: OrderType, price_in_ticks: int, quantity: float) -> None:
        if price_in_ticks < 1:
            raise ValueError("price_in_ticks must be positive")
        if quantity <= 0.0:
            raise ValueError("quantity must be positive")
        self.id = str(uuid.uuid4())
        self.side = side
        self.price_in_ticks = price_in_ticks
        self.quantity = float(quantity)
        self.status = Open
        self.timestamp = time.time_ns()

    def copy(self) -> Order:
        c = Order.__new__(Order)
        c.id = self.id
        c.side = self.side
        c.price_in_ticks = self.price_in_ticks
        c.quantity = self.quantity
        c.status = self.status
        c.timestamp = self.timestamp
        return c

    def is_open(self) -> bool:
        return self.status is Open

    def __repr__(self) -> str:
        return f"[{self.side.name} {self.quantity} @ {self.price_in_ticks}] [{self.id}, placed at {self.timestamp}]"


class Fill:
    __slots__ = ("quantity", "price", "buy_id", "sell_id", "timestamp")

    def __init__(self, quantity: float, price: float, buy_id: str, sell_id: str, timestamp: int) -> None:
        self.quantity = quantity
        self.price = price
        self.buy_id = buy_id
        self.sell_id = sell_id
        self.timestamp = timestamp

    def __repr__(self) -> str:
        return f"[{self.quantity:.2f} @ {self.price:.2f}] Buy: {self.buy_id}, Sell: {self.sell_id}, Filled at {self.timestamp}"


class OrderBook:
    def __init__(self, tick_size: float = 0.01) -> None:
        self.tick_size = float(tick_size)
        self.orders: dict[str, Order] = {}
        self.bids: dict[int, deque[Order]] = {}
        self.asks: dict[int, deque[Order]] = {}
        self.bid_prices: list[int] = []  # ascending; the best bid is last
        self.ask_prices: list[int] = []  # ascending; the best ask is first

    def create_order(self, side: OrderType, price: float, quantity: float) -> Order:
        if price <= 0.0 or quantity <= 0.0:
            raise ValueError("Price and quantity must be positive")
        q = price / self.tick_size
        ticks = int(q + 0.5) if q >= 0 else -int(-q + 0.5)  # halves away from zero
        if ticks < 1:
            raise ValueError("Resulting price_in_ticks must be positive")
        return Order(side, ticks, quantity)

    def add(self, incoming_order: Order) -> list[Fill]:
        order = incoming_order.copy()
        orders = self.orders
        fills: list[Fill] = []
        if order.status is Open:
            buying = order.side is Buy
            limit = order.price_in_ticks
            if buying:
                levels, prices = self.asks, self.ask_prices
            else:
                levels, prices = self.bids, self.bid_prices
            tick_size = self.tick_size
            while order.status is Open and prices:
                best = prices[0] if buying else prices[-1]
                if (best > limit) if buying else (best < limit):
                    break
                queue = levels[best]
                resting = queue[0]
                m = resting.quantity if resting.quantity < order.quantity else order.quantity
                resting.quantity -= m
                order.quantity -= m
                if resting.quantity <= 0.0:
                    resting.status = Filled
                if order.quantity <= 0.0:
                    order.status = Filled
                if buying:
                    fills.append(Fill(m, resting.price_in_ticks * tick_size, order.id, resting.id, time.time_ns()))
                else:
                    fills.append(Fill(m, limit * tick_size, resting.id, order.id, time.time_ns()))
                if resting.status is not Open:
                    queue.popleft()
                    if not queue:
                        del levels[best]
                        if buying:
                            del prices[0]
                        else:
                            prices.pop()
            if order.status is Open:
                self._rest(order)
        orders[order.id] = order
        return fills

    def _side(self, side: object) -> tuple[dict, list]:
        """A side's levels (price -> queue) and its sorted prices."""
        return (self.bids, self.bid_prices) if side is Buy else (self.asks, self.ask_prices)

    def _rest(self, order: Order) -> None:
        levels, prices = self._side(order.side)
        price = order.price_in_ticks
        queue = levels.get(price)
        if queue is None:
            queue = levels[price] = deque()
            insort(prices, price)
        queue.append(order)

    def cancel(self, order_id: str) -> bool:
        record = self.orders.pop(order_id, None)
        if record is None:
            return False
        levels, prices = self._side(record.side)
        price = record.price_in_ticks
        queue = levels.get(price)
        if queue is not None:
            try:
                while True:
                    queue.remove(record)  # the same order added twice rests twice
            except ValueError:
                pass
            if not queue:
                del levels[price]
                del prices[bisect_left(prices, price)]
        return True

    def get_order(self, order_id: str) -> Order | None:
        record = self.orders.get(order_id)
        return None if record is None else record.copy()

    def update_order(self, order: Order) -> None:
        self.orders[order.id] = order.copy()

    def _side_orders(self, levels: dict[int, deque[Order]], prices: list[int]) -> list[Order]:
        return [o.copy() for p in prices for o in levels[p]]

    @property
    def buy_orders(self) -> list[Order]:
        return self._side_orders(self.bids, self.bid_prices)

    @property
    def sell_orders(self) -> list[Order]:
        return self._side_orders(self.asks, self.ask_prices)

    def best_bid(self) -> tuple[int, float] | None:
        if not self.bid_prices:
            return None
        p = self.bid_prices[-1]
        return p, self.bids[p][0].quantity

    def best_ask(self) -> tuple[int, float] | None:
        if not self.ask_prices:
            return None
        p = self.ask_prices[0]
        return p, self.asks[p][0].quantity

    def _volume(self, levels: dict[int, deque[Order]], prices: list[int]) -> float:
        total = -0.0
        for p in prices:
            for o in levels[p]:
                total += o.quantity
        return total

    def buy_volume(self) -> float:
        return self._volume(self.bids, self.bid_prices)

    def sell_volume(self) -> float:
        return self._volume(self.asks, self.ask_prices)

    def spread(self) -> float | None:
        if not self.bid_prices or not self.ask_prices:
            return None
        return self.tick_size * (self.ask_prices[0] - self.bid_prices[-1])

    def __repr__(self) -> str:
        def top(best: tuple[int, float] | None) -> str:
            if best is None:
                return "None"
            price = best[0] * self.tick_size
            return f"{best[1]:.2f} @ {int(price) if price.is_integer() else price}"

        spread = self.spread()
        spread_text = "None" if spread is None else f"{spread:.4f}"
        return (
            f"Best Bid: {top(self.best_bid())}, Best Ask: {top(self.best_ask())} (Spread: {spread_text})\n"
            f"Open Buy Volume: {self.buy_volume():.2f}, Open Sell Volume: {self.sell_volume():.2f}"
        )
