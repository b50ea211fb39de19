"""pytest fixtures for code that drives an acA2040-55uc, through Tavrocam or
plain pypylon, on simulated cameras: each test its own.

Opt in with ``-p tavrocam_sim.pytest_plugin`` or, in a conftest.py,
``pytest_plugins = ["tavrocam_sim.pytest_plugin"]``.

The ``simulation`` fixture gives a test a fresh ``tavrocam_sim.Simulation``:
bound as ``Tavrocam.pylon``, found by ``pypylon.pylon`` (in the test and in
the code it calls, also in modules that imported ``pylon``, or cached
``TlFactory.GetInstance()``, when they were imported) and returned by
``tavrocam_sim.simulation()``. Afterwards the cameras the test left open are
closed and everything is put back::

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

``--tavrocam-sim=N`` (or ``TAVROCAM_SIM=N`` in the environment) gives every
test a simulation of N cameras, fresh for each test, so that a camera one
test unplugs or breaks is whole again in the next;
``--tavrocam-sim-scope=session`` keeps one set of N cameras for the whole
session instead. Outside a test (collection, session fixtures) ``pypylon.pylon``
finds the session's N cameras; without the option, pypylon's own.
"""

import importlib
import os

import pytest

from . import runner
from .simulator import Simulation

MARK = "tavrocam_sim"
FIXTURE = "simulation"
SCOPES = ("test", "session")

# The plugin's command-line options: (flag, dest, keyword arguments). A new
# option is one more row here and one more read in _Settings.
OPTIONS = (
    ("--tavrocam-sim", "tavrocam_sim",
     {"metavar": "N", "default": None,
      "help": "run every test on N simulated acA2040-55uc cameras, fresh for each test: "
              "pypylon.pylon finds them (as TAVROCAM_SIM=N does)"}),
    ("--tavrocam-sim-scene", "tavrocam_sim_scene",
     {"metavar": "PATH", "default": None,
      "help": "what the simulated cameras look at: an image file, or a folder of images "
              "played one per frame (as TAVROCAM_SIM_SCENE=PATH does)"}),
    ("--tavrocam-sim-scope", "tavrocam_sim_scope",
     {"choices": SCOPES, "default": "test",
      "help": "with --tavrocam-sim/TAVROCAM_SIM: 'test' (default) gives each test its own "
              "cameras, 'session' one set for the whole session"}),
)


def pytest_addoption(parser):
    group = parser.getgroup("tavrocam_sim", "simulated acA2040-55uc cameras")
    for flag, dest, kwargs in OPTIONS:
        group.addoption(flag, dest=dest, **kwargs)


class _Settings:
    """What the command line and the environment asked for."""

    def __init__(self, options):
        text = getattr(options, "tavrocam_sim", None)
        self.flag = "--tavrocam-sim" if text is not None else runner.ENVIRONMENT
        if text is None:
            text = os.environ.get(runner.ENVIRONMENT) or None
        try:
            self.cameras = None if text is None else runner.cameras_from(text)
        except ValueError as exc:
            raise pytest.UsageError(f"{self.flag}: {exc}") from None
        self.scope = getattr(options, "tavrocam_sim_scope", None) or SCOPES[0]


def _install(options):
    settings = _Settings(options)
    _scene(getattr(options, "tavrocam_sim_scene", None))
    if settings.cameras is not None:
        os.environ[runner.ENVIRONMENT] = str(settings.cameras)  # subprocesses simulate too
    try:
        runner.install_per_test(settings.cameras)
    except RuntimeError as exc:  # TAVROCAM_SIM gave another count already
        raise pytest.UsageError(f"{settings.flag}={settings.cameras}: {exc}") from None
    return settings


def _scene(path):
    """Check ``--tavrocam-sim-scene`` and hand it on as TAVROCAM_SIM_SCENE."""
    if path is None:
        return
    from . import scenes

    try:
        scenes.from_path(path)
    except (OSError, ValueError, TypeError) as exc:
        raise pytest.UsageError(f"--tavrocam-sim-scene: {exc}") from None
    os.environ[runner.SCENE_ENVIRONMENT] = os.path.abspath(path)


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config, parser, args):
    # Before any conftest.py or test module can import pypylon.
    early_config._tavrocam_sim = _install(early_config.known_args_namespace)


def pytest_configure(config):
    # The plugin named in a conftest.py's pytest_plugins comes later: what
    # imported pypylon's pylon before keeps it.
    if getattr(config, "_tavrocam_sim", None) is None:
        config._tavrocam_sim = _install(config.option)
    config.addinivalue_line(
        "markers", f"{MARK}(cameras=1): how many simulated cameras the {FIXTURE} fixture "
                   f"makes, as {MARK}(2) or {MARK}(cameras=2), and scene=... the scene they "
                   f"look at; implies the fixture")


def pytest_report_header(config):
    settings = getattr(config, "_tavrocam_sim", None)
    if settings is None or settings.cameras is None:
        return None
    each = "each test its own" if settings.scope == "test" else "one set for the session"
    return (f"tavrocam_sim: pypylon.pylon finds {settings.cameras} simulated acA2040-55uc "
            f"camera(s), {each}")


@pytest.fixture(autouse=True)
def _tavrocam_sim_each_test(request):
    # The fixture for every test that is marked or runs with --tavrocam-sim per test.
    settings = getattr(request.config, "_tavrocam_sim", None)
    marked = request.node.get_closest_marker(MARK) is not None
    if marked or (settings is not None and settings.cameras is not None
                  and settings.scope == "test"):
        request.getfixturevalue(FIXTURE)


def _cameras(marker, default):
    if marker is None:
        return default
    args, kwargs = marker.args, dict(marker.kwargs)
    kwargs.pop("scene", None)
    if len(args) + len(kwargs) == 1 and (len(args) == 1 or "cameras" in kwargs):
        return args[0] if args else kwargs["cameras"]
    if not args and not kwargs:
        return default
    given = ", ".join([repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()])
    pytest.fail(f"@pytest.mark.{MARK}({given}): give one count of cameras, as "
                f"@pytest.mark.{MARK}(2) or @pytest.mark.{MARK}(cameras=2)", pytrace=False)


@pytest.fixture
def simulation(request):
    """A fresh ``tavrocam_sim.Simulation`` for the test: bound as
    ``Tavrocam.pylon``, found by ``pypylon.pylon``, returned by
    ``tavrocam_sim.simulation()``."""
    importlib.import_module(runner.TARGET)  # the process's SDK in place
    settings = getattr(request.config, "_tavrocam_sim", None)
    default = 1 if settings is None or settings.cameras is None else settings.cameras
    marker = request.node.get_closest_marker(MARK)
    made = Simulation(_cameras(marker, default))
    if marker is not None and "scene" in marker.kwargs:
        for device in made.cameras:
            device.scene = marker.kwargs["scene"]
    else:
        runner.apply_scene(made)
    tavrocam = importlib.import_module("Tavrocam")
    saved = tavrocam.pylon
    tavrocam.pylon = made.pylon
    before = runner.use(made)
    try:
        yield made
    finally:
        tavrocam.pylon = saved
        runner.use(before)
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
