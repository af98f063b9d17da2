"""Import, registration and the surface that the five classes and their
instances show to Python."""
import importlib
import importlib.util
import operator
import subprocess
import sys
import sysconfig
import types
import weakref

import pytest

import quorvane
from interpreter_texts import probe_class, raised, raises_like, stand_in
from quorvane import Fill, Order, OrderBook, OrderStatus, OrderType

HEAPTYPE, BASETYPE, HAVE_GC, IMMUTABLE = 1 << 9, 1 << 10, 1 << 14, 1 << 8
# Per class, in module order: its text signature, then its public members in table order, methods
# then properties; an enumeration's are its members, valued 0, 1, 2.
MEMBERS = {
    "Order": ("(side, price_in_ticks, quantity)", "can_match fill is_open",
              "id side price_in_ticks quantity status timestamp"),
    "Fill": ("(quantity, price, buy_id, sell_id, timestamp)", "", "quantity price buy_id sell_id timestamp"),
    "OrderBook": ("(tick_size=0.01)", "create_order add cancel get_order update_order best_bid best_ask buy_volume "
                  "sell_volume spread", "buy_orders sell_orders tick_size"),
    "OrderType": (None, "", "Buy Sell"),
    "OrderStatus": (None, "", "Open Filled Canceled"),
}
INSTANCES = [Order(OrderType.Buy, 1, 1.0), Fill(1, 1, "a", "b", 1), OrderBook(), OrderType.Sell, OrderStatus.Open]


@pytest.mark.parametrize("obj", INSTANCES, ids=lambda o: type(o).__name__)
def test_class_and_instance_surface(obj):
    cls, name = type(obj), type(obj).__name__
    signature, methods, others = MEMBERS[name]
    ours, methods, others = f"'builtins.{name}'", methods.split(), others.split()
    assert (repr(cls), cls.__bases__, vars(quorvane)[name], cls.__text_signature__) == (
        f"<class {ours}>", (object,), cls, signature) and cls.__doc__
    # A heap type, neither subclassable nor tracked by the collector (no value holds a
    # Python object), whose attributes can be rebound.
    assert cls.__flags__ & (HEAPTYPE | BASETYPE | HAVE_GC | IMMUTABLE) == HEAPTYPE
    assert [n for n in vars(cls) if not n.startswith("_")] == methods + others
    assert all(type(vars(cls)[m]) is types.MethodDescriptorType and vars(cls)[m].__doc__ for m in methods)
    raises_like(lambda: weakref.ref(obj), lambda: weakref.ref(1), ("'int'", ours))
    raises_like(lambda: setattr(obj, "extra", 1), lambda: setattr(object(), "extra", 1), ("'object'", ours))
    if cls in (OrderType, OrderStatus):  # members valued 0, 1, 2; unhashable, neither an index nor a number
        assert [(type(m), int(m), type(int(m)), repr(m), str(m), bool(m)) for m in map(vars(cls).get, others)] == [
            (cls, value, int, f"{name}.{n}", f"{name}.{n}", True) for value, n in enumerate(others)]
        for provoke in (lambda x: {x}, operator.index, float):
            raises_like(lambda: provoke(obj), lambda: provoke(probe_class(__hash__=None)()), *stand_in(cls))
        assert raised(lambda: cls(0, value=1)) == (TypeError, f"No constructor defined for {name}")
        return
    # Identity equality, identity hash, repr as str; properties without a setter (as int.denominator:
    # the text is a getset descriptor's).
    assert (cls.__eq__, cls.__hash__, cls.__str__) == (object.__eq__, object.__hash__, object.__str__)
    for member in others:
        raises_like(lambda: setattr(obj, member, getattr(obj, member)), lambda: setattr(1, "denominator", 1),
                    ("'denominator'", f"'{member}'"), ("'int'", ours))


def test_module_object_and_second_import(monkeypatch):
    assert {n for n in dir(quorvane) if not n.startswith("__")} == set(MEMBERS)
    def members(module):
        return [getattr(getattr(module, c), n) for c in ("OrderType", "OrderStatus") for n in MEMBERS[c][2].split()]
    first = members(quorvane)
    monkeypatch.delitem(sys.modules, "quorvane")
    again = importlib.import_module("quorvane")
    assert again is quorvane and (again.__all__, again.__doc__, again.__name__) == (list(MEMBERS), "", "quorvane")
    # Its enumerations' members are the ones made at the first import.
    assert len(first) == 5 and all(a is b for a, b in zip(members(again), first))


# In a second interpreter: the import, then the module's entry point called
# directly. A free-threaded build refuses every single-phase module in every
# sub-interpreter before its entry point runs (and cannot make a
# sub-interpreter that would allow one), so only the direct call reaches the
# module's own guard on every build.
SECOND_INTERPRETER = r"""
import sys, quorvane
code = f'''
import ctypes
entry = ctypes.PyDLL({quorvane.__file__!r}).PyInit_quorvane
entry.restype = ctypes.py_object
for load in (lambda: __import__('quorvane'), entry):
    try:
        print('loaded', load(), flush=True)
    except ImportError as e:
        print('ImportError:', e, flush=True)
'''
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
GUARD = ("ImportError: quorvane does not yet support sub-interpreters: it can only be imported by the first "
         "interpreter of a process; see the project's issue tracker for sub-interpreter support")


def test_a_second_interpreter_cannot_load_the_module():
    if not any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("this interpreter offers no sub-interpreter module")
    run = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    imported, called, main = run.stdout.splitlines()
    assert imported.startswith("ImportError: ") and (called, main) == (GUARD, "main: 3")
    assert imported == GUARD or sysconfig.get_config_var("Py_GIL_DISABLED")
