"""Import, registration and the surface that the five classes show to Python."""
import importlib
import importlib.util
import subprocess
import sys
import types
import weakref

import pytest

import quorvane
from quorvane import Fill, Order, OrderBook, OrderStatus, OrderType

NAMES = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
HEAPTYPE, BASETYPE, HAVE_GC, IMMUTABLE = 1 << 9, 1 << 10, 1 << 14, 1 << 8
CLASS_DOCS = {
    "Order": ("Represents a single order in the order book.\nContains details such as price, quantity, "
              "side (Buy/Sell), and status.", "(side, price_in_ticks, quantity)"),
    "Fill": ("Represents a match (fill) between two orders.\nTracks details such as the quantity, price, and the "
             "involved order IDs.", "(quantity, price, buy_id, sell_id, timestamp)"),
    "OrderBook": ("Represents the main order book for matching buy and sell orders.", "(tick_size=0.01)"),
    "OrderType": ("Represents the side of an order: either Buy or Sell.", None),
    "OrderStatus": ("Represents the current status of an order.", None),
}
# Public members in table order; a method's doc is stored whole, signature included; None marks a member.
MEMBERS = {
    "Order": [
        ("can_match", "can_match(self, other)\n--\n\nDetermines whether this order can match with another order.\n\n"
                      "# Arguments\n- `other`: The other order to match against.\n\n# Returns\n- `true` if the orders "
                      "are on opposite sides and the prices are compatible."),
        ("fill", "fill($self, incoming, tick_size)\n--\n\nAttempts to fill this order with another incoming order.\n"
                 "Updates the quantities and statuses of both orders."),
        ("is_open", "is_open($self)\n--\n\nChecks if the order is still open."), ("id", "Getter for the order ID."),
        ("side", "Getter for the order side."), ("price_in_ticks", "Getter for the price in ticks."),
        ("quantity", "Getter for the quantity."), ("status", "Getter for the order status."),
        ("timestamp", "Getter for the timestamp.")],
    "Fill": [("quantity", "Getter for the quantity filled."), ("price", "Getter for the fill price."),
             ("buy_id", "Getter for the buy order ID."), ("sell_id", "Getter for the sell order ID."),
             ("timestamp", "Getter for the fill timestamp.")],
    "OrderBook": [
        ("create_order", "create_order(self, side, price, quantity)\n--\n\nCreates an order (but does not add to the "
                         "book) based off the book's tick size."),
        ("add", "add(self, order)\n--\n\nAdds an order to the book, attempting to match it with resting orders."),
        ("cancel", "cancel(self, order_id)\n--\n\nCancels an order by its ID."),
        ("get_order", "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is not "
                      "found."),
        ("update_order", "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."),
        ("best_bid", "best_bid($self)\n--\n\nHelper method to get best bid"),
        ("best_ask", "best_ask($self)\n--\n\nHelper method to get best ask"),
        ("buy_volume", "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"),
        ("sell_volume", "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"),
        ("spread", "spread($self)\n--\n\nCalculate the current spread in the order book.\nReturns None if there are no "
                   "orders on either side.\nThe spread is returned in the same units as the prices (not ticks)."),
        ("buy_orders", "Get a list of all buy orders"), ("sell_orders", "Get a list of all sell orders"),
        ("tick_size", "Return the tick size for informational purposes")],
    "OrderType": [("Buy", None), ("Sell", None)],
    "OrderStatus": [("Open", None), ("Filled", None), ("Canceled", None)],
}


@pytest.mark.parametrize("name", NAMES)
def test_class_surface(name):
    cls = getattr(quorvane, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == ("builtins", name, name, (object,))
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert (cls.__doc__, cls.__text_signature__) == CLASS_DOCS[name]
    assert cls.__flags__ & (HEAPTYPE | BASETYPE | HAVE_GC | IMMUTABLE) == HEAPTYPE
    assert [n for n in vars(cls) if not n.startswith("_")] == [n for n, _ in MEMBERS[name]]
    for member, doc in MEMBERS[name]:
        attr = vars(cls)[member]
        if isinstance(attr, types.MethodDescriptorType):
            assert f"{member}{attr.__text_signature__}\n--\n\n{attr.__doc__}" == doc
        elif doc is None:
            assert type(attr) is cls
        else:
            assert (type(attr), attr.__doc__) == (types.GetSetDescriptorType, doc)
    if cls not in (OrderType, OrderStatus):  # identity equality, identity hash, repr as str
        assert (cls.__eq__, cls.__hash__, cls.__str__) == (object.__eq__, object.__hash__, object.__str__)
    with pytest.raises(TypeError) as info:
        type("Derived", (cls,), {})
    assert str(info.value) == f"type 'builtins.{name}' is not an acceptable base type"


@pytest.mark.parametrize("obj", [Order(OrderType.Buy, 1, 1.0), Fill(1, 1, "a", "b", 1), OrderBook(), OrderType.Sell,
                                 Order(OrderType.Buy, 1, 1.0).status], ids=lambda o: type(o).__name__)
def test_instances_have_read_only_properties_and_no_dict_or_weakref(obj):
    name = type(obj).__name__
    with pytest.raises(TypeError) as info:
        weakref.ref(obj)
    assert str(info.value) == f"cannot create weak reference to 'builtins.{name}' object"
    with pytest.raises(AttributeError) as info:
        obj.extra = 1
    assert str(info.value).startswith(f"'builtins.{name}' object has no attribute 'extra'")  # 3.13 adds a clause
    for member in (m for m, doc in MEMBERS[name] if isinstance(vars(type(obj))[m], types.GetSetDescriptorType)):
        for change in (lambda: setattr(obj, member, getattr(obj, member)), lambda: delattr(obj, member)):
            with pytest.raises(AttributeError, match="not writable"):
                change()


@pytest.mark.parametrize("cls", [OrderType, OrderStatus], ids=lambda c: c.__name__)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0,), {}), (("Buy",), {"value": 1})])
def test_enumerations_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert info.value.args == (f"No constructor defined for {cls.__name__}",)


def enum_members(module):
    return [getattr(getattr(module, cls), name) for cls in NAMES[3:] for name, _ in MEMBERS[cls]]


def test_module_object_and_second_import():
    assert quorvane.__all__ == NAMES and quorvane.__doc__ == "" and quorvane.__name__ == "quorvane"
    assert {n for n in dir(quorvane) if not n.startswith("__")} == set(NAMES)
    members = enum_members(quorvane)
    del sys.modules["quorvane"]
    try:
        again = importlib.import_module("quorvane")
    finally:
        sys.modules["quorvane"] = quorvane
    assert again is quorvane and again.__all__ == NAMES
    assert [getattr(again, n) for n in NAMES] == [Order, Fill, OrderBook, OrderType, OrderStatus]
    assert len(members) == 5 and all(a is b for a, b in zip(enum_members(again), members))


def test_rebinding_a_member_does_not_change_what_the_module_makes(monkeypatch):
    buy, sell = OrderType.Buy, OrderType.Sell
    monkeypatch.setattr(OrderType, "Buy", "rebound")
    monkeypatch.delattr(OrderType, "Sell")
    sides = [Order(buy, 1, 1.0).side, OrderBook().create_order(sell, 1.0, 1.0).side]
    assert [(type(s), int(s), repr(s)) for s in sides] == [(OrderType, 0, "OrderType.Buy"),
                                                           (OrderType, 1, "OrderType.Sell")]


SECOND_INTERPRETER = r"""
import sys, quorvane
code = "try:\n import quorvane\nexcept ImportError as e:\n print('ImportError:', e, flush=True)\nelse:\n print('ok')"
try:  # 3.13; the isolated default would refuse a single-phase module before its entry point runs
    import _interpreters as interpreters
    interp = interpreters.create('legacy')
    interpreters.exec(interp, code)
except ImportError:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(**({'isolated': False} if sys.version_info >= (3, 12) else {}))
    interpreters.run_string(interp, code)
interpreters.destroy(interp)
print('main:', quorvane.Order(quorvane.OrderType.Sell, 3, 2.0).price_in_ticks, flush=True)
"""


def test_import_from_a_second_interpreter_fails():
    if not any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("this interpreter offers no sub-interpreter module")
    run = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    assert first.startswith("ImportError: ") and "sub-interpreters" in first and second == "main: 3"
