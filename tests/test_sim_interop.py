"""pylon's own classes on the simulated camera's objects, the camera object's
pypylon calls, and faults that cannot miss, in this process.

pylon's converter, image and persistence classes are handed simulated grab
results through the simulated SDK's subclasses; whatever else reaches them
gets pylon's own answer. The programs in tests/programs run the same calls
unchanged (tests/test_sim_pypylon_programs.py).
"""

import os
import subprocess
import sys
import time

import pytest
from pypylon import genicam, pylon

import tavrocam_sim
from tavrocam_sim import faults, imaging

try:
    import numpy
except ImportError:  # the pure path: pypylon's arrays need numpy
    numpy = None
needs_numpy = pytest.mark.skipif(numpy is None, reason="pypylon's arrays need numpy")


@pytest.fixture
def sim():
    simulation = tavrocam_sim.Simulation(2)
    sdk = simulation.pylon
    camera = sdk.InstantCamera(sdk.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    camera.Width.Value, camera.Height.Value = 256, 128
    simulation.sdk, simulation.camera, simulation.device = sdk, camera, simulation.cameras[0]
    yield simulation
    camera.Close()


@pytest.fixture
def result(sim):
    with sim.camera.GrabOne(5000) as grabbed:
        yield grabbed


# ------------------------------------------------------------ images

@needs_numpy
def test_pylons_converter_converts_the_simulated_result(sim, result):
    converter = sim.sdk.ImageFormatConverter()
    converter.OutputPixelFormat = pylon.PixelType_BGR8packed
    ours = converter.Convert(result)
    # pylon's own converter, given pylon's own image over the same bytes
    theirs_image, data = pylon.PylonImage(), bytes(result.GetImageBuffer())
    theirs_image.AttachBytesObject(data, result.PixelType, result.Width, result.Height, 0)
    theirs = pylon.ImageFormatConverter()
    theirs.OutputPixelFormat = pylon.PixelType_BGR8packed
    assert type(ours) is pylon.PylonImage
    assert numpy.array_equal(ours.GetArray(), theirs.Convert(theirs_image).GetArray())
    assert converter.ImageHasDestinationFormat(result) is False


@pytest.mark.parametrize("make,call", [
    ("ImageFormatConverter", lambda obj, arg: obj.Convert(arg)),
    ("ImageFormatConverter", lambda obj, arg: obj.ImageHasDestinationFormat(arg)),
    ("PylonImage", lambda obj, arg: obj.AttachGrabResultBuffer(arg)),
    ("PylonImage", lambda obj, arg: obj.CopyImage(arg)),
])
@pytest.mark.parametrize("wrong", [object(), 5, "result"], ids=["object", "int", "str"])
def test_a_wrong_object_gets_pylons_type_error(sim, make, call, wrong):
    with pytest.raises(TypeError) as ours:
        call(getattr(sim.sdk, make)(), wrong)
    with pytest.raises(TypeError) as theirs:
        call(getattr(pylon, make)(), wrong)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize("call", [
    lambda sdk, r: sdk.ImageFormatConverter().Convert(r),
    lambda sdk, r: sdk.ImageFormatConverter().ImageHasDestinationFormat(r),
])
def test_an_empty_result_is_pylons_value_error(sim, call):
    with pytest.raises(ValueError, match="^Invalid CGrabResultPtr$"):
        call(sim.sdk, sim.sdk.GrabResult())


def test_other_simulated_objects_never_reach_swig_as_pointers(sim, result):
    for obj in (sim.camera, sim.camera.GetNodeMap(), result.GetDataContainer(),
                sim.sdk.TlFactory.GetInstance().EnumerateDevices()[0]):
        with pytest.raises(TypeError):
            sim.sdk.ImageFormatConverter().Convert(obj)
        with pytest.raises(AttributeError):
            obj.this  # noqa: B018


@needs_numpy
def test_an_attached_image_holds_the_result(sim, result):
    with result.GetArrayZeroCopy() as array:  # the zero-copy array writes the result's buffer
        array[0, 0] = 255 - array[0, 0]
        written = int(array[0, 0])
    image = sim.sdk.PylonImage()
    image.AttachGrabResultBuffer(result)  # images.py saves, loads and releases it
    assert int(image.GetArray()[0, 0]) == written == int(result.GetArray()[0, 0])
    assert image.IsUnique() is False


@pytest.mark.parametrize("index,error,text", [
    (1, genicam.OutOfRangeException, "index out of range. : OutOfRangeException thrown "
                                     "(file 'PylonDataContainer.cpp', line 515)"),
    (-1, TypeError, imaging._BAD_ATTACH), ("x", TypeError, imaging._BAD_ATTACH),
])
def test_attaching_by_component_index_as_pylon(sim, result, index, error, text):
    image = sim.sdk.PylonImage()
    image.AttachGrabResultBuffer(0, result)
    assert image.Width == 256
    with pytest.raises(error) as raised:
        image.AttachGrabResultBuffer(index, result)
    assert str(raised.value) == text


def test_attaching_an_empty_result_leaves_an_empty_image(sim, result):
    image = sim.sdk.PylonImage()
    image.AttachGrabResultBuffer(result)
    image.AttachGrabResultBuffer(sim.sdk.GrabResult())
    assert (image.IsValid(), result.IsUnique()) == (False, True)


def test_a_grab_result_made_of_what_is_no_result(sim):
    with pytest.raises(TypeError, match="new_GrabResult"):
        sim.sdk.GrabResult(5)
    assert type(sim.sdk.GrabResult(pylon.GrabResult())) is pylon.GrabResult


@needs_numpy
def test_a_kept_zero_copy_array_is_refused_as_pypylon_refuses_it(result):
    kept = []
    with pytest.raises(RuntimeError, match="remove any references to the array"):
        with result.GetArrayZeroCopy() as array:
            kept.append(array)


@needs_numpy
def test_a_packed_image_comes_unpacked(sim):
    sim.camera.PixelFormat.Value = "BayerRG12p"
    with sim.camera.GrabOne(5000) as packed:
        with packed.GetArrayZeroCopy() as array:
            assert (array.shape, array.dtype) == ((128, 256), numpy.uint16)
            assert numpy.array_equal(array, packed.GetArray())
        assert sim.sdk.IsPacked(packed.PixelType) and sim.sdk.BitDepth(packed.PixelType) == 12


@needs_numpy
def test_the_data_container(result):
    container = result.GetDataContainer()  # images.py asks the rest
    component = container.GetDataComponentByIndex(0)
    assert numpy.array_equal(component.Array, result.Array)
    with pytest.raises(genicam.OutOfRangeException, match="^index out of range"):
        container.GetDataComponentByIndex(1)
    with pytest.warns(DeprecationWarning, match="GetDataComponentByIndex instead"):
        container.GetDataComponent(0)
    assert [len(result.GetDataComponentByType(kind)) for kind in (
        pylon.ComponentType_Intensity, pylon.ComponentType_Range)] == [1, 0]
    component.Release()
    container.Release()
    assert (component.IsValid(), component.GetWidth(), container.GetDataComponentCount()) == (
        False, 0, 0)


# ------------------------------------------------------ the camera object

@pytest.mark.parametrize("method", sorted(
    name for name in dir(pylon.InstantCamera) if not name.startswith("_") and name != "thisown"))
def test_every_pylon_method_is_there_or_an_attribute_error_naming_it(sim, method):
    try:
        value = getattr(sim.camera, method)
    except AttributeError as exc:
        assert method in str(exc)
    else:
        assert not isinstance(value, getattr(pylon, "PlaceholderParameter", ()))


def test_the_camera_says_what_it_is(sim):
    assert sim.camera.IsBlaze() is False  # finding.py asks the rest
    unattached = sim.sdk.InstantCamera()
    assert (unattached.IsUsb(), unattached.HasOwnership()) == (False, False)
    with pytest.raises(pylon.RuntimeException, match="^No device attached"):
        unattached.GetSfncVersion()


def test_the_sdk_says_it_is_the_simulations(sim):
    assert "simulat" in repr(sim.sdk) and repr(sim) in repr(sim.sdk)


def test_device_info_copies_and_filters(sim):
    info = sim.sdk.TlFactory.GetInstance().EnumerateDevices()[1]
    copy = sim.sdk.DeviceInfo(info)
    copy.SetUserDefinedName("mine")
    assert (info.GetUserDefinedName(), copy.GetUserDefinedName()) == ("", "mine")
    assert info.IsSubset(sim.sdk.DeviceInfo().SetSerialNumber(info.GetSerialNumber()))
    assert sim.sdk.DeviceInfo().IsUserProvided() and not info.IsUserProvided()
    with pytest.raises(TypeError, match="new_DeviceInfo"):
        sim.sdk.DeviceInfo("x")


# ---------------------------------------------------------------- faults

WAYS_TO_WRITE = {
    "Value =": lambda camera, node: setattr(node, "Value", 512),
    "SetValue": lambda camera, node: node.SetValue(512),
    "fresh look-up": lambda camera, node: camera.Width.SetValue(512),
    "node map": lambda camera, node: camera.GetNodeMap().GetNode("Width").SetValue(512),
    "node map attribute": lambda camera, node: setattr(camera.GetNodeMap().Width, "Value", 512),
}
WAYS_TO_READ = {
    "Value": lambda camera, node: node.Value,
    "GetValue": lambda camera, node: node.GetValue(),
    "fresh look-up": lambda camera, node: camera.Width.Value,
    "node map": lambda camera, node: camera.GetNodeMap().GetNode("Width").GetValue(),
}


@pytest.mark.parametrize("operation,ways,after,other", [
    ("Width.SetValue", WAYS_TO_WRITE, [None] * len(WAYS_TO_WRITE), WAYS_TO_READ["Value"]),
    ("Width.GetValue", WAYS_TO_READ, [512] * len(WAYS_TO_READ), WAYS_TO_WRITE["SetValue"])])
def test_a_fault_is_met_however_the_node_is_reached(sim, operation, ways, after, other):
    before = sim.camera.Width  # looked up before the fault is set
    sim.device.fail(operation, pylon.AccessException("held"))
    for way, reach in ways.items():
        with pytest.raises(pylon.AccessException, match="^held$"):
            reach(sim.camera, before)
    other(sim.camera, before)  # the node's other methods and the other nodes work
    assert sim.camera.Width.GetMax() == 2064 - sim.camera.OffsetX.Value
    assert sim.camera.Height.Value == 128
    sim.device.heal()
    assert [reach(sim.camera, before) for reach in ways.values()] == after
    assert type(sim.camera.Width) is type(sim.camera.Height) is pylon.IntegerParameter


def test_a_counted_fault_is_met_once_per_write(sim):
    sim.device.fail("Width.SetValue", RuntimeError("once"), times=1)
    with pytest.raises(RuntimeError):
        sim.camera.Width.Value = 512
    sim.camera.Width.Value = 512
    assert sim.camera.Width.Value == 512


@pytest.mark.parametrize("operation,says", [
    ("Width.Value", "reading Width.Value is Width.GetValue and writing Width.Value is "
                    "Width.SetValue"),
    ("Bogus.SetValue", "'Bogus' is no node of the camera"),
    ("Width.Execute", "Integer node 'Width' has no method 'Execute'"),
    ("open", "not 'open'"),
    ("Width", "not 'Width'"),
])
def test_an_operation_that_matches_nothing_is_refused(sim, operation, says):
    with pytest.raises(ValueError) as refused:
        sim.device.fail(operation, RuntimeError("x"))
    assert says in str(refused.value)
    assert "'Open', 'Close', 'CreateDevice', 'EnumerateDevices', 'Grab'" in str(refused.value)
    assert sim.device.faults == {}


def depth(exc):
    count, tb = 0, exc.__traceback__
    while tb is not None:
        count, tb = count + 1, tb.tb_next
    return count


def test_raising_a_stored_fault_again_does_not_grow_its_traceback(sim):
    stored = pylon.AccessException("held")
    stored.error_code = 7
    sim.device.fail("Width.GetValue", stored)
    raised = []
    for _ in range(50):
        try:
            sim.camera.Width.GetValue()
        except pylon.AccessException as exc:
            raised.append(exc)
    assert len({depth(exc) for exc in raised}) == 1 and stored.__traceback__ is None
    assert {(str(exc), exc.error_code) for exc in raised} == {("held", 7)}


class Uncopyable(Exception):
    def __init__(self, a, b):
        super().__init__(a)


@pytest.mark.parametrize("exc", [Uncopyable(1, 2), RuntimeError, KeyboardInterrupt()],
                         ids=["uncopyable", "class", "interrupt"])
def test_each_raise_is_fresh(exc):
    fresh = faults.raising(exc)
    assert type(fresh) is (exc if isinstance(exc, type) else type(exc))
    assert fresh.__traceback__ is None


# -------------------------------------------------------------- the runner

def test_the_simulator_takes_pypylons_pylon_after_the_swap(tmp_path):
    code = ("from pypylon import pylon\n"
            "import importlib, tavrocam_sim.pypylon_sdk as own\n"
            "importlib.reload(own)\n"
            "import tavrocam_sim.grabresult as g\n"
            "print(own.pylon is not pylon, own.pylon.InstantCamera.__module__, "
            "g._pylon is own.pylon, type(pylon).__name__)\n")
    env = dict(os.environ, TAVROCAM_SIM="1")
    env.pop("PYLON_CAMEMU", None)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                            for p in env["PYTHONPATH"].split(os.pathsep) if p)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           env=env, cwd=tmp_path, timeout=60)
    assert (child.returncode, child.stdout.split()) == (
        0, ["True", "pypylon.pylon", "True", "Pylon"]), child.stderr


# ------------------------------------------------- stopping from two threads

def test_close_waits_for_the_grab_loop_threads_own_stop(sim):
    calls = []

    class Slow(pylon.ConfigurationEventHandler):
        def OnGrabStopped(self, camera):
            time.sleep(0.3)  # the grab loop thread is still stopping when the program closes
            calls.append("OnGrabStopped")

        def OnClosed(self, camera):
            calls.append("OnClosed")

    camera = sim.camera
    camera.RegisterConfiguration(Slow(), pylon.RegistrationMode_Append, pylon.Cleanup_None)
    camera.StartGrabbingMax(2, pylon.GrabStrategy_OneByOne, pylon.GrabLoop_ProvidedByInstantCamera)
    deadline = time.monotonic() + 30
    while camera.IsGrabbing() and time.monotonic() < deadline:
        time.sleep(0.01)
    camera.Close()
    assert calls == ["OnGrabStopped", "OnClosed"]
