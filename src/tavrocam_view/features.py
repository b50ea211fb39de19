"""The fourteen feature groups of ``CLASS_Tavrocam``, as the page shows them.

Every value shown comes from a getter of the ``Tavrocam`` module, every
change goes through one of its setters: the page drives the product itself.
A setter-only feature shows its node's value, read from the camera. The
methods that print and absorb a failure (``CUF_SET_ExposureTime``,
``CUF_SET_BalanceRatio``, the constructor) print through the ``print`` the
module finds in its own namespace first: ``capture`` puts one there that
hands what a call prints to that call alone, per thread, and passes every
other line on to ``sys.stdout``.
"""

from __future__ import annotations

import builtins
import contextlib
import inspect
import sys
import threading

# The groups in the order the constructor creates them: (attribute, class).
GROUPS = (
    ("Sequencer", "SequencerControl"),
    ("ImageFormat", "ImageFormatControl"),
    ("Analog", "AnalogControl"),
    ("ImageQuality", "ImageQualityControl"),
    ("Acquisition", "AcquisitionControl"),
    ("AutoFunction", "AutoFunctionControl"),
    ("LUT", "LUTControl"),
    ("DigitalIO", "DigitalIOControl"),
    ("CounterTimer", "CounterAndTimerControl"),
    ("LightControl", "BaslerLightControl"),
    ("ChunkData", "ChunkDataControl"),
    ("Event", "EventControl"),
    ("TransportLayer", "TransportLayerControl"),
    ("Device", "DeviceControl"),
)

# Features whose node has another name than the feature.
NODES = {"ModelName": "DeviceModelName", "Temperature": "DeviceTemperature"}
# Setters that print and absorb a failure: the page shows what they printed
# and the value read back. (CUF_SET_LightDeviceSelector discards a failure
# without a word: its value read back tells.)
PRINTING = {"ExposureTime", "BalanceRatio"}
# Settings the camera takes only while it does not grab (pylon locks them).
IDLE_ONLY = {"Width", "Height", "PixelFormat"}
BALANCE_CHANNELS = ("Red", "Green", "Blue")

# The five values of the settings report: (label, group, getter, unit).
REPORT = (
    ("Model Name", "Device", "CUF_GET_ModelName", ""),
    ("Exposure Time", "Acquisition", "CUF_GET_ExposureTime", " us"),
    ("W/B Ratios", "Analog", "CUF_GET_BalanceRatioAll", ""),
    ("Temperature", "Device", "CUF_GET_Temperature", " °C"),
    ("Payload Size", "TransportLayer", "CUF_GET_PayloadSize", " bytes"),
)

_local = threading.local()


def _print(*args, **kwargs):
    lines = getattr(_local, "lines", None)
    if lines is None or kwargs.get("file") is not None:
        return safe_print(*args, **kwargs)
    sep = kwargs.get("sep", " ")
    lines.append((" " if sep is None else sep).join(str(arg) for arg in args))
    return None


def safe_print(*args, **kwargs):
    """``print``, where standard output cut by a closed pipe ends quietly:
    what follows goes to the null device."""
    try:
        builtins.print(*args, **kwargs)
        if kwargs.get("file") is None:
            sys.stdout.flush()
    except BrokenPipeError:
        silence_stdout()


def silence_stdout() -> None:
    """Point standard output at the null device (Python's advice for a
    closed pipe), so later writes and the flush at exit raise nothing."""
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def install(module) -> None:
    """Make the module's messages go through ``_print``."""
    module.print = _print


@contextlib.contextmanager
def capture():
    """Collect what the module prints on this thread meanwhile, in a list."""
    outer = getattr(_local, "lines", None)
    lines: list[str] = []
    _local.lines = lines
    try:
        yield lines
    finally:
        _local.lines = outer


def parameters(method) -> list[str]:
    """The parameter names of a method, ``self`` left out."""
    try:
        names = list(inspect.signature(method).parameters)
    except (TypeError, ValueError):
        return ["val"]
    return names[1:]


def describe(module) -> list[dict]:
    """The groups and their features, from the module's class tree:
    [{"group", "cls", "features": [{"name", "getter", "setter", "params"}]}]."""
    outer = module.CLASS_Tavrocam
    groups = []
    for attribute, class_name in GROUPS:
        cls = getattr(outer, class_name)
        features: dict[str, dict] = {}
        for name in cls.__dict__:
            if not name.startswith(("CUF_GET_", "CUF_SET_")):
                continue
            feature = name[len("CUF_GET_"):]
            entry = features.setdefault(feature, {"name": feature, "getter": None, "setter": None,
                                                  "params": []})
            if name.startswith("CUF_GET_"):
                entry["getter"] = name
            else:
                entry["setter"] = name
                entry["params"] = parameters(getattr(cls, name))
        groups.append({"group": attribute, "cls": class_name, "features": list(features.values())})
    return groups


def node_of(feature: str) -> str:
    return NODES.get(feature, feature)


def kind_of(node) -> dict:
    """How a control edits this node: its kind and, for numbers, range and
    increment; for enumerations, the entries."""
    name = type(node).__name__
    info: dict = {"kind": "text"}
    with contextlib.suppress(Exception):
        if "Enum" in name:
            info = {"kind": "enum", "entries": list(node.GetSymbolics())}
        elif "Boolean" in name:
            info = {"kind": "bool"}
        elif "Integer" in name:
            info = {"kind": "int", "min": node.GetMin(), "max": node.GetMax(), "inc": node.GetInc()}
        elif "Float" in name:
            info = {"kind": "float", "min": node.GetMin(), "max": node.GetMax()}
        elif "Command" in name:
            info = {"kind": "command"}
    return info


def convert(value, info: dict):
    """A value from the page in the type its node takes; ValueError if it
    cannot be."""
    kind = info.get("kind")
    if kind == "int":
        if isinstance(value, str):
            value = value.strip()
        number = float(value)
        if number != int(number):
            raise ValueError(f"{value!r} is not a whole number")
        return int(number)
    if kind == "float":
        return float(value)
    if kind == "bool":
        if isinstance(value, bool):
            return value
        if str(value).lower() in ("true", "1", "on"):
            return True
        if str(value).lower() in ("false", "0", "off", ""):
            return False
        raise ValueError(f"{value!r} is not true or false")
    return value if isinstance(value, str) else str(value)


def text(value) -> str:
    """A value as the settings report writes it (``format(value, "")``)."""
    return format(value, "")
