"""Replay a LOBSTER message file through one quorvane book and check every visible level.

    replay_lobster.py MESSAGE_FILE ORDERBOOK_FILE [--plot FILE.png] [--quiet]

Needs numpy (pip install numpy, or quorvane[replay]) to read the files.
Prices of the messages replayed (types 1-4) and of the orderbook's levels must
be whole cents, the book's tick: a file with others is refused.

LOBSTER (lobsterdata.com) publishes NASDAQ order flow as two CSV files of equal
length: message i is one event, and orderbook row i is the visible book (the
best N price levels of each side, aggregate shares per level) right after it.
Every level of every orderbook row is checked against the book.

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

Comparison. After each message, the book's best N levels of each side (price
and total shares of each, and no level where the row shows none) must equal
the row's. Agreement is reported per depth: level 1, levels 1-5 and levels
1-10, as far as the file goes. best_bid() reports only the front order, so the
replay mirrors the book's levels from the fills that add() returns (O(1) per
change, not a walk over the whole side). The mirror keeps each side's best N
levels packed as 64-bit integers, the way numpy hands out a row's side when the
file is read, so a row compares in two bytes comparisons, and a message reads
again only the side it changed. At the end every resting order of the engine
(id, price, shares, place in its queue) is checked against the mirror.

Reconciliation. LOBSTER writes only the events that change the best N levels,
so the file says nothing about orders outside them: they appear at the best
without a submission, or leave without a deletion. When a row disagrees, the
book's visible window on that side (its levels at or better than the row's
N-th level, or the whole side if the row lists fewer than N levels) is made to
match the row before the next message: missing shares are topped up with a
placeholder, extra shares are trimmed (placeholders first), levels the row
lacks are dropped. A row that agrees leaves nothing to do. The number of
messages that needed it is reported. In the 10-level AAPL slice that happens
only when a level that changed unseen below the tenth comes into view; the
1-level files need it all day, and a row can still disagree when a message
clears the best level and uncovers a level the file never showed.

Throughput counts everything from reading the files to the final check, in
CPU time of the replaying thread: on a busy machine the elapsed time also
holds the time other programs had the core. Importing the modules (numpy's
import takes longer than a short replay) is not counted.
"""

from __future__ import annotations

import argparse
import bisect
import codecs
import io
import os
import re
import struct
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from itertools import islice, zip_longest
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from quorvane import Fill, OrderBook, OrderType

if TYPE_CHECKING:  # numpy is imported where the files are read: an optional dependency
    import numpy as np
    from numpy.typing import NDArray

BUY, SELL = 0, 1
SIDES = (OrderType.Buy, OrderType.Sell)
TICK_SIZE = 0.01
PRICE_UNITS = 10_000  # LOBSTER prices are dollars x 10000
UNITS_PER_TICK = 100
EMPTY_PRICE = (-9_999_999_999, 9_999_999_999)  # what a row shows for a missing bid, ask level
# Shares go to create_order as a float and come back in fills as floats: whole
# numbers are exact only below 2**53. (A level's total, packed as an int64,
# would then need over a thousand such orders to overflow.)
MAX_SHARES = 2**53
INTEGER = re.compile(rb"\s*[-+]?[0-9]+\s*")
NOT_SEPARATORS = bytes(c for c in range(256) if c not in b",\n")
BEST = (-1, 0)  # where the best bid, ask sits in its side's ascending list of prices
DEPTHS = (1, 5, 10)  # agreement is reported for levels 1..d
REPLAYED = {1, 2, 3, 4}  # message types that change the visible book
PROGRESS_EVERY = 10_000
KIND_NAMES = {1: "submit", 2: "partial cancel", 3: "delete", 4: "execute", 5: "hidden execution"}

# One side of an orderbook row: its N prices, then the N sizes, best level first,
# packed as 64-bit integers (view_layout). Packed, the book's side and a row's
# compare in one bytes comparison, and a row costs one object a side rather
# than a tuple of 2N integers.
View = bytes
Resting = tuple[int, int, int]  # side, price, LOBSTER id (0 for a placeholder)


@dataclass(frozen=True, slots=True)
class Messages:
    """A message file as columns; side is that of the resting order a message is about."""

    kinds: list[int]
    order_ids: list[int]
    sizes: list[int]
    prices: list[int]
    sides: list[int]
    counts: dict[int, int]  # messages by type


@dataclass(frozen=True, slots=True)
class Rows:
    """An orderbook file as one view per row and side."""

    bids: list[View]
    asks: list[View]
    depth: int  # levels per side


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
    agree_by_depth: dict[int, int]  # d -> rows whose levels 1..d all agree
    engine_mismatches: int  # resting orders on which engine and mirror disagree at the end
    fills: int
    seconds: float  # CPU time of the replay, files read included
    elapsed: float

    @property
    def agree(self) -> int:
        """Rows that agree at every level they show."""
        return self.agree_by_depth[self.depth]

    @property
    def throughput(self) -> float:
        return self.messages / self.seconds if self.seconds > 0 else float("inf")


def read_csv(path: Path) -> tuple[bytes, int]:
    """A CSV file's bytes, less a UTF-8 byte order mark and the white space at the end, and its
    cells per line. Refuses a blank line or a line of another number of cells than the first."""
    data = path.read_bytes().removeprefix(codecs.BOM_UTF8).rstrip()
    if not data:
        raise ValueError(f"{path}: empty file")
    # Every line's commas at once, several times faster than splitting the lines; those are
    # split only to name the line at fault.
    separators = data.translate(None, NOT_SEPARATORS)
    first = separators.split(b"\n", 1)[0]
    if not first or separators != (first + b"\n") * separators.count(b"\n") + first:
        for number, (line, commas) in enumerate(zip(data.split(b"\n"), separators.split(b"\n")), 1):
            if not line.strip():
                raise ValueError(f"{path} line {number}: blank line")
            if commas != first:
                raise ValueError(f"{path} line {number}: {len(commas) + 1} cell(s), line 1 has {len(first) + 1}")
    return data, len(first) + 1


def not_an_integer(path: Path, data: bytes, columns: Sequence[int]) -> ValueError:
    """The error that names the first cell of `columns` (0-based) that is not a 64-bit integer."""
    for number, line in enumerate(data.split(b"\n"), 1):
        for column, cell in enumerate(line.split(b","), 1):
            if column - 1 in columns and not (INTEGER.fullmatch(cell) and -2**63 <= int(cell) < 2**63):
                return ValueError(f"{path} line {number}, column {column}: {cell.decode(errors='replace')!r} "
                                  "is not an integer")
    return ValueError(f"{path}: a cell is not an integer")


def refuse(path: Path, bad: NDArray[np.bool_], rule: str, columns: Sequence[int] = ()) -> None:
    """Raises ValueError naming the first line where `bad` holds: a mask of rows, or of rows by `columns`
    (0-based, named in the error); a file's row i is its line i + 1 (read_csv refuses blank lines)."""
    import numpy as np

    if bad.any():  # usually nothing is refused, and any() is several times faster than nonzero()
        rows, cells = np.nonzero(bad.reshape(len(bad), -1))
        where = f", column {columns[cells[0]] + 1}" if columns else ""
        raise ValueError(f"{path} line {rows[0] + 1}{where}: {rule}")


def check_prices(path: Path, prices: NDArray[np.int64], used: NDArray[np.bool_], columns: Sequence[int] = ()) -> None:
    """Prices the replay uses must be those of the book: positive whole ticks, below a missing ask's."""
    refuse(path, used & (prices <= 0), "price must be positive", columns)
    refuse(path, used & (prices >= EMPTY_PRICE[SELL]), f"price must be below {EMPTY_PRICE[SELL]}", columns)
    # create_order would round to the cent and merge levels the mirror keeps apart.
    refuse(path, used & (prices % UNITS_PER_TICK != 0), "price must be a whole number of cents "
           f"(a multiple of {UNITS_PER_TICK})", columns)


def parse_integers(path: Path, data: bytes, usecols: Sequence[int]) -> NDArray[np.int64]:
    """The integers of the columns `usecols` of a CSV file as a 2-d array.

    numpy parses the whole file in one call, several times faster than
    splitting it and converting each cell in Python (and faster from bytes
    than from a str).
    """
    import numpy as np

    try:  # no comments: a row of the table stays a line of the file
        return np.loadtxt(io.BytesIO(data), delimiter=",", dtype=np.int64, usecols=usecols, ndmin=2, comments=None)
    except ValueError:
        raise not_an_integer(path, data, usecols) from None


def parse_all_integers(path: Path, data: bytes, width: int) -> NDArray[np.int64]:
    """Every cell of a CSV file of integers, `width` to a row (read_csv checked each row's), as a 2-d array.

    A file of nothing but integers numpy's fromstring reads in about two
    thirds of loadtxt's time, a tenth of a 10-level replay; but it knows no
    rows, so a bad cell is looked for again, line by line, to name it. It
    saturates an integer too large for 64 bits; the callers' bounds refuse it.
    """
    import numpy as np

    rows = data.count(b"\n") + 1
    try:
        cells = np.fromstring(data.replace(b"\n", b","), dtype=np.int64, sep=",")
    except ValueError:  # numpy 2; numpy 1 warns and returns the cells before the bad one
        cells = np.empty(0, dtype=np.int64)
    if len(cells) != width * rows:
        raise not_an_integer(path, data, range(width))
    return cells.reshape(rows, width)


def read_messages(path: Path) -> Messages:
    import numpy as np

    data, width = read_csv(path)
    if width != 6:
        raise ValueError(f"{path}: {width} columns, a message file has 6")
    # The time column is not needed: file order is event order.
    kinds, order_ids, sizes, prices, directions = parse_integers(path, data, range(1, 6)).T
    # Other types are skipped, so their fields are not checked (a halt's price is a code, its size 0).
    used = np.isin(kinds, sorted(REPLAYED))
    refuse(path, used & (directions != 1) & (directions != -1), "direction must be 1 or -1")
    refuse(path, used & (sizes <= 0), "size must be positive")
    refuse(path, used & (sizes >= MAX_SHARES), f"size must be below 2**53 ({MAX_SHARES})")
    check_prices(path, prices, used)
    types, counts = np.unique(kinds, return_counts=True)
    return Messages(kinds.tolist(), order_ids.tolist(), sizes.tolist(), prices.tolist(),
                    np.where(directions == 1, BUY, SELL).tolist(), dict(zip(types.tolist(), counts.tolist())))


def view_layout(depth: int) -> struct.Struct:
    return struct.Struct(f"={2 * depth}q")  # numpy's int64, native byte order


def read_rows(path: Path) -> Rows:
    import numpy as np

    data, width = read_csv(path)
    if width % 4:
        raise ValueError(f"{path}: {width} columns, an orderbook file has 4 per level")
    depth = width // 4
    table, size = parse_all_integers(path, data, width), view_layout(depth).size
    for first, empty_price in ((0, EMPTY_PRICE[SELL]), (2, EMPTY_PRICE[BUY])):
        # Level k's columns are 4k (ask price), 4k + 1 (ask size), 4k + 2 and 4k + 3 (the bid's).
        price_columns, size_columns = range(first, width, 4), range(first + 1, width, 4)
        prices, sizes = table[:, first::4], table[:, first + 1::4]
        empty = prices == empty_price
        refuse(path, empty & (sizes != 0), f"a missing level (price {empty_price}) must have size 0", size_columns)
        check_prices(path, prices, ~empty, price_columns)
        refuse(path, sizes < 0, "size must not be negative", size_columns)
        refuse(path, sizes >= MAX_SHARES, f"size must be below 2**53 ({MAX_SHARES})", size_columns)

    def side(first: int) -> list[View]:
        columns = [4 * level + column for column in (first, first + 1) for level in range(depth)]
        # numpy hands each row's 2N integers out as one bytes object.
        views: list[View] = np.ascontiguousarray(table[:, columns]).view(f"V{size}").ravel().tolist()
        return views

    return Rows(side(2), side(0), depth)


def levels_of(prices: Sequence[int], sizes: Sequence[int]) -> dict[int, int]:
    """Price -> shares of the levels a row shows on one side."""
    return {price: size for price, size in zip(prices, sizes) if size > 0}


class Replay:
    """One book plus a mirror of its price levels, kept in step from add()'s fills.

    The mirror keeps LOBSTER's price units. Each side's list of prices also
    holds `depth` empty levels, priced as a row shows a missing level, beyond
    its worst price, so that its best `depth` levels always read like a row.
    `views` holds each side's best levels packed as a row's side is; whoever
    changes a side reads its view again.
    """

    def __init__(self, depth: int) -> None:
        self.book = OrderBook(TICK_SIZE)
        self.depth = depth
        self.orders: dict[str, Resting] = {}
        # Per side and price: each order's shares left, in time priority, and their total.
        self.queues: tuple[dict[int, dict[str, int]], ...] = ({}, {})
        self.totals: tuple[dict[int, int], ...] = ({EMPTY_PRICE[BUY]: 0}, {EMPTY_PRICE[SELL]: 0})
        self.prices: tuple[list[int], ...] = ([EMPTY_PRICE[BUY]] * depth, [EMPTY_PRICE[SELL]] * depth)  # ascending
        self.layout = view_layout(depth)
        # One level a side reads without a loop, several times faster than the general case.
        self.view: Callable[[int], View] = self.best_level if depth == 1 else self.best_levels
        self.views = [self.view(BUY), self.view(SELL)]
        # LOBSTER id -> quorvane id. An entry outlives its order: whoever looks
        # one up asks `orders` whether the order still rests.
        self.ids: dict[int, str] = {}
        self.seeded = self.placeholders = 0
        self.fills = 0
        self.reconciliations = 0
        # by_matching[k]: rows whose best k levels agree and whose level k + 1 does not.
        self.by_matching = [0] * (depth + 1)

    def seed(self, bids: View, asks: View, kind: int, side: int, price: int, size: int) -> None:
        """Fills the empty book with the visible book before the first message, rebuilt from the row
        after it (`bids`, `asks`) by undoing the message (of type `kind`, on `side` at `price`)."""
        rows = [bids, asks]
        if kind in REPLAYED:
            depth, values = self.depth, self.layout.unpack(rows[side])
            levels = levels_of(values[:depth], values[depth:])
            # Take back a submission's shares; give back deleted or executed ones.
            levels[price] = levels.get(price, 0) + (-size if kind == 1 else size)
            # A level given back can push the row's last level out of the window.
            prices = sorted((price for price, shares in levels.items() if shares > 0), reverse=side == BUY)[:depth]
            missing = depth - len(prices)
            rows[side] = self.layout.pack(*prices, *[EMPTY_PRICE[side]] * missing,
                                          *[levels[price] for price in prices], *[0] * missing)
        self.reconcile(*rows)
        self.seeded, self.placeholders = self.placeholders, 0

    # -- the book and its mirror, always changed together --

    def submit(self, side: int, price: int, shares: int, lobster_id: int) -> list[Fill]:
        """Adds an order; returns its fills: when it traded, the other side changed too."""
        order = self.book.create_order(SIDES[side], price / PRICE_UNITS, shares)
        fills = self.book.add(order)
        if fills:
            shares -= self._take(fills, side)
        if shares > 0:
            qid = order.id
            queue = self.queues[side].get(price)
            if queue is None:
                queue = self.queues[side][price] = {}
                self.totals[side][price] = shares
                bisect.insort(self.prices[side], price)
            else:
                self.totals[side][price] += shares
            queue[qid] = shares
            self.orders[qid] = (side, price, lobster_id)
            if lobster_id:
                self.ids[lobster_id] = qid
        return fills

    def execute(self, side: int, price: int, shares: int) -> None:
        """An opposite order of the executed size at the executed price, so that the
        engine's own price-time priority decides which resting orders it hits.
        An execution leaves nothing behind, even when the level held less."""
        order = self.book.create_order(SIDES[1 - side], price / PRICE_UNITS, shares)
        fills = self.book.add(order)
        traded = self._take(fills, 1 - side) if fills else 0
        if traded < shares and not self.book.cancel(order.id):
            raise RuntimeError(f"the book lost order {order.id}")

    def cancel(self, qid: str) -> None:
        if not self.book.cancel(qid):
            raise RuntimeError(f"the book lost order {qid}")
        self._forget(qid)

    def shrink(self, qid: str, by: int) -> None:
        """Cancel, then re-add what is left: the rest goes to the back of its level."""
        side, price, lobster_id = self.orders[qid]
        shares = self.queues[side][price][qid]
        self.cancel(qid)
        if shares > by:
            self.submit(side, price, shares - by, lobster_id)

    def _take(self, fills: list[Fill], side: int) -> int:
        """Takes each fill's shares from the resting order it hit; returns the shares traded."""
        self.fills += len(fills)
        traded = 0
        for fill in fills:
            shares = int(fill.quantity)
            qid = fill.sell_id if side == BUY else fill.buy_id
            resting_side, price, _ = self.orders[qid]
            queue = self.queues[resting_side][price]
            if queue[qid] <= shares:
                self._forget(qid)
            else:
                queue[qid] -= shares
                self.totals[resting_side][price] -= shares
            traded += shares
        return traded

    def _forget(self, qid: str) -> None:
        side, price, _ = self.orders.pop(qid)
        queue = self.queues[side][price]
        shares = queue.pop(qid)
        if queue:
            self.totals[side][price] -= shares
        else:
            del self.queues[side][price], self.totals[side][price]
            prices = self.prices[side]
            del prices[bisect.bisect_left(prices, price)]

    # -- what the book shows --

    def best_level(self, side: int) -> View:
        price = self.prices[side][BEST[side]]
        return self.layout.pack(price, self.totals[side][price])

    def best_levels(self, side: int) -> View:
        """The side's best levels as a row shows them."""
        prices, totals = self.prices[side], self.totals[side]
        best = prices[:-self.depth - 1:-1] if side == BUY else prices[:self.depth]
        return self.layout.pack(*best, *[totals[price] for price in best])

    def matching_levels(self, bids: View, asks: View) -> int:
        """How many levels, from the best, the book shows as the row does on both sides."""
        depth, unpack = self.depth, self.layout.unpack
        return min((cell % depth for mine, row in zip(self.views, (bids, asks))
                    for cell, (a, b) in enumerate(zip(unpack(mine), unpack(row))) if a != b), default=depth)

    def engine_mismatches(self) -> int:
        """Resting orders on which the engine and the mirror disagree: id, price, shares or place in the queue."""
        mismatches = 0
        for side, orders in ((BUY, self.book.buy_orders), (SELL, self.book.sell_orders)):
            engine = [(order.id, order.price_in_ticks, order.quantity) for order in orders]
            queues = self.queues[side]
            mirror = [(qid, price // UNITS_PER_TICK, shares)
                      for price in sorted(queues) for qid, shares in queues[price].items()]
            mismatches += sum(mine != theirs for mine, theirs in zip_longest(mirror, engine))
        return mismatches

    # -- reconciliation with an orderbook row --

    def remove_shares(self, side: int, price: int, shares: int) -> None:
        """Take shares out of a level: placeholders first, newest first, then the newest real orders."""
        queue = self.queues[side].get(price)
        if queue is None or shares <= 0:
            return
        if shares >= self.totals[side][price]:
            for qid in list(queue):
                self.cancel(qid)
            return
        orders, newest_first = self.orders, list(reversed(queue))
        placeholders = [qid for qid in newest_first if not orders[qid][2]]
        for qid in placeholders + [qid for qid in newest_first if orders[qid][2]]:
            held = queue[qid]
            if held >= shares:
                self.shrink(qid, shares)
                return
            self.cancel(qid)
            shares -= held

    def window(self, side: int, last_price: int, last_size: int) -> list[int]:
        """The book's prices on `side` that a row's levels cover, given the row's last level on that side."""
        prices, depth = self.prices[side], self.depth
        if side == BUY:
            # Fewer levels than the file's depth: the side holds nothing else.
            return prices[depth if last_size <= 0 else bisect.bisect_left(prices, last_price):]
        return prices[:-depth if last_size <= 0 else bisect.bisect_right(prices, last_price)]

    def reconcile(self, bids: View, asks: View) -> None:
        """Brings the book's visible window in line with a row, on each side that differs."""
        depth, fixes = self.depth, []
        for side, row in ((SELL, asks), (BUY, bids)):
            if self.views[side] != row:
                values = self.layout.unpack(row)
                fixes.append((side, values[:depth], values[depth:]))
        # Trim before topping up, so no placeholder can cross a stale level.
        for side, prices, sizes in fixes:
            if window := self.window(side, prices[-1], sizes[-1]):
                totals, wanted = self.totals[side], dict(zip(prices, sizes))
                for price in window:
                    extra = totals[price] - wanted.get(price, 0)
                    if extra > 0:
                        self.remove_shares(side, price, extra)
        for side, prices, sizes in fixes:
            totals = self.totals[side]
            for price, shares in zip(prices, sizes):
                missing = shares - totals.get(price, 0)
                if missing > 0:
                    self.submit(side, price, missing, 0)
                    self.placeholders += 1
        # Both: a placeholder that crossed a wrong row changed the other side too.
        self.views[:] = self.view(BUY), self.view(SELL)

    # -- the replay --

    def follow(self, messages: Messages, rows: Rows, progress: TextIO | None) -> None:
        """Replays each message, recomputing the views it changed, and compares the views
        with the row after it; a row that disagrees is reconciled before the next message.
        Types of message that leave the visible book alone are skipped. The dispatch is
        written out here rather than in a method per message: a call costs about as much
        as the book's own work on a cancel."""
        views, view, ids, orders = self.views, self.view, self.ids, self.orders
        submit, cancel, shrink, execute = self.submit, self.cancel, self.shrink, self.execute
        by_matching, depth, count = self.by_matching, self.depth, len(rows.bids)
        agree, agreed, previous_bids, previous_asks = 0, True, rows.bids[0], rows.asks[0]
        in_step = zip(messages.kinds, messages.order_ids, messages.sizes, messages.prices, messages.sides,
                      rows.bids, rows.asks)
        for done in range(PROGRESS_EVERY, count + PROGRESS_EVERY, PROGRESS_EVERY):
            for kind, lobster_id, size, price, side, bids, asks in islice(in_step, PROGRESS_EVERY):
                if not agreed:  # the book lacks what the previous row shows, or holds what it does not
                    self.reconcile(previous_bids, previous_asks)
                    self.reconciliations += 1
                if kind == 1:
                    if submit(side, price, size, lobster_id):
                        views[1 - side] = view(1 - side)
                    views[side] = view(side)
                elif kind == 3 or kind == 2:
                    qid = ids.get(lobster_id, "")
                    resting = orders.get(qid)
                    if resting is None:
                        # Placed before the file starts or outside its levels: inside a placeholder.
                        self.remove_shares(side, price, size)
                    else:
                        side = resting[0]  # the order's own, whatever the message says
                        if kind == 3:
                            cancel(qid)
                        else:
                            shrink(qid, size)
                    views[side] = view(side)
                elif kind == 4:
                    execute(side, price, size)
                    views[side] = view(side)
                agreed = views[BUY] == bids and views[SELL] == asks
                if agreed:
                    agree += 1
                elif depth > 1:
                    by_matching[self.matching_levels(bids, asks)] += 1
                previous_bids, previous_asks = bids, asks
            if progress is not None:
                print(f"  {min(done, count):,} / {count:,} messages, {agree:,} rows agree", file=progress)
        by_matching[depth] = agree


def run(message_path: Path, orderbook_path: Path, progress: TextIO | None = None) -> tuple[Summary, OrderBook]:
    import numpy  # noqa: F401 -- before the clocks start: the import takes longer than a short replay

    began, cpu_began = time.perf_counter(), time.thread_time()
    messages, rows = read_messages(message_path), read_rows(orderbook_path)
    count, depth = len(rows.bids), rows.depth
    if len(messages.kinds) != count:
        raise ValueError(f"{len(messages.kinds)} messages but {count} orderbook rows")
    replay = Replay(depth)
    replay.seed(rows.bids[0], rows.asks[0], messages.kinds[0], messages.sides[0], messages.prices[0],
                messages.sizes[0])
    replay.follow(messages, rows, progress)
    engine_mismatches = replay.engine_mismatches()
    seconds, elapsed = time.thread_time() - cpu_began, time.perf_counter() - began
    agree_by_depth = {level: sum(replay.by_matching[level:]) for level in (*DEPTHS, depth) if level <= depth}
    counts = messages.counts
    summary = Summary(count, depth, counts, sum(n for kind, n in counts.items() if kind not in REPLAYED),
                      replay.seeded, replay.reconciliations, replay.placeholders, count, agree_by_depth,
                      engine_mismatches, replay.fills, seconds, elapsed)
    return summary, replay.book


def replay_files(message_path: Path, orderbook_path: Path) -> Summary:
    return run(message_path, orderbook_path)[0]


def depth_name(depth: int) -> str:
    return "level 1" if depth == 1 else f"levels 1-{depth}"


def report(name: str, summary: Summary) -> str:
    kinds = ", ".join(f"{KIND_NAMES.get(kind, f'type {kind}')} {count:,}"
                      for kind, count in sorted(summary.counts.items()))
    agreement = "; ".join(f"{depth_name(depth)} {agree:,} ({agree / summary.compared:.2%})"
                          for depth, agree in summary.agree_by_depth.items())
    return "\n".join([
        f"{name}: {summary.messages:,} messages replayed, {summary.depth} level(s) per row",
        f"  by type: {kinds} ({summary.skipped:,} skipped)",
        f"  seeded with {summary.seeded:,} placeholder orders; reconciled before {summary.reconciliations:,} "
        f"messages, adding {summary.placeholders:,} more",
        f"  rows agreeing, of {summary.compared:,}: {agreement}",
        f"  resting orders on which engine and level mirror disagree at the end: {summary.engine_mismatches:,}",
        f"  throughput: {summary.throughput:,.0f} messages per CPU second ({summary.seconds:.3f} s CPU, "
        f"{summary.elapsed:.3f} s elapsed, files read included; load average {os.getloadavg()[0]:.1f} "
        f"on {os.cpu_count()} cores)",
    ])


def plot_problem(path: Path) -> str | None:
    """Why the depth chart could not be written to `path`, or None; checked before a long replay."""
    try:
        import matplotlib
    except ImportError:
        return "--plot needs matplotlib: pip install matplotlib (or quorvane[plot])"
    matplotlib.use("Agg")  # files only; no display needed
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    # Without a suffix it knows, matplotlib would add one or refuse the file after the replay.
    if path.suffix[1:].lower() not in FigureCanvasAgg.get_supported_filetypes():
        return f"--plot {path}: name the file with a suffix matplotlib writes, such as .png, .svg or .pdf"
    if not path.parent.is_dir():
        return f"--plot {path}: no directory {path.parent}"
    return None


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
    if args.plot is not None and (problem := plot_problem(args.plot)) is not None:
        print(f"replay_lobster: {problem}", file=sys.stderr)
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
    except ImportError as error:  # numpy, imported where the files are read
        print(f"replay_lobster: reading the files needs numpy ({error}): pip install numpy (or quorvane[replay])",
              file=sys.stderr)
        return 2
    except (OSError, ValueError) as error:
        print(f"replay_lobster: {error}", file=sys.stderr)
        return 1
    if summary.engine_mismatches:  # the agreement above was the mirror's, not the engine's
        print(f"replay_lobster: the engine and the level mirror disagree on {summary.engine_mismatches:,} "
              "resting orders", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
