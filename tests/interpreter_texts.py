"""The interpreter's own error texts, taken from the running interpreter, so that
tests compare them exactly on every CPython line: each is provoked on a plain
object, and the names in it are swapped for the ones the module's case shows."""
import array

# array items go through the same C conversions as the module's parameters:
# PyFloat_AsDouble, PyLong_AsLong, and PyNumber_Index then
# PyLong_AsUnsignedLongLong.
_ARRAY_TYPECODES = {"double": "d", "int64": "l", "uint64": "Q"}
assert array.array("l").itemsize == 8


def error_text(provoke, *renames):
    """str() of the error that provoke() raises, with each (probe's, ours) pair of texts swapped."""
    try:
        provoke()
    except Exception as error:  # noqa: BLE001 - whichever error the interpreter raises
        text = str(error)
    else:
        raise AssertionError(f"{provoke} raised nothing")
    for probe, ours in renames:
        text = text.replace(probe, ours)
    return text


def probe_class(**namespace):
    """A plain class to provoke an error in place of one of the module's. Its
    three names differ, so that stand_in() can tell which one a text quotes."""
    return type("Probe", (), {"__module__": "probe", "__qualname__": "ProbeQ", **namespace})


def stand_in(cls):
    """Renames for error_text: each name of a probe_class() as `cls`'s would read."""
    name = cls.__name__
    return ("'probe.ProbeQ'", f"'{name}'"), ("'ProbeQ'", f"'{name}'"), ("'Probe'", f"'builtins.{name}'")


def refused(kind, value):
    """(value, error type, text) as the interpreter refuses `value` where the module converts to `kind`."""
    try:
        array.array(_ARRAY_TYPECODES[kind]).append(value)
    except (TypeError, OverflowError) as error:
        return value, type(error), str(error)
    raise AssertionError(f"{value!r} converts to {kind}")
