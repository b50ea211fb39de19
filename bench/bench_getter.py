"""Time of a feature-group getter and setter on the emulated camera, against
the same work in Python.

    PYLON_CAMEMU=1 .venv/bin/python bench/bench_getter.py

Per call (minimum over several interleaved repeats): the module's
``api.ImageFormat.CUF_GET_Width()``, the SDK call ``cam.Width.GetValue()``
made directly, the same chain written inline (``grp._cam.Width.GetValue()``),
and the pure-Python class of bench_callgrind.py doing the same; then the same
four for ``CUF_SET_Width`` with the current value. The wrapper's own cost, on
a camera that costs next to nothing, is what bench_callgrind.py counts.
"""

import os
import sys
import timeit

os.environ.setdefault("PYLON_CAMEMU", "1")

import Tavrocam  # noqa: E402
from bench_callgrind import python_classes  # noqa: E402

REPEATS = 5
NUMBER = 20_000

# label: statement, with the measured object first and the module's call first
CASES = {
    "getter": {
        "module   api.ImageFormat.CUF_GET_Width()": "grp.CUF_GET_Width()",
        "direct   cam.Width.GetValue()": "cam.Width.GetValue()",
        "inline   grp._cam.Width.GetValue()": "grp._cam.Width.GetValue()",
        "python   PyFeature.CUF_GET_Width()": "py.CUF_GET_Width()",
    },
    "setter": {
        "module   api.ImageFormat.CUF_SET_Width(w)": "grp.CUF_SET_Width(w)",
        "direct   cam.Width.SetValue(w)": "cam.Width.SetValue(w)",
        "inline   grp._cam.Width.SetValue(w)": "grp._cam.Width.SetValue(w)",
        "python   PyFeature.CUF_SET_Width(w)": "py.CUF_SET_Width(w)",
    },
}


def measure(statements, ns):
    """Seconds per call of each statement, the best of REPEATS interleaved runs."""
    timers = {label: timeit.Timer(stmt, globals=ns) for label, stmt in statements.items()}
    best = dict.fromkeys(statements, float("inf"))
    for _ in range(REPEATS):
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(NUMBER) / NUMBER)
    return best


def main():
    api = Tavrocam.CLASS_Tavrocam()
    if not hasattr(api, "cam") or not api.cam.IsOpen():
        print("no camera: run with PYLON_CAMEMU=1", file=sys.stderr)
        return 1
    try:
        grp = api.ImageFormat
        ns = {"grp": grp, "cam": api.cam, "py": python_classes(Tavrocam.pylon)(api.cam),
              "w": grp.CUF_GET_Width()}
        print(f"Python {sys.version.split()[0]}, {REPEATS} repeats of {NUMBER} calls, "
              "best per call")
        for kind, statements in CASES.items():
            best = measure(statements, ns)
            print(f"\n{kind} on the emulated camera")
            width = max(map(len, best))
            for label, seconds in best.items():
                print(f"  {label:<{width}}  {seconds * 1e6:7.3f} us/call")
            module, *others = best.values()
            for other, name in zip(others, ("direct call", "inline chain", "pure-Python class")):
                print(f"  module / {name:<18}: {module / other:.3f}")
    finally:
        api.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
