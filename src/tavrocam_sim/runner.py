"""Running a pypylon program, unchanged, on simulated acA2040-55uc cameras.

Two ways, as pylon's emulator has ``PYLON_CAMEMU=N``:

- the command ``python -m tavrocam_sim [--cameras N] [--scene PATH] program.py args...``
  (or ``-m module args...``; installed as ``tavrocam-sim``) runs the program
  as ``__main__``;
- the environment variable ``TAVROCAM_SIM=N`` does the same for any Python
  process the package is installed for: the ``tavrocam_sim.pth`` file it
  installs calls ``install_from_environment`` at start-up (and does nothing
  else when the variable is unset).

``TAVROCAM_SIM_SCENE=PATH`` (or ``--scene PATH``) sets every simulated camera's
scene: an image file, or a folder of images played one per frame.

Either way an import hook makes ``pypylon.pylon`` the SDK of one simulation
of N cameras, the process's (``tavrocam_sim.simulation()``), made when the
program first imports it: ``import pypylon.pylon``, ``from pypylon import
pylon`` and ``pypylon.pylon`` all give it. pypylon itself is not imported
before the program imports it; ``pypylon.genicam`` and every name of pylon's
not about finding and driving cameras stay pypylon's. The simulator's own
modules take pypylon's pylon from tavrocam_sim.pypylon_sdk, which finds it
behind the simulated SDK when imported after the swap; they are all
imported before it all the same.
"""

from __future__ import annotations

import os
import sys
import types

ENVIRONMENT = "TAVROCAM_SIM"
SCENE_ENVIRONMENT = "TAVROCAM_SIM_SCENE"
TARGET = "pypylon.pylon"
USAGE = "%(prog)s [-h] [--cameras N] [--scene PATH] (program.py | -m module) [args ...]"
# Modules of the package that run it rather than make it up.
_ENTRY_POINTS = ("__main__", "runner", "pytest_plugin")
_PREFIX = __package__ + "."


def cameras_from(text: str) -> int:
    """The number of cameras ``text`` gives; ValueError naming the range."""
    from .simulator import MAX_CAMERAS

    digits = isinstance(text, str) and text.isascii() and text.isdigit()
    count = int(text) if digits else None
    if count is None or count > MAX_CAMERAS:
        raise ValueError(f"the number of cameras must be a whole number from 0 to "
                         f"{MAX_CAMERAS}, not {text!r}")
    return count


class _State:
    cameras: int | None = None   # installed with this many cameras
    simulation = None            # the process's Simulation, once made
    per_test = False             # pypylon.pylon is a CurrentSdk (the pytest plugin)
    sdk = None                   # what pypylon.pylon is, once swapped
    pending = False              # pypylon's pylon is loaded, the swap waits
    making = False
    warned = False               # a bad TAVROCAM_SIM reported (a venv runs .pth files twice)


_state = _State()


class _Finder:
    """A meta-path finder for ``pypylon.pylon`` alone: it lets the finders
    after it find pypylon's module, and hands its loader one that swaps the
    simulated SDK in once pypylon's module has run."""

    def find_spec(self, name, path, target=None):
        if _state.pending:  # a swap that waited for the simulator's own import
            settle()
        if name != TARGET and not name.startswith(_PREFIX):
            return None
        for finder in sys.meta_path:
            if finder is self or isinstance(finder, _Finder):
                continue
            find = getattr(finder, "find_spec", None)
            found = find(name, path, target) if find is not None else None
            if found is not None:
                if found.loader is not None and hasattr(found.loader, "exec_module"):
                    found.loader = _Loader(found.loader, name == TARGET)
                return found
        return None

    def __repr__(self):
        return f"<tavrocam_sim import hook for {TARGET}>"


class _Loader:
    """Runs the module's own loader, then the swap: at once for pypylon's
    pylon, and after each of the simulator's modules if one waits for the
    simulator's own import to finish."""

    def __init__(self, loader, target: bool):
        self.loader = loader
        self.target = target

    def __getattr__(self, name):   # the loader's other parts (sources, resources)
        return getattr(self.loader, name)

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        self.loader.exec_module(module)   # the module, complete
        if self.target:
            _state.pending = True
        if _state.pending:
            settle(module.__name__)


def _initialising(done: str) -> bool:
    """Whether a module of the simulator other than ``done`` (run to its end)
    is half imported (the simulator itself imported pypylon: the swap waits
    for the import to finish)."""
    for name, module in list(sys.modules.items()):
        spec = getattr(module, "__spec__", None)
        if name != done and name.startswith(_PREFIX) and getattr(spec, "_initializing", False):
            return True
    return False


def settle(done: str = "") -> None:
    """Swap the simulated SDK in for pypylon's pylon if it is due and the
    simulator is fully imported (``done``: a module whose code has run to its
    end, its import about to finish)."""
    if not _state.pending or _state.making or _initialising(done):
        return
    _state.making = True
    try:
        import importlib
        import pkgutil

        package = sys.modules[__package__]
        for info in pkgutil.iter_modules(package.__path__):
            if info.name not in _ENTRY_POINTS:
                importlib.import_module(f"{__package__}.{info.name}")
        if _state.cameras is not None and _state.simulation is None:
            _make(_state.cameras)
        _state.pending = False
        _state.sdk = CurrentSdk() if _state.per_test else _state.simulation.pylon
        _swap(_state.sdk)
    except Exception as exc:
        # Never pypylon's own SDK in place of the simulated cameras asked for.
        raise ImportError(f"{TARGET}: the simulated cameras asked for cannot be made: "
                          f"{type(exc).__name__}: {exc}", name=TARGET) from exc
    finally:
        _state.making = False


def _swap(sdk) -> None:
    sys.modules[TARGET] = sdk
    parent = sys.modules.get("pypylon")
    if parent is not None:
        parent.pylon = sdk


def _recount(cameras: int) -> None:
    """Simulate ``cameras`` cameras instead of the count installed (the
    command's ``--cameras`` over ``TAVROCAM_SIM``), before the program runs."""
    _state.cameras = cameras
    if _state.simulation is not None:
        _make(cameras)
        if not _state.per_test:
            _state.sdk = _state.simulation.pylon
            _swap(_state.sdk)


def install(cameras: int) -> None:
    """Make ``pypylon.pylon`` the SDK of a simulation of ``cameras`` cameras
    in this process, from its first import on (at once when pypylon's pylon
    is already imported). Installing again with another count is refused."""
    if isinstance(cameras, bool) or not isinstance(cameras, int):
        raise TypeError(f"cameras must be an int, not {type(cameras).__name__}")
    cameras_from(str(cameras))
    if _state.cameras is not None:
        if _state.cameras != cameras:
            raise RuntimeError(f"this process already simulates {_state.cameras} camera(s)")
        return
    _state.cameras = cameras
    _hook()


def _hook() -> None:
    if any(isinstance(finder, _Finder) for finder in sys.meta_path):
        return
    sys.meta_path.insert(0, _Finder())
    loaded = sys.modules.get(TARGET)
    if loaded is not None:   # imported before: swap now
        _state.pending = True
        settle()


def install_from_environment() -> None:
    """Install the hook when ``TAVROCAM_SIM`` is set (the .pth file's call).
    A value that is no count is reported on standard error and ignored."""
    text = os.environ.get(ENVIRONMENT)
    if not text:  # unset or empty
        return
    try:
        install(cameras_from(text))
    except ValueError as exc:
        if not _state.warned:
            _state.warned = True
            print(f"tavrocam_sim: {ENVIRONMENT}={text!r} ignored: {exc}", file=sys.stderr)


def apply_scene(simulation) -> None:
    """Give every camera of ``simulation`` the scene ``TAVROCAM_SIM_SCENE``
    names, if set; a path that is no scene is reported on standard error and
    the cameras keep the chart."""
    path = os.environ.get(SCENE_ENVIRONMENT)
    if not path:
        return
    from . import scenes

    try:
        scene = scenes.from_path(path)
    except (OSError, ValueError, TypeError) as exc:
        print(f"tavrocam_sim: {SCENE_ENVIRONMENT}={path!r} ignored: {exc}", file=sys.stderr)
        return
    for device in simulation.cameras:
        device.scene = scene


def simulation():
    """The process's Simulation (the one ``pypylon.pylon`` finds cameras in),
    made now if the program has not imported pypylon yet; None when the
    process does not run on simulated cameras."""
    if _state.cameras is None:
        return _state.simulation
    if _state.simulation is None:
        import importlib

        importlib.import_module(TARGET)
        settle()
    return _state.simulation


# --- one SDK for the whole process, each test's cameras behind it
def install_per_test(cameras: int | None) -> None:
    """Make ``pypylon.pylon`` a CurrentSdk (the pytest plugin): the SDK of
    whatever simulation is current (``use``), else of a process simulation of
    ``cameras`` cameras, else pypylon's own (``cameras`` None)."""
    if _state.cameras is not None and cameras is not None and _state.cameras != cameras:
        raise RuntimeError(f"this process already simulates {_state.cameras} camera(s)")
    _state.per_test = True
    if cameras is not None:
        _state.cameras = cameras
    _hook()
    if _state.sdk is not None and not isinstance(_state.sdk, CurrentSdk):
        _state.sdk = CurrentSdk()  # what imported pypylon.pylon before keeps its SDK
        _swap(_state.sdk)
    elif sys.modules.get(TARGET) is not None and _state.sdk is None:  # imported before
        _state.pending = True
        settle()


def use(simulation) -> object:
    """Make ``simulation`` the one ``pypylon.pylon`` reaches (and
    ``tavrocam_sim.simulation()`` returns), the run's from now on: its cameras
    the ones the run's processes share (tavrocam_sim.sharing). Returns the
    one it replaces."""
    before, _state.simulation = _state.simulation, simulation
    for made, shared in ((before, False), (simulation, True)):
        for device in made.cameras if made is not None else ():
            device.shared = shared
    return before


def _make(cameras: int) -> None:
    """A simulation of ``cameras`` cameras, with the scene asked for, the run's."""
    from .simulator import Simulation

    simulation = Simulation(cameras)
    apply_scene(simulation)
    use(simulation)


class _ForwardingFactory:
    """The one ``TlFactory.GetInstance()`` of a CurrentSdk: each call goes to
    the factory of the SDK current at the moment of the call, so a factory
    cached at import time finds the current test's cameras."""

    def __getattr__(self, name):
        return getattr(_current().TlFactory.GetInstance(), name)

    def __repr__(self):
        return f"<TlFactory of the current SDK: {_current().TlFactory.GetInstance()!r}>"


_FACTORY = _ForwardingFactory()


class _ForwardingTlFactory:
    """``pylon.TlFactory`` of a CurrentSdk."""

    @staticmethod
    def GetInstance():
        return _FACTORY


def _current():
    if _state.simulation is not None:
        return _state.simulation.pylon
    from .pypylon_sdk import pylon

    return pylon


class CurrentSdk(types.ModuleType):
    """``pypylon.pylon`` under the pytest plugin: one module object for the
    whole process whose every name is looked up, at each use, in the SDK of
    the current simulation (a test's own; pypylon's own SDK when there is
    none), so that a module that imported ``pylon`` once reaches each test's
    cameras."""

    def __init__(self):
        super().__init__(TARGET, "pypylon's pylon, with the current test's simulated cameras")
        from .pypylon_sdk import pylon

        self.__dict__["__pypylon_pylon__"] = pylon
        self.TlFactory = _ForwardingTlFactory

    def __getattr__(self, name):
        if name.startswith("__") or name in ("this", "thisown"):
            raise AttributeError(name)
        return getattr(_current(), name)

    def __dir__(self):
        return sorted(set(dir(_current())) | set(vars(self)))

    def __repr__(self):
        return f"<module {TARGET!r}: the current SDK, {_current()!r}>"


# --- the command
def _parser():
    import argparse

    parser = argparse.ArgumentParser(
        prog=_prog(), usage=USAGE,
        description="Run a pypylon program unchanged, with simulated Basler acA2040-55uc "
                    "cameras in place of pylon's.",
        epilog=f"Setting {ENVIRONMENT}=N in the environment does the same for any Python "
               "process (subprocesses of the program included).")
    parser.add_argument("--cameras", metavar="N",
                        help=f"how many simulated cameras (0 to 64; default ${ENVIRONMENT}, else 1)")
    parser.add_argument("--scene", metavar="PATH",
                        help=f"what the cameras look at: an image file, or a folder of images "
                             f"played one per frame (default ${SCENE_ENVIRONMENT}, else the chart)")
    parser.add_argument("-m", dest="module", metavar="module", help="run a module as a program")
    parser.add_argument("program", nargs="?", help="the program's file")
    parser.add_argument("args", nargs="*", help="the program's arguments")
    return parser


def _prog():
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m tavrocam_sim" if name in ("__main__.py", "") else name


def _split(argv):
    """(parser, options, module, program, args) as python's own command line
    splits them: options (a dict of --cameras and --scene) end at the program
    (or -m module); the rest is the program's."""
    parser = _parser()
    options = {"cameras": None, "scene": None}
    module = None
    index = 0
    while index < len(argv):
        arg = argv[index]
        if arg in ("-h", "--help"):
            parser.print_help()
            raise SystemExit(0)
        if arg == "--":
            index += 1
            break
        name = arg.partition("=")[0][2:] if arg.startswith("--") else None
        if name in options:
            if "=" in arg:
                options[name] = arg.partition("=")[2]
            elif index + 1 < len(argv):
                index += 1
                options[name] = argv[index]
            else:
                parser.error(f"argument --{name}: expected one argument")
        elif arg == "-m" or (arg.startswith("-m") and len(arg) > 2):
            module = arg[2:]
            if not module:
                if index + 1 >= len(argv):
                    parser.error("argument -m: expected one argument")
                index += 1
                module = argv[index]
            return parser, options, module, None, argv[index + 1:]
        elif arg.startswith("-") and arg != "-":
            parser.error(f"unrecognized arguments: {arg}")
        else:
            break
        index += 1
    if index >= len(argv):
        parser.error("a program (program.py, or -m module) is required")
    return parser, options, None, argv[index], argv[index + 1:]


def main(argv=None) -> int:
    """The command: run the program given on simulated cameras. Usage errors
    exit with status 2, as python's own do."""
    import runpy

    argv = sys.argv[1:] if argv is None else list(argv)
    parser, options, module, program, args = _split(argv)
    cameras, scene = options["cameras"], options["scene"]
    text = cameras if cameras is not None else os.environ.get(ENVIRONMENT) or "1"
    try:
        count = cameras_from(text)
    except ValueError as exc:
        where = "argument --cameras" if cameras is not None else f"${ENVIRONMENT}"
        parser.error(f"{where}: {exc}")
    if program is not None and not os.path.exists(program):
        print(f"{parser.prog}: can't open file {os.path.abspath(program)!r}: "
              "[Errno 2] No such file or directory", file=sys.stderr)
        return 2
    if scene is not None:
        from . import scenes

        try:
            scenes.from_path(scene)
        except (OSError, ValueError, TypeError) as exc:
            parser.error(f"argument --scene: {exc}")
        os.environ[SCENE_ENVIRONMENT] = os.path.abspath(scene)
    os.environ[ENVIRONMENT] = str(count)  # the program's subprocesses simulate too
    if _state.cameras is not None and _state.cameras != count:
        _recount(count)  # --cameras wins over the variable the process started with
    elif scene is not None and _state.simulation is not None:
        apply_scene(_state.simulation)  # made at start-up, before --scene was read
    install(count)
    if module is not None:
        sys.argv = [module, *args]
        sys.path[0] = os.getcwd()
        runpy.run_module(module, run_name="__main__", alter_sys=True)
    else:
        sys.argv = [program, *args]
        sys.path[0] = os.path.dirname(os.path.abspath(program))
        runpy.run_path(program, run_name="__main__")
    return 0
