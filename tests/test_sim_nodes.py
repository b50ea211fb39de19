"""The simulated acA2040-55uc's own node rules, on pylon's GenApi engine in
this process: the simulation needs no emulator, and GenApi words the errors."""

import re
import time

import pytest
import tavrocam_sim
from pypylon import pylon

from tavrocam_sim import image, model, nodemap, registers

@pytest.fixture
def sim():
    """A simulation of two cameras; the first one open as ``sim.cam``."""
    simulation = tavrocam_sim.Simulation(cameras=2)
    tl = simulation.pylon.TlFactory.GetInstance()
    simulation.cam = simulation.pylon.InstantCamera(tl.CreateDevice(tl.EnumerateDevices()[0]))
    simulation.cam.Open()
    yield simulation
    simulation.cam.Close()


def values(cam, *names):
    return [getattr(cam, name).GetValue() for name in names]


def refused(call, exc_type=pylon.AccessException):
    with pytest.raises(exc_type) as caught:
        call()
    return str(caught.value)


def test_sim_roi_stays_on_the_sensor(sim):
    cam = sim.cam
    sensor_w, sensor_h = values(cam, "SensorWidth", "SensorHeight")
    width, height, x, y = values(cam, "Width", "Height", "OffsetX", "OffsetY")
    assert (x, y) == ((sensor_w - width) // 2, (sensor_h - height) // 2)  # centred by default
    room = sensor_w - width
    assert refused(lambda: cam.OffsetX.SetValue(room + 4), pylon.OutOfRangeException).startswith(
        f"Value = {room + 4} must be equal or smaller than Max = {room}.")
    cam.Width.SetValue(640)
    cam.OffsetX.SetValue(sensor_w - 640)
    assert values(cam, "WidthMax", "HeightMax") == [640, sensor_h - y]
    assert refused(lambda: cam.Width.SetValue(644), pylon.OutOfRangeException)


@pytest.mark.parametrize("fmt,bytes_per_two_pixels", [
    ("Mono8", 2), ("BayerRG8", 2), ("BayerRG12", 4), ("BayerRG12p", 3), ("RGB8", 6),
    ("BGR8", 6), ("YCbCr422_8", 4)])
def test_sim_payload_size_follows_roi_and_format(sim, fmt, bytes_per_two_pixels):
    cam = sim.cam
    cam.PixelFormat.SetValue(fmt)
    cam.Width.SetValue(640)
    cam.Height.SetValue(480)
    assert cam.PayloadSize.GetValue() == 640 * 480 * bytes_per_two_pixels // 2
    cam.ChunkModeActive.SetValue(True)
    cam.ChunkSelector.SetValue("Timestamp")
    cam.ChunkEnable.SetValue(True)
    assert cam.PayloadSize.GetValue() > 640 * 480 * bytes_per_two_pixels // 2


@pytest.mark.parametrize("axis,size,offset,sensor", [
    ("X", "Width", "OffsetX", "SensorWidth"), ("Y", "Height", "OffsetY", "SensorHeight")])
def test_sim_center_keeps_the_offset_centred_and_read_only(sim, axis, size, offset, sensor):
    cam = sim.cam
    inc = getattr(cam, offset).GetInc()
    getattr(cam, offset).SetValue(0)
    getattr(cam, "Center" + axis).SetValue(True)
    full = getattr(cam, sensor).GetValue()
    for value in (1000, 808, full):
        getattr(cam, size).SetValue(value)
        assert getattr(cam, offset).GetValue() == (full - value) // 2 // inc * inc
    assert refused(lambda: getattr(cam, offset).SetValue(0)).startswith("Node is not writable.")
    getattr(cam, "Center" + axis).SetValue(False)
    getattr(cam, size).SetValue(1000)
    getattr(cam, offset).SetValue(0)
    assert getattr(cam, offset).GetValue() == 0


@pytest.mark.parametrize("reverse_x,reverse_y,phase", [
    (False, False, "RG"), (True, False, "GR"), (False, True, "GB"), (True, True, "BG")])
@pytest.mark.parametrize("depth", ["8", "12", "12p"])
def test_sim_mirroring_shifts_the_bayer_phase(sim, reverse_x, reverse_y, phase, depth):
    cam = sim.cam
    cam.PixelFormat.SetValue("BayerRG" + depth)
    cam.ReverseX.SetValue(reverse_x)
    cam.ReverseY.SetValue(reverse_y)
    assert values(cam, "PixelFormat", "PixelColorFilter") == [f"Bayer{phase}{depth}",
                                                              f"Bayer{phase}"]
    if phase != "RG":
        assert "Enum entry is not writable" in refused(
            lambda: cam.PixelFormat.SetValue("BayerRG" + depth))
    cam.PixelFormat.SetValue("RGB8")
    cam.ReverseX.SetValue(not reverse_x)
    assert values(cam, "PixelFormat", "PixelColorFilter") == ["RGB8", "None"]


@pytest.mark.parametrize("node,value", [
    ("Width", 1024), ("Height", 768), ("PixelFormat", "Mono8"), ("ReverseX", True),
    ("OffsetY", 0), ("ChunkModeActive", True)])
def test_sim_idle_only_settings_lock_while_acquiring(sim, node, value):
    cam = sim.cam
    cam.AcquisitionStart.Execute()
    before = getattr(cam, node).GetValue()
    assert refused(lambda: getattr(cam, node).SetValue(value)).startswith("Node is not writable")
    assert getattr(cam, node).GetValue() == before
    cam.AcquisitionStop.Execute()
    getattr(cam, node).SetValue(value)
    assert getattr(cam, node).GetValue() == value


@pytest.mark.parametrize("auto,node,value", [
    ("ExposureAuto", "ExposureTime", 5000.0), ("GainAuto", "Gain", 3.0),
    ("BalanceWhiteAuto", "BalanceRatio", 1.5)])
def test_sim_once_settles_and_returns_to_off(sim, auto, node, value):
    cam = sim.cam
    getattr(cam, auto).SetValue("Once")
    assert refused(lambda: getattr(cam, node).SetValue(value)).startswith("Node is not writable")
    assert getattr(cam, auto).GetValue() == "Once"  # nothing acquired yet
    cam.AcquisitionStart.Execute()
    deadline = time.monotonic() + 10
    while getattr(cam, auto).GetValue() != "Off" and time.monotonic() < deadline:
        time.sleep(0.05)
    assert getattr(cam, auto).GetValue() == "Off"  # where it settles: test_sim_grab's
    cam.AcquisitionStop.Execute()
    getattr(cam, node).SetValue(value)


def test_sim_light_source_preset_sets_the_balance_ratios(sim):
    cam = sim.cam
    for preset, ratios in model.PRESET_RATIOS.items():
        cam.LightSourcePreset.SetValue(preset)
        read = []
        for channel in ("Red", "Green", "Blue"):
            cam.BalanceRatioSelector.SetValue(channel)
            read.append(cam.BalanceRatio.GetValue())
        assert read == pytest.approx(ratios, abs=1e-5)


def test_sim_sequencer_order_rules(sim):
    cam = sim.cam
    cam.GainAuto.SetValue("Continuous")
    assert refused(lambda: cam.SequencerMode.SetValue("On")).startswith("Node is not writable")
    cam.GainAuto.SetValue("Off")
    cam.SequencerMode.SetValue("On")
    refused(lambda: cam.SequencerConfigurationMode.SetValue("On"))
    refused(lambda: cam.ExposureAuto.SetValue("Continuous"))
    cam.SequencerMode.SetValue("Off")
    cam.SequencerConfigurationMode.SetValue("On")
    cam.SequencerSetSave.Execute()
    assert cam.SequencerSetSave.IsDone()


@pytest.mark.parametrize("lut_index", [8, 4088])
def test_sim_a_frames_view_reads_the_slot_the_store_reads(sim, lut_index):
    """A frame's view of the registers (a sequencer set's values) and the
    store select the same slot: LUTValue by LUTIndex, one slot every inc."""
    sim.cam.LUTIndex.SetValue(lut_index)
    sim.cam.LUTValue.SetValue(77)
    store = sim.cameras[0].registers
    slot = lut_index // model.BY_NAME["LUTIndex"].inc
    view = registers.Overlay(store, {("LUTValue", slot): 1234})
    assert (store.get_int("LUTValue"), view.get_int("LUTValue")) == (77, 1234)


@pytest.mark.parametrize("pixel_format,overlaid", [("BayerRG12", False), ("RGB8", True)])
def test_sim_a_frames_settings_are_read_from_the_slots_its_nodes_write(sim, pixel_format,
                                                                       overlaid):
    """One struct read of the registers gives what each node reads back (a
    sequencer set's values in place of the stored ones)."""
    cam, store = sim.cam, sim.cameras[0].registers
    cam.PixelFormat.Value = pixel_format
    for name, value in (("Width", 1024), ("Height", 512), ("OffsetX", 16), ("OffsetY", 8),
                        ("ReverseY", True), ("ExposureTime", 1234.0), ("Gain", 3.5),
                        ("BlackLevel", 7.0), ("Gamma", 0.7), ("DigitalShift", 2),
                        ("TestImageSelector", "Testimage3"), ("LightSourcePreset", "Tungsten2800K"),
                        ("LUTEnable", True), ("LUTIndex", 8), ("LUTValue", 99)):
        getattr(cam, name).Value = value
    for index, ratio in enumerate((1.25, 1.5, 2.75)):
        cam.BalanceRatioSelector.Value = ("Red", "Green", "Blue")[index]
        cam.BalanceRatio.Value = ratio
    ratios = []
    for index in range(3):
        cam.BalanceRatioSelector.Value = ("Red", "Green", "Blue")[index]
        ratios.append(cam.BalanceRatio.Value)
    over = {("ExposureTime", 0): 500.0, ("BalanceRatio", 2): 3.0} if overlaid else {}
    s = image.settings(registers.Overlay(store, over) if overlaid else store)
    assert s == image.Settings(
        *values(cam, "Width", "Height", "OffsetX", "OffsetY", "ReverseX", "ReverseY",
                "PixelFormat"), over.get(("ExposureTime", 0), cam.ExposureTime.Value) / 1e6,
        *values(cam, "Gain", "BlackLevel"), (*ratios[:2], over.get(("BalanceRatio", 2), ratios[2])),
        *values(cam, "TestImageSelector", "Gamma", "DigitalShift"), s.lut,
        cam.LightSourcePreset.Value if pixel_format == "RGB8" else "Off")
    assert s.lut[1] == 99 and s.lut[0] == store.get_int("LUTValue", 0)


@pytest.mark.parametrize("slot", ["BalanceRatio", ("Width", 1), "DeviceUserID"])
def test_sim_fields_read_only_single_value_slots(slot):
    with pytest.raises(ValueError, match="not one value slot"):
        registers.Fields(field=slot)


def test_sim_user_set_restores_what_it_saved(sim):
    cam = sim.cam
    cam.Width.SetValue(1024)
    cam.UserSetSelector.SetValue("UserSet1")
    cam.UserSetSave.Execute()
    cam.Width.SetValue(640)
    cam.PixelFormat.SetValue("Mono8")
    cam.UserSetLoad.Execute()
    assert values(cam, "Width", "PixelFormat") == [1024, "BayerRG8"]
    cam.UserSetSelector.SetValue("Default")
    refused(lambda: cam.UserSetSave.Execute())


@pytest.mark.parametrize("path,states", [
    ([42, 75, 76, 81, 80, 78, 75, 74], ["Ok", "Critical", "Critical", "Error", "Critical",
                                        "Critical", "Critical", "Ok"]),
    ([73.6, 74.4, 80.4], ["Ok", "Ok", "Error"]),
])
def test_sim_temperature_state_follows_the_temperature(sim, path, states):
    seen = []
    for celsius in path:
        sim.cameras[0].temperature = celsius
        seen.append(sim.cam.TemperatureState.GetValue())
        assert sim.cam.DeviceTemperature.GetValue() == round(celsius)
    assert seen == states


def test_sim_line_levels_and_inverter(sim):
    cam, device = sim.cam, sim.cameras[0]

    def status(line):
        cam.LineSelector.SetValue(line)
        return cam.LineStatus.GetValue()
    assert [status(line) for line in ("Line1", "Line2", "Line3", "Line4")] == [
        False, False, True, True]  # nothing connected
    device.set_input("Line1", True)
    cam.UserOutputSelector.SetValue("UserOutput1")
    cam.UserOutputValue.SetValue(True)
    assert [status("Line1"), status("Line2")] == [True, True]
    assert cam.UserOutputValueAll.GetValue() == 1
    cam.LineSelector.SetValue("Line3")
    cam.LineInverter.SetValue(True)
    assert cam.LineStatus.GetValue() is False
    assert cam.LineStatusAll.GetValue() == 0b1011
    cam.LineSelector.SetValue("Line1")
    refused(lambda: cam.LineMode.SetValue("Output"))  # the opto-coupled lines are fixed


def test_sim_provoked_failures(sim):
    cam, device = sim.cam, sim.cameras[0]
    device.fail("Width.SetValue", pylon.RuntimeException("injected"), times=1)
    assert refused(lambda: cam.Width.SetValue(640), pylon.RuntimeException) == "injected"
    cam.Width.SetValue(640)
    assert type(cam.Width) is type(cam.Height)  # pylon's own class again
    sim.cameras[1].in_use = True
    tl = sim.pylon.TlFactory.GetInstance()
    other = sim.pylon.InstantCamera(tl.CreateDevice(tl.EnumerateDevices()[1]))
    assert "exclusively opened by another client" in refused(other.Open, pylon.RuntimeException)
    device.remove()
    assert cam.IsCameraDeviceRemoved() and not cam.IsOpen()
    assert refused(cam.Width.GetValue).startswith("Node is not readable.")
    assert [info.GetSerialNumber() for info in tl.EnumerateDevices()] == [sim.cameras[1].serial]
    assert "removed" in refused(cam.Open, pylon.RuntimeException)


@pytest.mark.parametrize("kwargs,error", [
    ({"cameras": "2"}, TypeError), ({"cameras": True}, TypeError), ({"cameras": 2.0}, TypeError),
    ({"cameras": -1}, ValueError), ({"cameras": 65}, ValueError)])
def test_sim_bad_arguments_are_named(kwargs, error):
    with pytest.raises(error, match="cameras"):
        tavrocam_sim.Simulation(**kwargs)


@pytest.mark.parametrize("change,named", [
    ({"kind": "Double"}, "unknown kind"),
    ({"default": 8}, "outside"),
    ({"default": 2049}, "increment"),
    ({"max": "SensorWidth - Bogus"}, "unknown nodes ['Bogus']"),
    ({"selector": "Width"}, "not an Enumeration"),
    ({"kind": "Enumeration"}, "needs entries"),
    ({"selector": "BalanceRatioSelector"}, "needs one default per entry of BalanceRatioSelector (3)"),
])
def test_sim_malformed_model_is_refused_naming_the_node(change, named):
    rows = [row._replace(**change) if row.name == "Width" else row for row in model.NODES]
    with pytest.raises(tavrocam_sim.ModelError, match=f"'Width'.*{re.escape(named)}"):
        nodemap.generate(rows)
