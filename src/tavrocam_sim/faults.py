"""The faults a test sets on a simulated camera: which operations they name, how they raise,
and how a node already handed out meets them.

An operation is a call of the SDK's on the device (``DEVICE_OPERATIONS``) or
a node's method, ``"<Node>.<Method>"``, with a node of the camera and a
public method of the pylon parameter class the node is handed out as
(``Width.SetValue``, ``ExposureTime.GetMax``, ``PixelFormat.FromString``).
A fault on a method is met however the program reaches it: the method
itself, or the property that stands for it (``node.Value`` reads with
``GetValue``, ``node.Value = x`` writes with ``SetValue``), whenever the node
was looked up. A name that matches no operation is refused.

A node the camera object handed out meets the faults set on its methods as
a subclass of its pylon class (``faulty``), and is of pylon's own class again
once none is left (``arm``).

Each raise is a fresh copy of the stored exception, so its traceback never
grows from one raise to the next.
"""

from __future__ import annotations

import copy

from . import model
from .pypylon_sdk import genicam, pylon

DEVICE_OPERATIONS = ("Open", "Close", "CreateDevice", "EnumerateDevices", "Grab")
_CLASSES = {"Integer": ("IntegerParameter", "IInteger"), "Float": ("FloatParameter", "IFloat"),
            "Boolean": ("BooleanParameter", "IBoolean"),
            "Enumeration": ("EnumParameter", "IEnumeration"),
            "String": ("StringParameter", "IString"), "Command": ("CommandParameter", "ICommand")}
_FAULTY: dict = {}   # pylon's parameter class -> its faulty subclass
_PLAIN: dict = {}    # and back


def node_class(kind: str):
    """The pylon class a node of the model's ``kind`` is handed out as."""
    parameter, interface = _CLASSES[kind]
    return getattr(pylon, parameter, None) or getattr(genicam, interface)


def methods(kind: str) -> frozenset:
    """The public methods of a node of ``kind``, as fault operations take them."""
    cls = node_class(kind)
    return frozenset(name for name in dir(cls) if name[:1].isupper()
                     and not isinstance(getattr(cls, name, None), property)
                     and callable(getattr(cls, name, None)))


def properties_of(cls) -> dict:
    """{property: (method it reads with, method it writes with)} of class ``cls``."""
    found = {}
    for name in dir(cls):
        if name[:1].isupper() and isinstance(getattr(cls, name, None), property):
            found[name] = tuple(m if hasattr(cls, m) else None for m in ("Get" + name,
                                                                         "Set" + name))
    return found


def _accepted(text: str) -> str:
    return (f"operation must be one of {', '.join(map(repr, DEVICE_OPERATIONS))}, or "
            f"'<Node>.<Method>' with a node of the camera and a method of its pylon "
            f"class (e.g. 'Width.SetValue', 'Width.GetValue', 'ExposureTime.GetMax', "
            f"'TriggerSoftware.Execute'){text}")


def check_operation(operation: str) -> None:
    """Refuse (ValueError, listing the accepted forms) an operation name
    that matches no operation of the simulated camera."""
    if operation in DEVICE_OPERATIONS:
        return
    name, dot, method = operation.partition(".")
    node = model.BY_NAME.get(name)
    if not dot or node is None:
        what = f"; {name!r} is no node of the camera" if dot else ""
        raise ValueError(_accepted(f", not {operation!r}{what}"))
    if method in methods(node.kind):
        return
    hint = ""
    ways = properties_of(node_class(node.kind)).get(method)
    if ways is not None:
        hint = " (" + " and ".join(f"{'reading' if way.startswith('Get') else 'writing'} "
                                   f"{name}.{method} is {name}.{way}"
                                   for way in ways if way) + ")"
    raise ValueError(_accepted(f", not {operation!r}: {node.kind} node {name!r} has no "
                               f"method {method!r}{hint}"))


def raising(exc: "BaseException | type[BaseException]") -> BaseException:
    """A fresh exception to raise for the stored ``exc``: a new instance of a
    class, else a copy without traceback, cause or context (the instance
    itself, its traceback dropped, when it cannot be copied)."""
    if isinstance(exc, type):
        return exc()
    try:
        fresh = copy.copy(exc)
    except Exception:  # noqa: BLE001 (an exception class whose arguments copy cannot replay)
        fresh = exc
    if type(fresh) is not type(exc):
        fresh = exc
    fresh.__cause__ = fresh.__context__ = None
    return fresh.with_traceback(None)


def faulty(cls):
    """A subclass of pylon's parameter class ``cls`` whose methods, and the
    properties that stand for them (``Value`` reads with GetValue, writes
    with SetValue), first raise any fault a test set on '<Node>.<Method>'."""
    if cls not in _FAULTY:
        ways = properties_of(cls)

        def __getattribute__(self, attr):
            if not attr[:1].isupper():
                return cls.__getattribute__(self, attr)
            if attr in ways:  # a property: read now, with its getter
                _meet(self, ways[attr][0] or attr)
                return cls.__getattribute__(self, attr)
            method = cls.__getattribute__(self, attr)
            if not callable(method):
                return method

            def call(*args, **kwargs):  # the fault is met when the method is called
                _meet(self, attr)
                return method(*args, **kwargs)
            return call

        def __setattr__(self, attr, value):
            setter = ways.get(attr, (None, None))[1]
            if setter is not None:
                _meet(self, setter)
            cls.__setattr__(self, attr, value)

        _FAULTY[cls] = type(cls.__name__, (cls,), {
            "__getattribute__": __getattribute__, "__setattr__": __setattr__,
            "__module__": cls.__module__, "__slots__": ()})
        _PLAIN[_FAULTY[cls]] = cls
    return _FAULTY[cls]


def _meet(node, method):
    device = object.__getattribute__(node, "_sim_device")
    device.check(f"{object.__getattribute__(node, '_sim_name')}.{method}")


def arm(param, device, name):
    """Make ``param`` (a node the camera object handed out) meet the faults
    set on its methods, or be pylon's own class again when none is left."""
    faulted = any(op.partition(".")[0] == name for op in tuple(device.faults))
    plain = _PLAIN.get(type(param))
    if faulted and plain is None:
        object.__setattr__(param, "_sim_device", device)
        object.__setattr__(param, "_sim_name", name)
        object.__setattr__(param, "__class__", faulty(type(param)))
    elif not faulted and plain is not None:
        object.__setattr__(param, "__class__", plain)
    return faulted
