"""The settings report printed when the module executes as the main program.

Each scenario runs in a child interpreter with a stand-in ``pypylon`` package."""

import importlib.metadata
import importlib.util
import json
import os
import subprocess
import sys
import textwrap

import pytest

import standin
import tavrocam_sim
from tavrocam_sim import model

TESTS = os.path.dirname(os.path.abspath(__file__))
MARK = "@@report-result@@ "
HEADING = ["", "--- 目前相機設定狀態 ---"]
CONNECTED = "Connect successful: acA2040-55uc"
MODEL = "Model Name     : acA2040-55uc"
EXPOSURE = f"Exposure Time  : {model.BY_NAME['ExposureTime'].default} us"
RATIOS = f"W/B Ratios     : {dict(zip(('Red', 'Green', 'Blue'), model.BY_NAME['BalanceRatio'].default))}"
TEMPERATURE = f"Temperature    : {model.BY_NAME['DeviceTemperature'].default} °C"
PAYLOAD = f"Payload Size   : {standin.DEFAULT_WIDTH * standin.DEFAULT_HEIGHT} bytes"
SETTINGS = [MODEL, EXPOSURE, RATIOS, TEMPERATURE, PAYLOAD]
CLOSED = "CCD closed."

CHILD = """\
import importlib.util, json, sys, types
sys.path.insert(0, {tests!r})
import standin
sdk = standin.SDK(cameras={cameras})
{setup}
package = types.ModuleType("pypylon")
package.pylon = sdk.pylon
sys.modules["pypylon"] = package
spec = importlib.util.find_spec("Tavrocam")
module = importlib.util.module_from_spec(spec)
module.__name__ = {name!r}
escaped = context = None
try:
    spec.loader.exec_module(module)
except BaseException as exc:
    escaped = [type(exc).__name__, str(exc)]
    context = exc.__context__ and [type(exc.__context__).__name__, str(exc.__context__)]
sys.stdout = sys.__stdout__
sys.stdout.flush()
print({mark!r} + json.dumps(dict(
    escaped=escaped, context=context, calls=[entry[0] for entry in sdk.calls],
    api="api" in vars(module), e="e" in vars(module),
    open=[camera._open for camera in sdk.made])))
"""


def run_report(setup="", cameras=1, name="__main__"):
    """Execute the module in a child; return its report lines and the outcome."""
    script = CHILD.format(tests=TESTS, cameras=cameras, setup=textwrap.dedent(setup), name=name, mark=MARK)
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, encoding="utf-8",
                           env=env, timeout=60)
    assert child.returncode == 0, child.stderr
    *lines, last = child.stdout.split("\n")[:-1]
    assert last.startswith(MARK), child.stdout + child.stderr
    return lines, json.loads(last[len(MARK):])


SET_VALUE_AFTER_CREATION = """
    make = sdk.pylon.InstantCamera
    def InstantCamera(device):
        camera = make(device)
        camera.node({node!r}).value = {value}
        return camera
    sdk.pylon.InstantCamera = InstantCamera
"""


class Case:
    def __init__(self, setup, lines, escaped=None, context=None, api=True, cameras=1, closed=True, reads=None):
        self.setup, self.lines, self.escaped, self.context, self.reads = setup, lines, escaped, context, reads
        self.api, self.cameras, self.closed = api, cameras, closed


CASES = {
    "every read answers": Case("", [CONNECTED, *HEADING, *SETTINGS, CLOSED], reads=[
        "DeviceModelName", "DeviceModelName", "ExposureTime", "DeviceTemperature", "PayloadSize"]),
    "no camera": Case("", ["Initialize failure: No Basler cameras found.", *HEADING,
                           "執行出錯: 'CLASS_Tavrocam' object has no attribute 'Device'"], cameras=0),
    "getter error": Case('sdk.fail("ExposureTime.GetValue", Exception("x"))',
                         [CONNECTED, *HEADING, MODEL, "執行出錯: x", CLOSED]),
    "error without arguments": Case('sdk.fail("DeviceTemperature.GetValue", Exception())',
                                    [CONNECTED, *HEADING, MODEL, EXPOSURE, RATIOS, "執行出錯: ", CLOSED]),
    "values and errors go through format": Case(
        SET_VALUE_AFTER_CREATION.format(node="DeviceTemperature", value="Shown()") + """
    class Shown:
        def __format__(self, format_spec):
            return "formatted" + format_spec
        def __str__(self):
            return "str"
    class Failed(Exception):
        def __format__(self, format_spec):
            bound = vars(module).get("e") is self
            return "formatted failure" + format_spec + (" while bound as e" if bound else "")
    sdk.fail("PayloadSize.GetValue", Failed("str"))
""", [CONNECTED, *HEADING, MODEL, EXPOSURE, RATIOS, "Temperature    : formatted °C",
      "執行出錯: formatted failure while bound as e", CLOSED]),
    "interrupt in a getter": Case('sdk.fail("DeviceTemperature.GetValue", KeyboardInterrupt())',
                                  [CONNECTED, *HEADING, MODEL, EXPOSURE, RATIOS, CLOSED],
                                  escaped=["KeyboardInterrupt", ""]),
    "close raising": Case('sdk.fail("Close", standin.RuntimeException("close refused"))',
                          [CONNECTED, *HEADING, *SETTINGS],
                          escaped=["RuntimeException", "close refused"], closed=False),
    "close raising after an interrupt": Case("""
        sdk.fail("DeviceTemperature.GetValue", SystemExit(3))
        sdk.fail("Close", standin.RuntimeException("close refused"))
    """, [CONNECTED, *HEADING, MODEL, EXPOSURE, RATIOS],
        escaped=["RuntimeException", "close refused"], context=["SystemExit", "3"], closed=False),
    "error line failing": Case("""
        sdk.fail("ExposureTime.GetValue", Exception("x"))
        class Stream:
            def write(self, text):
                if text.startswith("執行出錯"):
                    raise OSError("stream refused")
                return sys.__stdout__.write(text)
            def flush(self):
                sys.__stdout__.flush()
        sys.stdout = Stream()
    """, [CONNECTED, *HEADING, MODEL, CLOSED], escaped=["OSError", "stream refused"], context=["Exception", "x"]),
    "constructor interrupted": Case('sdk.fail("EnumerateDevices", KeyboardInterrupt())', [],
                                    escaped=["KeyboardInterrupt", ""], api=False),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_report(case):
    lines, result = run_report(case.setup, cameras=case.cameras)
    assert lines == case.lines
    assert result["escaped"] == case.escaped
    if case.context is not None:
        assert result["context"] == case.context
    assert result["api"] is case.api
    assert result["e"] is False
    if case.reads is not None:
        reads = [call[:-len(".GetValue")] for call in result["calls"]
                 if call.endswith(".GetValue") and not call.startswith("BalanceRatio")]
        assert reads == case.reads
    if case.cameras and case.api:
        assert result["calls"][-2:] == ["IsOpen", "Close"]
        assert result["open"] == [not case.closed]
    else:
        assert "IsOpen" not in result["calls"] and "Close" not in result["calls"]


def test_no_report_under_another_name():
    lines, result = run_report(name="Tavrocam")
    assert lines == []
    assert result["escaped"] is None and result["api"] is False
    assert result["calls"] == []


# ----------------------------------------------------------- tavrocam-report

# The console script beside the interpreter (tavrocam-report.exe on Windows).
COMMAND = os.path.join(os.path.dirname(sys.executable),
                       "tavrocam-report" + (".exe" if sys.platform == "win32" else ""))
# A pypylon package for the command's child: the stand-in, which writes its
# call log to calls.json when the child ends.
FAKE_PYPYLON = """\
import atexit, json, sys
sys.path.insert(0, {tests!r})
import standin
sdk = standin.SDK(cameras={cameras})
{setup}
pylon = sdk.pylon
atexit.register(lambda: open({log!r}, "w").write(json.dumps(
    [" ".join([entry[0], *(arg.serial for arg in entry[1:] if isinstance(arg, standin.DeviceInfo))])
     for entry in sdk.calls])))
"""


def command(tmp_path, *args, cameras=1, setup="", stdout=subprocess.PIPE):
    """Run tavrocam-report on the stand-in; return the child and the SDK calls
    it made (None: pypylon was never imported)."""
    package = tmp_path / "pypylon"
    package.mkdir()
    log = tmp_path / "calls.json"
    (package / "__init__.py").write_text(FAKE_PYPYLON.format(
        tests=TESTS, cameras=cameras, setup=textwrap.dedent(setup), log=str(log)), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTHONIOENCODING="utf-8")
    child = subprocess.run([COMMAND, *args], stdout=stdout, stderr=subprocess.PIPE,
                           encoding="utf-8", env=env, timeout=60)
    return child, json.loads(log.read_text()) if log.exists() else None


def test_without_options_the_command_prints_the_report(tmp_path):
    child, calls = command(tmp_path)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout.split("\n") == [CONNECTED, *HEADING, *SETTINGS, CLOSED, ""]
    assert calls[-2:] == ["IsOpen", "Close"]


@pytest.mark.parametrize("args, says", [
    (["--bogus"], ""), (["stray"], ""), (["--list", "stray"], ""), (["--list=yes"], ""),
    (["--index"], ""), (["--index", "1", "--list"], ""),
    (["--index", "-1"], "not a camera index (0, 1, 2, ...): '-1'"),
    (["--index", "1.5"], "not a camera index (0, 1, 2, ...): '1.5'"),
    (["--index", "x"], "not a camera index (0, 1, 2, ...): 'x'"),
    (["--index", "٣"], "not a camera index (0, 1, 2, ...): '٣'"),
    # More digits than int() converts by default.
    (["--index", "1" * 4301], f"not a camera index (0, 1, 2, ...): {'1' * 20!r}... (4301 characters)"),
])
def test_bad_usage_exits_2_without_touching_the_sdk(tmp_path, args, says):
    child, calls = command(tmp_path, *args)
    assert (child.returncode, child.stdout, calls) == (2, "", None)
    usage, *_, error = child.stderr.splitlines()
    assert usage.startswith("usage: tavrocam-report")
    assert error.startswith("tavrocam-report: error: ")
    assert error.endswith(f"argument --index: {says}" if says else ""), error


@pytest.mark.parametrize("value", ["65", "99", "100", "-1", "x", "1.5", "٣", "1" * 4301])
def test_a_simulation_of_too_many_cameras_is_a_usage_error(tmp_path, value):
    child, calls = command(tmp_path, "--simulate", value)
    assert (child.returncode, child.stdout, calls) == (2, "", None)
    shown = repr(value) if len(value) <= 40 else f"{value[:20]!r}... ({len(value)} characters)"
    assert child.stderr.splitlines()[-1] == (
        f"tavrocam-report: error: argument --simulate: not a number of cameras "
        f"(0 to {tavrocam_sim.MAX_CAMERAS}): {shown}")


def test_the_report_knows_how_many_cameras_a_simulation_has():
    import _tavrocam_report

    assert _tavrocam_report.MAX_SIMULATED == tavrocam_sim.MAX_CAMERAS


@pytest.mark.parametrize("option,first_line", [
    ("--help", "usage: tavrocam-report [-h] [--version] [--list | --index N] [--simulate [N]]"),
    ("--version", f"tavrocam-report {importlib.metadata.version('tavrocam')}"),
])
def test_help_and_version_touch_no_camera(tmp_path, option, first_line):
    child, calls = command(tmp_path, option)
    assert (child.returncode, child.stderr, calls) == (0, "", None)
    assert child.stdout.splitlines()[0] == first_line


NO_CAMERA = ["Initialize failure: No Basler cameras found.", *HEADING,
             "執行出錯: 'CLASS_Tavrocam' object has no attribute 'Device'"]
SAYS_NONE = "tavrocam-report: no camera found (the SDK sees 0 cameras)\n"


@pytest.mark.parametrize("args,cameras,setup,status,lines,created,says", [
    (["--index", "2"], 3, "", 0, [CONNECTED, *HEADING, *SETTINGS, CLOSED], "40012347", ""),
    (["--index", "1"], 3, 'sdk.fail("DeviceTemperature.GetValue", Exception("x"))', 1,
     [CONNECTED, *HEADING, MODEL, EXPOSURE, RATIOS, "執行出錯: x", CLOSED], "40012346", ""),
    # The module's own lines, then the command's.
    ([], 0, "", 1, NO_CAMERA, None, SAYS_NONE),
    (["--index", "2"], 0, "", 1, NO_CAMERA, None, SAYS_NONE),
    # An enumeration that fails: the report meets the failure itself.
    (["--index", "1"], 2, 'sdk.fail("EnumerateDevices", Exception("x"))', 1,
     ["Initialize failure: x", *NO_CAMERA[1:]], None, ""),
], ids=["index", "a-setting-unread", "no-camera", "no-camera-at-an-index", "enumeration-fails"])
def test_exit_status_tells_whether_the_report_read_every_setting(tmp_path, args, cameras, setup,
                                                                  status, lines, created, says):
    child, calls = command(tmp_path, *args, cameras=cameras, setup=setup)
    assert (child.returncode, child.stderr) == (status, says)
    assert child.stdout.splitlines() == lines
    assert [call for call in calls if call.startswith("CreateDevice")] == (
        [f"CreateDevice {created}"] if created else [])


def test_no_camera_the_sdk_calls_are_the_modules_own(tmp_path):
    _, calls = command(tmp_path, cameras=0)
    assert calls == run_report(cameras=0)[1]["calls"]


@pytest.mark.parametrize("index,cameras,there", [
    (3, 3, "there are 3 cameras (indexes 0 to 2)"), (1, 1, "there is 1 camera (index 0)"),
    (7, 2, "there are 2 cameras (indexes 0 to 1)"),
])
def test_an_index_past_the_cameras_is_a_usage_error(tmp_path, index, cameras, there):
    child, calls = command(tmp_path, "--index", str(index), cameras=cameras)
    assert (child.returncode, child.stdout) == (2, "")
    assert child.stderr.splitlines()[-1] == (
        f"tavrocam-report: error: argument --index: no camera at index {index}: {there}")
    assert not [call for call in calls if call.startswith("CreateDevice")]


@pytest.mark.parametrize("args,opened", [([], True), (["--index", "1"], True), (["--list"], False)])
def test_output_cut_by_a_closed_pipe_ends_quietly(tmp_path, args, opened):
    read, write = os.pipe()
    os.close(read)  # the reader is gone before the first line
    try:
        child, calls = command(tmp_path, *args, cameras=2, stdout=write)
    finally:
        os.close(write)
    assert (child.returncode, child.stderr) == (1, "")
    assert calls[-2:] == (["IsOpen", "Close"] if opened else ["TlFactory.GetInstance", "EnumerateDevices"])


@pytest.mark.parametrize("args", [[], ["--list"], ["--index", "1"]])
def test_without_pypylon_one_line_says_how_to_install_it(tmp_path, args):
    # An installation without pypylon: the module and the command alone.
    for name in ("Tavrocam", "_tavrocam_report"):
        origin = importlib.util.find_spec(name).origin
        (tmp_path / os.path.basename(origin)).symlink_to(origin)
    run = [sys.executable, "-S", "-c"]
    env = dict(os.environ, PYTHONPATH=str(tmp_path), PYTHONIOENCODING="utf-8")
    child = subprocess.run([*run, "import sys, _tavrocam_report; sys.exit(_tavrocam_report.main())",
                            *args], capture_output=True, encoding="utf-8", env=env, timeout=60)
    assert (child.returncode, child.stdout) == (1, "")
    assert child.stderr == ("tavrocam-report: pypylon, Basler's Python SDK, is not installed; "
                            "install it with: pip install pypylon\n")
    # The import raises the SDK import's own exception, worded as this interpreter words it.
    imported, sdk = (subprocess.run([*run, f"import {name}"], capture_output=True, encoding="utf-8",
                                    env=env, timeout=60) for name in ("Tavrocam", "pypylon"))
    assert imported.stderr.splitlines()[-1] == sdk.stderr.splitlines()[-1]
    assert sdk.stderr.splitlines()[-1].startswith("ModuleNotFoundError: No module named 'pypylon'")


@pytest.mark.parametrize("cameras,lines", [
    (2, ["0: acA2040-55uc (serial 40012345)", "1: acA2040-55uc (serial 40012346)"]),
    (0, ["No camera found."]),
])
def test_list_shows_the_cameras_without_opening_one(tmp_path, cameras, lines):
    child, calls = command(tmp_path, "--list", cameras=cameras)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout.splitlines() == lines
    assert calls == ["TlFactory.GetInstance", "EnumerateDevices"]


def test_list_reports_an_enumeration_failure_on_one_line(tmp_path):
    child, _ = command(tmp_path, "--list", setup="""
        sdk.fail("EnumerateDevices", standin.RuntimeException("Transport layer failed.\\n  No access."))
    """)
    assert (child.returncode, child.stdout) == (1, "")
    assert child.stderr == ("tavrocam-report: cannot enumerate cameras: "
                            "Transport layer failed. No access.\n")
