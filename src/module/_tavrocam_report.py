"""The ``tavrocam-report`` command.

Without options it executes the Tavrocam module as the main program: it
connects to the camera at index 0, prints a short report of its settings and
closes it again. The exit status is 0 when the report read every setting and 1
when it did not. ``--index N`` reports on the camera at index N instead;
``--list`` shows the cameras the SDK can see and ``--version`` the installed
version, and neither opens a camera. ``--simulate`` runs either against
simulated acA2040-55uc cameras (the ``tavrocam_sim`` package) instead of
pypylon's transport layers.
"""

import argparse
import builtins
import contextlib
import importlib.util
import sys
import types

DISTRIBUTION = "tavrocam"
# How the report begins the line it prints when a setting could not be read.
ERROR_LINE = "執行出錯: "
MISSING_SDK = ("tavrocam-report: pypylon, Basler's Python SDK, is not installed; "
               "install it with: pip install pypylon")


def _version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown (not installed)"


def _index(text):
    if text.isascii() and text.isdigit():
        try:
            return int(text)
        except ValueError:  # more digits than int() converts (4,300 unless set otherwise)
            pass
    shown = repr(text) if len(text) <= 40 else f"{text[:20]!r}... ({len(text)} characters)"
    raise argparse.ArgumentTypeError(f"not a camera index (0, 1, 2, ...): {shown}")


# The most cameras a simulation has (tavrocam_sim.MAX_CAMERAS; not imported
# here, so that a bad value is a usage error even where tavrocam_sim is not).
MAX_SIMULATED = 64


def _count(text):
    if not (text.isascii() and text.isdigit()) or len(text) > 2 or int(text) > MAX_SIMULATED:
        shown = repr(text) if len(text) <= 40 else f"{text[:20]!r}... ({len(text)} characters)"
        raise argparse.ArgumentTypeError(
            f"not a number of cameras (0 to {MAX_SIMULATED}): {shown}")
    return int(text)


def _parser():
    parser = argparse.ArgumentParser(
        prog="tavrocam-report",
        description="Print the current settings of a camera (a Basler acA2040-55uc), "
                    "then close it. Exit status: 0 when every setting was read, 1 when "
                    "one was not.",
        epilog="Set PYLON_CAMEMU=1 to run against pylon's camera emulator.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--list", action="store_true",
                       help="list the cameras the SDK can see, with the index to pass as "
                            "device_index or --index, and exit; no camera is opened")
    which.add_argument("--index", type=_index, default=0, metavar="N",
                       help="report on the camera at index N of that list (default: 0)")
    parser.add_argument("--simulate", type=_count, nargs="?", const=1, default=None, metavar="N",
                        help="use N simulated acA2040-55uc cameras (default 1) instead of "
                             "the cameras pylon finds")
    return parser


def _list_cameras(pylon):
    try:
        if pylon is None:
            from pypylon import pylon

        devices = pylon.TlFactory.GetInstance().EnumerateDevices()
        lines = [f"{index}: {info.GetModelName()} (serial {info.GetSerialNumber()})"
                 for index, info in enumerate(devices)]
    except Exception as exc:  # the SDK's own failure, shown as it is
        text = " ".join(str(exc).split()) or type(exc).__name__
        print(f"tavrocam-report: cannot enumerate cameras: {text}", file=sys.stderr)
        return 1
    print("\n".join(lines) if lines else "No camera found.")
    return 0


class _View:
    """Forwards attribute look-ups to ``target``; ``start`` is the index of
    the camera the report is to connect to."""

    def __init__(self, target, start):
        self._target, self._start = target, start

    def __getattr__(self, name):
        return getattr(self._target, name)


class _Pylon(_View):
    @property
    def TlFactory(self):
        return _TlFactory(self._target.TlFactory, self._start)


class _TlFactory(_View):
    def GetInstance(self):
        return _Factory(self._target.GetInstance(), self._start)


class _Factory(_View):
    def EnumerateDevices(self):
        found = self._target.EnumerateDevices()
        _seen.append(len(found))
        return _Devices(found, self._start)


# How many cameras each enumeration of the report found (its SDK calls unchanged).
_seen = []


class _Devices(_View):
    def __bool__(self):
        return bool(self._target)

    def __getitem__(self, index):
        return self._target[self._start + index]


@contextlib.contextmanager
def _sdk_from(start, pylon=None):
    """While it lasts, pypylon as the report sees it when it is to connect to
    the camera at ``start``: its ``pylon`` is the SDK's own (or ``pylon``,
    when given) except that the factory's enumeration begins at that camera.
    The report asks for devices[0] and so gets devices[start], with the SDK's
    calls in their usual order; an index past the end fails as
    CLASS_Tavrocam(device_index=start) does. The count of each enumeration
    is kept in ``_seen``."""
    if pylon is None:
        from pypylon import pylon

    package = types.ModuleType("pypylon")
    package.pylon = _Pylon(pylon, start)
    sdk, sys.modules["pypylon"] = sys.modules["pypylon"], package
    try:
        yield
    finally:
        sys.modules["pypylon"] = sdk


def _run_report(index, pylon):
    """Execute the module as the main program; 1 when the report printed its
    error line, that is when it did not read all its settings."""
    found = importlib.util.find_spec("Tavrocam")
    if found is None:
        print("tavrocam-report: the Tavrocam module is not installed", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(found)
    module.__name__ = "__main__"
    failed = closed = False

    def print_(*args, **kwargs):
        nonlocal failed, closed
        if args and isinstance(args[0], str) and args[0].startswith(ERROR_LINE):
            failed = True
        if closed:
            return
        try:
            builtins.print(*args, **kwargs)
        except BrokenPipeError:
            # The reader is gone: the report goes on unseen, and closes the camera.
            closed = True
            _quiet_stdout()

    # The module prints with the builtins of its namespace, as a script does.
    module.__builtins__ = dict(vars(builtins), print=print_)
    del _seen[:]
    with _sdk_from(index, pylon):
        found.loader.exec_module(module)
    if closed:
        raise BrokenPipeError
    if _seen and not _seen[0]:
        print("tavrocam-report: no camera found (the SDK sees 0 cameras)", file=sys.stderr)
        return 1
    return 1 if failed else 0


def _quiet_stdout():
    """Standard output to the null device, so that nothing more, the flush at
    exit included, writes to a pipe whose reader is gone."""
    import os

    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)


def _cameras(count):
    if count == 1:
        return "there is 1 camera (index 0)"
    return f"there are {count} cameras (indexes 0 to {count - 1})"


def _report(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if importlib.util.find_spec("pypylon") is None:
        print(MISSING_SDK, file=sys.stderr)
        return 1
    pylon = None
    if args.simulate is not None:
        import tavrocam_sim

        pylon = tavrocam_sim.Simulation(cameras=args.simulate).pylon
    if args.list:
        return _list_cameras(pylon)
    if args.index:
        count = _count_cameras(pylon)
        if count:  # none at all: the report says so, then this command
            if args.index >= count:
                parser.error(f"argument --index: no camera at index {args.index}: "
                             f"{_cameras(count)}")
    return _run_report(args.index, pylon)


def _count_cameras(pylon):
    """How many cameras the SDK finds; None when it cannot enumerate (the
    report then meets the failure itself)."""
    try:
        if pylon is None:
            from pypylon import pylon

        return len(pylon.TlFactory.GetInstance().EnumerateDevices())
    except Exception:  # noqa: BLE001 (reported by the report's own enumeration)
        return None


def main(argv=None):
    """The command; its exit status. Output cut short by a closed pipe ends
    quietly with status 1, as Python's documentation recommends."""
    try:
        status = _report(argv)
        sys.stdout.flush()
    except BrokenPipeError:
        _quiet_stdout()
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
