"""A stand-in for the part of pypylon that Tavrocam uses.

It models one Basler acA2040-55uc with the node values, limits and entries of
the camera's model table (``tavrocam_sim.model``, which the simulated camera
runs on too), records every SDK call in order, and can be told to
fail any call with a given exception. It is a plain Python package: tests bind
``Tavrocam.pylon`` to ``SDK(...).pylon``, or hand a ``Camera`` straight to a
feature group.

Recorded entries are tuples: ``("Width.GetValue",)``, ``("Width.SetValue", 640)``,
``("Open",)``, ``("EnumerateDevices",)`` ... With ``lookups=True`` the log also
holds ``("getattr", "Width")`` for a node looked up on the camera and
``("getattr", "Width.SetValue")`` for a method looked up on a node.
"""

from __future__ import annotations

import contextlib
import gc
import inspect
import io
import sys
import types

from tavrocam_sim import model


class GenericException(Exception):
    """Root of the stand-in SDK's errors, as pylon's GenericException is."""


class LogicalErrorException(GenericException):
    pass


class RuntimeException(GenericException):
    pass


class AccessException(GenericException):
    pass


class OutOfRangeException(GenericException):
    pass


class InvalidArgumentException(GenericException):
    pass


SENSOR_WIDTH = model.SENSOR_WIDTH
SENSOR_HEIGHT = model.SENSOR_HEIGHT
DEFAULT_WIDTH = model.DEFAULT_WIDTH
DEFAULT_HEIGHT = model.DEFAULT_HEIGHT
MODEL_NAME = model.MODEL_NAME
IN_USE_TEXT = (
    "Failed to open device 'Basler acA2040-55uc (40012345)'. Access denied : "
    "the device is already controlled by another application."
)
# How pylon's transport layers word an open refused because another program
# holds the camera (GigE, then USB twice, as on the acA2040-55uc).
SDK_IN_USE_TEXTS = (
    "Failed to open device 'Basler acA2040-55uc (40012345)'. The device is controlled by "
    "another application. : RuntimeException thrown (file 'PylonGigEDevice.cpp', line 1)",
    "Failed to open device 'Basler acA2040-55uc (40012345)'. Device is exclusively opened by "
    "another client. : RuntimeException thrown (file 'PylonUsbDevice.cpp', line 1)",
    "Failed to open device 'Basler acA2040-55uc (40012345)'. Another program or driver has "
    "claimed the usb interface. : RuntimeException thrown (file 'PylonUsbDevice.cpp', line 1)",
)


class Recorder:
    """The call log and the fault table shared by an SDK and its cameras."""

    def __init__(self, lookups: bool = False):
        self.log: list[tuple] = []
        self.lookups = lookups
        self._faults: dict[str, list] = {}

    def fail(self, call: str, exc, times: int | None = None):
        """Make ``call`` ("Width.GetValue", "Open", "getattr:Width", ...) raise
        ``exc`` (an instance or a class), every time or the next ``times`` times."""
        self._faults[call] = [exc, times]

    def heal(self, call: str | None = None):
        if call is None:
            self._faults.clear()
        else:
            self._faults.pop(call, None)

    def check(self, call: str):
        fault = self._faults.get(call)
        if fault is None:
            return
        exc, times = fault
        if times is not None:
            if times <= 1:
                del self._faults[call]
            else:
                fault[1] = times - 1
        raise exc

    def record(self, call: str, *args):
        self.log.append((call, *args))
        self.check(call)

    def lookup(self, what: str):
        if self.lookups:
            self.log.append(("getattr", what))
        self.check("getattr:" + what)

    @property
    def calls(self) -> list[tuple]:
        """The log without attribute look-ups."""
        return [entry for entry in self.log if entry[0] != "getattr"]

    def clear(self):
        self.log.clear()


class Logged:
    """The log and the fault table of whatever records into ``self._rec``."""

    @property
    def log(self):
        return self._rec.log

    @property
    def calls(self):
        return self._rec.calls

    def fail(self, call, exc, times=None):
        self._rec.fail(call, exc, times)

    def heal(self, call=None):
        self._rec.heal(call)


_NODE_METHODS = frozenset({"GetValue", "SetValue", "GetMin", "GetMax", "GetInc", "Execute"})
ROI = ("Width", "Height", "OffsetX", "OffsetY")


class Node:
    """A feature node: a value with optional limits, entries or access rules."""

    def __init__(self, camera, name, value=None, *, minimum=None, maximum=None,
                 entries=None, readonly=False, kind=None, increment=1):
        self._camera = camera
        self.name = name
        self.value = value
        self.minimum = minimum
        self.maximum = maximum
        self.entries = entries
        self.readonly = readonly  # a bool, or a function of the camera
        self.kind = kind if kind is not None else type(value)
        self.increment = increment

    def __getattribute__(self, attr):
        if attr in _NODE_METHODS:
            object.__getattribute__(self, "_camera")._rec.lookup(
                object.__getattribute__(self, "name") + "." + attr)
        return object.__getattribute__(self, attr)

    def _limit(self, limit):
        return limit(self._camera) if callable(limit) else limit

    def _require_open(self):
        if not self._camera._open:
            raise AccessException(f"Node '{self.name}' is not accessible: the camera is not open")

    def GetValue(self):
        self._camera._rec.record(self.name + ".GetValue")
        self._require_open()
        return self._read()

    def _read(self):
        return self.value

    def SetValue(self, value):
        self._camera._rec.record(self.name + ".SetValue", value)
        self._require_open()
        if self._limit(self.readonly):
            raise AccessException(f"Node '{self.name}' is not writable")
        if self.entries is not None:
            if value not in self.entries:
                raise InvalidArgumentException(
                    f"Feature '{self.name}': entry '{value}' is not available")
        elif self.kind is bool:
            if not isinstance(value, bool):
                raise InvalidArgumentException(f"Feature '{self.name}': expected a bool")
        elif self.kind in (int, float):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or (
                    self.kind is int and not isinstance(value, int)):
                raise InvalidArgumentException(
                    f"Feature '{self.name}': value of type {type(value).__name__} not accepted")
            low, high = self._limit(self.minimum), self._limit(self.maximum)
            if (low is not None and value < low) or (high is not None and value > high):
                raise OutOfRangeException(
                    f"Value = {value} must be within {low} and {high}: '{self.name}'")
            if self.increment != 1 and (value - (low or 0)) % self.increment:
                raise OutOfRangeException(
                    f"Value = {value} must be equal to {low or 0} + N * {self.increment}: "
                    f"'{self.name}'")
        self._write(value)
        return True  # setters of the module must drop this

    def _write(self, value):
        self.value = value

    def GetMin(self):
        self._camera._rec.record(self.name + ".GetMin")
        self._require_open()
        return self._limit(self.minimum)

    def GetMax(self):
        self._camera._rec.record(self.name + ".GetMax")
        self._require_open()
        return self._limit(self.maximum)

    def GetInc(self):
        self._camera._rec.record(self.name + ".GetInc")
        self._require_open()
        return self.increment


class SelectedNode(Node):
    """A node whose value depends on a selector node (BalanceRatio)."""

    def __init__(self, camera, name, values, selector, **kw):
        super().__init__(camera, name, None, kind=float, **kw)
        self.values = values
        self.selector = selector

    def _read(self):
        return self.values[self._camera._nodes[self.selector].value]

    def _write(self, value):
        self.values[self._camera._nodes[self.selector].value] = value


class CommandNode(Node):
    def Execute(self):
        self._camera._rec.record(self.name + ".Execute")
        self._require_open()
        return True


# The nodes the stand-in camera has, with their start values, limits and
# entries taken from the model of the camera that the simulated camera also
# runs on. The ROI's limits follow the other ROI nodes as on the camera.
_STANDIN_NODES = (
    "Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "ReverseX", "ReverseY", "Gain",
    "BlackLevel", "BalanceRatioSelector", "LightSourcePreset", "ExposureAuto",
    "BalanceWhiteAuto", "GainAuto", "ExposureTime", "TriggerMode", "SequencerMode",
    "SequencerConfigurationMode", "LUTEnable", "LUTSelector", "LineSelector", "LineStatus",
    "CounterSelector", "ChunkModeActive", "EventSelector", "EventNotification",
    "DeviceModelName", "DeviceTemperature", "DeviceFirmwareVersion",
)
_ROI_MAX = {
    "Width": lambda c: SENSOR_WIDTH - c._nodes["OffsetX"].value,
    "Height": lambda c: SENSOR_HEIGHT - c._nodes["OffsetY"].value,
    "OffsetX": lambda c: SENSOR_WIDTH - c._nodes["Width"].value,
    "OffsetY": lambda c: SENSOR_HEIGHT - c._nodes["Height"].value,
}
_PYTHON_TYPE = {"Integer": int, "Float": float, "Boolean": bool, "Enumeration": str,
                "String": str}


def _first(value):
    return value[0] if isinstance(value, tuple) else value


def _default_nodes(cam):
    nodes = []
    for name in _STANDIN_NODES:
        row = model.BY_NAME[name]
        kind = _PYTHON_TYPE[row.kind]
        value = _first(row.default)
        if value is None:
            value = kind()
        entries = [entry[0] if isinstance(entry, tuple) else entry for entry in row.entries]
        nodes.append(Node(
            cam, name, value, kind=kind, entries=entries or None,
            minimum=row.min if not isinstance(row.min, str) else None,
            maximum=_ROI_MAX.get(name, row.max), readonly=row.access == "RO"))
    ratios = model.BY_NAME["BalanceRatio"]
    nodes += [
        SelectedNode(cam, "BalanceRatio", dict(zip(("Red", "Green", "Blue"), ratios.default)),
                     "BalanceRatioSelector", minimum=ratios.min, maximum=ratios.max),
        # Not on this camera model; the module writes it all the same.
        Node(cam, "LightDeviceSelector", "Device1",
             entries=["Device1", "Device2", "Device3", "Device4"]),
        Node(cam, "PayloadSize", DEFAULT_WIDTH * DEFAULT_HEIGHT, readonly=True),
    ]
    return nodes


class Camera(Logged):
    """The camera object: nodes as attributes, plus Open/IsOpen/Close.

    ``center``: None (the camera has no CenterX/CenterY), "command" (command
    nodes with Execute) or "ace U" (the real acA2040-55uc: CenterX/CenterY are
    Boolean features without Execute; while one is true, its offset is
    read-only). ``roi_step``: the increment of the ROI's sizes and offsets (2
    on the real colour camera, which refuses values off that grid; 1 by
    default, so that any value can be followed). ``omit`` names nodes the
    camera lacks; looking one up raises ``missing`` (AttributeError by default).
    """

    def __init__(self, *, is_open=True, center=None, omit=(), missing=AttributeError,
                 recorder: Recorder | None = None, lookups=False, device=None, roi_step=1):
        self._rec = recorder if recorder is not None else Recorder(lookups=lookups)
        self._open = is_open
        self._missing = missing
        self.device = device
        nodes = {n.name: n for n in _default_nodes(self)}
        if center == "command":
            nodes["CenterX"] = CommandNode(self, "CenterX")
            nodes["CenterY"] = CommandNode(self, "CenterY")
        elif center == "ace U":
            nodes["CenterX"] = Node(self, "CenterX", False)
            nodes["CenterY"] = Node(self, "CenterY", False)
            nodes["OffsetX"].readonly = lambda c: c._nodes["CenterX"].value
            nodes["OffsetY"].readonly = lambda c: c._nodes["CenterY"].value
        for name in ROI:
            nodes[name].increment = roi_step
        for name in omit:
            nodes.pop(name, None)
        self._nodes = nodes

    def __getattr__(self, name):
        nodes = self.__dict__.get("_nodes")
        if nodes is None or name.startswith("_"):
            raise AttributeError(name)
        self._rec.lookup(name)
        if name in nodes:
            return nodes[name]
        if self._missing is AttributeError:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        raise self._missing(f"Node not existing (file 'genicam_wrap.cpp', line 1) : {name}")

    def node(self, name) -> Node:
        return self._nodes[name]

    # the camera object's own calls
    def Open(self):
        self._rec.record("Open")
        if self.device is not None:
            self.device.attach(self)
        self._open = True

    def IsOpen(self):
        self._rec.record("IsOpen")
        return self._open

    def Close(self):
        self._rec.record("Close")
        if self._open and self.device is not None:
            self.device.detach(self)
        self._open = False


class DeviceInfo:
    def __init__(self, serial):
        self.serial = serial

    def GetModelName(self):
        return MODEL_NAME

    def GetSerialNumber(self):
        return self.serial

    def __repr__(self):
        return f"<DeviceInfo {MODEL_NAME} {self.serial}>"


class Device:
    """A created device; at most one open camera can hold it."""

    def __init__(self, info, rec):
        self.info = info
        self._rec = rec
        self.holder = None

    def attach(self, camera):
        if self.holder is not None and self.holder is not camera:
            raise RuntimeException(IN_USE_TEXT)
        self.holder = camera

    def detach(self, camera):
        if self.holder is camera:
            self.holder = None


class SDK(Logged):
    """A self-contained SDK world with ``cameras`` attached cameras.

    ``sdk.pylon`` stands for pypylon's ``pylon`` module. Every camera the SDK
    makes records into ``sdk.log``; ``sdk.fail`` injects faults into any call,
    the factory's and the cameras' alike. Keyword arguments in ``camera_options``
    go to every Camera it makes.
    """

    def __init__(self, cameras=1, lookups=False, **camera_options):
        self._rec = Recorder(lookups=lookups)
        self.infos = tuple(DeviceInfo(str(40012345 + i)) for i in range(cameras))
        self.devices: dict[str, Device] = {}
        self.made: list[Camera] = []
        self.camera_options = camera_options
        sdk = self

        class TlFactory:
            @staticmethod
            def GetInstance():
                sdk._rec.record("TlFactory.GetInstance")
                return factory

        class _Factory:
            def EnumerateDevices(self):
                sdk._rec.record("EnumerateDevices")
                return sdk.infos

            def CreateDevice(self, info):
                sdk._rec.record("CreateDevice", info)
                if not isinstance(info, DeviceInfo):
                    raise InvalidArgumentException("CreateDevice: not a device info")
                return Device(info, sdk._rec)

        factory = _Factory()

        def InstantCamera(device):
            sdk._rec.record("InstantCamera", device)
            shared = sdk.devices.setdefault(device.info.serial, device)
            options = dict(sdk.camera_options)
            options.setdefault("is_open", False)
            cam = Camera(recorder=sdk._rec, device=shared, **options)
            sdk.made.append(cam)
            return cam

        self.pylon = types.SimpleNamespace(
            TlFactory=TlFactory,
            InstantCamera=InstantCamera,
            GenericException=GenericException,
            RuntimeException=RuntimeException,
            LogicalErrorException=LogicalErrorException,
        )

    @property
    def camera(self) -> Camera:
        """The camera object made last."""
        return self.made[-1]


# helpers for tests that follow objects through the module

def loosen(node: Node) -> Node:
    """Let a stand-in node take any value, so identity can be followed."""
    node.entries = None
    node.kind = object
    node.readonly = False
    node.minimum = node.maximum = None
    return node


def recording(group_cls, log):
    """A subclass of ``group_cls`` whose reads of ``_cam`` go into ``log``."""

    class Recording(group_cls):
        def __getattribute__(self, name):
            if name == "_cam":
                log.append(("self", "_cam"))
            return object.__getattribute__(self, name)

    return Recording


def nodes_reached(group_cls, method: str) -> list[str]:
    """The nodes that a feature-group method looks up, in order of first use,
    on a camera without centring commands whose nodes take a value of any type.
    Every parameter without a default gets 1; a refusal after the look-ups
    (1 is below the minimum width) does not matter here."""
    camera = Camera(lookups=True)
    for node in camera._nodes.values():
        node.entries, node.kind, node.readonly = None, object, False
    function = getattr(group_cls, method)
    required = [p for p in list(inspect.signature(function).parameters.values())[1:]
                if p.default is p.empty]
    with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(GenericException):
        function(group_cls(camera), *[1] * len(required))
    return list(dict.fromkeys(entry[1] for entry in camera.log
                              if entry[0] == "getattr" and "." not in entry[1]))


# reference counting

class QuietNode:
    """A node that keeps no reference to what passes through it: every read
    answers ``value`` (the limits ``minimum`` and ``maximum`` unless given),
    every write is accepted; with ``exc``, every call raises a new exception
    like it, so that no traceback piles up on one instance."""

    def __init__(self, value=None, exc=None, minimum=None, maximum=None):
        self.value, self.exc = value, exc
        self.minimum = value if minimum is None else minimum
        self.maximum = value if maximum is None else maximum

    def _raise(self):
        if self.exc is not None:
            raise type(self.exc)(*self.exc.args)

    def GetValue(self):
        self._raise()
        return self.value

    def GetMin(self):
        self._raise()
        return self.minimum

    def GetMax(self):
        self._raise()
        return self.maximum

    def GetInc(self):
        self._raise()
        return self.value

    def SetValue(self, value):
        self._raise()
        return True  # setters of the module must drop this


LEAK_ROUNDS = 300


def leaks(run, *objects, rounds=LEAK_ROUNDS):
    """Call ``run`` ``rounds`` times to warm caches up, then ``rounds`` times
    more while counting; return {position: change} for each of ``objects``
    whose reference count moved in the counted calls ({} when nothing leaks).
    The collector is off while counting, so that garbage left by other tests
    cannot move the counts. Leaked exceptions show in the count of their
    class."""
    for _ in range(rounds):
        run()
    gc.disable()
    try:
        before = [sys.getrefcount(obj) for obj in objects]
        for _ in range(rounds):
            run()
        after = [sys.getrefcount(obj) for obj in objects]
    finally:
        gc.enable()
    return {index: a - b for index, (b, a) in enumerate(zip(before, after)) if a != b}
