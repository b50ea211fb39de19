"""CLASS_Tavrocam.__init__ and close(): SDK call order, attributes, printed lines
and the handling of every kind of failure."""

import sys

import pytest

import standin
from standin.catalogue import GROUPS

ATTRIBUTES = ["cam"] + [group.attribute for group in GROUPS]
CONNECT = ["TlFactory.GetInstance", "EnumerateDevices", "CreateDevice", "InstantCamera"]
IN_USE = "!!! Error: Camera is in use by another program !!!"
CONNECTED = "Connect successful: acA2040-55uc"
NOT_OPEN = "Initialize failure: Node 'DeviceModelName' is not accessible: the camera is not open"


def printed(*lines):
    return "".join(line + "\n" for line in lines)


def call_names(sdk):
    return [entry[0] for entry in sdk.calls]


def group_raising(error):
    class Broken:
        def __init__(self, cam):
            raise error

    return Broken


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("text unavailable")


class ChangingText(Exception):
    """An error whose text differs at each str() call."""

    def __init__(self, *texts):
        super().__init__()
        self.texts = texts
        self.conversions = 0

    def __str__(self):
        self.conversions += 1
        return self.texts[min(self.conversions, len(self.texts)) - 1]


class Stream:
    """A stdout that refuses every text starting with ``refused``."""

    def __init__(self, refused, error):
        self.refused, self.error, self.parts = refused, error, []

    def write(self, text):
        if text.startswith(self.refused):
            raise self.error
        self.parts.append(text)
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def bind(tavrocam, monkeypatch):
    """Bind a fresh stand-in SDK, made with the given options, as ``pylon``."""

    def bind(**options):
        world = standin.SDK(**options)
        monkeypatch.setattr(tavrocam, "pylon", world.pylon)
        return world

    return bind


# --- success -------------------------------------------------------------

@pytest.mark.parametrize("kwargs, index", [({}, 0), ({"device_index": 2}, 2), ({"device_index": -1}, 2)])
def test_connects_to_the_chosen_device(T, bind, capsys, kwargs, index):
    sdk = bind(cameras=3)
    api = T(**kwargs)
    assert capsys.readouterr().out == printed(CONNECTED)
    camera = sdk.camera
    assert sdk.calls == [
        ("TlFactory.GetInstance",),
        ("EnumerateDevices",),
        ("CreateDevice", sdk.infos[index]),
        ("InstantCamera", camera.device),
        ("Open",),
        ("DeviceModelName.GetValue",),
    ]
    assert camera.device.info is sdk.infos[index]
    assert list(vars(api)) == ATTRIBUTES
    assert api.cam is camera and camera._open
    for g in GROUPS:
        group = getattr(api, g.attribute)
        assert type(group) is getattr(T, g.cls)
        assert group._cam is camera


def test_pylon_is_read_from_the_module_at_each_construction(T, tavrocam, monkeypatch, capsys):
    first, second = standin.SDK(), standin.SDK()
    monkeypatch.setattr(tavrocam, "pylon", first.pylon)
    a = T()
    monkeypatch.setattr(tavrocam, "pylon", second.pylon)
    b = T()
    assert a.cam is first.camera and len(first.made) == 1
    assert b.cam is second.camera and b.Device._cam is second.camera
    monkeypatch.delattr(tavrocam, "pylon")
    c = T()
    assert vars(c) == {}
    assert capsys.readouterr().out == printed(
        CONNECTED, CONNECTED, "Initialize failure: name 'pylon' is not defined")


def test_pylon_is_read_again_to_make_the_camera(T, tavrocam, monkeypatch, capsys):
    first, second = standin.SDK(), standin.SDK()
    factory = first.pylon.TlFactory.GetInstance()
    create = factory.CreateDevice

    def create_and_switch(entry):
        device = create(entry)
        monkeypatch.setattr(tavrocam, "pylon", second.pylon)
        return device

    factory.CreateDevice = create_and_switch
    first.log.clear()
    monkeypatch.setattr(tavrocam, "pylon", first.pylon)
    api = T()
    assert capsys.readouterr().out == printed(CONNECTED)
    assert call_names(first) == CONNECT[:3] and first.made == []
    assert call_names(second) == ["InstantCamera", "Open", "DeviceModelName.GetValue"]
    assert api.cam is second.camera


def test_group_classes_are_read_through_the_instance(T, sdk, capsys):
    class Sequencer(T.SequencerControl):
        pass

    class Subclass(T):
        SequencerControl = Sequencer

    first = Subclass()
    assert type(first.Sequencer) is Sequencer
    first.close()

    class Device(T.DeviceControl):
        def CUF_GET_ModelName(self):
            return "from the instance"

    api = T.__new__(T)
    api.DeviceControl = Device
    T.__init__(api)
    assert type(api.Device) is Device and api.Device._cam is api.cam
    assert type(api.Sequencer) is T.SequencerControl
    assert capsys.readouterr().out == printed(
        CONNECTED, "CCD closed.", "Connect successful: from the instance")


def test_cam_is_read_afresh_for_each_group(T, sdk, capsys):
    replacement = standin.Camera()

    class Subclass(T):
        @property
        def LUTControl(self):
            self.cam = replacement
            return T.LUTControl

    api = Subclass()
    before = ATTRIBUTES.index("LUT") - 1
    assert [getattr(api, attr)._cam for attr in ATTRIBUTES[1:]] == (
        [sdk.camera] * before + [replacement] * (len(GROUPS) - before))
    assert api.cam is replacement
    assert replacement.calls == [("DeviceModelName.GetValue",)]
    assert capsys.readouterr().out == printed(CONNECTED)


@pytest.mark.parametrize("callers_builtins", [{}, 5, {"print": "not the built-in"}],
                         ids=["empty", "not-a-dict", "own-print"])
@pytest.mark.parametrize("fail, lines", [
    ({}, [CONNECTED, "CCD closed."]),
    ({"Open": "Access denied"}, [IN_USE, CONNECTED, "CCD closed."]),
    ({"DeviceModelName.GetValue": "broken"}, ["Initialize failure: broken"]),
], ids=["connected", "in-use", "failure"])
def test_lines_are_printed_with_the_modules_builtins(T, bind, capsys, callers_builtins, fail, lines):
    # The module's functions print with the builtins of the module's globals,
    # whatever the calling code's builtins are.
    sdk = bind(is_open=True)
    for call, text in fail.items():
        sdk.fail(call, standin.RuntimeException(text))
    exec("api = T()\napi.close()", {"__builtins__": callers_builtins, "T": T})
    assert capsys.readouterr().out == printed(*lines)
    assert not sdk.camera._open


# --- failures before the camera is stored -----------------------------------

class Falsy(tuple):
    def __bool__(self):
        return False


class NoTruth(tuple):
    def __bool__(self):
        raise ValueError("no truth value")


@pytest.mark.parametrize("devices, text", [
    ((), "No Basler cameras found."),
    (Falsy(("entry",)), "No Basler cameras found."),
    (NoTruth(("entry",)), "no truth value"),
])
def test_no_usable_enumeration(T, bind, capsys, devices, text):
    sdk = bind(cameras=0)
    sdk.infos = devices
    api = T()
    assert isinstance(api, T) and vars(api) == {}
    assert capsys.readouterr().out == printed("Initialize failure: " + text)
    assert call_names(sdk) == CONNECT[:2]
    assert api.close() is None
    assert capsys.readouterr().out == ""
    assert call_names(sdk) == CONNECT[:2]


@pytest.mark.parametrize("call", CONNECT)
def test_sdk_failure_before_the_camera_is_stored(T, sdk, capsys, call):
    sdk.fail(call, standin.RuntimeException(call + " refused"))
    api = T()
    assert vars(api) == {}
    assert capsys.readouterr().out == printed(f"Initialize failure: {call} refused")
    assert call_names(sdk) == CONNECT[:CONNECT.index(call) + 1]


@pytest.mark.parametrize("index, text", [
    (2, "tuple index out of range"),
    ("0", "tuple indices must be integers or slices, not str"),
    (1.0, "tuple indices must be integers or slices, not float"),
    (None, "tuple indices must be integers or slices, not NoneType"),
])
def test_device_index_rejected_by_the_sequence(T, bind, capsys, index, text):
    sdk = bind(cameras=2)
    api = T(index)
    assert vars(api) == {}
    assert capsys.readouterr().out == printed("Initialize failure: " + text)
    assert call_names(sdk) == CONNECT[:2]


# --- Open() failing ---------------------------------------------------------

@pytest.mark.parametrize("readable", [True, False], ids=["model-read", "model-unread"])
@pytest.mark.parametrize("text, in_use", [
    (standin.IN_USE_TEXT, True),
    ("Failed to open device: Access denied", True),
    ("the device is already controlled elsewhere", True),
    *[(text, True) for text in standin.SDK_IN_USE_TEXTS],
    ("device is exclusively opened by the host", False),
    ("access denied", False),
    ("ACCESS DENIED", False),
    ("Already Controlled", False),
    ("device was removed", False),
])
def test_open_failure(T, bind, capsys, text, in_use, readable):
    # is_open=True lets nodes answer although Open() failed
    sdk = bind(is_open=readable)
    sdk.fail("Open", standin.RuntimeException(text))
    api = T()
    assert capsys.readouterr().out == printed(
        *([IN_USE] if in_use else []), CONNECTED if readable else NOT_OPEN)
    assert call_names(sdk) == CONNECT + ["Open", "DeviceModelName.GetValue"] + ([] if readable else ["IsOpen"])
    assert list(vars(api)) == ATTRIBUTES
    assert all(getattr(api, attr)._cam is sdk.camera for attr in ATTRIBUTES[1:])


def test_camera_held_by_another_instance(T, sdk, capsys):
    first = T()
    second = T()
    assert capsys.readouterr().out == printed(CONNECTED, IN_USE, NOT_OPEN)
    assert list(vars(second)) == ATTRIBUTES and second.cam is not first.cam
    second.close()
    first.close()
    assert capsys.readouterr().out == printed("CCD closed.")


@pytest.mark.parametrize("texts, in_use, conversions", [
    (("device busy", "Access denied"), True, 2),
    (("already controlled", "neither"), True, 1),
    (("neither", "Another program or driver has claimed the usb interface"), True, 2),
    (("Device is exclusively opened by another client", "nor"), False, 2),
    (("neither", "nor"), False, 2),
])
def test_open_error_text_is_converted_for_each_phrase(T, sdk, capsys, texts, in_use, conversions):
    error = ChangingText(*texts)
    sdk.fail("Open", error)
    T()
    assert error.conversions == conversions
    assert capsys.readouterr().out == printed(*([IN_USE] if in_use else []), NOT_OPEN)


def test_open_error_without_text_goes_to_the_outer_handler(T, sdk, capsys):
    sdk.fail("Open", Unprintable())
    api = T()
    assert list(vars(api)) == ["cam"]
    assert call_names(sdk) == CONNECT + ["Open", "IsOpen"]
    assert capsys.readouterr().out == printed("Initialize failure: text unavailable")


def test_in_use_line_failing_goes_to_the_outer_handler(T, sdk, monkeypatch):
    sdk.fail("Open", standin.RuntimeException("Access denied"))
    stream = Stream(IN_USE, OSError("stream closed"))
    monkeypatch.setattr(sys, "stdout", stream)
    api = T()
    monkeypatch.undo()
    assert "".join(stream.parts) == printed("Initialize failure: stream closed")
    assert list(vars(api)) == ["cam"]
    assert call_names(sdk) == CONNECT + ["Open", "IsOpen"]


# --- failures after opening ---------------------------------------------------

@pytest.mark.parametrize("broken", ["SequencerControl", "LUTControl", "DeviceControl", "model name"])
def test_failure_after_opening_closes_the_camera(T, sdk, capsys, broken):
    error = standin.RuntimeException("broken")
    if broken == "model name":
        sdk.fail("DeviceModelName.GetValue", error)
        cls, made = T, ATTRIBUTES
    else:
        cls = type("Subclass", (T,), {broken: group_raising(error)})
        made = ATTRIBUTES[:1 + [group.cls for group in GROUPS].index(broken)]
    api = cls()
    assert capsys.readouterr().out == printed("Initialize failure: broken")
    assert list(vars(api)) == made and api.cam is sdk.camera
    read = ["DeviceModelName.GetValue"] if broken == "model name" else []
    assert call_names(sdk) == CONNECT + ["Open"] + read + ["IsOpen", "Close"]
    assert not sdk.camera._open


def test_in_use_line_then_failure_of_a_group(T, bind, capsys):
    sdk = bind(is_open=True)
    sdk.fail("Open", standin.RuntimeException("Access denied"))
    api = type("Subclass", (T,), {"AnalogControl": group_raising(RuntimeError("no analog"))})()
    assert capsys.readouterr().out == printed(IN_USE, "Initialize failure: no analog")
    assert list(vars(api)) == ATTRIBUTES[:3]
    assert call_names(sdk)[-2:] == ["IsOpen", "Close"]


# --- exceptions that leave the constructor --------------------------------------

class CamUnreadable(Exception):
    pass


def failing_cam_property(error):
    def get(self):
        raise error

    def put(self, value):
        self.__dict__["cam"] = value

    return property(get, put)


@pytest.mark.parametrize("case", ["IsOpen", "Close", "print", "format", "hasattr"])
def test_exception_inside_the_handler_leaves_the_constructor(T, sdk, monkeypatch, case):
    handled = standin.RuntimeException("read failed")
    raised = CamUnreadable(case)
    cls = T
    sdk.fail("DeviceModelName.GetValue", handled)
    if case in ("IsOpen", "Close"):
        sdk.fail(case, raised)
    elif case == "print":
        monkeypatch.setattr(sys, "stdout", Stream("Initialize failure", raised))
    elif case == "format":
        handled = Unprintable()
        sdk.fail("EnumerateDevices", handled)
    else:
        cls = type("Subclass", (T,), {"cam": failing_cam_property(raised)})
        sdk.fail("EnumerateDevices", handled)
    api = cls.__new__(cls)
    with pytest.raises(Exception) as info:
        api.__init__()
    monkeypatch.undo()
    if case == "format":
        assert type(info.value) is ValueError and str(info.value) == "text unavailable"
    else:
        assert info.value is raised
    assert info.value.__context__ is handled
    assert sys.exc_info() == (None, None, None)
    expected_tail = {"IsOpen": ["IsOpen"], "Close": ["IsOpen", "Close"], "print": ["IsOpen", "Close"],
                     "format": ["EnumerateDevices"], "hasattr": ["EnumerateDevices"]}[case]
    assert call_names(sdk)[-len(expected_tail):] == expected_tail


def test_cam_lookup_raising_attribute_error_counts_as_absent(T, sdk, capsys):
    sdk.fail("EnumerateDevices", standin.RuntimeException("no bus"))
    cls = type("Subclass", (T,), {"cam": failing_cam_property(AttributeError("cam"))})
    api = cls()
    assert api.close() is None
    assert capsys.readouterr().out == printed("Initialize failure: no bus")
    assert call_names(sdk) == CONNECT[:2]


@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call, made", [
    ("EnumerateDevices", []),
    ("Open", ["cam"]),
    ("DeviceModelName.GetValue", ATTRIBUTES),
])
def test_interrupts_leave_the_constructor_unchanged(T, sdk, capsys, kind, call, made):
    error = kind()
    sdk.fail(call, error)
    api = T.__new__(T)
    with pytest.raises(kind) as info:
        api.__init__()
    assert info.value is error
    assert capsys.readouterr().out == ""
    assert list(vars(api)) == made
    assert call_names(sdk)[-1] == call
    assert "IsOpen" not in call_names(sdk) and "Close" not in call_names(sdk)


def test_absorbed_failure_restores_the_exception_state(T, sdk, capsys):
    class Observed(Exception):
        during_handling = None

        def __str__(self):
            Observed.during_handling = sys.exc_info()[1]
            return "observed"

    error = Observed()
    sdk.fail("DeviceModelName.GetValue", error)
    try:
        raise LookupError("caller's own")
    except LookupError as own:
        assert T() is not None
        assert sys.exc_info()[1] is own
    assert Observed.during_handling is error
    T()
    assert sys.exc_info() == (None, None, None)
    assert capsys.readouterr().out == printed("Initialize failure: observed", "Initialize failure: observed")


# --- close() --------------------------------------------------------------------

def test_close_closes_once_and_keeps_every_reference(T, sdk, capsys):
    api = T()
    before = dict(vars(api))
    capsys.readouterr()
    sdk.log.clear()
    assert api.close() is None
    assert capsys.readouterr().out == printed("CCD closed.")
    assert call_names(sdk) == ["IsOpen", "Close"] and not sdk.camera._open
    assert api.close() is None
    assert capsys.readouterr().out == ""
    assert call_names(sdk) == ["IsOpen", "Close", "IsOpen"]
    assert vars(api) == before
    assert all(vars(api)[name] is value for name, value in before.items())
    assert all(getattr(api, attr)._cam is sdk.camera for attr in ATTRIBUTES[1:])


class NoTruthValue:
    def __bool__(self):
        raise ValueError("undecidable")


@pytest.mark.parametrize("answer, closes", [([], False), (0, False), ("yes", True), (NoTruthValue(), None)])
def test_close_asks_the_camera_whether_it_is_open(T, sdk, capsys, answer, closes):
    api = T()
    capsys.readouterr()
    sdk.log.clear()
    api.cam.IsOpen = lambda: answer
    if closes is None:
        with pytest.raises(ValueError, match="undecidable"):
            api.close()
    else:
        assert api.close() is None
    assert capsys.readouterr().out == printed("CCD closed.") * bool(closes)
    assert call_names(sdk) == ["Close"] * bool(closes)


def test_close_failure_propagates(T, sdk, capsys):
    api = T()
    before = dict(vars(api))
    capsys.readouterr()
    error = standin.RuntimeException("close refused")
    sdk.fail("Close", error)
    with pytest.raises(standin.RuntimeException) as info:
        api.close()
    assert info.value is error
    assert capsys.readouterr().out == ""
    assert vars(api) == before


def test_close_with_failing_cam_lookup_propagates(T, sdk, capsys):
    cls = type("Subclass", (T,), {"cam": failing_cam_property(CamUnreadable("hidden"))})
    api = cls.__new__(cls)
    with pytest.raises(CamUnreadable):
        api.close()
    assert capsys.readouterr().out == ""
    assert sdk.calls == []
