"""pytest fixtures for code that drives an acA2040-55uc through Tavrocam, and
a test run of a pypylon test suite, unchanged, on simulated cameras.

Opt in with ``-p tavrocam_sim.pytest_plugin`` or, in a conftest.py,
``pytest_plugins = ["tavrocam_sim.pytest_plugin"]``.

The ``simulation`` fixture gives each test a fresh ``tavrocam_sim.Simulation``
bound as ``Tavrocam.pylon`` and puts the SDK the module had back afterwards
(``tavrocam_sim``, its former name, still works)::

    def test_centres(simulation):
        api = Tavrocam.CLASS_Tavrocam()
        simulation.cameras[0].temperature = 76.0
        ...

Mark a test ``@pytest.mark.tavrocam_sim(2)`` (or ``cameras=2``) for more
cameras, or 0; a marked test gets the fixture even when it does not name it.
``@pytest.mark.tavrocam_sim(scene=...)`` gives its cameras a scene (a
``tavrocam_sim.scenes`` scene, a callable or a path);
``--tavrocam-sim-scene=PATH`` (or ``TAVROCAM_SIM_SCENE=PATH``) gives every
simulated camera of the session an image file or a folder of images.

``--tavrocam-sim=N`` (or ``TAVROCAM_SIM=N`` in the environment) runs the
whole test session on N simulated cameras: ``pypylon.pylon`` is the SDK of
the process's simulation (``tavrocam_sim.simulation()``), as under
``python -m tavrocam_sim``.
"""

import pytest

MARK = "tavrocam_sim"
FIXTURES = ("simulation", "tavrocam_sim")


def pytest_addoption(parser):
    parser.addoption(
        "--tavrocam-sim", metavar="N", dest="tavrocam_sim", default=None,
        help="run the session on N simulated acA2040-55uc cameras: pypylon.pylon finds "
             "them (as TAVROCAM_SIM=N does)")
    parser.addoption(
        "--tavrocam-sim-scene", metavar="PATH", dest="tavrocam_sim_scene", default=None,
        help="what the simulated cameras look at: an image file, or a folder of images "
             "played one per frame (as TAVROCAM_SIM_SCENE=PATH does)")


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config, parser, args):
    # Before any conftest.py or test module can import pypylon.
    from tavrocam_sim import runner

    _scene(getattr(early_config.known_args_namespace, "tavrocam_sim_scene", None))
    text = getattr(early_config.known_args_namespace, "tavrocam_sim", None)
    if text is None:
        runner.install_from_environment()
        return
    _install(text)


def _scene(path):
    """Check ``--tavrocam-sim-scene`` and hand it on as TAVROCAM_SIM_SCENE."""
    if path is None:
        return
    import os

    from tavrocam_sim import runner, scenes

    try:
        scenes.from_path(path)
    except (OSError, ValueError, TypeError) as exc:
        raise pytest.UsageError(f"--tavrocam-sim-scene: {exc}") from None
    os.environ[runner.SCENE_ENVIRONMENT] = os.path.abspath(path)


def _install(text):
    import os

    from tavrocam_sim import runner

    try:
        count = runner.cameras_from(text)
    except ValueError as exc:
        raise pytest.UsageError(f"--tavrocam-sim: {exc}") from None
    os.environ[runner.ENVIRONMENT] = str(count)  # subprocesses of the tests simulate too
    try:
        runner.install(count)
    except RuntimeError as exc:  # TAVROCAM_SIM gave another count already
        raise pytest.UsageError(f"--tavrocam-sim={count}: {exc}") from None


def pytest_configure(config):
    # The plugin named in a conftest.py's pytest_plugins comes too late for
    # pytest_load_initial_conftests: the modules imported so far keep pypylon's pylon.
    _scene(config.getoption("tavrocam_sim_scene"))
    text = config.getoption("tavrocam_sim")
    if text is not None:
        _install(text)
    config.addinivalue_line(
        "markers", f"{MARK}(cameras=1): how many simulated cameras the simulation fixture "
                   f"makes, as {MARK}(2) or {MARK}(cameras=2), and scene=... the scene "
                   f"they look at; implies the fixture")


def pytest_report_header(config):
    import sys

    runner = sys.modules.get("tavrocam_sim.runner")
    cameras = runner and runner._state.cameras
    if cameras is not None:
        return f"tavrocam_sim: pypylon.pylon finds {cameras} simulated acA2040-55uc camera(s)"
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    # A marked test that names neither fixture gets one: the mark is never ignored.
    names = getattr(item, "fixturenames", None)
    if item.get_closest_marker(MARK) is not None and names is not None \
            and not any(name in names for name in FIXTURES):
        names.append(FIXTURES[0])


def _cameras(marker):
    if marker is None:
        return 1
    args, kwargs = marker.args, dict(marker.kwargs)
    kwargs.pop("scene", None)
    if len(args) + len(kwargs) == 1 and (len(args) == 1 or "cameras" in kwargs):
        return args[0] if args else kwargs["cameras"]
    if not args and not kwargs:
        return 1
    given = ", ".join([repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()])
    pytest.fail(f"@pytest.mark.{MARK}({given}): give one count of cameras, as "
                f"@pytest.mark.{MARK}(2) or @pytest.mark.{MARK}(cameras=2)", pytrace=False)


@pytest.fixture
def simulation(request):
    """A fresh ``tavrocam_sim.Simulation``, bound as ``Tavrocam.pylon`` for the test."""
    import Tavrocam
    import tavrocam_sim

    from tavrocam_sim import runner

    marker = request.node.get_closest_marker(MARK)
    made = tavrocam_sim.Simulation(_cameras(marker))
    if marker is not None and "scene" in marker.kwargs:
        for device in made.cameras:
            device.scene = marker.kwargs["scene"]
    else:
        runner.apply_scene(made)
    saved = Tavrocam.pylon
    Tavrocam.pylon = made.pylon
    try:
        yield made
    finally:
        Tavrocam.pylon = saved
        _close_all(made)


def _close_all(made):
    """Close every camera object a test left open; the first error of a
    Close is raised once all are closed."""
    error = None
    for device in made.cameras:
        opened = device.opened_by
        if opened is None:
            continue
        try:
            opened.Close()
        except Exception as exc:  # noqa: BLE001 (the first is raised below)
            error = error or exc
        finally:
            device.opened_by = None
    if error is not None:
        raise error


@pytest.fixture
def tavrocam_sim(simulation):
    """The ``simulation`` fixture under its former name."""
    return simulation
