"""Argument checking and keyword passing of every method.

Each wrong call is made twice: on the method, and on a plain Python function
with the same qualified name, parameters and defaults. CPython 3.10's own
TypeError text for the function is the expected text. The camera (and, for the
constructor, the SDK module) records every attribute read, so the tests also
show that argument errors come before any camera access.
"""
import contextlib
import io
import itertools

import pytest

import Tavrocam
from test_class_tree import METHODS, method_of, owner_of

C = Tavrocam.CLASS_Tavrocam


class Recorder:
    """Answers any attribute with another recorder; logs every read and call."""

    def __init__(self, log, path="cam"):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_path", path)

    def __getattr__(self, name):
        path = f"{self._path}.{name}"
        self._log.append(path)
        return Recorder(self._log, path)

    def __call__(self, *args, **kwargs):
        path = f"{self._path}({', '.join([*map(repr, args), *(f'{k}={v!r}' for k, v in kwargs.items())])})"
        self._log.append(path)
        return Recorder(self._log, path)

    def __repr__(self):
        return self._path


@pytest.fixture(autouse=True)
def recorded_pylon(monkeypatch):
    log = []
    monkeypatch.setattr(Tavrocam, "pylon", Recorder(log, "pylon"))
    return log


def reference_function(qualname, params, defaults):
    namespace = {}
    exec(f"def f({', '.join(params)}):\n    return None", namespace)
    f = namespace["f"]
    f.__defaults__ = defaults
    f.__name__ = qualname.rsplit(".", 1)[1]
    f.__qualname__ = qualname
    return f


def watched_class(cls, log):
    """A subclass of cls whose instances log reads of instance attributes, and writes."""

    class Watched(cls):
        def __getattribute__(self, name):
            if not hasattr(cls, name):
                log.append(f"self.{name}")
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            log.append(f"self.{name} =")
            object.__setattr__(self, name, value)

    return Watched


def recording_instance(watched, log):
    inst = watched.__new__(watched)
    object.__setattr__(inst, "cam" if C in watched.__mro__ else "_cam", Recorder(log))
    return inst


def wrong_calls(params, required):
    """(positional count, keywords) pairs that every function of this signature rejects."""
    n = len(params)
    calls = []
    for count in range(n + 3):
        for keywords in ({}, {"bogus": 1}):
            if keywords or count < required or count > n:
                calls.append((count, keywords))
    for i, name in enumerate(params):
        # A positional and a keyword for the same parameter, also with surplus positionals.
        calls.append((i + 1, {name: 1}))
        calls.append((n + 1, {name: 1}))
    for size in range(1, n + 1):
        for chosen in itertools.combinations(params, size):
            keywords = dict.fromkeys(chosen, 1)
            if any(p not in keywords for p in params[:required]):
                calls.append((0, keywords))
    calls.append((1, {1: 2}))  # a keyword that is not a string
    return calls


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the class is part of what is compared
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize("qualname", list(METHODS))
def test_wrong_calls_fail_as_for_a_python_function(qualname, recorded_pylon):
    params, defaults, _ = METHODS[qualname]
    required = len(params) - len(defaults or ())
    method = method_of(qualname)
    cls = owner_of(qualname)
    reference = reference_function(qualname, params, defaults)
    reference_cls = type("Reference", (), {method.__name__: reference})
    log = recorded_pylon
    watched = watched_class(cls, log)
    mismatches = []
    checked = 0
    for count, kwargs in wrong_calls(params, required):
        inst = recording_instance(watched, log)
        before = dict(vars(inst))
        extras = [f"arg{i}" for i in range(1, count)]
        cases = [("class", method, reference, [inst, *extras][:count])]
        if count >= 1:
            bound = getattr(inst, method.__name__)
            ref_bound = getattr(reference_cls.__new__(reference_cls), method.__name__)
            cases.append(("instance", bound, ref_bound, extras))
            if method.__name__ == "__init__":
                cases.append(("construction", cls, reference_cls, extras))
        log.clear()
        for how, real, ref, args in cases:
            expected = outcome(ref, args, kwargs)
            got = outcome(real, args, kwargs)
            checked += 1
            assert expected is not None and expected[0] is TypeError, (how, args, kwargs)
            if got != expected:
                mismatches.append((how, args, kwargs, got, expected))
        assert log == [], (count, kwargs)
        assert vars(inst) == before
    assert mismatches == []
    assert checked >= 10


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda a: a.CUF_SET_BalanceRatio(),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_BalanceRatio() missing 2 required positional arguments: "
         "'selector' and 'value'"),
        (lambda a: C.AnalogControl.CUF_SET_BalanceRatio(),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_BalanceRatio() missing 3 required positional arguments: "
         "'self', 'selector', and 'value'"),
        (lambda a: a.CUF_SET_BalanceRatio("Red"),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_BalanceRatio() missing 1 required positional argument: 'value'"),
        (lambda a: a.CUF_GET_Gain(1),
         "CLASS_Tavrocam.AnalogControl.CUF_GET_Gain() takes 1 positional argument but 2 were given"),
        (lambda a: C.AnalogControl.CUF_GET_Gain(a, 1),
         "CLASS_Tavrocam.AnalogControl.CUF_GET_Gain() takes 1 positional argument but 2 were given"),
        (lambda a: a.CUF_SET_Gain(1, 2),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_Gain() takes 2 positional arguments but 3 were given"),
        (lambda a: a.CUF_GET_BalanceRatio("Red", 2),
         "CLASS_Tavrocam.AnalogControl.CUF_GET_BalanceRatio() takes from 1 to 2 positional arguments "
         "but 3 were given"),
        (lambda a: a.CUF_SET_Gain(value=1),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_Gain() got an unexpected keyword argument 'value'"),
        (lambda a: a.CUF_SET_Gain(1, val=2),
         "CLASS_Tavrocam.AnalogControl.CUF_SET_Gain() got multiple values for argument 'val'"),
        (lambda a: C(1, 2),
         "CLASS_Tavrocam.__init__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda a: C.close(),
         "CLASS_Tavrocam.close() missing 1 required positional argument: 'self'"),
        (lambda a: C.ImageQualityControl(None).CUF_SET_PylonColorAdaptation(),
         "CLASS_Tavrocam.ImageQualityControl.CUF_SET_PylonColorAdaptation() missing 1 required "
         "positional argument: 'val'"),
        (lambda a: C.DeviceControl(),
         "CLASS_Tavrocam._FeatureBase.__init__() missing 1 required positional argument: 'cam'"),
    ],
)
def test_argument_error_texts(call, expected, recorded_pylon):
    inst = recording_instance(watched_class(C.AnalogControl, recorded_pylon), recorded_pylon)
    recorded_pylon.clear()
    with pytest.raises(TypeError) as info:
        call(inst)
    assert str(info.value) == expected
    assert recorded_pylon == []


@pytest.mark.parametrize("qualname", [q for q in METHODS if len(METHODS[q][0]) > 1])
def test_keyword_calls_are_accepted(qualname, monkeypatch):
    """The keyword form reaches the camera exactly as the positional form does."""
    params, _, _ = METHODS[qualname]
    method = method_of(qualname)
    cls = owner_of(qualname)
    values = {"selector": "Blue", "value": 1.5, "device_index": 0, "val": 5000}

    def run(keywords):
        log = []
        cam = Recorder(log)
        monkeypatch.setattr(Tavrocam, "pylon", Recorder(log, "pylon"))
        inst = cls.__new__(cls)
        if cls is not C:
            object.__setattr__(inst, "_cam", cam)
        args = [values.get(p, f"<{p}>") for p in params[1:]]
        with contextlib.redirect_stdout(io.StringIO()) as out:
            if keywords == "equal":
                # keyword names equal to the parameters' but not the same objects
                names = ["".join(list(p)) for p in params[1:]]
                assert all(a is not b for a, b in zip(names, params[1:]))
                result = method(inst, **dict(zip(names, args)))
            elif keywords:
                result = method(self=inst, **dict(zip(params[1:], args)))
            else:
                result = method(inst, *args)
        state = {k: v for k, v in vars(inst).items() if not isinstance(v, Recorder)}
        return repr(result), log, out.getvalue(), state, inst

    positional = run(False)
    keyword = run(True)
    assert positional[:4] == keyword[:4] == run("equal")[:4]
    if method.__name__ == "__init__" and cls is not C:
        assert keyword[4]._cam == f"<{params[1]}>"


def test_keyword_examples_reach_the_nodes():
    calls = []

    class Node:
        def __init__(self, name):
            self.name = name

        def SetValue(self, value):
            calls.append((self.name, value))

        def GetValue(self):
            return 2.0

    class Cam:
        def __getattr__(self, name):
            return Node(name)

    cam = Cam()
    assert C.ImageFormatControl(cam).CUF_SET_Width(val=640) is None
    assert C.AnalogControl(cam=cam).CUF_SET_BalanceRatio(selector="Blue", value=1.5) is None
    assert C.AnalogControl(cam).CUF_GET_BalanceRatio(selector="Green") == 2.0
    assert C.ImageFormatControl(cam).CUF_SET_ReverseY(en=False) is None
    assert C.EventControl(cam).CUF_SET_EventSelector(event="Test") is None
    assert C.LUTControl(cam).CUF_SET_LUTEnable(enable=True) is None
    assert calls == [("Width", 640), ("BalanceRatioSelector", "Blue"), ("BalanceRatio", 1.5),
                     ("BalanceRatioSelector", "Green"), ("ReverseY", False), ("EventSelector", "Test"),
                     ("LUTEnable", True)]


def test_constructor_takes_device_index_by_keyword(monkeypatch, capsys):
    created = []

    class Camera:
        def __init__(self, device):
            self.device = device

        def Open(self):
            pass

        def IsOpen(self):
            return True

        def __getattr__(self, name):
            return type("N", (), {"GetValue": lambda _self: "Fake"})()

    class Factory:
        def EnumerateDevices(self):
            return ("dev0", "dev1")

        def CreateDevice(self, entry):
            created.append(entry)
            return entry

    class Pylon:
        TlFactory = type("T", (), {"GetInstance": staticmethod(Factory)})
        InstantCamera = Camera

    monkeypatch.setattr(Tavrocam, "pylon", Pylon)
    api = C(device_index=1)
    assert created == ["dev1"] and api.cam.device == "dev1"
    assert capsys.readouterr().out == "Connect successful: Fake\n"
