"""The node-access pattern shared by every plain getter and setter.

A plain getter is ``self._cam.<Node>.GetValue()`` returned unchanged; a plain
setter is ``self._cam.<Node>.SetValue(<param>)`` with the result dropped. The
table below lists every such method of the fourteen feature groups; each test
runs over the whole table.
"""

import gc
import sys
import types

import pytest

import standin
from standin import loosen, recording

# (group class, method, node, kind, parameter name)
PLAIN = [
    ("ImageFormatControl", "CUF_GET_Width", "Width", "get", None),
    ("ImageFormatControl", "CUF_SET_Width", "Width", "set", "val"),
    ("ImageFormatControl", "CUF_GET_Height", "Height", "get", None),
    ("ImageFormatControl", "CUF_SET_Height", "Height", "set", "val"),
    ("ImageFormatControl", "CUF_GET_PixelFormat", "PixelFormat", "get", None),
    ("ImageFormatControl", "CUF_SET_PixelFormat", "PixelFormat", "set", "fmt"),
    ("ImageFormatControl", "CUF_GET_OffsetX", "OffsetX", "get", None),
    ("ImageFormatControl", "CUF_SET_OffsetX", "OffsetX", "set", "val"),
    ("ImageFormatControl", "CUF_GET_OffsetY", "OffsetY", "get", None),
    ("ImageFormatControl", "CUF_SET_OffsetY", "OffsetY", "set", "val"),
    ("ImageFormatControl", "CUF_GET_ReverseX", "ReverseX", "get", None),
    ("ImageFormatControl", "CUF_SET_ReverseX", "ReverseX", "set", "en"),
    ("ImageFormatControl", "CUF_GET_ReverseY", "ReverseY", "get", None),
    ("ImageFormatControl", "CUF_SET_ReverseY", "ReverseY", "set", "en"),
    ("AnalogControl", "CUF_GET_Gain", "Gain", "get", None),
    ("AnalogControl", "CUF_SET_Gain", "Gain", "set", "val"),
    ("AnalogControl", "CUF_GET_BlackLevel", "BlackLevel", "get", None),
    ("AnalogControl", "CUF_SET_BlackLevel", "BlackLevel", "set", "val"),
    ("AcquisitionControl", "CUF_GET_ExposureTime", "ExposureTime", "get", None),
    ("AcquisitionControl", "CUF_SET_TriggerMode", "TriggerMode", "set", "mode"),
    ("AutoFunctionControl", "CUF_GET_ExposureAuto", "ExposureAuto", "get", None),
    ("AutoFunctionControl", "CUF_SET_ExposureAuto", "ExposureAuto", "set", "mode"),
    ("AutoFunctionControl", "CUF_SET_GainAuto", "GainAuto", "set", "mode"),
    ("AutoFunctionControl", "CUF_GET_BalanceWhiteAuto", "BalanceWhiteAuto", "get", None),
    ("AutoFunctionControl", "CUF_SET_BalanceWhiteAuto", "BalanceWhiteAuto", "set", "mode"),
    ("SequencerControl", "CUF_SET_SequencerMode", "SequencerMode", "set", "mode"),
    ("SequencerControl", "CUF_SET_SequencerConfigurationMode", "SequencerConfigurationMode",
     "set", "mode"),
    ("ImageQualityControl", "CUF_GET_LightSourcePreset", "LightSourcePreset", "get", None),
    ("ImageQualityControl", "CUF_SET_LightSourcePreset", "LightSourcePreset", "set", "val"),
    ("LUTControl", "CUF_SET_LUTEnable", "LUTEnable", "set", "enable"),
    ("LUTControl", "CUF_SET_LUTSelector", "LUTSelector", "set", "sel"),
    ("DigitalIOControl", "CUF_SET_LineSelector", "LineSelector", "set", "line"),
    ("DigitalIOControl", "CUF_GET_LineStatus", "LineStatus", "get", None),
    ("CounterAndTimerControl", "CUF_SET_CounterSelector", "CounterSelector", "set", "sel"),
    ("ChunkDataControl", "CUF_SET_ChunkModeActive", "ChunkModeActive", "set", "active"),
    ("EventControl", "CUF_SET_EventSelector", "EventSelector", "set", "event"),
    ("EventControl", "CUF_SET_EventNotification", "EventNotification", "set", "mode"),
    ("TransportLayerControl", "CUF_GET_PayloadSize", "PayloadSize", "get", None),
    ("DeviceControl", "CUF_GET_ModelName", "DeviceModelName", "get", None),
    ("DeviceControl", "CUF_GET_Temperature", "DeviceTemperature", "get", None),
    ("DeviceControl", "CUF_GET_DeviceFirmwareVersion", "DeviceFirmwareVersion", "get", None),
]

# Methods of the groups that do more than one plain node access.
WITH_LOGIC = {
    ("ImageFormatControl", "CUF_SET_CenterX"),
    ("ImageFormatControl", "CUF_SET_CenterY"),
    ("AnalogControl", "CUF_GET_BalanceRatio"),
    ("AnalogControl", "CUF_SET_BalanceRatio"),
    ("AnalogControl", "CUF_GET_BalanceRatioAll"),
    ("AcquisitionControl", "CUF_SET_ExposureTime"),
    ("ImageQualityControl", "CUF_SET_PylonColorAdaptation"),
    ("BaslerLightControl", "CUF_SET_LightDeviceSelector"),
}

GETTERS = [row for row in PLAIN if row[3] == "get"]
SETTERS = [row for row in PLAIN if row[3] == "set"]


def _id(row):
    return f"{row[0]}.{row[1]}"


every_method = pytest.mark.parametrize("row", PLAIN, ids=_id)
every_getter = pytest.mark.parametrize("row", GETTERS, ids=_id)
every_setter = pytest.mark.parametrize("row", SETTERS, ids=_id)


def op_of(row):
    return "GetValue" if row[3] == "get" else "SetValue"


def invoke(group, row, value=None):
    method = getattr(group, row[1])
    if row[3] == "get":
        return method()
    return method(value)


class Node:
    """A feature node that records what it receives and answers as told."""

    def __init__(self, value=None, result=None):
        self.value = value
        self.result = result
        self.received = []

    def GetValue(self, *args, **kwargs):
        self.received.append(("GetValue", args, kwargs))
        return self.value

    def SetValue(self, *args, **kwargs):
        self.received.append(("SetValue", args, kwargs))
        return self.result


class LeanNode:
    """A node that keeps no reference to what passes through it."""

    def __init__(self, value=None, exc=None):
        self.value = value
        self.exc = exc

    def GetValue(self):
        if self.exc is not None:
            raise self.exc
        return self.value

    def SetValue(self, value):
        if self.exc is not None:
            raise self.exc
        return True


def camera_with(node_name, node):
    return types.SimpleNamespace(**{node_name: node})


def test_table_lists_every_plain_method(T):
    groups = {name: cls for name, cls in vars(T).items()
              if isinstance(cls, type) and issubclass(cls, T._FeatureBase)
              and cls is not T._FeatureBase}
    assert len(groups) == 14
    offered = {(g, m) for g, cls in groups.items() for m in vars(cls) if m.startswith("CUF_")}
    listed = {(row[0], row[1]) for row in PLAIN}
    assert len(listed) == len(PLAIN)
    assert offered - WITH_LOGIC == listed
    assert WITH_LOGIC <= offered


@every_getter
def test_getter_returns_the_very_object_of_GetValue(T, row, capsys):
    value = object()
    node = Node(value=value)
    group = getattr(T, row[0])(camera_with(row[2], node))
    assert invoke(group, row) is value
    assert node.received == [("GetValue", (), {})]
    assert capsys.readouterr() == ("", "")


@every_setter
@pytest.mark.parametrize("form", ["positional", "keyword"])
def test_setter_hands_over_its_argument_and_returns_None(T, row, form, capsys):
    value = object()
    node = Node(result=object())  # a truthy result the setter must drop
    group = getattr(T, row[0])(camera_with(row[2], node))
    method = getattr(group, row[1])
    result = method(value) if form == "positional" else method(**{row[4]: value})
    assert result is None
    assert len(node.received) == 1
    op, args, kwargs = node.received[0]
    assert op == "SetValue" and kwargs == {}
    assert len(args) == 1 and args[0] is value
    assert capsys.readouterr() == ("", "")


@every_method
def test_exact_sequence_of_lookups_and_calls(T, row):
    cam = standin.Camera(lookups=True)
    loosen(cam.node(row[2]))
    cam.node(row[2]).value = 7
    group = recording(getattr(T, row[0]), cam.log)(cam)
    node, op = row[2], op_of(row)
    one_call = [("self", "_cam"), ("getattr", node), ("getattr", f"{node}.{op}"),
                (f"{node}.{op}",) if row[3] == "get" else (f"{node}.{op}", 5)]
    for _ in range(2):
        invoke(group, row, 5)
    assert cam.log == one_call * 2


@every_method
def test_rebinding_cam_redirects_the_next_call(T, row):
    first, second = standin.Camera(), standin.Camera()
    for cam in (first, second):
        loosen(cam.node(row[2]))
    group = getattr(T, row[0])(first)
    invoke(group, row, 1)
    group._cam = second
    invoke(group, row, 2)
    invoke(group, row, 3)
    op = op_of(row)
    assert [c[0] for c in first.calls] == [f"{row[2]}.{op}"]
    assert [c[0] for c in second.calls] == [f"{row[2]}.{op}"] * 2
    if row[3] == "set":
        assert [c[1] for c in first.calls + second.calls] == [1, 2, 3]


@every_method
def test_node_is_looked_up_on_every_call(T, row):
    old, new = Node(value="old"), Node(value="new")
    cam = camera_with(row[2], old)
    group = getattr(T, row[0])(cam)
    invoke(group, row, 1)
    setattr(cam, row[2], new)
    result = invoke(group, row, 2)
    assert len(old.received) == 1 and len(new.received) == 1
    if row[3] == "get":
        assert result == "new"
    else:
        assert new.received[0][1] == (2,)


class Abort(BaseException):
    """Derived neither from Exception nor from the interpreter's own exits."""


FAILURES = [
    pytest.param(lambda: standin.AccessException("Node is not writable."), id="sdk-error"),
    pytest.param(lambda: ValueError("Expected a string"), id="ValueError"),
    pytest.param(KeyboardInterrupt, id="KeyboardInterrupt"),
    pytest.param(lambda: SystemExit(3), id="SystemExit"),
    pytest.param(Abort, id="BaseException"),
]


@every_method
@pytest.mark.parametrize("where", ["node lookup", "method lookup", "call"])
@pytest.mark.parametrize("make_exc", FAILURES)
def test_failure_reaches_the_caller_unchanged(T, row, where, make_exc, capsys):
    cam = standin.Camera(lookups=True)
    loosen(cam.node(row[2]))
    node, op = row[2], op_of(row)
    point = {"node lookup": f"getattr:{node}",
             "method lookup": f"getattr:{node}.{op}",
             "call": f"{node}.{op}"}[where]
    exc = make_exc()
    cam.fail(point, exc)
    group = getattr(T, row[0])(cam)
    with pytest.raises(BaseException) as caught:
        invoke(group, row, 9)
    assert caught.value is exc
    # nothing after the failing step happened
    assert cam.calls == ([] if where != "call" else [cam.log[-1]])
    assert capsys.readouterr() == ("", "")


@every_method
def test_missing_node_gives_the_lookup_error(T, row):
    cam = standin.Camera(omit=(row[2],))
    group = getattr(T, row[0])(cam)
    with pytest.raises(AttributeError, match=f"no attribute '{row[2]}'"):
        invoke(group, row, 1)
    assert cam.calls == []


@every_method
def test_group_on_None_fails_at_the_node_lookup(T, row):
    group = getattr(T, row[0])(None)
    assert group._cam is None
    with pytest.raises(AttributeError) as caught:
        invoke(group, row, 1)
    assert str(caught.value) == f"'NoneType' object has no attribute '{row[2]}'"


@every_method
def test_group_without_cam_fails_at_the_cam_lookup(T, row):
    group = getattr(T, row[0])(standin.Camera())
    del group._cam
    with pytest.raises(AttributeError, match="_cam"):
        invoke(group, row, 1)


@every_method
def test_reentry_through_c_raises_recursion_error(T, row):
    # The node's operation is the method itself, bound: each call reaches the
    # next through C alone, with no Python frame in between.
    group = getattr(T, row[0])(None)
    group._cam = camera_with(row[2], types.SimpleNamespace(**{op_of(row): getattr(group, row[1])}))
    with pytest.raises(RecursionError):
        invoke(group, row, 1)


def test_reentry_through_the_light_selector_is_discarded(T):
    group = T.BaslerLightControl(None)
    node = types.SimpleNamespace(SetValue=group.CUF_SET_LightDeviceSelector)
    group._cam = camera_with("LightDeviceSelector", node)
    assert group.CUF_SET_LightDeviceSelector("Device1") is None
    assert sys.exc_info() == (None, None, None)


def _refcounts(*objs):
    return [sys.getrefcount(o) for o in objs]


@every_method
@pytest.mark.parametrize("path", ["success", "node refuses", "node missing"])
def test_no_reference_is_leaked(T, row, path):
    value = object()
    exc = standin.AccessException("refused")
    node = LeanNode(value=value, exc=exc if path == "node refuses" else None)
    cam = camera_with(row[2], node) if path != "node missing" else types.SimpleNamespace()
    group = getattr(T, row[0])(cam)
    method = getattr(group, row[1])

    def run():
        for _ in range(300):
            try:
                if row[3] == "get":
                    method()
                else:
                    method(value)
            except (standin.AccessException, AttributeError):
                pass
        exc.__traceback__ = None

    run()  # warm up caches
    gc.disable()  # a collection of other tests' garbage would move the counts
    try:
        before = _refcounts(value, exc, node, cam, group)
        run()
        after = _refcounts(value, exc, node, cam, group)
    finally:
        gc.enable()
    assert after == before
