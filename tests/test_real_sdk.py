"""Integration tests against the real pypylon: its camera emulator, and the
simulated acA2040-55uc (tavrocam_sim) on pylon's GenApi engine.

Each scenario runs in a child interpreter, because the number of emulated
cameras (PYLON_CAMEMU) is read by the SDK once per process; with the
simulator the child binds the simulation's SDK, with as many cameras. A child performs a
whole batch of checks and prints one JSON document after the marker line; the
tests below assert on that document. Expected outcomes are always obtained from
the SDK itself (the same node call made directly in the same process), so the
tests hold for every pypylon release the package accepts, whatever a missing
node raises there and whatever the exact texts are.
"""

import json
import os
import subprocess
import sys

import pytest

from standin import catalogue
from standin.catalogue import ATTRIBUTE
from tavrocam_sim import model

MARK = "@@RESULT@@"
# The console script beside the interpreter (tavrocam-report.exe on Windows).
REPORT_CMD = os.path.join(os.path.dirname(sys.executable),
                          "tavrocam-report" + (".exe" if sys.platform == "win32" else ""))

# Shared by every child: describes a call's outcome, with what it printed.
PRELUDE = r'''
import contextlib, io, json, os, sys
from pypylon import pylon
import Tavrocam

T = Tavrocam.CLASS_Tavrocam
BACKEND = os.environ["TAVROCAM_TEST_BACKEND"]
if BACKEND == "simulator":
    import tavrocam_sim
    pylon = tavrocam_sim.Simulation(cameras=int(os.environ.get("PYLON_CAMEMU") or 0)).pylon
    Tavrocam.pylon = pylon

def qual(obj):
    t = type(obj)
    return f"{t.__module__}.{t.__qualname__}"

def outcome(fn, *args, **kwargs):
    buf = io.StringIO()
    try:
        with contextlib.redirect_stdout(buf):
            value = fn(*args, **kwargs)
    except Exception as e:
        return {"raised": qual(e), "text": str(e), "stdout": buf.getvalue()}
    return {"type": qual(value), "repr": repr(value), "stdout": buf.getvalue()}

def construct(*args, **kwargs):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        api = T(*args, **kwargs)
    return api, buf.getvalue()

def emit(result):
    sys.stdout.write("\n" + MARK + json.dumps(result) + "\n")
'''.replace("MARK", repr(MARK))

BACKENDS = ["emulator", "simulator"]
# The model name each backend's camera reports.
MODEL = {"emulator": "CamEmu", "simulator": "acA2040-55uc"}
GROUPS = [group.attribute for group in catalogue.GROUPS]
# Plain getters: (group, method, node).
GETTERS = [(ATTRIBUTE[m.cls], m.name, m.node) for m in catalogue.GETTERS]

# The value each plain setter writes. On a present node the value is written
# and read back, so it must be valid there and differ from the emulator's
# start value; on an absent node the same value goes to the SDK directly for
# the expected failure.
SET_VALUES = {
    "CUF_SET_Width": 800, "CUF_SET_Height": 600, "CUF_SET_PixelFormat": "BayerRG8",
    "CUF_SET_OffsetX": 10, "CUF_SET_OffsetY": 12, "CUF_SET_ReverseX": True,
    "CUF_SET_ReverseY": True, "CUF_SET_Gain": 1.5, "CUF_SET_BlackLevel": 16.0,
    "CUF_SET_TriggerMode": "On", "CUF_SET_ExposureAuto": "Continuous",
    "CUF_SET_GainAuto": "Continuous", "CUF_SET_BalanceWhiteAuto": "Continuous",
    "CUF_SET_SequencerMode": "On", "CUF_SET_SequencerConfigurationMode": "On",
    "CUF_SET_LightSourcePreset": "Daylight5000K", "CUF_SET_LUTEnable": True,
    "CUF_SET_LUTSelector": "Luminance", "CUF_SET_LineSelector": "Line2",
    "CUF_SET_CounterSelector": "Counter1", "CUF_SET_ChunkModeActive": True,
    "CUF_SET_EventSelector": "Test", "CUF_SET_EventNotification": "On",
}
# Plain setters: (group, method, node, value); every one needs its value above.
SETTERS = [(ATTRIBUTE[m.cls], m.name, m.node, SET_VALUES[m.name]) for m in catalogue.SETTERS]

# Values the SDK refuses: (id, group, method, node, value).
SETTER = {m.name: m for m in catalogue.SETTERS}
REJECTED = [(key, ATTRIBUTE[SETTER[method].cls], method, SETTER[method].node, value)
            for key, method, value in [
                ("width-above-max", "CUF_SET_Width", 4097),
                ("width-zero", "CUF_SET_Width", 0),
                ("width-float", "CUF_SET_Width", 641.0),
                ("offset-negative", "CUF_SET_OffsetX", -1),
                ("pixelformat-bogus", "CUF_SET_PixelFormat", "BogusFmt"),
                ("pixelformat-none", "CUF_SET_PixelFormat", None),
                ("reverse-int", "CUF_SET_ReverseX", 1),
                ("gain-above-max", "CUF_SET_Gain", 48.1),
            ]]

NONE_RESULT = {"type": "builtins.NoneType", "repr": "None", "stdout": ""}


def run_child(body, camemu, *args, backend="emulator"):
    """Run PRELUDE + body in a fresh interpreter with PYLON_CAMEMU=camemu
    (None: variable removed) on ``backend``; return its JSON document."""
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + body, *args],
        env=child_env(camemu, backend), capture_output=True, text=True, encoding="utf-8",
        timeout=60,
    )
    assert proc.returncode == 0 and MARK in proc.stdout, (
        f"child failed (exit {proc.returncode})\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    )
    head, _, tail = proc.stdout.rpartition(MARK)
    result = json.loads(tail)
    result["_stray_stdout"] = head.strip("\n")
    return result


def child_env(camemu, backend="emulator"):
    env = dict(os.environ, PYTHONIOENCODING="utf-8", TAVROCAM_TEST_BACKEND=backend)
    env.pop("PYLON_CAMEMU", None)
    if camemu is not None:
        env["PYLON_CAMEMU"] = camemu
    return env


def simulate(backend, camemu):
    """The command's options that choose ``backend`` with ``camemu`` cameras."""
    return ["--simulate", camemu or "0"] if backend == "simulator" else []


def run_report(camemu, backend):
    assert os.path.exists(REPORT_CMD), f"{REPORT_CMD} is not installed"
    return subprocess.run(
        [REPORT_CMD, *simulate(backend, camemu)], env=child_env(camemu), capture_output=True, text=True,
        encoding="utf-8", timeout=60,
    )


# ---------------------------------------------------------------- no camera

NO_CAMERA = r'''
api, printed = construct()
emit({"init": printed, "attrs": list(vars(api)), "close": outcome(api.close)})
'''


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("camemu", [None, "0"], ids=["unset", "zero"])
def test_no_camera_construction_reports_and_leaves_no_camera(camemu, backend):
    r = run_child(NO_CAMERA, camemu, backend=backend)
    assert r["init"] == "Initialize failure: No Basler cameras found.\n"
    assert r["attrs"] == []
    assert r["close"] == NONE_RESULT
    assert r["_stray_stdout"] == ""


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("camemu", [None, "0"], ids=["unset", "zero"])
def test_no_camera_report(camemu, backend):
    proc = run_report(camemu, backend)
    # The module's own lines, then the command's on standard error.
    assert (proc.returncode, proc.stderr) == (1, "tavrocam-report: no camera found (the SDK sees 0 cameras)\n")
    assert proc.stdout.splitlines() == [
        "Initialize failure: No Basler cameras found.",
        "",
        "--- 目前相機設定狀態 ---",
        "執行出錯: 'CLASS_Tavrocam' object has no attribute 'Device'",
    ]


# ------------------------------------------------- connection, one camera

CONNECTION = r'''
groups = json.loads(sys.argv[1])
res = {}
api, res["init"] = construct()
cam = api.cam
res["model"] = cam.DeviceModelName.GetValue()
res["is_instant_camera"] = isinstance(cam, pylon.InstantCamera)
res["open"] = cam.IsOpen()
res["attrs"] = list(vars(api))
res["shared"] = {g: getattr(api, g)._cam is cam for g in groups}
res["close1"] = outcome(api.close)
res["open_after_close"] = cam.IsOpen()
res["close2"] = outcome(api.close)
res["attrs_after_close"] = list(vars(api))
res["closed_get"] = outcome(api.ImageFormat.CUF_GET_Width)
res["closed_direct_get"] = outcome(lambda: cam.Width.GetValue())
res["closed_set"] = outcome(api.ImageFormat.CUF_SET_Width, 640)
res["closed_direct_set"] = outcome(lambda: cam.Width.SetValue(640))

devices = pylon.TlFactory.GetInstance().EnumerateDevices()
res["n_devices"] = len(devices)
res["bad"] = {}
for label, index in [("one", 1), ("str", "x"), ("none", None), ("float", 1.5)]:
    expected = outcome(lambda: devices[index])
    bad, printed = construct(device_index=index)
    res["bad"][label] = {"expected": expected, "printed": printed, "attrs": list(vars(bad))}
emit(res)
'''


@pytest.fixture(scope="module", params=BACKENDS)
def connection(request):
    return dict(run_child(CONNECTION, "1", json.dumps(GROUPS), backend=request.param),
                backend=request.param)


def test_connect_announces_the_model_read_from_the_camera(connection):
    assert connection["model"] == MODEL[connection["backend"]]
    assert connection["init"] == f"Connect successful: {connection['model']}\n"


def test_connected_instance_holds_one_open_camera_shared_by_all_groups(connection):
    assert connection["is_instant_camera"] is True
    assert connection["open"] is True
    assert connection["attrs"] == ["cam"] + GROUPS
    assert connection["shared"] == {g: True for g in GROUPS}


def test_close_closes_once_and_keeps_the_references(connection):
    assert connection["close1"] == dict(NONE_RESULT, stdout="CCD closed.\n")
    assert connection["open_after_close"] is False
    assert connection["close2"] == NONE_RESULT
    assert connection["attrs_after_close"] == connection["attrs"]


def test_methods_after_close_raise_what_the_sdk_raises(connection):
    assert "raised" in connection["closed_direct_get"]
    assert connection["closed_get"] == connection["closed_direct_get"]
    assert "raised" in connection["closed_direct_set"]
    assert connection["closed_set"] == connection["closed_direct_set"]


@pytest.mark.parametrize("label,text", [
    ("one", "tuple index out of range"),
    ("str", "tuple indices must be integers or slices, not str"),
    ("none", "tuple indices must be integers or slices, not NoneType"),
    ("float", "tuple indices must be integers or slices, not float"),
])
def test_bad_device_index_reports_the_sequence_error(connection, label, text):
    assert connection["n_devices"] == 1
    case = connection["bad"][label]
    # The text is the one the enumeration result raises for that subscript.
    assert case["expected"]["text"] == text
    assert case["printed"] == f"Initialize failure: {text}\n"
    assert case["attrs"] == []


# ------------------------------------------------ every method of every group

EVERY_METHOD = r'''
table = json.loads(sys.argv[1])
res = {"get": {}, "set": {}, "reject": {}}
api, res["init"] = construct()
cam = api.cam
res["open"] = cam.IsOpen()

def present(name):
    try:
        node = getattr(cam, name)
    except Exception:
        return False
    placeholder = getattr(pylon, "PlaceholderParameter", ())
    return not isinstance(node, placeholder)

def read(name):
    return outcome(lambda: getattr(cam, name).GetValue())

def direct_set(name, value):
    return outcome(lambda: getattr(cam, name).SetValue(value))

res["present"] = {n: present(n) for n in table["nodes"]}

for group, method, node in table["get"]:
    res["get"][method] = {"module": outcome(getattr(getattr(api, group), method)),
                          "direct": read(node)}

# Clamped exposure write; ExposureAuto is still Off here.
acq = api.Acquisition
lo, hi = cam.ExposureTime.GetMin(), cam.ExposureTime.GetMax()
res["exposure"] = {"min": repr(lo), "max": repr(hi), "cases": {}}
for label, val in [("below", lo - 1), ("above", hi * 2), ("inside-float", 5000.0),
                   ("inside-int", 20000), ("at-max", hi)]:
    cam.ExposureTime.SetValue(3000.0)
    res["exposure"]["cases"][label] = {
        "module": outcome(acq.CUF_SET_ExposureTime, val), "after": read("ExposureTime")}

# Centring: the emulator offers no CenterX/CenterY feature.
fmt = api.ImageFormat
res["center"] = {}
for axis, size, offset, value in table["center"]:
    getattr(fmt, "CUF_SET_" + size)(value)
    getattr(cam, offset).SetValue(0)
    res["center"][axis] = {
        "probe": outcome(lambda: getattr(cam, "Center" + axis)),
        "module": outcome(getattr(fmt, "CUF_SET_Center" + axis)),
        "offset": getattr(cam, offset).GetValue(),
        "expected": (getattr(cam, size).GetMax() - getattr(cam, size).GetValue()) // 2,
        "sensor": outcome(lambda: getattr(cam, "Sensor" + size).GetValue()),
        "inc": getattr(cam, offset).GetInc(),
    }

# White balance.
an = api.Analog
def direct_ratio(sel):
    cam.BalanceRatioSelector.SetValue(sel)
    return cam.BalanceRatio.GetValue()
def direct_all():
    saved = cam.BalanceRatioSelector.GetValue()
    ratios = {sel: direct_ratio(sel) for sel in ("Red", "Green", "Blue")}
    cam.BalanceRatioSelector.SetValue(saved)
    return ratios
res["balance"] = {
    "get-default": {"module": outcome(an.CUF_GET_BalanceRatio),
                    "direct": outcome(direct_ratio, "Red")},
    "get-blue": {"module": outcome(an.CUF_GET_BalanceRatio, selector="Blue"),
                 "direct": outcome(direct_ratio, "Blue")},
    "all": {"module": outcome(an.CUF_GET_BalanceRatioAll), "direct": outcome(direct_all)},
    "set-red": {"module": outcome(an.CUF_SET_BalanceRatio, "Red", 1.25),
                "after": outcome(direct_ratio, "Red"),
                "direct": direct_set("BalanceRatioSelector", "Red")},
    "set-zero": {"module": outcome(an.CUF_SET_BalanceRatio, selector=0, value=1.25),
                 "direct": direct_set("BalanceRatioSelector", 0)},
}

res["light"] = {"module": outcome(api.LightControl.CUF_SET_LightDeviceSelector, "Device1"),
                "direct": direct_set("LightDeviceSelector", "Device1")}
res["color_adaptation"] = outcome(api.ImageQuality.CUF_SET_PylonColorAdaptation, True)

for key, group, method, node, value in table["reject"]:
    before = read(node)
    res["reject"][key] = {"module": outcome(getattr(getattr(api, group), method), value),
                          "direct": direct_set(node, value),
                          "before": before, "after": read(node)}

for group, method, node, value in table["set"]:
    entry = {"present": present(node), "before": read(node),
             "module": outcome(getattr(getattr(api, group), method), value)}
    if entry["present"]:
        entry["after"] = read(node)
    if not entry["present"] or "raised" in entry["module"]:
        # A refused write changes nothing: the SDK refuses it again.
        entry["direct"] = direct_set(node, value)
    res["set"][method] = entry

res["close"] = outcome(api.close)
emit(res)
'''

ALL_NODES = sorted(
    {n for _, _, n in GETTERS} | {n for _, _, n, _ in SETTERS}
    | {"BalanceRatioSelector", "BalanceRatio", "ExposureTime", "LightDeviceSelector",
       "CenterX", "CenterY"}
)


# The sizes the centring cases set, valid on each camera's grid: (axis,
# size node, offset node, size).
CENTRING = {
    "emulator": [("X", "Width", "OffsetX", 1000), ("Y", "Height", "OffsetY", 1001)],
    "simulator": [("X", "Width", "OffsetX", 1000), ("Y", "Height", "OffsetY", 1002)],
}
# The simulated camera's own values where the emulator's would be its start
# value or no entry of it.
SIM_SET_VALUES = {"CUF_SET_PixelFormat": "Mono8", "CUF_SET_CounterSelector": "Counter2", "CUF_SET_LineSelector": "Line3",
                  "CUF_SET_EventSelector": "FrameStart", "CUF_SET_LightSourcePreset": "Off"}
SIM_SETTERS = [(g, m, n, SIM_SET_VALUES.get(m, v)) for g, m, n, v in SETTERS]


@pytest.fixture(scope="module", params=BACKENDS)
def methods(request):
    backend = request.param
    table = {"nodes": ALL_NODES, "get": GETTERS, "reject": REJECTED,
             "set": SETTERS if backend == "emulator" else SIM_SETTERS,
             "center": CENTRING[backend]}
    r = run_child(EVERY_METHOD, "1", json.dumps(table), backend=backend)
    assert r["open"] is True
    assert r["init"] == f"Connect successful: {MODEL[backend]}\n"
    return dict(r, backend=backend, values={m: v for _, m, _, v in table["set"]})


@pytest.mark.parametrize("method", [m for _, m, _ in GETTERS])
def test_getter_returns_what_the_sdk_returns(methods, method):
    case = methods["get"][method]
    assert case["module"] == case["direct"]


@pytest.mark.parametrize("group,method,node", [s[:3] for s in SETTERS], ids=[s[1] for s in SETTERS])
def test_setter_writes_present_nodes_and_fails_like_the_sdk_on_absent_ones(
        methods, group, method, node):
    case = methods["set"][method]
    value = methods["values"][method]
    assert case["present"] == methods["present"][node]
    if case["present"] and "direct" in case:
        # Refused by the camera's rules (a lock, an entry it lacks): the
        # SDK's exception, unchanged, and the value as it was.
        assert "raised" in case["direct"]
        assert case["module"] == case["direct"]
        assert case["after"] == case["before"]
    elif case["present"]:
        assert case["module"] == NONE_RESULT
        assert "raised" not in case["after"], case["after"]
        assert case["after"]["type"] == case["before"]["type"]
        single = node in model.BY_NAME and len(model.BY_NAME[node].entries) == 1
        assert case["before"]["repr"] != repr(value) or single, "value chosen equals the current one"
        if isinstance(value, float):
            assert float(case["after"]["repr"]) == pytest.approx(value, rel=1e-4)
        else:
            assert case["after"]["repr"] == repr(value)
    else:
        assert "raised" in case["direct"]
        assert case["module"] == case["direct"]


@pytest.mark.parametrize("key", [r[0] for r in REJECTED])
def test_rejected_value_raises_the_sdk_exception_unchanged(methods, key):
    case = methods["reject"][key]
    assert "raised" in case["direct"]
    assert case["module"] == case["direct"]
    assert case["after"] == case["before"]


@pytest.mark.parametrize("label,expected", [
    ("below", "min"), ("above", "max"), ("inside-float", 5000.0),
    ("inside-int", 20000.0), ("at-max", "max"),
])
def test_exposure_write_is_clamped_silently(methods, label, expected):
    exposure = methods["exposure"]
    case = exposure["cases"][label]
    assert case["module"] == NONE_RESULT
    if expected in ("min", "max"):
        expected = float(exposure[expected])
    assert case["after"]["type"] == "builtins.float"
    assert float(case["after"]["repr"]) == expected


@pytest.mark.parametrize("axis", ["X", "Y"])
def test_centring_computes_the_offset(methods, axis):
    case = methods["center"][axis]
    assert case["module"] == NONE_RESULT
    if methods["backend"] == "emulator":  # no CenterX/CenterY: half the room left
        assert methods["present"]["Center" + axis] is False
        expected = case["expected"]
    else:  # the camera's Boolean CenterX/CenterY, off: centred on the sensor, on the grid
        assert methods["present"]["Center" + axis] is True
        size = dict((a, v) for a, _, _, v in CENTRING["simulator"])[axis]
        expected = (int(case["sensor"]["repr"]) - size) // 2 // case["inc"] * case["inc"]
    assert expected != 0
    assert case["offset"] == expected


@pytest.mark.parametrize("key", ["get-default", "get-blue", "all"])
def test_balance_ratio_reads_give_what_the_sdk_gives(methods, key):
    case = methods["balance"][key]
    assert ("raised" in case["direct"]) is (methods["backend"] == "emulator")
    assert case["module"] == case["direct"]


@pytest.mark.parametrize("key,shown", [("set-red", "Red"), ("set-zero", "0")])
def test_balance_ratio_write_reports_and_absorbs(methods, key, shown):
    case = methods["balance"][key]
    if "raised" not in case["direct"]:  # the simulated camera has white balance
        assert (methods["backend"], key) == ("simulator", "set-red")
        assert case["module"] == NONE_RESULT
        assert case["after"]["repr"] == "1.25"
        return
    assert case["module"] == dict(
        NONE_RESULT, stdout=f"設定 BalanceRatio {shown} 失敗: {case['direct']['text']}\n")


def test_light_device_selector_discards_the_sdk_failure(methods):
    assert "raised" in methods["light"]["direct"]
    assert methods["light"]["module"] == NONE_RESULT


def test_pylon_color_adaptation_does_nothing(methods):
    assert methods["color_adaptation"] == NONE_RESULT


def test_close_after_use(methods):
    assert methods["close"] == dict(NONE_RESULT, stdout="CCD closed.\n")
    assert methods["_stray_stdout"] == ""


# ------------------------------------------------------------ settings report

FRESH_CAMERA = r'''
index = int(sys.argv[1])
tl = pylon.TlFactory.GetInstance()
devices = tl.EnumerateDevices()
if index >= len(devices):
    emit({"past_the_end": outcome(lambda: devices[index])})
    sys.exit()
cam = pylon.InstantCamera(tl.CreateDevice(devices[index]))
cam.Open()
emit({"serial": cam.GetDeviceInfo().GetSerialNumber(),
      "model": cam.DeviceModelName.GetValue(),
      "exposure": format(cam.ExposureTime.GetValue(), ""),
      "selector": outcome(lambda: cam.BalanceRatioSelector.GetValue()),
      "ratios": outcome(lambda: {s: (cam.BalanceRatioSelector.SetValue(s), cam.BalanceRatio.GetValue())[1]
                                 for s in ("Red", "Green", "Blue")}),
      "temperature": outcome(lambda: format(cam.DeviceTemperature.GetValue(), "")),
      "payload": outcome(lambda: format(cam.PayloadSize.GetValue(), ""))})
cam.Close()
'''
# The command, naming on standard error the serial number of each camera it makes.
REPORT_NAMING_THE_CAMERA = r'''
import sys
from pypylon import pylon
from tavrocam_sim import sdk
for where in (pylon, sdk):
    def InstantCamera(device, make=where.InstantCamera):
        camera = make(device)
        print(camera.GetDeviceInfo().GetSerialNumber(), file=sys.stderr)
        return camera
    where.InstantCamera = InstantCamera
from _tavrocam_report import main
sys.exit(main(sys.argv[1:]))
'''


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("args", [[], ["--index", "2"], ["--index", "3"]],
                         ids=["default", "index-2", "past-the-end"])
def test_report(args, backend):
    fresh = run_child(FRESH_CAMERA, "3", args[-1] if args else "0", backend=backend)
    proc = subprocess.run([sys.executable, "-c", REPORT_NAMING_THE_CAMERA, *args,
                           *simulate(backend, "3")],
                          env=child_env("3"), capture_output=True, encoding="utf-8", timeout=60)
    # The emulator has no white balance: the report stops there, exit status 1.
    # The simulated camera has it all: every setting, exit status 0.
    if "past_the_end" in fresh:  # a usage error, before any camera is made
        assert (proc.returncode, proc.stdout) == (2, "")
        assert proc.stderr.splitlines()[-1] == ("tavrocam-report: error: argument --index: no camera "
                                                "at index 3: there are 3 cameras (indexes 0 to 2)")
        return
    complete = backend == "simulator"
    assert proc.returncode == (0 if complete else 1), proc.stderr
    if complete:
        assert proc.stderr == fresh["serial"] + "\n"
        assert proc.stdout.splitlines() == [
            f"Connect successful: {fresh['model']}", "", "--- 目前相機設定狀態 ---",
            f"Model Name     : {fresh['model']}",
            f"Exposure Time  : {fresh['exposure']} us",
            f"W/B Ratios     : {fresh['ratios']['repr']}",
            f"Temperature    : {fresh['temperature']['repr'][1:-1]} °C",
            f"Payload Size   : {fresh['payload']['repr'][1:-1]} bytes",
            "CCD closed.",
        ]
        return
    assert "raised" in fresh["selector"], "the emulator has gained BalanceRatioSelector"
    assert proc.stderr == fresh["serial"] + "\n"
    assert proc.stdout.splitlines() == [
        f"Connect successful: {fresh['model']}",
        "",
        "--- 目前相機設定狀態 ---",
        f"Model Name     : {fresh['model']}",
        f"Exposure Time  : {fresh['exposure']} us",
        f"執行出錯: {fresh['selector']['text']}",
        "CCD closed.",
    ]


# ------------------------------------------------- two instances, one device

TWO_INSTANCES = r'''
res = {}
a, res["init_a"] = construct()
b, res["init_b"] = construct()
res["same_cam"] = a.cam is b.cam
res["model"] = a.cam.DeviceModelName.GetValue()
res["open"] = [a.cam.IsOpen(), b.cam.IsOpen()]
res["width_before"] = [a.ImageFormat.CUF_GET_Width(), b.ImageFormat.CUF_GET_Width()]
a.ImageFormat.CUF_SET_Width(640)
res["width"] = [a.ImageFormat.CUF_GET_Width(), b.ImageFormat.CUF_GET_Width()]
res["close_a"] = outcome(a.close)
res["open_after_a"] = [a.cam.IsOpen(), b.cam.IsOpen()]
del a
res["b_width_after_a_gone"] = outcome(b.ImageFormat.CUF_GET_Width)
res["close_b"] = outcome(b.close)
emit(res)
'''


TWO_ON_ONE_DEVICE = r'''
res = {}
a, res["init_a"] = construct()
b, res["init_b"] = construct()
res["model"] = a.cam.DeviceModelName.GetValue()
res["b_model"] = outcome(b.Device.CUF_GET_ModelName)
res["open"] = [a.cam.IsOpen(), b.cam.IsOpen()]
res["close_a"] = outcome(a.close)
b.cam.Open()
res["b_open_after_a"] = b.cam.IsOpen()
res["close_b"] = outcome(b.close)
emit(res)
'''


def test_two_instances_on_one_simulated_device():
    # One USB device is opened by one camera object at a time: the second
    # open fails as another client's would, and the second instance cannot
    # read the model name until the first lets the device go.
    r = run_child(TWO_ON_ONE_DEVICE, "1", backend="simulator")
    assert r["init_a"] == f"Connect successful: {r['model']}\n"
    assert "raised" in r["b_model"]
    assert r["init_b"] == ("!!! Error: Camera is in use by another program !!!\n"
                           f"Initialize failure: {r['b_model']['text']}\n")
    assert r["open"] == [True, False]
    assert r["close_a"] == dict(NONE_RESULT, stdout="CCD closed.\n")
    assert r["b_open_after_a"] is True
    assert r["close_b"] == dict(NONE_RESULT, stdout="CCD closed.\n")


def test_two_instances_on_one_emulated_device():
    r = run_child(TWO_INSTANCES, "1")
    assert r["init_a"] == r["init_b"] == f"Connect successful: {r['model']}\n"
    # Each instance opens its own device object: both opens succeed and the
    # emulator keeps a separate state for each.
    assert r["same_cam"] is False
    assert r["open"] == [True, True]
    start = r["width_before"][1]
    assert start != 640
    assert r["width_before"] == [start, start]
    assert r["width"] == [640, start]
    assert r["close_a"] == dict(NONE_RESULT, stdout="CCD closed.\n")
    assert r["open_after_a"] == [False, True]
    assert r["b_width_after_a_gone"] == {"type": "builtins.int", "repr": repr(start), "stdout": ""}
    assert r["close_b"] == dict(NONE_RESULT, stdout="CCD closed.\n")


# ------------------------------------------------------ tavrocam-report --list

LISTED = r'''
emit({"devices": [[info.GetModelName(), info.GetSerialNumber()]
                  for info in pylon.TlFactory.GetInstance().EnumerateDevices()]})
'''


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("camemu", ["2", "0"])
def test_list_shows_what_the_sdk_enumerates(camemu, backend):
    devices = run_child(LISTED, camemu, backend=backend)["devices"]
    assert len(devices) == int(camemu)
    proc = subprocess.run([REPORT_CMD, "--list", *simulate(backend, camemu)],
                          env=child_env(camemu), capture_output=True,
                          text=True, encoding="utf-8", timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "")
    lines = [f"{index}: {model} (serial {serial})" for index, (model, serial) in enumerate(devices)]
    assert proc.stdout.splitlines() == (lines or ["No camera found."])

