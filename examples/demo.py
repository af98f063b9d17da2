"""Replay a seeded, synthetic order flow through one quorvane book.

Limit orders cluster around a mid price that drifts; crossing orders sweep one
or more levels of the other side; cancels take out live orders. The flow is
generated first and then replayed, so the throughput covers the book alone.
"""

from __future__ import annotations

import argparse
import math
import random
import time
from collections import defaultdict
from typing import NamedTuple

import quorvane
from quorvane import OrderBook, OrderType

# Kinds of operation in a generated flow.
PASSIVE, CROSSING, CANCEL = "passive", "crossing", "cancel"


class Operation(NamedTuple):
    kind: str
    side: OrderType = OrderType.Buy  # unused by a cancel
    price: float = 0.0  # in price units
    quantity: float = 0.0
    target: int = -1  # for a cancel: index of an earlier add in the flow


def generate_flow(seed: int, count: int, tick_size: float) -> list[Operation]:
    """60% passive limit orders, 15% crossing orders, 25% cancels of earlier adds.

    Raises ValueError if a price does not come out as the whole number of ticks
    it was made from (too large a tick size makes it inf).
    """
    rng = random.Random(seed)
    mid_ticks = 10_000.0
    flow: list[Operation] = []
    cancellable: list[int] = []
    for _ in range(count):
        mid_ticks = max(100.0, mid_ticks + rng.gauss(0.0, 0.8))
        roll = rng.random()
        if roll < 0.25 and cancellable:
            target = cancellable.pop(rng.randrange(len(cancellable)))
            flow.append(Operation(CANCEL, target=target))
            continue
        side = OrderType.Buy if rng.random() < 0.5 else OrderType.Sell
        toward = 1 if side == OrderType.Buy else -1
        if roll < 0.40:
            # Priced through the mid, so it meets the other side's best levels.
            ticks = round(mid_ticks) + toward * rng.randint(1, 6)
            quantity = float(rng.randint(5, 60))
            kind = CROSSING
        else:
            ticks = round(mid_ticks) - toward * (1 + int(rng.expovariate(0.25)))
            quantity = float(rng.choice((1, 2, 5, 10, 10, 20, 25, 50, 100)))
            kind = PASSIVE
            cancellable.append(len(flow))
        ticks = max(1, ticks)
        price = ticks * tick_size
        # create_order divides by the tick size and rounds: that must give the ticks back.
        if not math.isfinite(price) or round(price / tick_size) != ticks:
            raise ValueError(f"a price of {ticks} ticks of {tick_size} is {price}, not a whole number of ticks")
        flow.append(Operation(kind, side, price, quantity))
    return flow


def top_levels(orders: list[quorvane.Order], count: int, best_first_descending: bool) -> list[tuple[int, float, int]]:
    """(price_in_ticks, total quantity, orders) of the best `count` levels."""
    totals: dict[int, list[float]] = defaultdict(lambda: [0.0, 0])
    for order in orders:
        level = totals[order.price_in_ticks]
        level[0] += order.quantity
        level[1] += 1
    prices = sorted(totals, reverse=best_first_descending)[:count]
    return [(p, totals[p][0], int(totals[p][1])) for p in prices]


def print_levels(book: OrderBook) -> None:
    tick = book.tick_size
    asks = top_levels(book.sell_orders, 5, best_first_descending=False)
    bids = top_levels(book.buy_orders, 5, best_first_descending=True)
    print(f"  {'bid qty':>10} {'orders':>6} {'bid':>9} | {'ask':<9} {'orders':>6} {'ask qty':>10}")
    for i in range(5):
        left = f"{bids[i][1]:>10.2f} {bids[i][2]:>6} {bids[i][0] * tick:>9.2f}" if i < len(bids) else " " * 27
        right = f"{asks[i][0] * tick:<9.2f} {asks[i][2]:>6} {asks[i][1]:>10.2f}" if i < len(asks) else ""
        print(f"  {left} | {right}")


def play(book: OrderBook, flow: list[Operation], ids: list[str], start: int, stop: int) -> tuple[int, int, int]:
    """Sends flow[start:stop] to the book; ids[i] keeps the id of add i for the cancels that name it.

    Returns (orders added, fills, cancels that found their order).
    """
    orders = fills = cancelled = 0
    for index in range(start, stop):
        op = flow[index]
        if op.kind == CANCEL:
            cancelled += book.cancel(ids[op.target])
        else:
            order = book.create_order(op.side, op.price, op.quantity)
            ids[index] = order.id
            fills += len(book.add(order))
            orders += 1
    return orders, fills, cancelled


def replay(flow: list[Operation], tick_size: float, checkpoints: int) -> None:
    book = OrderBook(tick_size)
    ids: list[str] = [""] * len(flow)
    fills = orders = cancelled = 0
    elapsed = 0.0
    # Evenly spread, the last at the end of the flow: exactly `checkpoints` summaries.
    stops = [len(flow) * i // checkpoints for i in range(1, checkpoints + 1)]
    for start, stop in zip([0, *stops], stops):
        began = time.perf_counter()
        added, filled, found = play(book, flow, ids, start, stop)
        elapsed += time.perf_counter() - began
        orders, fills, cancelled = orders + added, fills + filled, cancelled + found
        print(f"after {stop:,} operations:")
        print("  " + repr(book).replace("\n", "\n  "))
    cancels = len(flow) - orders
    print()
    print(f"orders added: {orders:,}   fills: {fills:,}   cancels: {cancels:,} ({cancelled:,} found in the book)")
    print(f"resting: {len(book.buy_orders):,} bids, {len(book.sell_orders):,} asks")
    print("top five levels of each side:")
    print_levels(book)
    print(f"throughput: {len(flow) / elapsed:,.0f} operations per second "
          f"({len(flow):,} operations in {elapsed:.2f} s, create_order + add or cancel)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=7, help="random seed of the flow (default 7)")
    parser.add_argument("--ops", type=int, default=200_000, help="number of operations (default 200000)")
    parser.add_argument("--tick-size", type=float, default=0.01, help="the book's tick size (default 0.01)")
    parser.add_argument("--checkpoints", type=int, default=4, help="summaries printed along the way (default 4)")
    args = parser.parse_args()
    if args.ops < 1 or args.checkpoints < 1:
        parser.error("--ops and --checkpoints must be positive")
    if args.checkpoints > args.ops:
        parser.error("--checkpoints must not exceed --ops")
    if not (math.isfinite(args.tick_size) and args.tick_size > 0):
        parser.error("--tick-size must be finite and positive")
    print(f"generating {args.ops:,} operations (seed {args.seed}, tick size {args.tick_size})")
    try:
        flow = generate_flow(args.seed, args.ops, args.tick_size)
    except ValueError as error:
        parser.error(f"--tick-size {args.tick_size}: {error}")
    replay(flow, args.tick_size, args.checkpoints)


if __name__ == "__main__":
    main()
