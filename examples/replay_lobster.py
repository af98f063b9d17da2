"""Replay a LOBSTER message file through one quorvane book and check it.

    replay_lobster.py MESSAGE_FILE ORDERBOOK_FILE [--plot FILE.png] [--quiet]

LOBSTER (lobsterdata.com) publishes NASDAQ order flow as two CSV files of equal
length: message i is one event, and orderbook row i is the visible book (the
best N price levels of each side, aggregate shares per level) right after it.
Every orderbook row is checked against the engine's top of book.

Start state. Row 1 already includes the effect of message 1, so the book before
message 1 is rebuilt by undoing message 1 on row 1 (take back a submission's
shares; give back deleted or executed shares). That state seeds the book with
one placeholder order per visible level, message 1 then replays like any other,
and every row, row 1 included, is compared. Seeding from row 1 and skipping
message 1 would also be exact, but would hide message 1's order behind a
placeholder and lose one comparison.

Messages. LOBSTER order ids map to quorvane ids. A submission (type 1) is
create_order + add. A full deletion (3) is cancel. A visible execution (4) is
an opposite order of the executed size at the executed price, so the engine's
own price-time priority decides which resting orders it hits. A partial cancel
(2) is cancel plus a re-add of the remaining shares: unlike the real order, the
re-added rest loses its time priority. Deletions of ids the file never
submitted take the shares out of that level's placeholders. Hidden executions
(5) do not touch the visible book; they and any other type are skipped and
counted.

Reconciliation. LOBSTER writes only the events that change the best N levels,
so the file says nothing about orders outside them: they appear at the best
without a submission, or leave without a deletion. Before each message the
book's visible window (its levels at or better than the previous row's N-th
level, or the whole side if that row lists fewer than N levels) is made to
match the previous row: missing shares are topped up with a placeholder, extra
shares are trimmed (placeholders first), levels the row lacks are dropped. The
number of messages that needed it is reported. In the 10-level AAPL slice
that happens only when a level that changed unseen below the tenth comes into
view; the 1-level files need it all day, and a row can still disagree when a
message clears the best level and uncovers a level the file never showed.

Comparison. After each message, the best bid and the best ask (price, and the
total shares of all orders at that price) must equal the row's. best_bid()
reports only the front order, so the replay mirrors the book's levels from the
fills that add() returns (O(1) per change, not a walk over the whole side), and
counts any step where the engine's best price or front quantity disagrees with
that mirror.
"""

from __future__ import annotations

import argparse
import bisect
import sys
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from quorvane import Fill, OrderBook, OrderType

BUY, SELL = 0, 1
SIDES = (OrderType.Buy, OrderType.Sell)
TICK_SIZE = 0.01
PRICE_PER_TICK = 100  # LOBSTER prices are dollars x 10000; a tick is one cent
PROGRESS_EVERY = 10_000
KIND_NAMES = {1: "submit", 2: "partial cancel", 3: "delete", 4: "execute", 5: "hidden execution"}


@dataclass(frozen=True, slots=True)
class Message:
    kind: int
    order_id: int
    size: int
    ticks: int
    side: int  # side of the resting order the message is about


@dataclass(slots=True)
class SideView:
    """What one orderbook row shows of one side."""

    levels: list[tuple[int, int]]  # (ticks, shares), best first
    complete: bool  # fewer levels than the file's depth: the side holds nothing else


@dataclass(slots=True)
class Resting:
    side: int
    ticks: int
    quantity: float
    lobster_id: int  # 0 for a placeholder


@dataclass(frozen=True)
class Summary:
    messages: int
    depth: int
    counts: dict[int, int]  # by message type
    skipped: int
    seeded: int  # placeholder orders that seed the book
    reconciliations: int  # messages before which the book had to be brought in line
    placeholders: int  # placeholder orders those reconciliations added
    compared: int
    agree: int
    engine_mismatches: int
    seconds: float

    @property
    def agreement(self) -> float:
        return self.agree / self.compared if self.compared else 1.0

    @property
    def throughput(self) -> float:
        return self.messages / self.seconds if self.seconds > 0 else float("inf")


def read_messages(path: Path) -> list[Message]:
    messages = []
    with path.open() as lines:
        for line in filter(str.strip, lines):
            _, kind, order_id, size, price, direction = line.split(",")
            side = BUY if int(direction) == 1 else SELL
            # Only hidden executions have sub-penny prices, and those are skipped.
            messages.append(Message(int(kind), int(order_id), int(size), int(price) // PRICE_PER_TICK, side))
    return messages


def read_rows(path: Path) -> list[list[int]]:
    with path.open() as lines:
        return [[int(cell) for cell in line.split(",")] for line in filter(str.strip, lines)]


def view(row: list[int]) -> tuple[SideView, SideView]:
    """(bids, asks) of one row; empty levels carry size 0."""
    depth = len(row) // 4
    sides = []
    for price_col in (2, 0):  # AskPrice, AskSize, BidPrice, BidSize per level
        levels = [(row[4 * k + price_col] // PRICE_PER_TICK, row[4 * k + price_col + 1])
                  for k in range(depth) if row[4 * k + price_col + 1] > 0]
        sides.append(SideView(levels, len(levels) < depth))
    return sides[0], sides[1]


def before_first(row: list[int], first: Message) -> tuple[SideView, SideView]:
    """The visible book before message 1, from row 1 (the book after it)."""
    depth = len(row) // 4
    sides = view(row)
    if first.kind not in (1, 2, 3, 4):
        return sides
    side = sides[first.side]
    levels = dict(side.levels)
    change = -first.size if first.kind == 1 else first.size
    levels[first.ticks] = levels.get(first.ticks, 0) + change
    best_first = sorted((item for item in levels.items() if item[1] > 0), reverse=first.side == BUY)
    # A level given back can push row 1's last level out of the window.
    side.levels = best_first[:depth]
    side.complete = side.complete and len(best_first) < depth
    return sides


class Replay:
    """One book plus a mirror of its price levels, kept in step from add()'s fills."""

    def __init__(self) -> None:
        self.book = OrderBook(TICK_SIZE)
        self.orders: dict[str, Resting] = {}
        self.queues: tuple[dict[int, dict[str, None]], ...] = ({}, {})  # FIFO by insertion
        self.totals: tuple[dict[int, float], ...] = ({}, {})
        self.prices: tuple[list[int], ...] = ([], [])  # ascending, both sides
        self.ids: dict[int, str] = {}  # LOBSTER id -> quorvane id
        self.placeholders = 0
        self.engine_mismatches = 0

    # -- the book and its mirror, always changed together --

    def submit(self, side: int, ticks: int, quantity: float, lobster_id: int) -> tuple[str, list[Fill]]:
        order = self.book.create_order(SIDES[side], ticks / PRICE_PER_TICK, quantity)
        fills = self.book.add(order)
        left = quantity
        for fill in fills:
            left -= fill.quantity
            self._take(fill.sell_id if side == BUY else fill.buy_id, fill.quantity)
        if left > 0:
            self._rest(order.id, Resting(side, ticks, left, lobster_id))
        return order.id, fills

    def cancel(self, qid: str) -> None:
        if not self.book.cancel(qid):
            raise RuntimeError(f"the book lost order {qid}")
        self._forget(qid)

    def shrink(self, qid: str, by: float) -> None:
        """Cancel, then re-add what is left: the rest goes to the back of its level."""
        order = self.orders[qid]
        self.cancel(qid)
        if order.quantity > by:
            self.submit(order.side, order.ticks, order.quantity - by, order.lobster_id)

    def _rest(self, qid: str, order: Resting) -> None:
        queues, totals = self.queues[order.side], self.totals[order.side]
        if order.ticks not in queues:
            queues[order.ticks] = {}
            totals[order.ticks] = 0.0
            bisect.insort(self.prices[order.side], order.ticks)
        queues[order.ticks][qid] = None
        totals[order.ticks] += order.quantity
        self.orders[qid] = order
        if order.lobster_id:
            self.ids[order.lobster_id] = qid

    def _take(self, qid: str, quantity: float) -> None:
        order = self.orders[qid]
        order.quantity -= quantity
        self.totals[order.side][order.ticks] -= quantity
        if order.quantity <= 0:
            self._forget(qid)

    def _forget(self, qid: str) -> None:
        order = self.orders.pop(qid)
        queue = self.queues[order.side][order.ticks]
        del queue[qid]
        self.totals[order.side][order.ticks] -= order.quantity
        if not queue:
            del self.queues[order.side][order.ticks], self.totals[order.side][order.ticks]
            prices = self.prices[order.side]
            del prices[bisect.bisect_left(prices, order.ticks)]
        if order.lobster_id:
            self.ids.pop(order.lobster_id, None)

    # -- reconciliation with an orderbook row --

    def remove_shares(self, side: int, ticks: int, shares: float) -> None:
        """Take shares out of a level: placeholders first, newest first."""
        queue = self.queues[side].get(ticks, {})
        newest_first = list(queue)[::-1]
        newest_first.sort(key=lambda qid: self.orders[qid].lobster_id != 0)  # stable
        for qid in newest_first:
            if shares <= 0:
                break
            take = min(self.orders[qid].quantity, shares)
            self.shrink(qid, take)
            shares -= take

    def window(self, side: int, seen: SideView) -> list[int]:
        """The book's prices on `side` that the row covers, as a copy."""
        prices = self.prices[side]
        if seen.complete:
            return list(prices)
        last = seen.levels[-1][0]
        if side == BUY:
            return prices[bisect.bisect_left(prices, last):]
        return prices[:bisect.bisect_right(prices, last)]

    def reconcile(self, row: tuple[SideView, SideView]) -> bool:
        changed = False
        # Trim both sides before topping up, so no placeholder can cross a stale level.
        for side in (BUY, SELL):
            wanted = dict(row[side].levels)
            for ticks in self.window(side, row[side]):
                extra = self.totals[side][ticks] - wanted.get(ticks, 0)
                if extra > 0:
                    self.remove_shares(side, ticks, extra)
                    changed = True
        for side in (BUY, SELL):
            for ticks, shares in row[side].levels:
                missing = shares - self.totals[side].get(ticks, 0.0)
                if missing > 0:
                    self.submit(side, ticks, missing, 0)
                    self.placeholders += 1
                    changed = True
        return changed

    # -- messages --

    def apply(self, message: Message) -> bool:
        """Replays one message; False when its type is skipped."""
        kind, qid = message.kind, self.ids.get(message.order_id)
        if kind == 1:
            self.submit(message.side, message.ticks, message.size, message.order_id)
        elif kind in (2, 3) and qid is None:
            # Placed before the file starts or outside its levels: inside a placeholder.
            self.remove_shares(message.side, message.ticks, message.size)
        elif kind == 2 and qid is not None:
            self.shrink(qid, message.size)
        elif kind == 3 and qid is not None:
            self.cancel(qid)
        elif kind == 4:
            taker, _ = self.submit(1 - message.side, message.ticks, message.size, 0)
            if taker in self.orders:
                # The level held less than was executed; an execution leaves nothing behind.
                self.cancel(taker)
        else:
            return False
        return True

    def agrees(self, row: list[int]) -> bool:
        """Top of book against a row: price and total shares of the best level, both sides."""
        same = True
        for side, best, price_col in ((BUY, self.book.best_bid(), 2), (SELL, self.book.best_ask(), 0)):
            prices = self.prices[side]
            mine = prices[-1 if side == BUY else 0] if prices else None
            front = self.orders[next(iter(self.queues[side][mine]))].quantity if mine is not None else None
            if (best is None and mine is not None) or (best is not None and best != (mine, front)):
                self.engine_mismatches += 1
            shown = (row[price_col] // PRICE_PER_TICK, row[price_col + 1]) if row[price_col + 1] > 0 else None
            have = (best[0], self.totals[side].get(best[0])) if best is not None else None
            same = same and have == shown
        return same


def run(message_path: Path, orderbook_path: Path, progress: TextIO | None = None) -> tuple[Summary, OrderBook]:
    messages, rows = read_messages(message_path), read_rows(orderbook_path)
    if len(messages) != len(rows) or not rows:
        raise ValueError(f"{len(messages)} messages but {len(rows)} orderbook rows")
    replay = Replay()
    previous = before_first(rows[0], messages[0])
    replay.reconcile(previous)  # seeds the empty book
    seeded, replay.placeholders = replay.placeholders, 0
    counts: Counter[int] = Counter()
    reconciliations = agree = skipped = 0
    began = time.perf_counter()
    for done, (message, row) in enumerate(zip(messages, rows), 1):
        reconciliations += replay.reconcile(previous)
        counts[message.kind] += 1
        skipped += not replay.apply(message)
        agree += replay.agrees(row)
        previous = view(row)
        if progress is not None and done % PROGRESS_EVERY == 0:
            print(f"  {done:,} / {len(messages):,} messages, {agree:,} rows agree", file=progress)
    seconds = time.perf_counter() - began
    summary = Summary(len(messages), len(rows[0]) // 4, dict(counts), skipped, seeded, reconciliations,
                      replay.placeholders, len(rows), agree, replay.engine_mismatches, seconds)
    return summary, replay.book


def replay_files(message_path: Path, orderbook_path: Path) -> Summary:
    return run(message_path, orderbook_path)[0]


def report(name: str, summary: Summary) -> str:
    kinds = ", ".join(f"{KIND_NAMES.get(kind, f'type {kind}')} {count:,}"
                      for kind, count in sorted(summary.counts.items()))
    return "\n".join([
        f"{name}: {summary.messages:,} messages replayed, {summary.depth} level(s) per row",
        f"  by type: {kinds} ({summary.skipped:,} skipped)",
        f"  seeded with {summary.seeded:,} placeholder orders; reconciled before {summary.reconciliations:,} "
        f"messages, adding {summary.placeholders:,} more",
        f"  top of book agrees with {summary.agree:,} / {summary.compared:,} rows ({summary.agreement:.2%})",
        f"  engine and level mirror disagreed {summary.engine_mismatches:,} times",
        f"  throughput: {summary.throughput:,.0f} messages per second ({summary.seconds:.2f} s)",
    ])


def require_matplotlib() -> None:
    """Raises ImportError without matplotlib, an optional dependency."""
    import matplotlib

    matplotlib.use("Agg")  # files only; no display needed


def depth_steps(levels: dict[int, float], outward: int, count: int) -> tuple[list[float], list[float]]:
    """Price and cumulative shares from the best level outward (outward = -1 for bids, +1 for asks)."""
    best_first = sorted(levels, reverse=outward < 0)[:count]
    prices, depth, total = [best_first[0] * TICK_SIZE], [0.0], 0.0
    for ticks in best_first:
        total += levels[ticks]
        prices.append(ticks * TICK_SIZE)
        depth.append(total)
    # Give the last level a tick of width so that a one-level side still shows.
    prices.append((best_first[-1] + outward) * TICK_SIZE)
    depth.append(total)
    return prices, depth


def plot_depth(book: OrderBook, path: Path, title: str, visible: int, count: int = 40) -> None:
    """Depth chart of the best `count` levels per side; the `visible` levels the file shows are shaded darker."""
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    reach = []
    for orders, outward, colour, name in ((book.buy_orders, -1, "tab:green", "bids"),
                                          (book.sell_orders, 1, "tab:red", "asks")):
        levels: dict[int, float] = {}
        for order in orders:
            levels[order.price_in_ticks] = levels.get(order.price_in_ticks, 0.0) + order.quantity
        if not levels:
            continue
        prices, depth = depth_steps(levels, outward, count)
        shown = min(count, len(levels))
        # Point 0 is the zero at the best price, point k the k-th level.
        ax.fill_between(prices[:visible + 2], depth[:visible + 2], step="post", color=colour, alpha=0.45)
        ax.fill_between(prices[visible + 1:], depth[visible + 1:], step="post", color=colour, alpha=0.15)
        ax.step(prices, depth, where="post", color=colour, label=f"{name}: best {shown} of {len(levels):,} levels")
        reach.append(prices)
    if len(reach) == 2:
        # Centre on the mid so that a thin side looks thin.
        mid = (reach[0][0] + reach[1][0]) / 2
        half = 1.03 * max(abs(edge - mid) for side in reach for edge in (side[0], side[-1]))
        ax.set_xlim(mid - half, mid + half)
    ax.set_title(title, fontsize=11)
    ax.set_xlabel("price ($)")
    ax.set_ylabel("cumulative shares")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper center")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("message_file", type=Path)
    parser.add_argument("orderbook_file", type=Path)
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the final book's depth chart")
    parser.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    args = parser.parse_args(argv)
    if args.plot is not None:
        try:
            require_matplotlib()  # before a long replay, not after it
        except ImportError:
            print("replay_lobster: --plot needs matplotlib: pip install matplotlib (or quorvane[plot])",
                  file=sys.stderr)
            return 2
    try:
        summary, book = run(args.message_file, args.orderbook_file, None if args.quiet else sys.stderr)
        name = args.message_file.name.split("_")[0]
        print(report(name, summary))
        if args.plot is not None:
            title = (f"{name}: quorvane book after {summary.messages:,} LOBSTER messages\n"
                     f"darker: the {summary.depth} level(s) per side the file shows; lighter: the replay's own")
            plot_depth(book, args.plot, title, summary.depth)
            print(f"  depth chart written to {args.plot}")
    except (OSError, ValueError) as error:
        print(f"replay_lobster: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
