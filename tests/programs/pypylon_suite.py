"""A pypylon test suite as its users write it: it names no simulator. Run by
tests/test_sim_pypylon_programs.py as a test file of its own, under the
pytest plugin's unchanged-program mode and on pylon's emulator."""
import os

import pytest
from pypylon import genicam, pylon


@pytest.fixture
def camera():
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    cam.Open()
    cam.PixelFormat.Value = "BayerRG8"
    yield cam
    cam.Close()


def test_two_cameras_found():
    assert len(pylon.TlFactory.GetInstance().EnumerateDevices()) == 2


def test_width_round_trip(camera):
    camera.Width.Value = camera.Width.Min
    assert camera.Width.Value == camera.Width.Min


def test_closed_camera_refuses_writes():
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    assert not genicam.IsWritable(cam.Width)


def test_grab_one(camera):
    result = camera.GrabOne(5000)
    assert result.GrabSucceeded()
    assert result.Array.shape == (camera.Height.Value, camera.Width.Value)


@pytest.mark.parametrize("strategy", ["OneByOne", "LatestImageOnly", "LatestImages",
                                      "UpcomingImage"])
def test_grab_strategy(camera, strategy):
    camera.StartGrabbingMax(2, getattr(pylon, "GrabStrategy_" + strategy))
    count = 0
    while camera.IsGrabbing():
        with camera.RetrieveResult(5000) as result:
            count += result.GrabSucceeded()
    assert count == 2


def test_converter_bgr(camera):
    converter = pylon.ImageFormatConverter()
    converter.OutputPixelFormat = pylon.PixelType_BGR8packed
    result = camera.GrabOne(5000)
    assert converter.Convert(result).GetArray().shape[2] == 3


def test_save_png(camera, tmp_path):
    image = pylon.PylonImage()
    image.AttachGrabResultBuffer(camera.GrabOne(5000))
    path = str(tmp_path / "x.png")
    image.Save(pylon.ImageFileFormat_Png, path)
    assert os.path.getsize(path) > 0


def test_feature_file_round_trip(camera, tmp_path):
    path = str(tmp_path / "f.pfs")
    pylon.FeaturePersistence.Save(path, camera.GetNodeMap())
    pylon.FeaturePersistence.Load(path, camera.GetNodeMap(), True)
    assert "Width" in open(path).read()


def test_software_trigger(camera):
    pylon.SoftwareTriggerConfiguration().OnOpened(camera)
    camera.StartGrabbing()
    camera.WaitForFrameTriggerReady(1000, pylon.TimeoutHandling_ThrowException)
    camera.ExecuteSoftwareTrigger()
    assert camera.RetrieveResult(5000).GrabSucceeded()
    camera.StopGrabbing()
    camera.TriggerMode.Value = "Off"


def test_camera_array_contexts():
    factory = pylon.TlFactory.GetInstance()
    cameras = pylon.InstantCameraArray(2)
    for i, cam in enumerate(cameras):
        cam.Attach(factory.CreateDevice(factory.EnumerateDevices()[i]))
    cameras.StartGrabbing()
    seen = {cameras.RetrieveResult(5000).GetCameraContext() for _ in range(4)}
    cameras.StopGrabbing()
    assert seen == {0, 1}
