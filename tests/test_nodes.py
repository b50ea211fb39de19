"""The node-access pattern shared by every plain getter and setter.

A plain getter is ``self._cam.<Node>.GetValue()`` returned unchanged; a plain
setter is ``self._cam.<Node>.SetValue(<param>)`` with the result dropped. Every
such method of the fourteen groups runs one code path with its own node,
operation and parameter name: one test takes each method of the catalogue
through its node and operation, and the pattern's behaviour (look-ups,
failures, re-entry, references) is tested on one getter and one setter.
"""

import sys
import types

import pytest

import standin
from standin import QuietNode, loosen, recording
from standin.catalogue import PLAIN

GETTER, SETTER = (next(m for m in PLAIN if m.name == name)
                  for name in ("CUF_GET_Width", "CUF_SET_Width"))


def _id(m):
    return f"{m.cls}.{m.name}"


every_method = pytest.mark.parametrize("m", PLAIN, ids=_id)
one_of_each = pytest.mark.parametrize("m", [GETTER, SETTER], ids=_id)


def invoke(group, m, value=None):
    method = getattr(group, m.name)
    if m.kind == "get":
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


def camera_with(node_name, node):
    return types.SimpleNamespace(**{node_name: node})


@every_method
def test_each_method_reaches_its_node_with_its_operation(T, m, capsys):
    # A getter returns the very object GetValue returns; a setter hands over
    # its argument, given by position or by its parameter's name, and drops
    # SetValue's result.
    cam = standin.Camera(lookups=True)
    loosen(cam.node(m.node))
    value = cam.node(m.node).value = object()
    group = recording(getattr(T, m.cls), cam.log)(cam)
    node, op = m.node, m.op
    lookups = [("self", "_cam"), ("getattr", node), ("getattr", f"{node}.{op}")]
    if m.kind == "get":
        assert invoke(group, m) is value
        assert cam.log == lookups + [(f"{node}.{op}",)]
    else:
        method = getattr(group, m.name)
        assert method(value) is None and method(**{m.params[1]: value}) is None
        assert cam.log == (lookups + [(f"{node}.{op}", value)]) * 2
    assert capsys.readouterr() == ("", "")


@one_of_each
def test_the_result_of_the_node_is_returned_or_dropped(T, m):
    value, result = object(), object()
    node = Node(value=value, result=result)  # a truthy result a setter must drop
    group = getattr(T, m.cls)(camera_with(m.node, node))
    assert invoke(group, m, value) is (value if m.kind == "get" else None)
    assert node.received == [(m.op, () if m.kind == "get" else (value,), {})]


@one_of_each
def test_rebinding_cam_redirects_the_next_call(T, m):
    first, second = standin.Camera(), standin.Camera()
    for cam in (first, second):
        loosen(cam.node(m.node))
    group = getattr(T, m.cls)(first)
    invoke(group, m, 1)
    group._cam = second
    invoke(group, m, 2)
    invoke(group, m, 3)
    op = m.op
    assert [c[0] for c in first.calls] == [f"{m.node}.{op}"]
    assert [c[0] for c in second.calls] == [f"{m.node}.{op}"] * 2
    if m.kind == "set":
        assert [c[1] for c in first.calls + second.calls] == [1, 2, 3]


@one_of_each
def test_node_is_looked_up_on_every_call(T, m):
    old, new = Node(value="old"), Node(value="new")
    cam = camera_with(m.node, old)
    group = getattr(T, m.cls)(cam)
    invoke(group, m, 1)
    setattr(cam, m.node, new)
    result = invoke(group, m, 2)
    assert len(old.received) == 1 and len(new.received) == 1
    if m.kind == "get":
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


@one_of_each
@pytest.mark.parametrize("where", ["node lookup", "method lookup", "call"])
@pytest.mark.parametrize("make_exc", FAILURES)
def test_failure_reaches_the_caller_unchanged(T, m, where, make_exc, capsys):
    cam = standin.Camera(lookups=True)
    loosen(cam.node(m.node))
    node, op = m.node, m.op
    point = {"node lookup": f"getattr:{node}",
             "method lookup": f"getattr:{node}.{op}",
             "call": f"{node}.{op}"}[where]
    exc = make_exc()
    cam.fail(point, exc)
    group = getattr(T, m.cls)(cam)
    with pytest.raises(BaseException) as caught:
        invoke(group, m, 9)
    assert caught.value is exc
    # nothing after the failing step happened
    assert cam.calls == ([] if where != "call" else [cam.log[-1]])
    assert capsys.readouterr() == ("", "")


@one_of_each
def test_missing_node_gives_the_lookup_error(T, m):
    cam = standin.Camera(omit=(m.node,))
    group = getattr(T, m.cls)(cam)
    with pytest.raises(AttributeError, match=f"no attribute '{m.node}'"):
        invoke(group, m, 1)
    assert cam.calls == []


@one_of_each
def test_group_on_None_fails_at_the_node_lookup(T, m):
    group = getattr(T, m.cls)(None)
    assert group._cam is None
    with pytest.raises(AttributeError) as caught:
        invoke(group, m, 1)
    assert str(caught.value) == f"'NoneType' object has no attribute '{m.node}'"
    assert caught.value.name == m.node and caught.value.obj is None


@one_of_each
def test_group_without_cam_fails_at_the_cam_lookup(T, m):
    group = getattr(T, m.cls)(standin.Camera())
    del group._cam
    with pytest.raises(AttributeError, match="_cam"):
        invoke(group, m, 1)


@one_of_each
def test_reentry_through_c_raises_recursion_error(T, m):
    # The node's operation is the method itself, bound: each call reaches the
    # next through C alone, with no Python frame in between.
    group = getattr(T, m.cls)(None)
    group._cam = camera_with(m.node, types.SimpleNamespace(**{m.op: getattr(group, m.name)}))
    with pytest.raises(RecursionError):
        invoke(group, m, 1)


def test_reentry_through_the_light_selector_is_discarded(T):
    group = T.BaslerLightControl(None)
    node = types.SimpleNamespace(SetValue=group.CUF_SET_LightDeviceSelector)
    group._cam = camera_with("LightDeviceSelector", node)
    assert group.CUF_SET_LightDeviceSelector("Device1") is None
    assert sys.exc_info() == (None, None, None)


@one_of_each
@pytest.mark.parametrize("path", ["success", "node refuses", "node missing"])
def test_no_reference_is_leaked(T, m, path):
    value = object()
    refused = standin.AccessException("refused")
    node = QuietNode(value, refused if path == "node refuses" else None)
    cam = camera_with(m.node, node) if path != "node missing" else types.SimpleNamespace()
    group = getattr(T, m.cls)(cam)

    def run():
        try:
            invoke(group, m, value)
        except (standin.AccessException, AttributeError):
            assert path != "success"

    assert standin.leaks(run, value, type(refused), node, cam, group) == {}
