"""pypylon programs, unchanged, on the simulated acA2040-55uc: the command
(``python -m tavrocam_sim``, ``tavrocam-sim``), the environment variable
(``TAVROCAM_SIM=N``), the pytest plugin's session mode, and pylon's
FeaturePersistence on the simulated node map.

Each program runs in a child interpreter, as a user would start it; the
programs of tests/programs, which run on pylon's emulator as well, are
test_sim_pypylon_programs.py's. tests/data/acA2040-55uc_22095198.pfs is the
feature file a real acA2040-55uc (serial 22095198) saved (GenApi persistence
3.0.1: each selected value after its selector's value, for every value of the
selector).
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest
import tavrocam_sim
from pypylon import pylon

from tavrocam_sim import persistence

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
FEATURE_FILE = os.path.join(DATA, "acA2040-55uc_22095198.pfs")
SIM_CMD = os.path.join(os.path.dirname(sys.executable),
                       "tavrocam-sim" + (".exe" if sys.platform == "win32" else ""))
MARK = "@@program@@ "


def env(**changes):
    """The environment of a child: neither the emulator nor the simulation
    unless asked."""
    base = dict(os.environ, PYTHONIOENCODING="utf-8")
    for name in ("PYLON_CAMEMU", "TAVROCAM_SIM"):
        base.pop(name, None)
    if base.get("PYTHONPATH"):  # the child runs elsewhere: the same modules, found from there
        base["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in base["PYTHONPATH"].split(os.pathsep) if p)
    base.update(changes)
    return base


def run(argv, cwd, **changes):
    return subprocess.run(argv, capture_output=True, text=True, encoding="utf-8", cwd=cwd,
                          env=env(**changes), timeout=120)


def result(child):
    assert child.returncode == 0, child.stdout + child.stderr
    lines = [line for line in child.stdout.splitlines() if line.startswith(MARK)]
    assert len(lines) == 1, child.stdout + child.stderr
    return json.loads(lines[0][len(MARK):])


WAYS = {
    "python -m tavrocam_sim": lambda path: (
        [sys.executable, "-m", "tavrocam_sim", "--cameras", "2", path], {}),
    "tavrocam-sim": lambda path: ([SIM_CMD, "--cameras=2", path], {}),
    "TAVROCAM_SIM": lambda path: ([sys.executable, path], {"TAVROCAM_SIM": "2"}),
}

WHAT_THE_PROGRAM_SEES = """
import sys
from pypylon import pylon as imported
import pypylon, pypylon.pylon, pypylon.genicam
import tavrocam_sim
simulation = tavrocam_sim.simulation()
out = {
    "same": imported is pypylon.pylon is sys.modules["pypylon.pylon"],
    "simulated": simulation is not None and imported is simulation.pylon,
    "cameras": len(imported.TlFactory.GetInstance().EnumerateDevices()),
    "genicam": pypylon.genicam.__file__ == sys.modules["pypylon.genicam"].__file__
               and type(pypylon.genicam.GenericException).__module__ != "tavrocam_sim",
    "exceptions": imported.RuntimeException is pypylon.genicam.RuntimeException,
    "argv": sys.argv[1:], "main": __name__,
}
"""


@pytest.mark.parametrize("way,cameras", [("python -m tavrocam_sim", 2), ("tavrocam-sim", 2),
                                         ("TAVROCAM_SIM", 2), ("-m module, no count", 1)])
def test_the_program_imports_the_simulated_sdk_and_pypylons_genicam(tmp_path, way, cameras):
    path = tmp_path / "sees.py"
    path.write_text(WHAT_THE_PROGRAM_SEES + f"print({MARK!r} + __import__('json').dumps(out))\n")
    argv, changes = ([sys.executable, "-m", "tavrocam_sim", "-m", "sees"], {}) \
        if way.startswith("-m") else WAYS[way](str(path))
    assert result(run([*argv, "one", "--two"], tmp_path, **changes)) == {
        "same": True, "simulated": True, "cameras": cameras, "genicam": True,
        "exceptions": True, "argv": ["one", "--two"], "main": "__main__"}


CHECKS = {
    # pypylon is imported when the program imports it, not before.
    "lazy": ("import sys; print('pypylon' in sys.modules)", "False"),
    # The program's subprocesses run on as many simulated cameras.
    "subprocess": ("import subprocess, sys; print(subprocess.run([sys.executable, '-c', "
                   "'from pypylon import pylon; print(len(pylon.TlFactory.GetInstance()."
                   "EnumerateDevices()))'], capture_output=True, text=True).stdout.strip())", "3"),
    # A Simulation made before pypylon is imported (the simulator imports
    # pypylon's pylon itself) leaves the program the process's.
    "simulation-first": ("import tavrocam_sim; own = tavrocam_sim.Simulation(1); "
                         "from pypylon import pylon; "
                         "print(len(pylon.TlFactory.GetInstance().EnumerateDevices()), "
                         "pylon is tavrocam_sim.simulation().pylon, own.pylon is not pylon)",
                         "3 True True"),
}


@pytest.mark.parametrize("check", CHECKS)
def test_under_the_environment_variable(tmp_path, check):
    code, printed = CHECKS[check]
    child = run([sys.executable, "-c", code], tmp_path, TAVROCAM_SIM="3")
    assert (child.returncode, child.stdout.strip(), child.stderr) == (0, printed, "")


@pytest.mark.parametrize("body,status,last", [
    ("raise SystemExit(3)", 3, None),
    ("raise ValueError('refused')", 1, "ValueError: refused"),
    ("import sys; sys.exit('bye')", 1, "bye"),
])
def test_the_programs_exit_status_is_the_commands(tmp_path, body, status, last):
    (tmp_path / "ends.py").write_text(body + "\n")
    child = run([sys.executable, "-m", "tavrocam_sim", "ends.py"], tmp_path)
    assert child.returncode == status
    assert (child.stderr.splitlines() or [None])[-1] == last


def test_without_the_variable_nothing_is_imported(tmp_path):
    child = run([sys.executable, "-c", "import sys; print(sorted(m for m in sys.modules if "
                 "m.startswith(('tavrocam_sim', 'pypylon'))))"], tmp_path)
    assert (child.returncode, child.stdout.strip()) == (0, "[]")


@pytest.mark.parametrize("args,says", [
    (["--cameras", "65", "p.py"], "argument --cameras: the number of cameras must be a whole "
                                  "number from 0 to 64, not '65'"),
    (["--cameras", "two", "p.py"], "argument --cameras: the number of cameras must be a whole "
                                   "number from 0 to 64, not 'two'"),
    (["--cameras"], "argument --cameras: expected one argument"),
    (["-m"], "argument -m: expected one argument"),
    (["--bogus", "p.py"], "unrecognized arguments: --bogus"),
    ([], "a program (program.py, or -m module) is required"),
])
def test_bad_arguments_are_usage_errors(tmp_path, args, says):
    child = run([sys.executable, "-m", "tavrocam_sim", *args], tmp_path)
    assert (child.returncode, child.stdout) == (2, "")
    usage, *_, error = child.stderr.splitlines()
    assert usage.startswith("usage: python -m tavrocam_sim [-h] [--cameras N]")
    assert error == f"python -m tavrocam_sim: error: {says}"


def test_a_missing_program_is_reported_as_python_reports_it(tmp_path):
    ours = run([sys.executable, "-m", "tavrocam_sim", "nothere.py"], tmp_path)
    pythons = run([sys.executable, "nothere.py"], tmp_path)
    assert ours.returncode == pythons.returncode == 2
    assert ours.stderr.partition(":")[2] == pythons.stderr.partition(":")[2]


@pytest.mark.parametrize("argv", [[sys.executable, "-m", "tavrocam_sim", "--help"], [SIM_CMD, "-h"]])
def test_help(tmp_path, argv):
    child = run(argv, tmp_path)
    assert (child.returncode, child.stderr) == (0, "")
    assert "[--cameras N] [--scene PATH] (program.py | -m module)" in child.stdout.splitlines()[0]
    assert "TAVROCAM_SIM=N" in child.stdout


@pytest.mark.parametrize("value", ["65", "x", "-1", ""])
def test_a_bad_variable_is_reported_once_and_pypylon_stays(tmp_path, value):
    child = run([sys.executable, "-c", "from pypylon import pylon; print(pylon.__name__)"],
                tmp_path, TAVROCAM_SIM=value)
    assert (child.returncode, child.stdout.strip()) == (0, "pypylon.pylon")
    assert child.stderr == (value and f"tavrocam_sim: TAVROCAM_SIM={value!r} ignored: the number "
                            f"of cameras must be a whole number from 0 to 64, not {value!r}\n")


@pytest.mark.parametrize("args,found", [(["--cameras", "3"], "3"), (["--cameras=0"], "0"), ([], "2")])
def test_the_commands_count_wins_over_the_variable(tmp_path, args, found):
    (tmp_path / "count.py").write_text(PROGRAM_COUNT)
    child = run([sys.executable, "-m", "tavrocam_sim", *args, "count.py"], tmp_path,
                TAVROCAM_SIM="2")
    assert (child.returncode, child.stdout.strip(), child.stderr) == (0, found, "")


PROGRAM_COUNT = "from pypylon import pylon\nprint(len(pylon.TlFactory.GetInstance().EnumerateDevices()))\n"


@pytest.mark.parametrize("code,status", [
    ("import pypylon.pylon", 1), ("from pypylon import pylon", 1),
    ("import pypylon.genicam; print('no pylon asked for')", 0),
])
def test_a_simulator_that_cannot_import_never_gives_the_real_sdk(tmp_path, code, status):
    broken = tmp_path / "broken" / "tavrocam_sim"
    broken.mkdir(parents=True)
    (broken / "__init__.py").write_text("raise RuntimeError('model table broken')\n")
    path = os.pathsep.join([str(broken.parent), env().get("PYTHONPATH", "")])
    child = run([sys.executable, "-c", code], tmp_path, TAVROCAM_SIM="1", PYTHONPATH=path)
    assert child.returncode == status, child.stderr
    last = (child.stderr.splitlines() or [""])[-1]
    assert last == ("" if status == 0 else
                    "ImportError: TAVROCAM_SIM=1 asks for simulated cameras, but the simulator "
                    "(tavrocam_sim) failed to import: RuntimeError: model table broken; pypylon's "
                    "own SDK is not used in its place (unset TAVROCAM_SIM to use it)")


# --------------------------------------------------------- the pytest plugin

def test_a_bad_session_count_is_a_usage_error(tmp_path):
    (tmp_path / "test_x.py").write_text("def test_x():\n    pass\n")
    child = run([sys.executable, "-m", "pytest", "-q", "-p", "tavrocam_sim.pytest_plugin",
                 "--tavrocam-sim=70", str(tmp_path)], tmp_path)
    assert child.returncode == 4 and "--tavrocam-sim: the number of cameras must be a whole " \
                                      "number from 0 to 64, not '70'" in child.stderr, child.stderr


PLUGIN_TESTS = """
import pytest, Tavrocam
import tavrocam_sim as package
before = Tavrocam.pylon

@pytest.mark.tavrocam_sim(2)
def test_positional_count(simulation, capsys):
    assert Tavrocam.pylon is simulation.pylon and len(simulation.cameras) == 2
    Tavrocam.CLASS_Tavrocam(device_index=1)
    assert capsys.readouterr().out == "Connect successful: acA2040-55uc\\n"

@pytest.mark.tavrocam_sim(cameras=0)
def test_no_camera(simulation):
    assert package.simulation() is simulation and simulation.cameras == ()

@pytest.mark.tavrocam_sim(3)
def test_the_mark_brings_the_fixture():
    assert len(Tavrocam.pylon.TlFactory.GetInstance().EnumerateDevices()) == 3

def test_the_package_is_not_hidden(simulation):
    assert package.Simulation is type(simulation) and "simulation" in repr(simulation).lower()

@pytest.mark.tavrocam_sim(1, 2)
def test_refused_two(simulation):
    pass

@pytest.mark.tavrocam_sim(count=2)
def test_refused_keyword(simulation):
    pass

def test_close_raising(simulation):
    pylon = simulation.pylon
    camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    simulation.cameras[0].fail("Close", RuntimeError("close refused"))
    simulation.kept = camera  # open at teardown

def test_restored():
    assert Tavrocam.pylon is before
"""


def test_the_plugin_fixture_and_mark(tmp_path):
    (tmp_path / "test_plugin.py").write_text(PLUGIN_TESTS)
    child = run([sys.executable, "-m", "pytest", "-p", "tavrocam_sim.pytest_plugin",
                 "-p", "no:cacheprovider", "-rA", str(tmp_path)], tmp_path)
    outcomes = {line.split("::")[-1].split(" ")[0]: line.split(" ")[0]
                for line in child.stdout.splitlines()
                if line.startswith(("PASSED", "ERROR", "FAILED"))}
    assert outcomes == {
        "test_positional_count": "PASSED", "test_no_camera": "PASSED",
        "test_the_mark_brings_the_fixture": "PASSED", "test_the_package_is_not_hidden": "PASSED",
        "test_refused_two": "ERROR", "test_refused_keyword": "ERROR",
        # Passed, then an error at teardown: the Close's, with Tavrocam.pylon restored.
        "test_close_raising": "ERROR", "test_restored": "PASSED"}, child.stdout
    # Once for each refused mark (and again in the summary where pytest runs under CI).
    assert child.stdout.count("give one count of cameras, as @pytest.mark.tavrocam_sim(2)") >= 2
    assert "ERROR at setup of test_refused_two" in child.stdout
    assert "ERROR at setup of test_refused_keyword" in child.stdout
    assert "ERROR at teardown of test_close_raising" in child.stdout
    assert "close refused" in child.stdout


# ------------------------------------------------------ feature persistence

@pytest.fixture
def cameras():
    """Two open simulated cameras and their SDK."""
    simulation = tavrocam_sim.Simulation(2)
    sdk = simulation.pylon
    factory = sdk.TlFactory.GetInstance()
    made = [sdk.InstantCamera(factory.CreateDevice(info)) for info in factory.EnumerateDevices()]
    for camera in made:
        camera.Open()
    yield sdk, made
    for camera in made:
        camera.Close()


def feature_lines(text):
    return [line.split("\t") for line in text.splitlines() if not line.startswith("#")]


def test_the_real_cameras_file_loads_with_validation(cameras):
    sdk, (camera, _) = cameras
    sdk.FeaturePersistence.Load(FEATURE_FILE, camera.GetNodeMap(), True)
    assert (camera.ExposureTime.Value, camera.AcquisitionFrameRateEnable.Value) == (23000.0, True)
    assert camera.AcquisitionFrameRate.Value == pytest.approx(35.00053, abs=1e-3)


def test_saved_features_load_back_into_another_camera(cameras):
    sdk, (first, second) = cameras
    first.ColorAdjustmentSelector.Value = "Cyan"
    first.ColorAdjustmentHue.Value = 1.5
    first.BalanceRatioSelector.Value = "Blue"
    first.BalanceRatio.Value = 3.25
    first.ReverseX.Value = True
    first.OffsetX.Value = 0
    first.Width.Value = 2064
    first.AcquisitionFrameRate.Value = 35.00053
    first.UserDefinedValueSelector.Value = "Value4"
    first.UserDefinedValue.Value = -7
    saved = sdk.FeaturePersistence.SaveToString(first.GetNodeMap())
    sdk.FeaturePersistence.LoadFromString(saved, second.GetNodeMap(), True)
    assert sdk.FeaturePersistence.SaveToString(second.GetNodeMap()) == saved
    second.ColorAdjustmentSelector.Value = "Cyan"
    second.BalanceRatioSelector.Value = "Blue"
    second.UserDefinedValueSelector.Value = "Value4"
    assert (second.ColorAdjustmentHue.Value, second.BalanceRatio.Value, second.PixelFormat.Value,
            second.Width.Value, second.AcquisitionFrameRate.Value,
            second.UserDefinedValue.Value) == (1.5, 3.25, "BayerGR8", 2064, 35.00053, -7)


def test_a_saved_file_holds_what_the_camera_saved_in_its_order(cameras):
    sdk, (camera, _) = cameras
    sdk.FeaturePersistence.Load(FEATURE_FILE, camera.GetNodeMap(), True)
    # Today's pylon writes "Name {Selector=value} value"; the camera's wrote
    # each selected value after a "Selector value" line. Both as [name,
    # selector value or None, value]:
    ours = [[line[0], line[1].split("=")[1][:-1] if len(line) == 3 else None, line[-1]]
            for line in feature_lines(sdk.FeaturePersistence.SaveToString(camera.GetNodeMap()))
            if not line[0].endswith("Selector")]
    selected = {name for name, selector, _ in ours if selector is not None}
    with open(FEATURE_FILE, encoding="utf-8") as file:
        values, selector = [], None
        for name, value in feature_lines(file.read()):
            if name.endswith("Selector"):
                selector = value
            elif (name, selector) not in (("LineMode", "Line1"), ("LineMode", "Line2")):
                # (pylon writes a selected value only where it is writable:
                # LineMode is read-only on the opto-coupled lines)
                values.append([name, selector if name in selected else None, value])
    assert sorted(ours) == sorted(values)
    order = [name for name, *_ in ours if name != "LineMinimumOutputPulseWidth"]
    assert order == [name for name, *_ in values if name != "LineMinimumOutputPulseWidth"]


def test_save_writes_the_line_mode_only_of_the_lines_that_can_change_it(cameras):
    sdk, (camera, _) = cameras
    written = feature_lines(sdk.FeaturePersistence.SaveToString(camera.GetNodeMap()))
    assert [f for f in written if f[0] == "LineMode"] == [
        ["LineMode", "{LineSelector=Line3}", "Input"], ["LineMode", "{LineSelector=Line4}", "Input"]]


@pytest.mark.parametrize("method,args", [
    ("Save", ("{path}", "{camera}")), ("Save", ("{path}", "{nodemap_of_camera_object}")),
    ("Load", ("{path}", "{camera}", True)), ("Load", ("{path}", "{map}", 1)),
    ("LoadFromString", ("x", "{camera}")), ("SaveToString", ("{camera}",)),
    ("Save", (5, "{map}")), ("Load", (5, "{map}")), ("Save", ("{path}",)),
    ("LoadFromString", ()), ("SaveToString", ("{map}", 1)),
])
def test_wrong_arguments_are_refused_as_pylon_refuses_them(cameras, tmp_path, method, args):
    sdk, (camera, _) = cameras
    path = str(tmp_path / "x.pfs")

    def fill(arg, ours):
        # Where the simulated objects go, pylon is given objects it cannot take either.
        stand_in = {"{camera}": (camera, 7), "{nodemap_of_camera_object}": (camera.GetNodeMap, 8),
                    "{map}": (camera.GetNodeMap(), None), "{path}": (path, path)}.get(arg)
        return arg if stand_in is None else stand_in[0 if ours else 1]

    ours_args = [fill(a, True) for a in args]
    pylons_args = [fill(a, False) for a in args]
    with pytest.raises(Exception) as ours:
        getattr(sdk.FeaturePersistence, method)(*ours_args)
    with pytest.raises(Exception) as pylons:
        getattr(pylon.FeaturePersistence, method)(*pylons_args)
    assert (type(ours.value), str(ours.value)) == (type(pylons.value), str(pylons.value))


def test_no_instance_as_in_pylon():
    with pytest.raises(AttributeError, match="No constructor defined"):
        persistence.FeaturePersistence()


def test_pylons_own_node_map_passes_through(tmp_path):
    # The emulator's node map (pylon's own) in a child: saved by our class as by pylon's.
    code = textwrap.dedent("""
        from pypylon import pylon
        from tavrocam_sim.persistence import FeaturePersistence
        camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
        camera.Open()
        ours = FeaturePersistence.SaveToString(camera.GetNodeMap())
        print(ours == pylon.FeaturePersistence.SaveToString(camera.GetNodeMap()) and len(ours) > 100)
    """)
    child = run([sys.executable, "-c", code], tmp_path, PYLON_CAMEMU="1")
    assert (child.returncode, child.stdout.strip()) == (0, "True"), child.stderr


def test_the_header_names_the_node_map_as_the_camera_does(cameras):
    sdk, (camera, _) = cameras
    header = sdk.FeaturePersistence.SaveToString(camera.GetNodeMap()).splitlines()[2]
    with open(FEATURE_FILE, encoding="utf-8") as file:
        real = file.read().splitlines()[2]
    assert header.split(" -- ")[0] == real.split(" -- ")[0] == "# Device = Basler::UsbCameraParams"
