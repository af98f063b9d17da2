"""Seeded order flows for the benchmarks, written as plain text files.

Each flow first builds a book of about 10,000 resting orders over about 500
price levels (the warm-up), then runs the measured operations. The generator
replays every operation on a small book of its own (same matching rules:
price, then time priority), so that a cancel always names an order that is
still resting when the cancel arrives. bench/README.md describes the format.

    python bench/flows.py [--out bench/flows] [--ops 200000] [--seed 1] [--only mixed,...]
"""

from __future__ import annotations

import argparse
import bisect
import random
from collections import deque
from pathlib import Path

BUY, SELL = "B", "S"
CENTRE = 100_000  # ticks; far from 1 so no price ever reaches the bottom of the grid
HALF_WIDTH = 250  # levels a side that passive orders spread over
TARGET = 10_000  # resting orders the flows hold the book near


class SimBook:
    """The generator's own book: ticks and whole quantities, no ids."""

    def __init__(self) -> None:
        self.queues: dict[str, dict[int, deque[list[int]]]] = {BUY: {}, SELL: {}}
        self.prices: dict[str, list[int]] = {BUY: [], SELL: []}  # ascending
        # Live resting orders by add index; the list gives O(1) uniform choice.
        self.live: list[int] = []
        self.slot: dict[int, int] = {}
        self.entry: dict[int, tuple[str, int, list[int]]] = {}
        self.adds = 0
        self.fills = 0
        self.crossing = 0  # adds that traded
        self.cancels = 0
        self.lines: list[str] = []

    def size(self) -> int:
        return len(self.live)

    def best(self, side: str) -> int | None:
        prices = self.prices[side]
        if not prices:
            return None
        return prices[-1] if side == BUY else prices[0]

    def _forget(self, index: int) -> None:
        pos = self.slot.pop(index)
        last = self.live.pop()
        if last != index:
            self.live[pos] = last
            self.slot[last] = pos
        del self.entry[index]

    def _drop_level(self, side: str, price: int) -> None:
        del self.queues[side][price]
        prices = self.prices[side]
        del prices[bisect.bisect_left(prices, price)]

    def add(self, side: str, price: int, quantity: int) -> int:
        index = self.adds
        self.adds += 1
        self.lines.append(f"A {side} {price} {quantity}")
        other = SELL if side == BUY else BUY
        fills_before = self.fills
        while quantity > 0:
            best = self.best(other)
            if best is None or (best > price if side == BUY else best < price):
                break
            queue = self.queues[other][best]
            front = queue[0]
            traded = min(front[1], quantity)
            front[1] -= traded
            quantity -= traded
            self.fills += 1
            if front[1] == 0:
                queue.popleft()
                self._forget(front[0])
                if not queue:
                    self._drop_level(other, best)
        self.crossing += self.fills > fills_before
        if quantity > 0:
            queues = self.queues[side]
            if price not in queues:
                queues[price] = deque()
                bisect.insort(self.prices[side], price)
            entry = [index, quantity]
            queues[price].append(entry)
            self.slot[index] = len(self.live)
            self.live.append(index)
            self.entry[index] = (side, price, entry)
        return index

    def cancel(self, index: int) -> None:
        self.cancels += 1
        self.lines.append(f"C {index}")
        side, price, entry = self.entry[index]
        queue = self.queues[side][price]
        queue.remove(entry)
        if not queue:
            self._drop_level(side, price)
        self._forget(index)

    def walk_from_best(self, side: str):
        """(price, [index, quantity]) of a side's resting orders, best first."""
        prices = self.prices[side]
        ordered = reversed(prices) if side == BUY else iter(prices)
        for price in ordered:
            for entry in self.queues[side][price]:
                yield price, entry


class Generator:
    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)
        self.book = SimBook()
        self.drift = 0.0

    def mid(self) -> tuple[int, int]:
        """The book's mid, rounded down and up (CENTRE while a side is empty)."""
        bid, ask = self.book.best(BUY), self.book.best(SELL)
        if bid is None or ask is None:
            return CENTRE, CENTRE
        return (bid + ask) // 2, (bid + ask + 1) // 2

    def side(self) -> str:
        return BUY if self.rng.random() < 0.5 else SELL

    def crossing_side(self) -> str:
        # Leaning against the mid's distance from CENTRE keeps the book in one
        # window of about 500 levels instead of wandering off.
        low, high = self.mid()
        lean = min(0.3, max(-0.3, (low + high - 2 * CENTRE) / 200))
        return BUY if self.rng.random() < 0.5 - lean else SELL

    def distance(self) -> int:
        # Half the orders join near the touch, half spread over the whole side.
        rng = self.rng
        if rng.random() < 0.5:
            return 1 + min(HALF_WIDTH - 1, int(rng.expovariate(1 / 8)))
        return rng.randint(1, HALF_WIDTH)

    def passive(self, side: str, distance: int | None = None) -> None:
        rng = self.rng
        d = distance if distance is not None else self.distance()
        low, high = self.mid()
        if side == BUY:
            price = low - d
            ask = self.book.best(SELL)
            if ask is not None:
                price = min(price, ask - 1)
        else:
            price = high + d
            bid = self.book.best(BUY)
            if bid is not None:
                price = max(price, bid + 1)
        self.book.add(side, price, rng.randint(1, 100))

    def cross(self, side: str, orders: int, rest_chance: float, last_fill: str = "any") -> bool:
        """A limit order that trades through `orders` resting orders of the other side.

        The last of them is filled in full or in part at random, or as
        `last_fill` says ("full", or "part" when it holds more than 1).
        """
        rng = self.rng
        other = SELL if side == BUY else BUY
        taken = []
        for price, entry in self.book.walk_from_best(other):
            taken.append((price, entry[1]))
            if len(taken) == orders:
                break
        if not taken:
            return False
        limit = taken[-1][0]
        quantity = sum(q for _, q in taken[:-1])
        last = taken[-1][1]
        if rng.random() < rest_chance:
            quantity += last + rng.randint(1, 50)  # more than the levels hold: the rest stays at the limit
        elif last_fill == "part":
            quantity += rng.randint(1, last - 1) if last > 1 else 0
        elif last_fill == "full" or rng.random() < 0.5:
            quantity += last
        else:
            quantity += rng.randint(1, last)
        self.book.add(side, limit, quantity)
        return True

    def cancel_random(self) -> bool:
        live = self.book.live
        if not live:
            return False
        self.book.cancel(live[self.rng.randrange(len(live))])
        return True

    def warm_up(self, thin_top: int = 0) -> None:
        """About TARGET orders spread evenly over HALF_WIDTH levels a side.

        With `thin_top`, the nearest `thin_top` levels of each side hold only
        one to three orders, as a sweep flow wants.
        """
        rng = self.rng
        for side in (BUY, SELL):
            for d in range(1, thin_top + 1):
                for _ in range(rng.randint(1, 3)):
                    self.passive(side, d)
        while self.book.size() < TARGET:
            d = self.distance()
            self.passive(self.side(), d if d > thin_top else rng.randint(thin_top + 1, HALF_WIDTH))
        self.book.lines.append("M")

    # Measured parts -------------------------------------------------------

    def mixed(self, ops: int) -> None:
        rng = self.rng
        for _ in range(ops):
            roll = rng.random()
            if roll < 0.60:
                self.passive(self.side())
            elif roll < 0.75:
                # Each crossing order has to take about 2.3 resting orders for
                # adds and removals to balance; lean on it to stay near TARGET.
                mean = min(8.0, max(0.5, 7 / 3 + (self.book.size() - TARGET) / 1000))
                k = max(1, int(mean + rng.random()) + rng.randint(-1, 1))
                if not self.cross(self.crossing_side(), k, rest_chance=0.2):
                    self.passive(self.side())
            elif not self.cancel_random():
                self.passive(self.side())

    def resting(self, ops: int) -> None:
        for _ in range(ops):
            self.passive(self.side())

    def sweep(self, ops: int) -> None:
        """Sweeps through 2-5 thin levels, each followed by adds that refill them."""
        rng = self.rng
        done = 0
        while done < ops:
            side = self.side()
            other = SELL if side == BUY else BUY
            levels = rng.randint(2, 5)
            prices = self.book.prices[other]
            swept = (prices[-levels:] if other == BUY else prices[:levels])
            taken = sum(len(self.book.queues[other][p]) for p in swept)
            # Half the time also part of the front order of the next level.
            if rng.random() < 0.5:
                self.cross(side, taken + 1, rest_chance=0.0, last_fill="part")
            else:
                self.cross(side, taken, rest_chance=0.0, last_fill="full")
            done += 1
            for price in swept:
                for _ in range(rng.randint(1, 3)):
                    if done == ops:
                        return
                    self.book.add(other, price, rng.randint(1, 100))
                    done += 1

    def cancel(self, ops: int) -> None:
        rng = self.rng
        for _ in range(ops):
            if rng.random() < 0.5 + (self.book.size() - TARGET) / 20_000:
                if not self.cancel_random():
                    self.passive(self.side())
            else:
                self.passive(self.side())


FLOWS = {
    "mixed": ("60% passive limit orders, 15% crossing orders, 25% cancels of resting orders", 0),
    "resting": ("passive limit orders only; nothing crosses, so the book grows", 0),
    "sweep": ("crossing orders through 2-5 thin levels, each followed by adds that refill them", 10),
    "cancel": ("about 50% passive limit orders, 50% cancels of resting orders", 0),
}


def generate(name: str, ops: int, seed: int) -> SimBook:
    description, thin_top = FLOWS[name]
    # A separate stream per flow: changing one flow never changes another.
    gen = Generator(seed * 1_000 + list(FLOWS).index(name))
    gen.warm_up(thin_top)
    book = gen.book
    warm_adds, warm_lines = book.adds, len(book.lines) - 1
    warm_fills, warm_crossing, warm_cancels = book.fills, book.crossing, book.cancels
    getattr(gen, name)(ops)
    header = [
        f"# quorvane flow: {name} ({description})",
        f"# seed {seed}; warm-up: {warm_lines} operations ({warm_adds} adds); measured: {ops} operations",
        f"# measured part: {book.adds - warm_adds} adds ({book.crossing - warm_crossing} of them trade), "
        f"{book.cancels - warm_cancels} cancels, {book.fills - warm_fills} fills; "
        f"at the end {book.size()} orders rest on {len(book.prices[BUY]) + len(book.prices[SELL])} levels, "
        f"best bid {book.best(BUY)}, best ask {book.best(SELL)}",
    ]
    book.lines[:0] = header
    return book


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "flows")
    parser.add_argument("--ops", type=int, default=200_000, help="measured operations per flow (default 200000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--only", default=",".join(FLOWS), help="comma-separated flows (default: all)")
    args = parser.parse_args()
    if args.ops < 1:
        parser.error("--ops must be positive")
    args.out.mkdir(parents=True, exist_ok=True)
    for name in args.only.split(","):
        if name not in FLOWS:
            parser.error(f"unknown flow {name!r}; known: {', '.join(FLOWS)}")
        book = generate(name, args.ops, args.seed)
        path = args.out / f"{name}.flow"
        path.write_text("\n".join(book.lines) + "\n")
        print(f"{path}: {book.lines[1][2:]}; {book.lines[2][2:]}")


if __name__ == "__main__":
    main()
