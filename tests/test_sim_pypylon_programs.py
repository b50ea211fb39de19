"""Ordinary pypylon programs (tests/programs), each run unchanged in a child
interpreter: on the simulated acA2040-55uc under ``TAVROCAM_SIM=2`` (a few
also with ``python -m tavrocam_sim``), and on pylon's emulator
(``PYLON_CAMEMU=2``) where it can run them. Each program prints one JSON line;
the same line is expected everywhere but where the acA2040-55uc is not the
emulator (``ON_THE_EMULATOR``). A run that ends by a signal is a crash.

Also a pypylon test suite (tests/programs/pypylon_suite.py), run unchanged
by pytest under the plugin's unchanged-program mode and on the emulator.
"""

import importlib.util
import json
import os
import signal
import subprocess
import sys

import pytest

PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "programs")
MARK = "@@program@@ "
STRATEGIES = ("OneByOne", "LatestImageOnly", "LatestImages", "UpcomingImage")

OVERLOADS = "Wrong number or type of arguments for overloaded function 'InstantCamera_{}'."
EXPECTED = {
    "finding": {"count": 2, "filtered": True, "open": True, "attached": True, "removed": False,
                "owned": True, "usb": True, "others": [False, False, False],
                "sfnc": [2, True], "detached": [False, True], "destroyed": False,
                "missing": "No device is available or no device contains the provided device "
                           "info properties."},
    "device_infos": {"count": True, "model": [True, True], "missing": [False, ""],
                     "set": ["left", [True, "left"]], "available": [True, True, False, True],
                     "not available": ["N/A", "N/A"], "dict": True, "friendly": True},
    "parameters": {"width": True, "by name": True, "formats": "BayerRG8",
                   "access": [True, True, False], "callback": True, "own": [10, 5, 10],
                   "user set": True, "range": "OutOfRangeException",
                   "closed": "Node is not available."},
    "grab_strategies": {"grabbed": [[True, True, True]] * 3, "ready": True,
                        "unique": [False, False, True], "zero_copy": [True, True],
                        "sizes": [True, True], "format": True,
                        "grab one": [True, True, False],
                        "released": "No grab result data is referenced. Cannot access NULL "
                                    "pointer."},
    "threads": {"waiter": [{"valid": False}, False, True], "cameras": [4, 4]},
    "grab_loop": {"images": [True] * 5, "finished": True,
                  "events": ["OnOpened", "OnGrabStarted", "OnGrabStopped", "OnClosed"]},
    "software_trigger": {"trigger": ["On", "Software"], "numbers": [1, 2, 3], "none": False,
                         "by hand": "On", "idle wait": [False, True],
                         "closed": "The camera device does not support waiting for frame "
                                   "trigger ready. AcquisitionStatus is not readable. : "
                                   "RuntimeException thrown (file 'InstantCameraImpl.h', "
                                   "line 1836)"},
    "camera_events": {"events": True, "first": [[100, "EventExposureEndData", "CategoryParameter"]],
                      "per node": [[200, "EventExposureEndFrameID", "IntegerParameter"]],
                      "frame id": True},
    "chunks": {"Timestamp": True, "PayloadCRC16": True, "payload": True, "timestamp": True,
               "crc": [True, True], "image": True, "plain": False},
    "images": {"bgr": True, "has destination format": False, "packed": [False, 8, True],
               "png": True, "image": [True, True, True, False], "released": [False, True],
               "loaded": True, "container": [1, 1, True, True, True],
               "wrong": "Wrong number or type of arguments for overloaded function "
                        "'ImageFormatConverter_Convert'.",
               "hints": [True, "PylonImage_AttachGrabResultBufferWithUserHints expected 6 "
                               "arguments, got 7",
                         "in method 'PylonImage_AttachGrabResultBufferWithUserHints', "
                         "argument 5 of type 'uint32_t'",
                         "The image size (in bytes) defined by the user hints doesn't fit into "
                         "the buffer of the given grabresult. Given size = HINTED bytes, "
                         "possible size = SIZE bytes : InvalidArgumentException thrown "
                         "(file 'PylonImage.cpp', line 168)"]},
    "camera_array": {"size": 2, "attached": True, "open": True, "contexts": [0, 1],
                     "grabbing": True, "stopped": [False, False], "serials": 2,
                     "after": [False, False, 0],
                     "refused": "Not all cameras in the array have attached devices."},
    "buffers": {"queued limit": [5, 0, 5], "no output queue": False,
                **{name: [[2, 0, 0], [1, 0, 0], [0, 0, 0], False, True, 3]
                   for name in ("OneByOne", "LatestImageOnly", "LatestImages")},
                "UpcomingImage": [[0, 0, 2], [0, 0, 1], [0, 0, 0],
                                  "Timeout while waiting for canceled buffer after timeout with "
                                  "strategy GrabStrategy_UpcomingImage. : RuntimeException thrown "
                                  "(file 'GrabEngine.h', line 450)", True]},
    "reload": {"same": True, "name": "pypylon.pylon", "grabbed": True, "cameras": True},
    "child_process": {"held": "'Device is exclusively opened by another client.'",
                      "closed": "opened"},
    "camera_object": {"closed": "Cannot get the stream grabber from a closed device.",
                      "stream grabber": True, "tl": True, "stop": [True, False, True, True],
                      "events waiting": False, "context": [0, 42], "sfnc": 2,
                      "wrong": {name: [first.format(name), f"Pylon::CInstantCamera::{last}"]
                                for name, first, last in (
                          ("RetrieveResult", OVERLOADS,
                           "RetrieveResult(unsigned int,Pylon::CGrabResultPtr &)"),
                          ("StartGrabbingMax", "InstantCamera_{} expected at most 4 arguments, "
                                               "got 5", "StartGrabbing(size_t)"),
                          ("StartGrabbing", OVERLOADS, "StartGrabbing()"))}},
    "scene_file": {"size": [256, 512], "follows": [True, True]},
}
# Where the acA2040-55uc is not pylon's emulated camera.
ON_THE_EMULATOR = {
    "finding": {"usb": False},           # the emulator's transport layer is not USB
    "parameters": {"user set": False},   # the emulator's Default set keeps the width
    "child_process": {"held": "opened"},  # the emulator is no exclusive device
}
# What the emulator cannot run at all.
NOT_ON_THE_EMULATOR = {
    "chunks": "the emulated camera has no ChunkSelector",
}
WITH_THE_COMMAND = ("finding", "images", "camera_array", "grab_loop", "scene_file", "child_process")
# Programs that take images as numpy arrays (pypylon's Array needs numpy).
WITH_NUMPY = ("grab_strategies", "chunks", "images", "scene_file")
# Programs shown a picture file (TAVROCAM_SIM_SCENE, or the command's --scene).
PICTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "parts.png")
WITH_A_PICTURE = ("scene_file",)
HAS_NUMPY = importlib.util.find_spec("numpy") is not None


def run(argv, **changes):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    for name in ("PYLON_CAMEMU", "TAVROCAM_SIM", "TAVROCAM_SIM_SCENE"):
        env.pop(name, None)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                            for p in env["PYTHONPATH"].split(os.pathsep) if p)
    env.update(changes)
    return subprocess.run(argv, capture_output=True, text=True, encoding="utf-8",
                          env=env, timeout=180, cwd=PROGRAMS)


def printed(child):
    if child.returncode < 0:
        pytest.fail(f"crashed: {signal.Signals(-child.returncode).name}\n{child.stderr}")
    assert child.returncode == 0, child.stdout + child.stderr
    lines = [line for line in child.stdout.splitlines() if line.startswith(MARK)]
    assert len(lines) == 1, child.stdout + child.stderr
    return json.loads(lines[0][len(MARK):])


CASES = [pytest.param(name, arg, id=name if arg is None else f"{name}-{arg}")
         for name in EXPECTED
         for arg in (STRATEGIES if name == "grab_strategies" else (None,))]


def expected(name, arg, emulator=False):
    out = dict(EXPECTED[name])
    if arg == "UpcomingImage":  # no buffer is queued before RetrieveResult asks for one
        out["ready"] = False
    if emulator:
        out.update(ON_THE_EMULATOR.get(name, {}))
    return out


def argv(name, arg, way):
    if name in WITH_NUMPY and not HAS_NUMPY:
        pytest.skip("the program takes images as numpy arrays; numpy is not installed")
    if name in WITH_A_PICTURE and importlib.util.find_spec("PIL") is None:
        pytest.skip("the simulated camera reads picture files through Pillow; it is not installed")
    program = [os.path.join(PROGRAMS, name + ".py"), *([arg] if arg else [])]
    picture = {"TAVROCAM_SIM_SCENE": PICTURE} if name in WITH_A_PICTURE else {}
    if way == "python -m tavrocam_sim":
        scene = ["--scene", PICTURE] if picture else []
        return [sys.executable, "-m", "tavrocam_sim", "--cameras", "2", *scene, *program], {}
    if way == "emulator":
        return [sys.executable, *program], {"PYLON_CAMEMU": "2", **picture}
    return [sys.executable, *program], {"TAVROCAM_SIM": "2", **picture}


@pytest.mark.parametrize("name,arg", CASES)
def test_a_program_runs_unchanged_on_the_simulated_camera(name, arg):
    command, changes = argv(name, arg, "TAVROCAM_SIM")
    assert printed(run(command, **changes)) == expected(name, arg)


@pytest.mark.parametrize("name", WITH_THE_COMMAND)
def test_a_program_runs_unchanged_with_the_command(name):
    command, changes = argv(name, None, "python -m tavrocam_sim")
    assert printed(run(command, **changes)) == EXPECTED[name]


@pytest.mark.parametrize("name,arg", CASES)
def test_the_same_program_on_pylons_emulator(name, arg):
    if name in NOT_ON_THE_EMULATOR:
        pytest.skip(NOT_ON_THE_EMULATOR[name])
    command, changes = argv(name, arg, "emulator")
    assert printed(run(command, **changes)) == expected(name, arg, emulator=True)


def test_a_program_sees_the_same_frames_whichever_loops_the_core_runs():
    """A frame is a function of the camera's serial, its frame number, its
    settings and the scene: the same program prints the same frames on the
    plain, SSE2 and AVX2 loops (a path the machine lacks falls back to the
    next), and its two frames differ in their noise."""
    command, changes = argv("scene_file", None, "TAVROCAM_SIM")
    digests = {path: printed(run(command + ["--digest"], TAVROCAM_SIMD=path, **changes))["digest"]
               for path in ("none", "sse2", "avx2")}
    first, second = digests["none"]
    assert first != second and all(d == [first, second] for d in digests.values()), digests


SUITE_WAYS = {
    "plugin": (["-p", "tavrocam_sim.pytest_plugin", "--tavrocam-sim=2"], {}),
    "variable": ([], {"TAVROCAM_SIM": "2"}),
    "emulator": ([], {"PYLON_CAMEMU": "2"}),
}


@pytest.mark.parametrize("way", SUITE_WAYS)
@pytest.mark.skipif(not HAS_NUMPY, reason="the suite takes images as numpy arrays")
def test_a_pypylon_test_suite_runs_unchanged(tmp_path, way):
    options, changes = SUITE_WAYS[way]
    with open(os.path.join(PROGRAMS, "pypylon_suite.py"), encoding="utf-8") as file:
        (tmp_path / "test_pypylon.py").write_text(file.read(), encoding="utf-8")
    child = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                 "-W", "ignore::DeprecationWarning", *options, str(tmp_path)], **changes)
    assert child.returncode == 0, child.stdout + child.stderr
    assert "13 passed" in child.stdout, child.stdout


# With the fixture for the whole suite (a conftest's autouse fixture), with the
# option or the variable; "session" keeps one set of cameras, as asked.
EACH_TEST = {
    "fixture": (["-p", "tavrocam_sim.pytest_plugin"], {},
                "import pytest\n\n@pytest.fixture(autouse=True)\n"
                "def _cameras(simulation):\n    yield simulation\n", "3 passed"),
    "option": (["-p", "tavrocam_sim.pytest_plugin", "--tavrocam-sim=1"], {}, "", "3 passed"),
    "variable": (["-p", "tavrocam_sim.pytest_plugin"], {"TAVROCAM_SIM": "1"}, "", "3 passed"),
    "session": (["-p", "tavrocam_sim.pytest_plugin", "--tavrocam-sim=1",
                 "--tavrocam-sim-scope=session"], {}, "", "2 failed, 1 passed"),
}


@pytest.mark.parametrize("way", EACH_TEST)
def test_each_test_has_its_own_cameras(tmp_path, way):
    options, changes, conftest, outcome = EACH_TEST[way]
    for name in ("unplug_suite.py", "lens.py"):
        with open(os.path.join(PROGRAMS, name), encoding="utf-8") as file:
            target = "test_unplug.py" if name == "unplug_suite.py" else name
            (tmp_path / target).write_text(file.read(), encoding="utf-8")
    (tmp_path / "conftest.py").write_text(conftest, encoding="utf-8")
    child = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:randomly",
                 "-W", "ignore::DeprecationWarning", "--rootdir", str(tmp_path), *options,
                 str(tmp_path)], **changes)
    assert outcome in child.stdout.splitlines()[-1], child.stdout + child.stderr


WARNING = ("tavrocam_sim: warning: the program ends while camera 40000001 (acA2040-55uc) is "
           "grabbing with the grab loop thread and a Python image event handler registered; "
           'pylon aborts the process there ("FATAL: exception not rethrown", SIGABRT, exit status '
           "134). Call StopGrabbing() or Close() before the program ends.\n")


@pytest.mark.parametrize("case,aborts", [("handler", True), ("own loop", False),
                                         ("no handler", False)])
@pytest.mark.parametrize("way", ["TAVROCAM_SIM", "emulator"])
def test_where_pylon_aborts_at_exit_the_simulated_camera_warns(case, aborts, way):
    aborts = aborts and sys.version_info < (3, 15)  # 3.15 holds the thread: pylon exits 0
    command, changes = argv("exit_grabbing", case, way)
    child = run(command, **changes)
    assert child.stdout == "ending while grabbing: True\n"
    if way == "emulator":
        # SIGABRT; now and then SIGSEGV, or a clean exit when pylon's grab
        # loop thread has ended before the interpreter's finalisation reaches it
        outcomes = (-signal.SIGABRT, -signal.SIGSEGV, 0) if aborts else (0,)
        assert child.returncode in outcomes, child.stderr
        # pylon's abort says either, as its grab loop thread ends mid-call or not;
        # a clean exit says neither (the handler that prints may itself fault)
        said = any(text in child.stderr for text in ("FATAL: exception not rethrown",
                                                     "terminate called after throwing"))
        assert said <= (child.returncode != 0), child.stderr
    else:
        assert (child.returncode, child.stderr) == (0, WARNING if aborts else "")
