"""The ``tavrocam-report`` command.

Without options it executes the Tavrocam module as the main program: it
connects to the camera at index 0, prints a short report of its settings and
closes it again. ``--list`` shows the cameras the SDK can see and
``--version`` the installed version; neither opens a camera.
"""

import argparse
import importlib.util
import sys

DISTRIBUTION = "tavrocam"


def _version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(DISTRIBUTION)
    except PackageNotFoundError:
        return "unknown (not installed)"


def _parser():
    parser = argparse.ArgumentParser(
        prog="tavrocam-report",
        description="Print the current settings of the camera at index 0 "
                    "(a Basler acA2040-55uc), then close it.",
        epilog="Set PYLON_CAMEMU=1 to run against pylon's camera emulator.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("--list", action="store_true",
                        help="list the cameras the SDK can see, with the index to pass as "
                             "device_index, and exit; no camera is opened")
    return parser


def _list_cameras():
    try:
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


def _run_report():
    found = importlib.util.find_spec("Tavrocam")
    if found is None:
        print("tavrocam-report: the Tavrocam module is not installed", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(found)
    module.__name__ = "__main__"
    found.loader.exec_module(module)
    return 0


def main(argv=None):
    args = _parser().parse_args(argv)
    if args.list:
        return _list_cameras()
    return _run_report()


if __name__ == "__main__":
    sys.exit(main())
