"""The session the build runs through an instrumented quorvane to collect the
branch and call counts that guide the optimised build (CMakeLists.txt).

It does what a trading loop does most: orders made with `Order` and with
`create_order`, resting and crossing adds, cancels by id, lookups, the
top-of-book queries; and, less often, the volumes, the order lists and the
reprs. The flow is seeded, so every build sees the same one.

    python tools/pgo_session.py DIRECTORY_OF_THE_INSTRUMENTED_MODULE
"""

from __future__ import annotations

import random
import sys
from pathlib import Path


def load(directory: Path):
    """The module built in `directory`, whatever is installed elsewhere."""
    sys.path.insert(0, str(directory))
    import quorvane

    if Path(quorvane.__file__).parent != directory:
        raise SystemExit(f"imported {quorvane.__file__}, not the module in {directory}")
    return quorvane


def session(q, operations: int, seed: int) -> None:
    rng = random.Random(seed)
    buy, sell = q.OrderType.Buy, q.OrderType.Sell
    book = q.OrderBook(0.01)
    resting: list[str] = []
    mid = 10_000.0
    for step in range(operations):
        mid = max(100.0, mid + rng.gauss(0.0, 0.8))
        roll = rng.random()
        if roll < 0.25 and resting:
            book.cancel(resting.pop(rng.randrange(len(resting))))
            continue
        side = buy if rng.random() < 0.5 else sell
        toward = 1 if side is buy else -1
        crossing = roll < 0.40  # priced through the mid: trades with the other side's best levels
        if crossing:
            ticks = round(mid) + toward * rng.randint(1, 6)
            quantity = float(rng.randint(5, 60))
        else:
            ticks = max(1, round(mid) - toward * (1 + int(rng.expovariate(0.25))))
            quantity = float(rng.choice((1, 2, 5, 10, 10, 20, 25, 50, 100)))
        if step % 4:
            order = q.Order(side, ticks, quantity)
        else:
            order = book.create_order(side, ticks * 0.01, quantity)
        for fill in book.add(order):
            fill.quantity, fill.price, fill.buy_id, fill.sell_id
        if not crossing:
            resting.append(order.id)
        if step % 8 == 0:
            book.best_bid(), book.best_ask(), book.spread()
        if step % 16 == 0 and resting:
            found = book.get_order(resting[rng.randrange(len(resting))])
            if found is not None:
                found.quantity, found.status, found.price_in_ticks
            book.get_order("not an id")
        if step % 5_000 == 0:
            book.buy_volume(), book.sell_volume(), len(book.buy_orders), len(book.sell_orders)
            repr(book), repr(order)


def main() -> None:
    session(load(Path(sys.argv[1]).resolve()), operations=200_000, seed=1)


if __name__ == "__main__":
    main()
