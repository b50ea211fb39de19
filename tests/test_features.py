"""The feature methods with logic of their own: ROI centring, the white-balance
ratios, the clamped exposure write, the ignored colour adaptation, the guarded
light-device write and the group constructors. (The plain getters and setters:
test_nodes.)"""

import builtins
import importlib.util
import sys
import types

import pytest

import standin
from standin import QuietNode, loosen, recording


@pytest.fixture
def printed(monkeypatch):
    """Every call of the built-in print, as (args, kwargs); nothing is shown."""
    calls = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: calls.append((a, k)))
    return calls


class Abort(BaseException):
    pass


class Marker(Exception):
    pass


def handled_elsewhere(call):
    """Run ``call`` while another exception is being handled; return what
    sys.exc_info() shows afterwards and the marker that should still be there."""
    try:
        raise Marker("outer")
    except Marker as marker:
        call()
        return sys.exc_info()[1], marker


# --------------------------------------------------------------------------
# ROI centring

AXES = {
    "X": ("CUF_SET_CenterX", "CenterX", "Width", "OffsetX"),
    "Y": ("CUF_SET_CenterY", "CenterY", "Height", "OffsetY"),
}
axes = pytest.mark.parametrize("axis", list(AXES))


def centre(group, axis):
    return getattr(group, AXES[axis][0])()


def set_size(cam, axis, maximum, current):
    size = cam.node(AXES[axis][2])
    size.maximum, size.value = maximum, current
    loosen(cam.node(AXES[axis][3]))


@pytest.fixture
def world(sdk):
    """The stand-in SDK bound as the module's pylon, so that the SDK's
    exception classes are the stand-in's."""
    return sdk


@axes
def test_centre_command_is_executed_and_nothing_else(T, world, axis):
    _, center, size, offset = AXES[axis]
    cam = standin.Camera(center="command", lookups=True)
    assert centre(T.ImageFormatControl(cam), axis) is None
    assert cam.calls == [(f"{center}.Execute",)]
    touched = {entry[1].split(".")[0] for entry in cam.log if entry[0] == "getattr"}
    assert touched == {center}


@axes
def test_centre_command_failure_propagates(T, world, axis):
    _, center, _, offset = AXES[axis]
    cam = standin.Camera(center="command")
    exc = standin.AccessException("Node is not writable.")
    cam.fail(f"{center}.Execute", exc)
    with pytest.raises(standin.AccessException) as caught:
        centre(T.ImageFormatControl(cam), axis)
    assert caught.value is exc
    assert cam.calls == [(f"{center}.Execute",)]


@axes
def test_centre_computed_path_order(T, world, axis):
    _, center, size, offset = AXES[axis]
    cam = standin.Camera(lookups=True)
    set_size(cam, axis, 2000, 1000)
    group = recording(T.ImageFormatControl, cam.log)(cam)
    assert centre(group, axis) is None
    assert cam.log == [
        ("self", "_cam"), ("getattr", center),
        ("self", "_cam"), ("getattr", size), ("getattr", f"{size}.GetMax"), (f"{size}.GetMax",),
        ("self", "_cam"), ("getattr", size), ("getattr", f"{size}.GetValue"),
        (f"{size}.GetValue",),
        ("self", "_cam"), ("getattr", offset), ("getattr", f"{offset}.SetValue"),
        (f"{offset}.SetValue", 500),
    ]


@pytest.mark.parametrize("axis, maximum, current, expected", [
    ("X", 2048, 1000, 524),
    ("X", 2048, 2047, 0),
    ("X", 2048, 2048, 0),
    ("Y", 1536, 1001, 267),
    ("X", 1000, 1003, -2),
    ("Y", 1000, 1003, -2),
    ("X", 2048.0, 1001, 523.0),
])
def test_centre_computed_offset(T, world, axis, maximum, current, expected):
    offset = AXES[axis][3]
    cam = standin.Camera()
    set_size(cam, axis, maximum, current)
    centre(T.ImageFormatControl(cam), axis)
    written = cam.calls[-1]
    assert written == (f"{offset}.SetValue", expected)
    assert type(written[1]) is type(expected)
    assert [c for c in cam.calls if c[0].endswith("SetValue")] == [written]


@axes
@pytest.mark.parametrize("make_exc", [
    lambda: standin.RuntimeException("device removed"),
    lambda: ValueError("odd"),
    KeyboardInterrupt,
], ids=["sdk-error", "ValueError", "KeyboardInterrupt"])
def test_centre_probe_error_propagates(T, world, axis, make_exc):
    center = AXES[axis][1]
    cam = standin.Camera(lookups=True)
    exc = make_exc()
    cam.fail(f"getattr:{center}", exc)
    with pytest.raises(BaseException) as caught:
        centre(T.ImageFormatControl(cam), axis)
    assert caught.value is exc
    assert cam.log == [("getattr", center)]


class NoFloorDivision:
    def __sub__(self, other):
        return object()


@axes
@pytest.mark.parametrize("maximum, current, expression", [
    ("wide", 1000, lambda: "wide" - 1000),
    (NoFloorDivision(), 1000, lambda: object() // 2),
], ids=["subtraction", "floor-division"])
def test_centre_non_numeric_values(T, world, axis, maximum, current, expression):
    offset = AXES[axis][3]
    cam = standin.Camera(lookups=True)
    set_size(cam, axis, maximum, current)
    start = cam.node(offset).value
    with pytest.raises(TypeError) as expected:
        expression()
    with pytest.raises(TypeError) as caught:
        centre(T.ImageFormatControl(cam), axis)
    assert type(caught.value) is TypeError
    assert str(caught.value) == str(expected.value)
    assert ("getattr", f"{offset}.SetValue") in cam.log
    assert not [c for c in cam.calls if c[0] == f"{offset}.SetValue"]
    assert cam.node(offset).value == start


@axes
@pytest.mark.parametrize("step", [
    "getattr:{size}", "getattr:{size}.GetMax", "{size}.GetMax", "getattr:{size}.GetValue",
    "{size}.GetValue", "getattr:{offset}", "getattr:{offset}.SetValue", "{offset}.SetValue",
])
def test_centre_failure_leaves_offset_unchanged(T, world, axis, step):
    _, _, size, offset = AXES[axis]
    cam = standin.Camera()
    set_size(cam, axis, 2000, 1000)
    cam.node(offset).value = 3
    exc = standin.AccessException("Node is not available.")
    cam.fail(step.format(size=size, offset=offset), exc)
    with pytest.raises(standin.AccessException) as caught:
        centre(T.ImageFormatControl(cam), axis)
    assert caught.value is exc
    assert cam.node(offset).value == 3
    if step != "{offset}.SetValue":
        assert not [c for c in cam.calls if c[0] == f"{offset}.SetValue"]


# The real SDK has no AttributeError for a missing node: older releases raise
# LogicalErrorException from the lookup, newer ones hand out a
# PlaceholderParameter, and the acA2040-55uc's CenterX/CenterY are Boolean
# features without Execute. Each of these means "no centring command", and the
# ROI is then centred by the camera's rules: the size's maximum shrinks as the
# offset grows, and sizes and offsets move in steps of GetInc() from GetMin().

class Placeholder:
    """What the SDK hands out for a feature the camera lacks: it has every
    method, and every one of them raises."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def refuse(*args):
            self.calls.append(name)
            raise standin.LogicalErrorException(f"Cannot {name} 'Camera/CenterX'. "
                                                "The parameter is not available.")
        return refuse


class CentringCommand:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append(name)


class CameraWith(standin.Camera):
    def __init__(self, extra, **kw):
        super().__init__(**kw)
        self._nodes.update(extra)


def ace_u(how, axis, world):
    """An acA2040-55uc (ROI step 2) whose centring feature is absent in the
    way ``how`` says."""
    if how == "logical-error":
        return standin.Camera(missing=standin.LogicalErrorException, roi_step=2)
    if how == "placeholder":
        world.pylon.PlaceholderParameter = Placeholder
        return CameraWith({AXES[axis][1]: Placeholder()}, roi_step=2)
    return standin.Camera(center="ace U", roi_step=2)


SDK_PATHS = ["logical-error", "placeholder", "boolean-off"]
SENSOR = {"X": standin.SENSOR_WIDTH, "Y": standin.SENSOR_HEIGHT}


@axes
@pytest.mark.parametrize("how", SDK_PATHS)
@pytest.mark.parametrize("size, start", [(1000, 0), (1000, 500), (1002, 46), (1528, 8), (16, 0)])
def test_centre_by_the_cameras_rules(T, world, axis, how, size, start):
    _, center, size_node, offset = AXES[axis]
    cam = ace_u(how, axis, world)
    cam.node(size_node).value, cam.node(offset).value = size, start
    expected = (SENSOR[axis] - size) // 2 // 2 * 2
    group = T.ImageFormatControl(cam)
    results = []
    outer, marker = handled_elsewhere(lambda: results.append(centre(group, axis)))
    assert results == [None] and outer is marker
    assert cam.node(offset).value == expected
    # The offset goes to its minimum before the size's maximum is read.
    assert [c for c in cam.calls if c[0] != f"{center}.GetValue"] == [
        (f"{offset}.GetMin",), (f"{offset}.GetInc",), (f"{offset}.SetValue", 0),
        (f"{size_node}.GetMax",), (f"{size_node}.GetValue",), (f"{offset}.SetValue", expected)]
    cam._rec.clear()
    assert centre(group, axis) is None  # a second call stays where it is
    assert cam.node(offset).value == expected


@axes
@pytest.mark.parametrize("minimum, step, expected", [(0, 4, 524), (2, 4, 522), (1, 3, 523)])
def test_centre_rounds_down_onto_the_offset_grid(T, world, axis, minimum, step, expected):
    _, _, size_node, offset = AXES[axis]
    cam = standin.Camera(center="ace U")
    size = SENSOR[axis] - 2 * 524 - 1
    cam.node(size_node).value = size
    node = cam.node(offset)
    node.minimum, node.increment, node.value = minimum, step, minimum
    cam.node(size_node).maximum = lambda c: SENSOR[axis] - c._nodes[offset].value
    centre(T.ImageFormatControl(cam), axis)
    assert node.value == minimum + (SENSOR[axis] - minimum - size) // 2 // step * step


@axes
def test_centre_leaves_the_camera_alone_while_it_centres_itself(T, world, axis):
    _, center, _, offset = AXES[axis]
    cam = standin.Camera(center="ace U", roi_step=2)
    cam.node(center).value = True
    assert centre(T.ImageFormatControl(cam), axis) is None
    assert cam.calls == [(f"{center}.GetValue",)]


@axes
def test_centre_logical_error_is_the_one_of_the_modules_pylon(T, tavrocam, monkeypatch, axis):
    other = type("LogicalErrorException", (Exception,), {})
    monkeypatch.setattr(tavrocam, "pylon", types.SimpleNamespace(LogicalErrorException=other))
    cam = standin.Camera(missing=standin.LogicalErrorException)
    with pytest.raises(standin.LogicalErrorException):
        centre(T.ImageFormatControl(cam), axis)
    assert cam.calls == []


class SDKClassLookup:
    """A `pylon` whose class look-up does what it is told."""

    def __init__(self, action):
        self.action = action

    def __getattr__(self, name):
        return self.action(name)


def deletes_pylon(name):
    import Tavrocam
    del Tavrocam.pylon  # the module held the last reference to this object
    return {"LogicalErrorException": standin.LogicalErrorException,
            "PlaceholderParameter": Placeholder}[name]


def interrupts(name):
    raise KeyboardInterrupt


def fails(name):
    raise LookupError(name)


def no_such_class(name):
    raise AttributeError(name)


@axes
@pytest.mark.parametrize("how", ["logical-error", "placeholder"])
@pytest.mark.parametrize("action, outcome", [
    (deletes_pylon, "centred"), (no_such_class, "unrecognised"), (interrupts, KeyboardInterrupt),
    (fails, LookupError),
])
def test_centre_sdk_class_lookup(T, tavrocam, monkeypatch, axis, how, action, outcome):
    monkeypatch.setattr(tavrocam, "pylon", None)
    cam = ace_u(how, axis, types.SimpleNamespace(pylon=types.SimpleNamespace()))
    tavrocam.pylon = SDKClassLookup(action)
    if outcome == "centred":
        assert centre(T.ImageFormatControl(cam), axis) is None
        assert not hasattr(tavrocam, "pylon")
    elif outcome == "unrecognised":
        # Without the SDK's class, the probe's error (or the placeholder's
        # Execute) is an ordinary failure.
        with pytest.raises(standin.LogicalErrorException):
            centre(T.ImageFormatControl(cam), axis)
    else:
        with pytest.raises(outcome):
            centre(T.ImageFormatControl(cam), axis)
        assert not [c for c in cam.calls if c[0].endswith("SetValue")]


@axes
def test_centre_command_is_not_asked_anything_but_execute(T, world, axis):
    world.pylon.PlaceholderParameter = Placeholder
    node = CentringCommand()
    cam = CameraWith({AXES[axis][1]: node})
    assert centre(T.ImageFormatControl(cam), axis) is None
    assert node.calls == ["Execute"]
    assert cam.calls == []


# --------------------------------------------------------------------------
# AnalogControl: constructor and white-balance ratios

def test_analog_constructor_keeps_the_camera(T, cam):
    assert "__classcell__" not in vars(T.AnalogControl)
    group = T.AnalogControl(cam)
    assert group._cam is cam
    assert vars(group) == {"_cam": cam}
    assert vars(T.AnalogControl(cam=None)) == {"_cam": None}
    other = object()
    assert T.AnalogControl.__init__(group, other) is None
    assert group._cam is other


def test_analog_constructor_delegates_along_the_instance_mro(T, cam):
    seen = []

    class Extra(T._FeatureBase):
        def __init__(self, cam):
            seen.append(cam)
            super().__init__(cam)

    class Combined(T.AnalogControl, Extra):
        pass

    class Child(T.AnalogControl):
        def __init__(self, cam):
            super().__init__(cam)

    assert Combined.__mro__[1:3] == (T.AnalogControl, Extra)
    group = Combined(cam)
    assert seen == [cam]
    assert group._cam is cam
    assert Child(cam)._cam is cam


def ratio_camera(**kw):
    cam = standin.Camera(**kw)
    values = {"Red": object(), "Green": object(), "Blue": object()}
    cam.node("BalanceRatio").values = values
    return cam, values


@pytest.mark.parametrize("call, channel", [
    (lambda g: g.CUF_GET_BalanceRatio(), "Red"),
    (lambda g: g.CUF_GET_BalanceRatio("Blue"), "Blue"),
    (lambda g: g.CUF_GET_BalanceRatio(selector="Green"), "Green"),
])
def test_get_balance_ratio(T, call, channel):
    cam, values = ratio_camera()
    cam.node("BalanceRatioSelector").value = "Green" if channel != "Green" else "Blue"
    assert call(T.AnalogControl(cam)) is values[channel]
    assert cam.calls == [("BalanceRatioSelector.SetValue", channel), ("BalanceRatio.GetValue",)]
    assert cam.node("BalanceRatioSelector").value == channel


def test_get_balance_ratio_selector_failure_reads_nothing(T):
    cam, _ = ratio_camera(lookups=True)
    exc = standin.InvalidArgumentException("entry 'Purple' is not available")
    cam.fail("BalanceRatioSelector.SetValue", exc)
    with pytest.raises(standin.InvalidArgumentException) as caught:
        T.AnalogControl(cam).CUF_GET_BalanceRatio("Purple")
    assert caught.value is exc
    assert ("getattr", "BalanceRatio") not in cam.log
    assert ("BalanceRatio.GetValue",) not in cam.calls


def test_get_balance_ratio_read_failure_leaves_selector_moved(T):
    cam, _ = ratio_camera()
    exc = standin.AccessException("Node is not readable.")
    cam.fail("BalanceRatio.GetValue", exc)
    with pytest.raises(standin.AccessException) as caught:
        T.AnalogControl(cam).CUF_GET_BalanceRatio("Blue")
    assert caught.value is exc
    assert cam.node("BalanceRatioSelector").value == "Blue"


def test_set_balance_ratio_writes_selector_then_ratio(T, printed):
    cam = standin.Camera()
    group = T.AnalogControl(cam)
    assert group.CUF_SET_BalanceRatio(selector="Blue", value=1.5) is None
    assert cam.calls == [("BalanceRatioSelector.SetValue", "Blue"), ("BalanceRatio.SetValue", 1.5)]
    assert cam.node("BalanceRatio").values["Blue"] == 1.5
    assert printed == []


class FormatsItself:
    def __format__(self, fmt):
        return f"<{fmt!r}>"

    def __str__(self):
        return "str() is not what is shown"


class FormattedError(Exception):
    def __format__(self, fmt):
        return f"formatted<{fmt!r}>"


@pytest.mark.parametrize("selector, fail, exc, line, selector_after, ratio_written", [
    pytest.param("Purple", "BalanceRatioSelector.SetValue",
                 standin.InvalidArgumentException("entry 'Purple' is not available"),
                 "設定 BalanceRatio Purple 失敗: entry 'Purple' is not available",
                 "Red", False, id="selector-rejected"),
    pytest.param("Blue", "BalanceRatio.SetValue",
                 standin.OutOfRangeException("Value 99 must be within 0.0 and 15.984375"),
                 "設定 BalanceRatio Blue 失敗: Value 99 must be within 0.0 and 15.984375",
                 "Blue", True, id="ratio-rejected"),
    pytest.param(0, None, None,
                 "設定 BalanceRatio 0 失敗: Feature 'BalanceRatioSelector': "
                 "entry '0' is not available",
                 "Red", False, id="non-text-selector"),
    pytest.param("Green", "getattr:BalanceRatio", AttributeError("no BalanceRatio here"),
                 "設定 BalanceRatio Green 失敗: no BalanceRatio here",
                 "Green", False, id="missing-node"),
    pytest.param(FormatsItself(), "BalanceRatioSelector.SetValue", FormattedError("x"),
                 "設定 BalanceRatio <''> 失敗: formatted<''>",
                 "Red", False, id="formatted-not-str"),
])
def test_set_balance_ratio_reports_and_absorbs(T, printed, selector, fail, exc, line,
                                               selector_after, ratio_written):
    cam = standin.Camera()
    if fail is not None:
        cam.fail(fail, exc)
    outer, marker = handled_elsewhere(
        lambda: printed.append(("result", T.AnalogControl(cam).CUF_SET_BalanceRatio(selector, 99))))
    assert printed == [((line,), {}), ("result", None)]
    assert outer is marker
    assert cam.node("BalanceRatioSelector").value == selector_after
    assert (("BalanceRatio.SetValue", 99) in cam.calls) is ratio_written
    # the camera object is still usable and the method works again
    cam.heal()
    assert T.AnalogControl(cam).CUF_SET_BalanceRatio("Green", 2.0) is None
    assert cam.node("BalanceRatio").values["Green"] == 2.0


def test_set_balance_ratio_prints_one_line_on_stdout(T, capsys):
    cam = standin.Camera(omit=("BalanceRatio",))
    T.AnalogControl(cam).CUF_SET_BalanceRatio("Red", 1.0)
    assert capsys.readouterr().out == (
        "設定 BalanceRatio Red 失敗: 'Camera' object has no attribute 'BalanceRatio'\n")


# --------------------------------------------------------------------------
# What the two printing handlers let through

# handler: (group class, method, arguments, the call made to fail)
HANDLERS = {
    "balance-ratio": ("AnalogControl", "CUF_SET_BalanceRatio", ("Red", 1.0),
                      "BalanceRatio.SetValue"),
    "exposure-min": ("AcquisitionControl", "CUF_SET_ExposureTime", (5000,),
                     "ExposureTime.GetMin"),
    "exposure-write": ("AcquisitionControl", "CUF_SET_ExposureTime", (5000,),
                       "ExposureTime.SetValue"),
}


def handler_call(T, handler, cam):
    """The bound method of ``handler`` on ``cam``, its arguments, the failing call."""
    group, method, args, point = HANDLERS[handler]
    return getattr(getattr(T, group)(cam), method), args, point


handlers = pytest.mark.parametrize("handler", list(HANDLERS))


@handlers
@pytest.mark.parametrize("make_exc", [KeyboardInterrupt, lambda: SystemExit(2), Abort],
                         ids=["KeyboardInterrupt", "SystemExit", "BaseException"])
def test_handlers_let_non_ordinary_exceptions_through(T, printed, handler, make_exc):
    cam = standin.Camera()
    call, args, point = handler_call(T, handler, cam)
    exc = make_exc()
    cam.fail(point, exc)
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert caught.value is exc
    assert printed == []


@handlers
@pytest.mark.parametrize("callers_builtins", [{}, 5, {"print": "not the built-in"}],
                         ids=["empty", "not-a-dict", "own-print"])
def test_handlers_print_with_the_modules_builtins(T, capsys, handler, callers_builtins):
    # A function of the module prints with the builtins of the module's
    # globals, whatever the calling code's builtins are.
    cam = standin.Camera()
    method, args, point = handler_call(T, handler, cam)
    cam.fail(point, standin.AccessException("refused"))
    exec("result = method(*args)", scope := {"__builtins__": callers_builtins,
                                             "method": method, "args": args})
    assert scope["result"] is None
    out = capsys.readouterr().out
    assert out.endswith("refused\n") and out.count("\n") == 1


class UnprintableError(Exception):
    def __str__(self):
        raise unprintable


unprintable = LookupError("no text for this error")


@handlers
def test_handlers_error_while_formatting_propagates(T, printed, handler):
    cam = standin.Camera()
    call, args, point = handler_call(T, handler, cam)
    cam.fail(point, UnprintableError())
    with pytest.raises(LookupError) as caught:
        call(*args)
    assert caught.value is unprintable
    assert printed == []


@handlers
def test_handlers_failing_print_propagates(T, monkeypatch, handler):
    broken = OSError("stdout is gone")

    def print_(*args, **kwargs):
        raise broken

    monkeypatch.setattr(builtins, "print", print_)
    cam = standin.Camera()
    call, args, point = handler_call(T, handler, cam)
    cam.fail(point, standin.AccessException("refused"))
    with pytest.raises(OSError) as caught:
        call(*args)
    assert caught.value is broken


# --------------------------------------------------------------------------
# Every handler leaves the exception state of the caller's generator alone

def constructor(fail, exc, **options):
    def make(tavrocam, monkeypatch):
        world = standin.SDK(**options)
        world.fail(fail, exc)
        monkeypatch.setattr(tavrocam, "pylon", world.pylon)
        return tavrocam.CLASS_Tavrocam
    return make


def handler(name):
    def make(tavrocam, monkeypatch):
        cam = standin.Camera()
        call, args, point = handler_call(tavrocam.CLASS_Tavrocam, name, cam)
        cam.fail(point, standin.AccessException("refused"))
        return lambda: call(*args)
    return make


def centre_by_the_cameras_rules(tavrocam, monkeypatch):
    monkeypatch.setattr(tavrocam, "pylon", standin.SDK().pylon)
    cam = standin.Camera(missing=standin.LogicalErrorException)
    return tavrocam.CLASS_Tavrocam.ImageFormatControl(cam).CUF_SET_CenterX


def executed_as_main(fail=None, exc=None, pypylon=True, refused=None):
    """A fresh execution of the module as the main program on the stand-in."""
    def make(tavrocam, monkeypatch):
        world = standin.SDK()
        if fail:
            world.fail(fail, exc)
        package = types.ModuleType("pypylon")
        package.pylon = world.pylon
        monkeypatch.setitem(sys.modules, "pypylon", package if pypylon else None)
        if refused:
            real_print = builtins.print
            monkeypatch.setattr(builtins, "print",
                                lambda text: 1 / 0 if text.startswith(refused) else real_print(text))
        spec = importlib.util.find_spec("Tavrocam")

        def run():
            module = importlib.util.module_from_spec(spec)
            module.__name__ = "__main__"
            spec.loader.exec_module(module)
        return run
    return make


# path: (made with the module and monkeypatch, gives the call that handles an
# exception; what the call raises; a line it prints)
HANDLING_PATHS = {
    "constructor": (constructor("DeviceModelName.GetValue", standin.RuntimeException("read failed")),
                    None, "Initialize failure: read failed"),
    "open": (constructor("Open", standin.RuntimeException(standin.IN_USE_TEXT), is_open=True),
             None, "!!! Error: Camera is in use by another program !!!"),
    "centre-logical-error": (centre_by_the_cameras_rules, None, None),
    "balance-ratio": (handler("balance-ratio"), None, "設定 BalanceRatio Red 失敗: refused"),
    "exposure": (handler("exposure-write"), None, "ExposureTime set failure: refused"),
    "report-error-line": (executed_as_main("ExposureTime.GetValue", Exception("x")), None,
                          "執行出錯: x"),
    "report-error-line-failing": (executed_as_main("ExposureTime.GetValue", Exception("x"),
                                                   refused="執行出錯"), ZeroDivisionError, "CCD closed."),
    "report-close-after-interrupt": (executed_as_main("ExposureTime.GetValue", Abort()), Abort,
                                     "CCD closed."),
    "execution-failure": (executed_as_main(pypylon=False), ModuleNotFoundError, None),
}


def attempt(call):
    """The class of what ``call`` raised, or None."""
    try:
        call()
    except (Exception, Abort) as exc:
        return type(exc)
    return None


def observed():
    """What a frame sees: the exception being handled, and the context a new exception gets."""
    handled = sys.exc_info()
    try:
        raise LookupError("raised afterwards")
    except LookupError as new:
        return handled, new.__context__


def in_generator(call):
    yield
    raised = attempt(call)
    yield
    yield raised, observed()


@types.coroutine
def pause():
    yield


async def in_coroutine(call):
    await pause()
    raised = attempt(call)
    await pause()
    return raised, observed()


def resume(runner):
    try:
        return runner.send(None)
    except StopIteration as stop:
        return stop.value


@pytest.mark.parametrize("runner", [in_generator, in_coroutine], ids=["generator", "coroutine"])
@pytest.mark.parametrize("path", list(HANDLING_PATHS))
def test_handlers_leave_the_exception_state_of_a_generator_alone(tavrocam, monkeypatch, capsys,
                                                                  runner, path):
    # The caller resumes its generator while handling an exception of its own;
    # afterwards the generator's frames see nothing handled, as after an
    # `except` block of their own.
    make, raised, line = HANDLING_PATHS[path]
    it = runner(make(tavrocam, monkeypatch))
    resume(it)
    try:
        raise Marker("the caller's own")
    except Marker as own:
        resume(it)
        assert sys.exc_info()[1] is own
    monkeypatch.undo()
    assert resume(it) == (raised, ((None, None, None), None))
    out = capsys.readouterr().out.splitlines()
    assert line in out if line else out == []


# --------------------------------------------------------------------------
# CUF_GET_BalanceRatioAll

def test_balance_ratio_all(T):
    cam, values = ratio_camera()
    original = "".join(["Gr", "een"])  # an object of its own, not the interned literal
    cam.node("BalanceRatioSelector").value = original
    group = T.AnalogControl(cam)
    first = group.CUF_GET_BalanceRatioAll()
    assert type(first) is dict
    assert list(first) == ["Red", "Green", "Blue"]
    assert all(first[c] is values[c] for c in first)
    assert cam.calls == [
        ("BalanceRatioSelector.GetValue",),
        ("BalanceRatioSelector.SetValue", "Red"), ("BalanceRatio.GetValue",),
        ("BalanceRatioSelector.SetValue", "Green"), ("BalanceRatio.GetValue",),
        ("BalanceRatioSelector.SetValue", "Blue"), ("BalanceRatio.GetValue",),
        ("BalanceRatioSelector.SetValue", original),
    ]
    assert cam.calls[-1][1] is original
    assert cam.node("BalanceRatioSelector").value is original
    second = group.CUF_GET_BalanceRatioAll()
    assert second is not first and second == first


class FailsOn(dict):
    def __init__(self, channel, exc, values):
        super().__init__(values)
        self.channel, self.exc = channel, exc

    def __getitem__(self, key):
        if key == self.channel:
            raise self.exc
        return super().__getitem__(key)


def test_balance_ratio_all_failure_on_green(T):
    cam, values = ratio_camera()
    cam.node("BalanceRatioSelector").value = "Blue"
    exc = standin.AccessException("Node is not readable.")
    cam.node("BalanceRatio").values = FailsOn("Green", exc, values)
    with pytest.raises(standin.AccessException) as caught:
        T.AnalogControl(cam).CUF_GET_BalanceRatioAll()
    assert caught.value is exc
    assert cam.node("BalanceRatioSelector").value == "Green"
    assert cam.calls[-1] == ("BalanceRatio.GetValue",)


def test_balance_ratio_all_first_read_failure_leaves_selector(T):
    cam, _ = ratio_camera()
    cam.node("BalanceRatioSelector").value = "Blue"
    exc = standin.AccessException("Node is not readable.")
    cam.fail("BalanceRatioSelector.GetValue", exc)
    with pytest.raises(standin.AccessException) as caught:
        T.AnalogControl(cam).CUF_GET_BalanceRatioAll()
    assert caught.value is exc
    assert cam.calls == [("BalanceRatioSelector.GetValue",)]
    assert cam.node("BalanceRatioSelector").value == "Blue"


# --------------------------------------------------------------------------
# CUF_SET_ExposureTime

LOW, HIGH = float("19.0"), float("1e7")
BELOW, INSIDE, ABOVE, NAN = 1, 5000, 10 ** 8, float("nan")
AT_LOW, AT_HIGH = 19, 10_000_000


def exposure_camera(low=LOW, high=HIGH, **kw):
    cam = standin.Camera(**kw)
    node = cam.node("ExposureTime")
    node.minimum, node.maximum = low, high
    return cam


@pytest.mark.parametrize("val, expected", [
    (BELOW, LOW), (ABOVE, HIGH), (INSIDE, INSIDE), (AT_LOW, AT_LOW), (AT_HIGH, AT_HIGH),
    (NAN, NAN), (float("2500.5"), None),
], ids=["below", "above", "inside", "at-min", "at-max", "nan", "inside-float"])
def test_exposure_write_is_clamped(T, printed, val, expected):
    expected = val if expected is None else expected
    cam = exposure_camera()
    assert T.AcquisitionControl(cam).CUF_SET_ExposureTime(val) is None
    assert cam.calls == [("ExposureTime.GetMin",), ("ExposureTime.GetMax",),
                         ("ExposureTime.SetValue", cam.calls[-1][1])]
    assert cam.calls[-1][1] is expected
    assert printed == []


@pytest.mark.parametrize("val", [5, 50, 500, -1.0])
def test_exposure_inverted_limits_write_the_minimum(T, val):
    low, high = float("100.0"), float("10.0")
    cam = exposure_camera()
    loosen(cam.node("ExposureTime"))
    cam.node("ExposureTime").minimum, cam.node("ExposureTime").maximum = low, high
    T.AcquisitionControl(cam).CUF_SET_ExposureTime(val=val)
    assert cam.calls[-1][1] is low


class Compared:
    """Records every comparison made on it and answers as told."""

    def __init__(self, name, log, answers):
        self.name, self.log, self.answers = name, log, answers

    def __lt__(self, other):
        self.log.append((self.name, "<", other.name))
        return self.answers.get("<", False)

    def __gt__(self, other):
        self.log.append((self.name, ">", other.name))
        return self.answers.get(">", False)


@pytest.mark.parametrize("above, below, first, second, target", [
    (False, False, ("max", "<", "val"), ("min", ">", "val"), "val"),
    (True, False, ("max", "<", "val"), ("min", ">", "max"), "max"),
    (False, True, ("max", "<", "val"), ("min", ">", "val"), "min"),
    (True, True, ("max", "<", "val"), ("min", ">", "max"), "min"),
])
def test_exposure_makes_exactly_two_comparisons(T, printed, above, below, first, second, target):
    log = []
    objs = {"min": Compared("min", log, {">": below}),
            "max": Compared("max", log, {"<": above}),
            "val": Compared("val", log, {})}
    cam = standin.Camera()
    node = loosen(cam.node("ExposureTime"))
    node.minimum, node.maximum = objs["min"], objs["max"]
    T.AcquisitionControl(cam).CUF_SET_ExposureTime(objs["val"])
    assert log == [first, second]
    assert cam.calls[-1][1] is objs[target]
    assert printed == []


def test_exposure_text_value_reports_the_comparison_error(T, printed):
    cam = exposure_camera()
    with pytest.raises(TypeError) as expected:
        HIGH < "fast"  # noqa: B015 - the comparison min() makes
    assert T.AcquisitionControl(cam).CUF_SET_ExposureTime("fast") is None
    assert printed == [((f"ExposureTime set failure: {expected.value}",), {})]
    assert not [c for c in cam.calls if c[0] == "ExposureTime.SetValue"]


@pytest.mark.parametrize("point", [
    "getattr:ExposureTime", "ExposureTime.GetMin", "ExposureTime.GetMax",
    "getattr:ExposureTime.SetValue", "ExposureTime.SetValue",
])
def test_exposure_failure_is_reported_and_absorbed(T, printed, point):
    cam = exposure_camera()
    cam.node("ExposureTime").value = 777.0
    exc = standin.OutOfRangeException(f"refused at {point}")
    cam.fail(point, exc, times=1)
    group = T.AcquisitionControl(cam)
    outer, marker = handled_elsewhere(
        lambda: printed.append(("result", group.CUF_SET_ExposureTime(5000))))
    assert printed == [((f"ExposureTime set failure: refused at {point}",), {}),
                       ("result", None)]
    assert outer is marker
    assert cam.node("ExposureTime").value == 777.0
    # nothing is left pending: the next call works normally
    assert group.CUF_SET_ExposureTime(6000) is None
    assert cam.node("ExposureTime").value == 6000


def test_exposure_failure_line_on_stdout(T, capsys):
    cam = exposure_camera(is_open=False)
    T.AcquisitionControl(cam).CUF_SET_ExposureTime(5000)
    assert capsys.readouterr().out == (
        "ExposureTime set failure: Node 'ExposureTime' is not accessible: "
        "the camera is not open\n")


def test_exposure_touches_no_other_node(T):
    cam = exposure_camera(lookups=True)
    T.AcquisitionControl(cam).CUF_SET_ExposureTime(5000)
    assert {e[1].split(".")[0] for e in cam.log if e[0] == "getattr"} == {"ExposureTime"}


# --------------------------------------------------------------------------
# CUF_SET_PylonColorAdaptation

class Untouchable:
    def __getattribute__(self, name):
        raise AssertionError(f"camera touched: {name}")


def test_colour_adaptation_does_nothing(T):
    seen = []

    class Watched(T.ImageQualityControl):
        def __getattribute__(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

    group = Watched(Untouchable())
    method = group.CUF_SET_PylonColorAdaptation
    seen.clear()
    assert method(True) is None
    assert method(val=object()) is None
    assert seen == []
    with pytest.raises(TypeError):
        method()
    with pytest.raises(TypeError):
        method(True, False)


# --------------------------------------------------------------------------
# CUF_SET_LightDeviceSelector

def test_light_device_selector_writes(T):
    cam = standin.Camera()
    assert T.BaslerLightControl(cam).CUF_SET_LightDeviceSelector(sel="Device3") is None
    assert cam.calls == [("LightDeviceSelector.SetValue", "Device3")]
    assert cam.node("LightDeviceSelector").value == "Device3"


@pytest.mark.parametrize("setup", [
    pytest.param(lambda cam: None, id="rejected-entry"),
    pytest.param(lambda cam: cam.fail("getattr:LightDeviceSelector", AttributeError("x")),
                 id="missing-node"),
    pytest.param(lambda cam: cam.fail("getattr:LightDeviceSelector.SetValue", TypeError("x")),
                 id="missing-SetValue"),
    pytest.param(lambda cam: cam.fail("LightDeviceSelector.SetValue",
                                      standin.AccessException("x")), id="sdk-error"),
    pytest.param(lambda cam: cam.fail("LightDeviceSelector.SetValue", RecursionError("deep")),
                 id="RecursionError"),
])
def test_light_device_selector_discards_every_ordinary_failure(T, capsys, setup):
    cam = standin.Camera()
    setup(cam)
    group = T.BaslerLightControl(cam)
    results = []
    outer, marker = handled_elsewhere(
        lambda: results.append(group.CUF_SET_LightDeviceSelector("Nowhere")))
    assert results == [None]
    assert outer is marker
    assert capsys.readouterr() == ("", "")
    cam.heal()
    group.CUF_SET_LightDeviceSelector("Device2")
    assert cam.node("LightDeviceSelector").value == "Device2"


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(1), Abort()], ids=type)
@pytest.mark.parametrize("step", ["getattr:LightDeviceSelector", "LightDeviceSelector.SetValue"])
def test_light_device_selector_lets_interrupts_through(T, capsys, exc, step):
    cam = standin.Camera()
    cam.fail(step, exc)
    with pytest.raises(BaseException) as caught:
        T.BaslerLightControl(cam).CUF_SET_LightDeviceSelector("Device2")
    assert caught.value is exc
    assert capsys.readouterr() == ("", "")


def test_light_device_selector_without_cam(T, capsys):
    group = T.BaslerLightControl(None)
    assert group.CUF_SET_LightDeviceSelector("Device1") is None
    del group._cam
    assert group.CUF_SET_LightDeviceSelector("Device1") is None
    assert capsys.readouterr() == ("", "")


# --------------------------------------------------------------------------
# The base constructor

def test_base_constructor_stores_any_object_and_lets_errors_through(T, cam):
    group = T.DeviceControl(cam)
    marker = object()
    assert T._FeatureBase.__init__(group, marker) is None
    assert group._cam is marker
    refused = PermissionError("read-only group")

    class Frozen(T.DeviceControl):
        def __setattr__(self, name, value):
            raise refused

    with pytest.raises(PermissionError) as caught:
        Frozen(cam)
    assert caught.value is refused


# --------------------------------------------------------------------------
# References on the paths with logic of their own

class NoCentring(types.SimpleNamespace):
    """A camera object whose CenterX lookup raises the SDK's missing-node error."""

    def __getattr__(self, name):
        raise standin.LogicalErrorException(f"Node not existing : {name}")


def quiet_camera(value, failing=None, cls=types.SimpleNamespace, **nodes):
    """A camera object of QuietNodes answering ``value``; ``failing`` names the one that refuses."""
    made = {name: QuietNode(value, standin.AccessException("refused") if name == failing else None)
            for name in ("Width", "OffsetX", "BalanceRatioSelector", "BalanceRatio",
                         "ExposureTime", "LightDeviceSelector")}
    return cls(**dict(made, **nodes))


def centre_x(T, cam, v):
    return T.ImageFormatControl(cam).CUF_SET_CenterX()


def set_ratio(T, cam, v):
    return T.AnalogControl(cam).CUF_SET_BalanceRatio(v, v)


def set_exposure(T, cam, v):
    return T.AcquisitionControl(cam).CUF_SET_ExposureTime(v)


# path: (call, camera made for the watched value)
LEAK_PATHS = {
    "centre-computed": (centre_x, quiet_camera),
    "centre-logical-error": (centre_x, lambda v: quiet_camera(v, cls=NoCentring)),
    "centre-boolean": (centre_x, lambda v: quiet_camera(v, CenterX=QuietNode(v))),
    "centre-placeholder": (centre_x, lambda v: quiet_camera(v, CenterX=Placeholder())),
    "centre-command": (centre_x, lambda v: quiet_camera(v, CenterX=CentringCommand())),
    "ratio-get": (lambda T, cam, v: T.AnalogControl(cam).CUF_GET_BalanceRatio(v), quiet_camera),
    "ratio-set": (set_ratio, quiet_camera),
    "ratio-set-failure": (set_ratio, lambda v: quiet_camera(v, "BalanceRatioSelector")),
    "ratio-all": (lambda T, cam, v: T.AnalogControl(cam).CUF_GET_BalanceRatioAll(), quiet_camera),
    "exposure": (set_exposure, quiet_camera),
    "exposure-clamped": (set_exposure,
                         lambda v: quiet_camera(v, ExposureTime=QuietNode(v, minimum=0.0, maximum=1.0))),
    "exposure-comparison-failure": (set_exposure, lambda v: quiet_camera(
        v, ExposureTime=QuietNode(v, minimum="low", maximum="high"))),
    "exposure-failure": (set_exposure, lambda v: quiet_camera(v, "ExposureTime")),
    "light-failure": (lambda T, cam, v: T.BaslerLightControl(cam).CUF_SET_LightDeviceSelector(v),
                      lambda v: quiet_camera(v, "LightDeviceSelector")),
    "colour-adaptation": (lambda T, cam, v: T.ImageQualityControl(cam).CUF_SET_PylonColorAdaptation(v),
                          quiet_camera),
}


@pytest.mark.parametrize("path", list(LEAK_PATHS))
def test_no_reference_is_leaked(T, world, printed, path):
    world.pylon.PlaceholderParameter = Placeholder
    call, make_camera = LEAK_PATHS[path]
    value = float("2500.5")
    cam = make_camera(value)

    def run():
        call(T, cam, value)
        printed.clear()

    assert standin.leaks(run, value, cam, standin.LogicalErrorException, standin.AccessException) == {}
