"""The book's summary text at the edges, and random sessions checked step by step
against the plain-Python model: order creation and its refusals, every add's
fills, the walks (by ascending price on both sides), volumes, tops and texts."""
import math
import subprocess
import sys
from pathlib import Path

import pytest

from quorvane import Order, OrderBook, OrderType
from reference_book import ReferenceBook

Buy, Sell = OrderType.Buy, OrderType.Sell
I64_MAX, NAN, INF = 2**63 - 1, math.nan, math.inf


# One book per row; its tick size is given by keyword (None: the default, a cent), an int one
# comes back as a float.
@pytest.mark.parametrize("tick_size, bids, asks, expected", [
    (0.01, [], [], "Best Bid: None, Best Ask: None (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: -0.00"),
    (None, [(100, 5.0)], [(101, 2.5)],
     "Best Bid: 5.00 @ 1, Best Ask: 2.50 @ 1.01 (Spread: 0.0100)\nOpen Buy Volume: 5.00, Open Sell Volume: 2.50"),
    (0.5, [(3, 1.0), (4, 3.0), (4, 7.0)], [(7, 1e21)],
     "Best Bid: 3.00 @ 2, Best Ask: 1000000000000000000000.00 @ 3.5 (Spread: 1.5000)\n"
     "Open Buy Volume: 11.00, Open Sell Volume: 1000000000000000000000.00"),
    (0.1, [], [(3, NAN), (4, INF)],
     "Best Bid: None, Best Ask: NaN @ 0.30000000000000004 (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: NaN"),
    (1e-7, [(3, INF)], [(5, 0.005)],
     "Best Bid: inf @ 0.0000003, Best Ask: 0.01 @ 0.0000005 (Spread: 0.0000)\nOpen Buy Volume: inf, Open Sell Volume: 0.01"),
    (-0.01, [(100, 1.0)], [(102, 1.0)],
     "Best Bid: 1.00 @ -1, Best Ask: 1.00 @ -1.02 (Spread: -0.0200)\nOpen Buy Volume: 1.00, Open Sell Volume: 1.00"),
    (1, [], [(I64_MAX, 1.0)],
     "Best Bid: None, Best Ask: 1.00 @ 9223372036854776000 (Spread: None)\nOpen Buy Volume: -0.00, Open Sell Volume: 1.00"),
])
def test_summary_text(tick_size, bids, asks, expected):
    book = OrderBook() if tick_size is None else OrderBook(tick_size=tick_size)
    model = ReferenceBook(book.tick_size)
    assert type(book.tick_size) is float and book.tick_size == (0.01 if tick_size is None else tick_size)
    for side, levels in ((Buy, bids), (Sell, asks)):
        for ticks, quantity in levels:
            order = Order(side, ticks, quantity)
            assert book.add(order) == [] and model.add(order) == []
    # The model's text is checked too: the random sessions compare the book's against it.
    assert repr(book) == str(book) == repr(model) == expected


# The random sessions start at an odd tick size only now and then: the prices that divide
# to an infinity or NaN saturate, or are refused as not positive (None).
@pytest.mark.parametrize("tick_size, ticks", [(0.0, I64_MAX), (1e-300, I64_MAX), (-0.0, None), (NAN, None),
                                              (INF, None), (-0.01, None)])
def test_create_order_at_odd_tick_sizes(tick_size, ticks):
    try:
        made = OrderBook(tick_size).create_order(Buy, 1.5, 1.0).price_in_ticks
    except ValueError as e:
        made = None if e.args == ("Resulting price_in_ticks must be positive",) else e
    assert made == ticks


def test_random_sessions_agree_with_the_plain_python_book():
    # The soak tool drives the book and the model side by side, comparing after every
    # operation; a short run of it, with a fresh book and tick size every 1,000 operations.
    soak = Path(__file__).resolve().parents[1] / "tools" / "soak.py"
    run = subprocess.run([sys.executable, str(soak), "--ops", "20000", "--jobs", "1", "--fresh-every", "1000"],
                         capture_output=True, text=True, timeout=900)
    assert run.returncode == 0 and "RESULT: no divergences" in run.stdout, run.stdout[-4000:] + run.stderr[-2000:]
