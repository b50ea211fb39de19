"""pytest fixtures for code that drives an acA2040-55uc through Tavrocam.

Opt in with ``-p tavrocam_sim.pytest_plugin`` or, in a conftest.py,
``pytest_plugins = ["tavrocam_sim.pytest_plugin"]``. The ``tavrocam_sim``
fixture gives each test a fresh simulation bound as ``Tavrocam.pylon`` and
puts the SDK the module had back afterwards::

    def test_centres(tavrocam_sim):
        api = Tavrocam.CLASS_Tavrocam()
        tavrocam_sim.cameras[0].temperature = 76.0
        ...

Mark a test ``@pytest.mark.tavrocam_sim(cameras=2)`` for more cameras (or 0).
"""

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "tavrocam_sim(cameras=1): how many simulated cameras the "
                   "tavrocam_sim fixture makes")


@pytest.fixture
def tavrocam_sim(request):
    """A fresh ``tavrocam_sim.Simulation``, bound as ``Tavrocam.pylon`` for the test."""
    import Tavrocam
    import tavrocam_sim as package

    marker = request.node.get_closest_marker("tavrocam_sim")
    simulation = package.Simulation(**(marker.kwargs if marker else {}))
    saved = Tavrocam.pylon
    Tavrocam.pylon = simulation.pylon
    try:
        yield simulation
    finally:
        for device in simulation.cameras:
            opened = device.opened_by
            if opened is not None:
                opened.Close()
        Tavrocam.pylon = saved
