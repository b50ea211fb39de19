"""A pypylon test suite whose first test unplugs the camera: under the pytest
plugin the next tests find a whole camera again. ``lens`` imports ``pylon``
and caches the factory when it is imported, before any test runs. Run by
tests/test_sim_pypylon_programs.py with the fixture and with the option."""
import lens
import tavrocam_sim
from pypylon import pylon


def open_first():
    camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    return camera


def test_unplug():
    camera = open_first()
    camera.Width.Value = 64
    tavrocam_sim.simulation().cameras[0].remove()
    assert camera.IsCameraDeviceRemoved() and lens.cameras() == 0


def test_the_next_test_finds_a_whole_camera():
    assert lens.cameras() == 1
    assert open_first().Width.Value == 2048


def test_the_cached_factory_reaches_this_tests_camera():
    camera = pylon.InstantCamera(lens.FACTORY.CreateFirstDevice())
    camera.Open()
    tavrocam_sim.simulation().cameras[0].temperature = 81.0
    assert camera.TemperatureState.Value == "Error"
