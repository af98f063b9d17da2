"""The interpreter's own errors, taken from the running interpreter, so that tests
compare them exactly on every CPython line: each is provoked on a plain object,
and the names in its text are swapped for the ones the module's case shows."""
import array

# array items go through the same C conversions as the module's parameters:
# PyFloat_AsDouble, PyLong_AsLong, and PyNumber_Index then
# PyLong_AsUnsignedLongLong.
_ARRAY_TYPECODES = {"double": "d", "int64": "l", "uint64": "Q"}
assert array.array("l").itemsize == 8


def raised(call):
    """(type, str()) of what call() raises, None when it returns."""
    try:
        call()
    except BaseException as error:  # the exact type is what is checked
        return type(error), str(error)
    return None


def interpreter_error(provoke, *renames):
    """raised(provoke), which must raise, with each (probe's, ours) pair of texts swapped in its text."""
    error = raised(provoke)
    assert error, f"{provoke} raised nothing"
    text = error[1]
    for probe, ours in renames:
        text = text.replace(probe, ours)
    return error[0], text


def raises_like(call, provoke, *renames):
    """Asserts that call() raises exactly what provoke() does, renamed as in interpreter_error."""
    got, expected = raised(call), interpreter_error(provoke, *renames)
    assert got == expected, f"{got} != {expected}"


def probe_class(**namespace):
    """A plain class to provoke an error in place of one of the module's. Its
    three names differ, so that stand_in() can tell which one a text quotes."""
    return type("Probe", (), {"__module__": "probe", "__qualname__": "ProbeQ", **namespace})


def stand_in(cls):
    """Renames for interpreter_error: each name of a probe_class() as `cls`'s would read."""
    name = cls.__name__
    return ("'probe.ProbeQ'", f"'{name}'"), ("'ProbeQ'", f"'{name}'"), ("'Probe'", f"'builtins.{name}'")


def refused(kind, value):
    """(value, error type, text) as the interpreter refuses `value` where the module converts to `kind`."""
    return value, *interpreter_error(lambda: array.array(_ARRAY_TYPECODES[kind]).append(value))
