"""Writes the fuzz target's seed corpus (tests/fuzz/corpus): the sessions the
unit tests already cover, encoded in book_fuzz.cpp's input layout, one file
per session, including the inputs of faults the fuzzer once found.

    python tests/fuzz/make_seeds.py

Orders are named by the index they get in the session's list of made orders.
"""
import math
import pathlib
import struct

TICK_SIZES = [0.01, 1.0, 0.25, 0.0, -0.01, math.inf, math.nan, 1e300]
OPS = ["make", "create", "add", "add_book_copy", "fill", "cancel", "cancel_unknown", "update", "summary", "fail_alloc"]
I64_MAX = 2**63 - 1
TICK_EXTREMES = [1, 2, I64_MAX - 1, I64_MAX, 0, -1, -(2**63)]
QUANTITIES = [1, 2, 3, 4, 5, 7, 10, 0.5, 0.1, 0.2, 0.3, 0.125, 0.375, 2.675, 1.5, 1e-300, 5e-324, 1e-310,
              2.2250738585072014e-308, 1.7976931348623157e308, 1e300, 1e21, 1e23, "nan", math.inf, -math.inf,
              -0.0, 0.0, -1.0, "-nan", 6]
PRICES = [0.01, 1.0, 1.01, 0.025, 0.005, 0.004, 1.005, 0.035, 0.0, -0.0, -1.0, "nan", math.inf, 1e300, 5e-324]
BUY, SELL = 0, 1
OPEN, FILLED = 0, 1


def index_of(table, value):
    for i, v in enumerate(table):
        if isinstance(v, str) or isinstance(value, str):
            if v == value:
                return i
        elif v == value and math.copysign(1, v) == math.copysign(1, value):
            return i
    raise KeyError(value)


def ticks(t):
    if 96 <= t <= 103:
        return bytes([t - 96])
    if t in TICK_EXTREMES:
        return bytes([0xC0 + TICK_EXTREMES.index(t)])
    return bytes([0xC7]) + struct.pack("<q", t)


def quantity(q):
    try:
        return bytes([index_of(QUANTITIES, q)])
    except KeyError:
        return bytes([31]) + struct.pack("<d", q)


def price(p):
    return bytes([index_of(PRICES, p)])


class Session:
    def __init__(self, tick_size=0.01):
        self.data = bytearray([index_of(TICK_SIZES, tick_size)])

    def op(self, name, *args):
        self.data.append(OPS.index(name))
        for a in args:
            self.data += a
        return self

    def make(self, side, t, q):
        return self.op("make", bytes([side]), ticks(t), quantity(q))

    def create(self, side, p, q):
        return self.op("create", bytes([side]), price(p), quantity(q))

    def add(self, i):
        return self.op("add", bytes([i]))

    def add_book_copy(self, i):
        return self.op("add_book_copy", bytes([i]))

    def fill(self, i, j):
        return self.op("fill", bytes([i, j]))

    def cancel(self, i):
        return self.op("cancel", bytes([i]))

    def cancel_unknown(self):
        return self.op("cancel_unknown", bytes(range(16)))

    def update(self, i, q, status):
        return self.op("update", bytes([i]), quantity(q), bytes([status]))

    def summary(self):
        return self.op("summary")

    def fail_alloc(self, n):
        return self.op("fail_alloc", bytes([n]))


def seeds():
    s = {}
    # Partial fills: the resting order keeps its place; the remainder rests.
    s["partial-fills"] = (Session().make(SELL, 100, 5).add(0).make(BUY, 100, 3).add(1)
                          .make(BUY, 101, 4).add(2).summary())
    s["equal-quantities"] = Session().make(SELL, 100, 5).add(0).make(BUY, 100, 5).add(1).cancel(0).cancel(1)
    s["sweep-two-levels"] = (Session().make(SELL, 100, 5).add(0).make(SELL, 101, 5).add(1)
                             .make(BUY, 101, 10).add(2))
    s["sell-trades-at-own-price"] = Session(1.0).make(BUY, 100, 4).add(0).make(SELL, 99, 10).add(1)
    s["fifo-within-level"] = (Session().make(SELL, 100, 5).add(0).make(SELL, 100, 5).add(1)
                              .make(BUY, 100, 2).add(2).make(BUY, 100, 4).add(3))
    s["cancel-keeps-arrival-order"] = (Session().make(BUY, 100, 1).add(0).make(BUY, 100, 2).add(1).make(BUY, 100, 3)
                                       .add(2).make(BUY, 100, 4).add(3).make(BUY, 100, 5).add(4).cancel(1).cancel(3))
    s["id-added-twice"] = (Session().make(BUY, 100, 5).add(0).add(0).make(SELL, 100, 7).add(1)
                           .make(BUY, 100, 1).add(2).add(2).cancel(2).cancel(0))
    s["cancel-filled-and-unknown"] = (Session().make(SELL, 100, 5).add(0).make(BUY, 100, 5).add(1)
                                      .cancel(0).cancel(0).cancel_unknown())
    s["cancel-after-update"] = (Session().make(BUY, 100, 5).add(0).update(0, 9, OPEN).add_book_copy(0)
                                .make(SELL, 99, 20).add(1).update(1, 2, FILLED).cancel(1).cancel(0))
    s["update-never-added"] = Session().make(SELL, 101, 3).update(0, 3, OPEN).cancel(0).update(0, 0.0, FILLED)
    s["add-filled-order"] = (Session().make(BUY, 100, 5).make(SELL, 100, 5).fill(0, 1).add(0).add(1)
                             .make(BUY, 100, 0.3).make(SELL, 99, 0.1).fill(3, 2).add(2).add(3))
    s["non-finite-quantities"] = (Session().make(SELL, 100, "nan").add(0).make(BUY, 100, "nan").add(1)
                                  .make(SELL, 99, math.inf).add(2).make(BUY, 103, math.inf).add(3)
                                  .make(BUY, 103, 5).add(4).make(SELL, 96, "nan").add(5).make(SELL, 96, 1e300).add(6))
    s["rejected-orders"] = (Session().make(BUY, 0, 1).make(BUY, 100, 0.0).make(SELL, 100, -0.0)
                            .make(SELL, -(2**63), -1.0).make(BUY, 100, -math.inf))
    s["tick-grid-corners"] = (Session().create(BUY, 0.025, 1).create(BUY, 0.005, 1).create(BUY, 0.004, 1)
                              .create(SELL, 1.005, 1).create(SELL, 0.035, 1).create(SELL, -1.0, 0.0)
                              .create(BUY, "nan", 1).create(BUY, math.inf, 1).create(BUY, 5e-324, 1))
    s["zero-tick-size"] = Session(0.0).create(BUY, 1.0, 1).add(0).create(SELL, 1e300, 2).add(1).summary()
    s["negative-tick-size"] = Session(-0.01).create(BUY, 1.0, 1).make(BUY, 100, 1).add(0).make(SELL, 99, 1).add(1)
    s["extreme-prices"] = (Session().make(BUY, 1, 1).add(0).make(SELL, I64_MAX, 1).add(1)
                           .make(SELL, 1, 2).add(2).make(BUY, I64_MAX, 5).add(3).summary())
    s["tiny-and-huge-quantities"] = (Session().make(BUY, 100, 5e-324).add(0).make(BUY, 100, 1e-310).add(1)
                                     .make(BUY, 99, 1.7976931348623157e308).add(2).make(BUY, 98, 1e300).add(3)
                                     .make(SELL, 97, 2.2250738585072014e-308).add(4).summary())
    s["volume-rounding-ties"] = (Session().make(BUY, 100, 0.125).add(0).make(SELL, 101, 0.375).add(1)
                                 .make(BUY, 99, 2.675).add(2).summary())
    s["fills-leave-rounding"] = Session().make(SELL, 100, 0.3).add(0).make(BUY, 100, 0.1).add(1).add(1).add(1)
    # Running out of memory in each kind of operation (a known id, a cancel, an update, a summary).
    s["memory-runs-out"] = (Session().make(SELL, 100, 5).add(0).make(BUY, 100, 2).fail_alloc(0).add(1)
                            .fail_alloc(1).add(0).fail_alloc(0).cancel(0).fail_alloc(0).update(1, 1, OPEN)
                            .fail_alloc(0).summary().add(1))
    # Found by the fuzzer: an add that ran out of memory while resting the
    # order, or after trading part of it, left the order's record Open in no queue.
    s["resting-runs-out"] = Session().make(BUY, 96, 3).fail_alloc(2).add(0)
    s["trades-run-out"] = (Session().make(SELL, 100, 1).add(0).make(SELL, 100, 1).add(1).make(SELL, 100, 1).add(2)
                           .make(BUY, 100, 3).fail_alloc(1).add(3))
    # Found by the fuzzer: an add whose trades outgrew the room kept for them
    # ran out of memory halfway and rested the rest of the order across the
    # spread. Room for every trade is now made before the first one.
    outgrown = Session()
    for i in range(17):
        outgrown.make(BUY, 100, 1).add(i)
    outgrown.make(SELL, 100, 20)
    for n in range(4):
        outgrown.fail_alloc(n).add(17)
    s["trades-outgrow-their-room"] = outgrown
    # Found by the fuzzer: an Open record of quantity 0 written by update and
    # added again rests like any other (the invariant checker once refused it).
    s["open-with-no-quantity-rests"] = Session().make(BUY, 96, 3).update(0, 0, OPEN).add_book_copy(0)
    return s


def main():
    here = pathlib.Path(__file__).parent
    out = here / "corpus"
    out.mkdir(exist_ok=True)
    sessions = seeds()
    for name, session in sessions.items():
        (out / name).write_bytes(bytes(session.data))
    print(f"{len(sessions)} inputs in {out}")


if __name__ == "__main__":
    main()
