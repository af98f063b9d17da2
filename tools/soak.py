"""Soak run: random operations through quorvane.OrderBook and the plain-Python
reference book (tests/reference_book.py), compared after every operation.

    python tools/soak.py [--ops N] [--seed S] [--jobs J]
    python tools/soak.py --worker-seed X --ops N     # replay one worker's stream

The operations are split over J worker processes; each draws from its own
random stream, seeded from S and its index, and its seed is printed so that a
worker can be replayed alone (order ids are random, everything else repeats).
Each worker compares, after every operation:
  - the operation's own result (fills field by field, bools, returned orders,
    error messages, and the caller's Order objects where they should change or not);
  - best_bid, best_ask and spread;
  - while the book is small (and every --full-every operations otherwise):
    buy_orders and sell_orders field by field, both volumes (sign of zero and
    NaN included) and repr(book).
The book stays small: prices come from a narrow band around 100 ticks, cancels
are frequent, and a fresh book (with a new tick size) starts every
--fresh-every operations, which also drops the filled-order records. Before a
book is dropped every id the session touched is looked up in both books.

A divergence is printed (capped by --max-reports per worker) with the seed,
the operation index, the operation, the recent history and both states; the
session then starts afresh so that each counted divergence is a new one. The
exit status is 1 when any worker saw a divergence or failed.
"""
from __future__ import annotations

import argparse
import hashlib
import math
import multiprocessing
import os
import random
import re
import sys
import time
import traceback
import uuid
from collections import deque
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from quorvane import Order, OrderBook, OrderType  # noqa: E402
# The model and the comparisons that the tests use too, so both agree on what "same" means.
from reference_book import (  # noqa: E402
    BUY, FILLED, OPEN, SELL, ReferenceBook, Rec, create_check, fill_step, same, same_record, same_top,
)

SIDES = (OrderType.Buy, OrderType.Sell)
NAN, INF = math.nan, math.inf
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
ID_FORM = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")

BASE, BAND = 100, 3  # prices of ordinary orders: BASE +- BAND ticks
PLAIN_QUANTITIES = (1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0,
                    0.5, 1.5, 0.1, 0.2, 0.3, 0.125, 2.675, 3)  # 3: an int, stored as 3.0
ODD_QUANTITIES = (NAN, INF, -INF, 5e-324, 1e-300, 1e-9, 1 / 3, 1e16, 2.0**53, 1e300,
                  123456.789, 0.0, -0.0, -1.0, 0, 7)
PLAIN_TICK_SIZES = (0.01, 0.01, 0.01, 0.05, 0.1, 0.25, 0.5, 1.0, 0.001, 0.3)
# Tick sizes the book accepts without checking: create_order then mostly fails
# (or saturates), so these sessions are fed by Order(...) made directly.
ODD_TICK_SIZES = (0.0, -0.01, NAN, INF, 1e-300, 5e-324, 1e300, 3.0)
# With odd values, two prices far from the band that share their low ten bits
# with BASE, as the book's price index places them.
ODD_TICKS = (0, -1, 1, 2, I64_MAX, I64_MAX - 1, 2**62, 2**63, I64_MIN, I64_MIN - 1, 2**64, BASE + 1024, 2**62 + BASE)
POOL_SIZE = 48       # Order objects a worker keeps around to re-add, fill, update
SMALL_BOOK = 48      # resting orders up to which the full state is compared every time
CROWDED = 24         # above this many resting orders, cancels get more frequent


def derive_seed(seed: int, worker: int) -> int:
    digest = hashlib.blake2b(f"quorvane-soak/{seed}/{worker}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "big")


def show(value) -> str:
    if isinstance(value, Order):
        return repr(Rec.of(value))
    return repr(value)


def describe_fill(f) -> str:
    return f"Fill(quantity={f.quantity!r}, price={f.price!r}, buy_id={f.buy_id!r}, sell_id={f.sell_id!r}, timestamp={f.timestamp!r})"


class Divergence(Exception):
    pass


class Soak:
    def __init__(self, worker: int, seed: int, ops: int, args):
        self.worker, self.seed, self.ops = worker, seed, ops
        self.args = args
        self.rng = random.Random(seed)
        self.divergences = 0
        self.reports = 0
        self.full_checks = 0
        self.fills = 0
        self.sessions = 0
        self.index = 0
        self.size = 0
        ops_table = [
            (self.op_create_add, 30), (self.op_create_only, 3), (self.op_create_odd_price, 4),
            (self.op_direct, 8), (self.op_readd, 6),
            (self.op_cancel_live, 14), (self.op_cancel_pool, 4), (self.op_cancel_filled, 2),
            (self.op_cancel_upper, 1), (self.op_cancel_unknown, 1),
            (self.op_get, 7), (self.op_update_pool, 3), (self.op_update_filled_copy, 4),
            (self.op_fill, 5), (self.op_query, 8),
        ]
        self.table = [op for op, weight in ops_table for _ in range(weight)]

    # ---- session -------------------------------------------------------
    def fresh(self) -> None:
        rng = self.rng
        self.odd_tick = rng.random() < 0.1
        self.tick = rng.choice(ODD_TICK_SIZES if self.odd_tick else PLAIN_TICK_SIZES)
        self.book, self.model = OrderBook(self.tick), ReferenceBook(self.tick)
        self.pool: list[Order] = []
        self.filled_ids: deque[str] = deque(maxlen=64)
        self.gone_ids: deque[str] = deque(maxlen=256)  # cancelled: must stay unknown
        self.session_ids: set[str] = set()
        self.history: deque = deque(maxlen=8)
        self.session_start = self.index
        self.size = 0
        self.sessions += 1

    def sweep(self) -> list[str]:
        """Every id the session touched, looked up in both books."""
        problems = []
        for order_id in list(self.model.orders) + list(self.gone_ids) + [o.id for o in self.pool]:
            got, expected = self.book.get_order(order_id), self.model.get_order(order_id)
            if not (got is None if expected is None else got is not None and same_record(got, expected)):
                problems.append(f"get_order({order_id!r}) at session end: {show(got)}, model {expected!r}")
                if len(problems) >= 10:
                    break
        return problems

    # ---- picking -------------------------------------------------------
    def quantity(self):
        rng = self.rng
        return rng.choice(ODD_QUANTITIES) if rng.random() < 0.12 else rng.choice(PLAIN_QUANTITIES)

    def pool_add(self, order: Order) -> None:
        if len(self.pool) < POOL_SIZE:
            self.pool.append(order)
        else:
            self.pool[self.rng.randrange(POOL_SIZE)] = order

    def pool_pick(self):
        return self.pool[self.rng.randrange(len(self.pool))] if self.pool else None

    def resting_pick(self):
        """A random queue copy of the model (None when both sides are empty)."""
        if not self.size:
            return None
        k = self.rng.randrange(self.size)
        for side in (BUY, SELL):
            queues, prices = self.model.levels[side]
            for p in prices:
                q = queues[p]
                if k < len(q):
                    return q[k]
                k -= len(q)
        return None

    def some_id(self) -> str:
        rng = self.rng
        r = rng.random()
        if r < 0.2:
            rec = self.resting_pick()
            if rec is not None:
                return rec.id
        elif r < 0.3 and self.filled_ids:
            return rng.choice(self.filled_ids)
        elif r < 0.4 and self.gone_ids:
            return rng.choice(self.gone_ids)
        elif r < 0.45:
            return self.unknown_id()
        order = self.pool_pick()
        if order is None:
            return self.unknown_id()
        return order.id.upper() if r > 0.95 else order.id

    def unknown_id(self) -> str:
        rng = self.rng
        r = rng.random()
        if r < 0.4:
            return str(uuid.UUID(int=rng.getrandbits(128), version=4))
        order = self.pool_pick()
        if order is None or r < 0.5:
            return rng.choice(("", "x", "not-an-id", "0" * 36, "\u00e9" * 36))
        return order.id[::-1] if r < 0.8 else order.id[:-1]

    # ---- checks shared by operations ----------------------------------
    def check_new_order(self, order, side, ticks, quantity, t0, t1) -> list[str]:
        problems = []
        if not (int(order.side) == side and order.price_in_ticks == ticks and same(order.quantity, float(quantity))
                and int(order.status) == OPEN and order.is_open() is True and type(order.quantity) is float):
            problems.append(f"new order {show(order)}; expected side {side}, ticks {ticks}, quantity {float(quantity)!r}, Open")
        if not ID_FORM.match(order.id):
            problems.append(f"new order id {order.id!r} is not a lowercase version-4 uuid")
        if order.id in self.session_ids:
            problems.append(f"new order id {order.id!r} repeats an earlier one")
        self.session_ids.add(order.id)
        if not t0 <= order.timestamp <= t1:
            problems.append(f"new order timestamp {order.timestamp} outside [{t0}, {t1}]")
        return problems

    def add(self, order) -> list[str]:
        rec = Rec.of(order)
        self.history.append(("add", rec))
        t0 = time.time_ns()
        fills = self.book.add(order)
        t1 = time.time_ns()
        trades = self.model.add(rec)
        self.fills += len(trades)
        problems = []
        if type(fills) is not list or len(fills) != len(trades):
            problems.append(f"add returned {len(fills)} fills, model {len(trades)}")
        for k, (f, t) in enumerate(zip(fills, trades)):
            if not (f.buy_id == t.buy_id and f.sell_id == t.sell_id and same(f.quantity, t.quantity)
                    and same(f.price, t.price) and t0 <= f.timestamp <= t1):
                problems.append(f"fill {k}: {describe_fill(f)}; model {t}")
        if [f.timestamp for f in fills] != sorted(f.timestamp for f in fills):
            problems.append("the fills' timestamps are not in step order")
        if problems:
            problems += [f"  book fills: {[describe_fill(f) for f in fills]}", f"  model trades: {trades}"]
        if not same_record(order, rec):
            problems.append(f"add changed the caller's order: {show(order)}, was {rec}")
        orders = self.model.orders
        for t in trades:
            for order_id in (t.buy_id, t.sell_id):
                if orders[order_id].status == FILLED:
                    self.filled_ids.append(order_id)
        return problems

    def fill_pair(self, mine, other, tick_size) -> list[str]:
        """Order.fill against the reference fill step, both orders checked after."""
        a, b = Rec.of(mine), Rec.of(other)
        self.history.append(("Order.fill", a, b, tick_size))
        matches = a.side != b.side and (a.price_in_ticks >= b.price_in_ticks if a.side == BUY
                                        else a.price_in_ticks <= b.price_in_ticks)
        problems = []
        if mine is other:
            try:
                mine.fill(other, tick_size)
            except RuntimeError as e:
                if e.args != ("Already borrowed",):
                    problems.append(f"o.fill(o) raised RuntimeError{e.args!r}, expected ('Already borrowed',)")
            else:
                problems.append("o.fill(o) did not raise")
            if not same_record(mine, a):
                problems.append(f"o.fill(o) changed the order: {show(mine)}, was {a}")
            return problems
        if mine.can_match(other) is not matches or other.can_match(mine) is not matches:
            problems.append(f"can_match gives {mine.can_match(other)}/{other.can_match(mine)}, expected {matches}")
        t0 = time.time_ns()
        f = mine.fill(other, tick_size)
        t1 = time.time_ns()
        if not matches:
            if f is not None:
                problems.append(f"fill of non-matching orders returned {describe_fill(f)}")
            if not (same_record(mine, a) and same_record(other, b)):
                problems.append(f"fill of non-matching orders changed them: {show(mine)}, {show(other)}")
            return problems
        a2, b2, t = fill_step(a, b, tick_size)
        if f is None:
            problems.append(f"fill returned None, model {t}")
        elif not (f.buy_id == t.buy_id and f.sell_id == t.sell_id and same(f.quantity, t.quantity)
                  and same(f.price, t.price) and t0 <= f.timestamp <= t1):
            problems.append(f"fill {describe_fill(f)}; model {t}")
        if not same_record(mine, a2):
            problems.append(f"after fill this order is {show(mine)}, model {a2}")
        if not same_record(other, b2):
            problems.append(f"after fill the incoming order is {show(other)}, model {b2}")
        return problems

    def cancel(self, order_id) -> list[str]:
        self.history.append(("cancel", order_id))
        got = self.book.cancel(order_id)
        expected = self.model.cancel(order_id)
        if expected:
            self.gone_ids.append(order_id)
        if got is not expected:
            return [f"cancel({order_id!r}) returned {got!r}, model {expected!r}"]
        return []

    # ---- operations ------------------------------------------------------
    def create(self, side, price, quantity, add_now) -> list[str]:
        self.history.append(("create_order", int(side), price, quantity, add_now))
        ticks, error = create_check(price, quantity, self.tick)
        t0 = time.time_ns()
        try:
            order = self.book.create_order(side, price, quantity)
        except ValueError as e:
            if e.args != (error,):
                return [f"create_order raised ValueError{e.args!r}, model expects {error!r}"]
            return []
        t1 = time.time_ns()
        if error is not None:
            return [f"create_order returned {show(order)}, model expects ValueError({error!r})"]
        problems = self.check_new_order(order, int(side), ticks, quantity, t0, t1)
        self.pool_add(order)
        if add_now:
            problems += self.add(order)
        return problems

    def op_create_add(self):
        if self.odd_tick and self.rng.random() < 0.6:
            return self.op_direct()
        rng = self.rng
        ticks = BASE + rng.randint(-BAND, BAND)
        return self.create(rng.choice(SIDES), ticks * self.tick, self.quantity(), True)

    def op_create_only(self):
        rng = self.rng
        ticks = BASE + rng.randint(-BAND, BAND)
        return self.create(rng.choice(SIDES), ticks * self.tick, self.quantity(), False)

    def op_create_odd_price(self):
        rng, tick = self.rng, self.tick
        k = BASE + rng.randint(-BAND, BAND)
        price = rng.choice((
            NAN, INF, -INF, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300, 1e19, 1,
            tick * 0.4, tick * 0.5, tick * 0.49999999999999994, tick * (k + 0.5), tick * (k - 0.5),
            tick * (k + 0.4999999999), float(2**63) * tick, math.nextafter(float(2**63) * tick, 0.0),
            float(2**62) * tick, k * tick * (1 + 1e-15), rng.uniform(0.0, 2 * BASE * tick),
        ))
        return self.create(rng.choice(SIDES), price, self.quantity(), rng.random() < 0.7)

    def op_direct(self):
        rng = self.rng
        side = rng.randrange(2)
        ticks = rng.choice(ODD_TICKS) if rng.random() < 0.08 else BASE + rng.randint(-BAND, BAND)
        quantity = self.quantity()
        self.history.append(("Order", side, ticks, quantity))
        if not I64_MIN <= ticks <= I64_MAX:
            expected = (OverflowError, "Python int too large to convert to C long")
        elif ticks < 1:
            expected = (ValueError, "price_in_ticks must be positive")
        elif quantity <= 0.0:
            expected = (ValueError, "quantity must be positive")
        else:
            expected = None
        t0 = time.time_ns()
        try:
            order = Order(SIDES[side], ticks, quantity)
        except (ValueError, OverflowError) as e:
            if expected is None or type(e) is not expected[0] or e.args != (expected[1],):
                return [f"Order(...) raised {type(e).__name__}{e.args!r}, expected {expected!r}"]
            return []
        t1 = time.time_ns()
        if expected is not None:
            return [f"Order(...) returned {show(order)}, expected {expected!r}"]
        problems = self.check_new_order(order, side, ticks, quantity, t0, t1)
        self.pool_add(order)
        if rng.random() < 0.7:
            problems += self.add(order)
        return problems

    def op_readd(self):
        order = self.pool_pick()
        return self.add(order) if order is not None else self.op_create_add()

    def op_cancel_live(self):
        rec = self.resting_pick()
        return self.cancel(rec.id) if rec is not None else self.op_cancel_pool()

    def op_cancel_pool(self):
        order = self.pool_pick()
        return self.cancel(order.id if order is not None else self.unknown_id())

    def op_cancel_filled(self):
        if not self.filled_ids:
            return self.op_cancel_pool()
        return self.cancel(self.rng.choice(self.filled_ids))

    def op_cancel_upper(self):
        order = self.pool_pick()
        return self.cancel(order.id.upper() if order is not None else self.unknown_id())

    def op_cancel_unknown(self):
        return self.cancel(self.unknown_id())

    def op_get(self):
        order_id = self.some_id()
        self.history.append(("get_order", order_id))
        got, expected = self.book.get_order(order_id), self.model.get_order(order_id)
        if expected is None:
            return [] if got is None else [f"get_order({order_id!r}) returned {show(got)}, model None"]
        if got is None or not same_record(got, expected):
            return [f"get_order({order_id!r}) returned {show(got)}, model {expected}"]
        if self.rng.random() < 0.3:
            self.pool_add(got)  # a detached copy of the book's state, to re-add or fill later
        return []

    def update(self, order) -> list[str]:
        rec = Rec.of(order)
        self.history.append(("update_order", rec))
        result = self.book.update_order(order)
        self.model.update_order(rec)
        return [] if result is None else [f"update_order returned {result!r}"]

    def op_update_pool(self):
        order = self.pool_pick()
        return self.update(order) if order is not None else self.op_create_add()

    def op_update_filled_copy(self):
        """get_order of a (mostly resting) order, Order.fill on the copy, update_order with it."""
        rng = self.rng
        rec = self.resting_pick()
        order_id = rec.id if rec is not None and rng.random() < 0.8 else self.some_id()
        self.history.append(("get_order", order_id))
        got, expected = self.book.get_order(order_id), self.model.get_order(order_id)
        if (got is None) != (expected is None) or (got is not None and not same_record(got, expected)):
            return [f"get_order({order_id!r}) returned {show(got)}, model {expected}"]
        if got is None:
            return self.op_update_pool()
        other = self.pool_pick()
        if other is None or rng.random() < 0.5:
            other_side = SELL if int(got.side) == BUY else BUY
            ticks = got.price_in_ticks + (rng.randint(-1, 2) if other_side == SELL else rng.randint(-2, 1))
            other = Order(SIDES[other_side], min(I64_MAX, max(1, ticks)), rng.choice(PLAIN_QUANTITIES))
            self.pool_add(other)
        problems = self.fill_pair(got, other, self.tick if rng.random() < 0.9 else rng.choice(ODD_TICK_SIZES))
        problems += self.update(got)
        self.pool_add(got)
        return problems

    def op_fill(self):
        mine, other = self.pool_pick(), self.pool_pick()
        if mine is None:
            return self.op_create_add()
        tick = self.tick if self.rng.random() < 0.9 else self.rng.choice(ODD_TICK_SIZES)
        return self.fill_pair(mine, other, tick)

    def op_query(self):
        b, m = self.book, self.model
        q = self.rng.randrange(8)
        self.history.append(("query", q))
        if q == 0:
            got, expected = b.best_bid(), m.best_bid()
            ok = same_top(got, expected) and (got is None or (type(got) is tuple and type(got[0]) is int
                                                             and type(got[1]) is float))
        elif q == 1:
            got, expected = b.best_ask(), m.best_ask()
            ok = same_top(got, expected) and (got is None or (type(got) is tuple and type(got[0]) is int
                                                             and type(got[1]) is float))
        elif q == 2:
            got, expected = b.spread(), m.spread()
            ok = same(got, expected) and (got is None or type(got) is float)
        elif q == 3:
            got, expected = b.buy_volume(), m.buy_volume()
            ok = type(got) is float and same(got, expected)
        elif q == 4:
            got, expected = b.sell_volume(), m.sell_volume()
            ok = type(got) is float and same(got, expected)
        elif q == 5:
            got, expected = str(b), repr(m)
            ok = got == expected
        elif q == 6:
            got, expected = b.tick_size, m.tick_size
            ok = type(got) is float and same(got, expected)
        else:
            side = self.rng.randrange(2)
            got, expected = (b.buy_orders, m.buy_orders) if side == BUY else (b.sell_orders, m.sell_orders)
            ok = type(got) is list and len(got) == len(expected) and all(map(same_record, got, expected))
            got = [Rec.of(o) for o in got]
        return [] if ok else [f"query {q}: {got!r}, model {expected!r}"]

    # ---- state comparison --------------------------------------------
    def check_state(self) -> list[str]:
        b, m = self.book, self.model
        problems = []
        got, expected = b.best_bid(), m.best_bid()
        if not same_top(got, expected):
            problems.append(f"best_bid {got!r}, model {expected!r}")
        got, expected = b.best_ask(), m.best_ask()
        if not same_top(got, expected):
            problems.append(f"best_ask {got!r}, model {expected!r}")
        got, expected = b.spread(), m.spread()
        if not same(got, expected):
            problems.append(f"spread {got!r}, model {expected!r}")
        self.size = sum(map(len, m.levels[BUY][0].values())) + sum(map(len, m.levels[SELL][0].values()))
        if self.size <= SMALL_BOOK or self.index % self.args.full_every == 0:
            self.full_checks += 1
            for name, got, expected in (("buy_orders", b.buy_orders, m.buy_orders),
                                        ("sell_orders", b.sell_orders, m.sell_orders)):
                if len(got) != len(expected) or not all(map(same_record, got, expected)):
                    problems.append(f"{name} differ ({len(got)} orders, model {len(expected)})")
            for name, got, expected in (("buy_volume", b.buy_volume(), m.buy_volume()),
                                        ("sell_volume", b.sell_volume(), m.sell_volume())):
                if not same(got, expected):
                    problems.append(f"{name} {got!r}, model {expected!r}")
            got, expected = repr(b), repr(m)
            if got != expected:
                problems.append(f"repr {got!r}, model {expected!r}")
        return problems

    def states(self) -> str:
        lines = []
        for name, book in (("book", self.book), ("model", self.model)):
            try:
                lines.append(f"{name} (tick_size {book.tick_size!r}):")
                lines += ["  " + line for line in repr(book).splitlines()]
                for side in ("buy_orders", "sell_orders"):
                    orders = [Rec.of(o) for o in getattr(book, side)]
                    lines.append(f"  {side} ({len(orders)}):")
                    lines += [f"    {r}" for r in orders[:40]]
                    if len(orders) > 40:
                        lines.append(f"    ... {len(orders) - 40} more")
            except BaseException as e:  # a broken book must not end the report
                lines.append(f"  (could not read {name}: {type(e).__name__}: {e})")
        return "\n".join(lines)

    def diverged(self, problems: list[str]) -> None:
        self.divergences += 1
        if self.reports < self.args.max_reports:
            self.reports += 1
            history = list(self.history)
            text = "\n".join([
                f"=== divergence {self.divergences}: worker {self.worker}, seed {self.seed}, operation {self.index}"
                f" (session from operation {self.session_start}, tick_size {self.tick!r}) ===",
                f"operation: {history[-1] if history else '?'}",
                "differences:", *("  " + p for p in problems),
                "recent operations, oldest first:", *(f"  {h}" for h in history),
                self.states(),
                f"replay: {sys.executable} {Path(__file__).resolve()} --worker-seed {self.seed} --ops {self.index + 1}",
                "",
            ])
            sys.stdout.write(text + "\n")
            sys.stdout.flush()
        self.fresh()  # start over, so that one fault is counted once

    # ---- main loop -----------------------------------------------------
    def run(self) -> dict:
        args, table = self.args, self.table
        rng = self.rng
        progress_every = args.progress
        n_table = len(table)
        self.index = 0
        self.fresh()
        start = last = time.perf_counter()
        for i in range(self.ops):
            self.index = i
            if i - self.session_start >= args.fresh_every:
                problems = self.sweep()
                if problems:
                    self.diverged(problems)  # starts a fresh book itself
                else:
                    self.fresh()
            op = self.op_cancel_live if self.size > CROWDED and rng.random() < 0.5 else table[int(rng.random() * n_table)]
            try:
                problems = op() or self.check_state()
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as e:  # PanicException is a BaseException
                where = traceback.extract_tb(e.__traceback__)[-1]
                problems = [f"raised {type(e).__module__}.{type(e).__name__}: {e}"
                            f" (at line {where.lineno}: {where.line})"]
            if problems:
                self.diverged(problems)
            if progress_every and (i + 1) % progress_every == 0:
                now = time.perf_counter()
                print(f"[soak] worker {self.worker}: {i + 1:,}/{self.ops:,} operations, {self.divergences} divergences,"
                      f" {progress_every / (now - last):,.0f} ops/s", file=sys.stderr, flush=True)
                last = now
        problems = self.sweep()
        if problems:
            self.index = self.ops
            self.diverged(problems)
        elapsed = time.perf_counter() - start
        return dict(worker=self.worker, seed=self.seed, ops=self.ops, divergences=self.divergences,
                    seconds=elapsed, full_checks=self.full_checks, fills=self.fills, sessions=self.sessions)


def work(worker, seed, ops, args, conn) -> None:
    try:
        conn.send(Soak(worker, seed, ops, args).run())
    except BaseException as e:
        conn.send(dict(worker=worker, seed=seed, error=f"{type(e).__name__}: {e}"))
        raise
    finally:
        conn.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ops", type=int, default=10_000_000, help="operations in total (default 10,000,000)")
    parser.add_argument("--seed", type=int, default=1, help="master seed; worker seeds derive from it (default 1)")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)),
                        help="worker processes (default: the cores this process may use)")
    parser.add_argument("--worker-seed", type=int, help="run one worker with exactly this seed (replay)")
    parser.add_argument("--fresh-every", type=int, default=20_000, help="operations per book (default 20,000)")
    parser.add_argument("--full-every", type=int, default=64,
                        help="full comparison interval while the book is not small (default 64)")
    parser.add_argument("--max-reports", type=int, default=5, help="divergences printed per worker (default 5)")
    parser.add_argument("--progress", type=int, default=500_000, help="progress line interval per worker")
    args = parser.parse_args()
    if args.ops < 0 or args.jobs < 1 or args.fresh_every < 1 or args.full_every < 1:
        parser.error("--ops must be >= 0, --jobs, --fresh-every and --full-every >= 1")

    if args.worker_seed is not None:
        plan = [(0, args.worker_seed, args.ops)]
    else:
        jobs = min(args.jobs, max(1, args.ops))
        plan = [(w, derive_seed(args.seed, w), args.ops // jobs + (w < args.ops % jobs)) for w in range(jobs)]
    print(f"quorvane soak: {args.ops:,} operations, seed {args.seed if args.worker_seed is None else '-'},"
          f" {len(plan)} worker(s), fresh book every {args.fresh_every:,} operations", flush=True)
    for w, seed, ops in plan:
        print(f"  worker {w}: seed {seed}, {ops:,} operations", flush=True)

    start = time.perf_counter()
    ctx = multiprocessing.get_context("fork")
    running = []
    for w, seed, ops in plan:
        receive, send = ctx.Pipe(duplex=False)
        process = ctx.Process(target=work, args=(w, seed, ops, args, send), name=f"soak-{w}")
        process.start()
        send.close()
        running.append((w, seed, ops, process, receive))
    results = []
    for w, seed, ops, process, receive in running:
        try:
            result = receive.recv()
        except EOFError:
            result = None
        process.join()
        if result is None or "error" in result or process.exitcode != 0:
            reason = result.get("error") if result else None
            result = dict(worker=w, seed=seed, error=reason or f"exit code {process.exitcode}")
        results.append(result)
    wall = time.perf_counter() - start

    failed = False
    print(f"\n{'worker':>6} {'seed':>20} {'operations':>12} {'divergences':>11} {'seconds':>9} {'ops/s':>9}"
          f" {'full checks':>12} {'fills':>11} {'books':>6}")
    total_ops = total_div = 0
    for r in results:
        if "error" in r:
            failed = True
            print(f"{r['worker']:>6} {r['seed']:>20}  FAILED: {r['error']}")
            continue
        total_ops += r["ops"]
        total_div += r["divergences"]
        print(f"{r['worker']:>6} {r['seed']:>20} {r['ops']:>12,} {r['divergences']:>11,} {r['seconds']:>9.1f}"
              f" {r['ops'] / max(r['seconds'], 1e-9):>9,.0f} {r['full_checks']:>12,} {r['fills']:>11,}"
              f" {r['sessions']:>6,}")
    print(f"{'total':>6} {'':>20} {total_ops:>12,} {total_div:>11,} {wall:>9.1f} {total_ops / max(wall, 1e-9):>9,.0f}"
          f"   (wall clock)")
    if failed:
        print("RESULT: FAILED (a worker did not finish)")
    else:
        print("RESULT: " + ("no divergences" if total_div == 0 else f"{total_div:,} divergences"))
    return 1 if failed or total_div else 0


if __name__ == "__main__":
    sys.exit(main())
