"""Cost of a feature-group getter and setter, against the same work in Python.

Run on one emulated camera:

    PYLON_CAMEMU=1 .venv/bin/python bench/bench_getter.py

Times, per call (minimum over several interleaved repeats):

* on the emulated camera: ``api.ImageFormat.CUF_GET_Width()`` through the
  module, the SDK call ``cam.Width.GetValue()`` made directly, the same chain
  written inline (``grp._cam.Width.GetValue()``), and a pure-Python class whose
  method does the same; and the same four for ``CUF_SET_Width`` with the
  current value;
* on a trivial fake camera (plain Python objects, no SDK), where the node call
  costs next to nothing, so the wrapper's own overhead shows against the
  inline chain and the pure-Python method.
"""

import os
import sys
import timeit

os.environ.setdefault("PYLON_CAMEMU", "1")

import Tavrocam  # noqa: E402

REPEATS = 5
SDK_NUMBER = 20_000
FAKE_NUMBER = 500_000


class PyImageFormat:
    """The getter and setter written in Python."""

    def __init__(self, cam):
        self._cam = cam

    def CUF_GET_Width(self):
        return self._cam.Width.GetValue()

    def CUF_SET_Width(self, val):
        self._cam.Width.SetValue(val)


class FakeNode:
    def __init__(self, value):
        self.value = value

    def GetValue(self):
        return self.value

    def SetValue(self, value):
        self.value = value


class FakeCamera:
    def __init__(self):
        self.Width = FakeNode(1024)


def measure(cases, number):
    """cases: {label: (stmt, namespace)}. Returns {label: seconds per call}."""
    timers = {
        label: timeit.Timer(
            stmt,
            setup="; ".join(f"{k} = ns[{k!r}]" for k in ns) or "pass",
            globals={"ns": ns},
        )
        for label, (stmt, ns) in cases.items()
    }
    best = {label: float("inf") for label in cases}
    for _ in range(REPEATS):
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(number) / number)
    return best


def show(title, best, unit, scale):
    print(f"\n{title}")
    width = max(map(len, best))
    for label, t in best.items():
        print(f"  {label:<{width}}  {t * scale:9.3f} {unit}/call")


def ratios(best, module, direct, inline, python):
    m = best[module]
    print(f"  module / direct call      : {m / best[direct]:.3f}")
    print(f"  module / inline chain     : {m / best[inline]:.3f}")
    print(f"  module / pure-Python class: {m / best[python]:.3f}")


def main():
    api = Tavrocam.CLASS_Tavrocam()
    if not hasattr(api, "cam") or not api.cam.IsOpen():
        print("no camera: run with PYLON_CAMEMU=1", file=sys.stderr)
        return 1
    try:
        from pypylon import pylon

        cam = api.cam
        grp = api.ImageFormat
        py = PyImageFormat(cam)
        w = grp.CUF_GET_Width()
        ns = {"grp": grp, "cam": cam, "py": py, "w": w}
        print(f"pypylon {pylon.__version__}, Python {sys.version.split()[0]}, "
              f"{REPEATS} repeats, min per call")

        get = measure({
            "module   api.ImageFormat.CUF_GET_Width()": ("grp.CUF_GET_Width()", ns),
            "direct   cam.Width.GetValue()": ("cam.Width.GetValue()", ns),
            "inline   grp._cam.Width.GetValue()": ("grp._cam.Width.GetValue()", ns),
            "python   PyImageFormat.CUF_GET_Width()": ("py.CUF_GET_Width()", ns),
        }, SDK_NUMBER)
        show(f"Getter on the emulated camera ({SDK_NUMBER} calls per repeat)", get, "us", 1e6)
        ratios(get, *get)

        put = measure({
            "module   api.ImageFormat.CUF_SET_Width(w)": ("grp.CUF_SET_Width(w)", ns),
            "direct   cam.Width.SetValue(w)": ("cam.Width.SetValue(w)", ns),
            "inline   grp._cam.Width.SetValue(w)": ("grp._cam.Width.SetValue(w)", ns),
            "python   PyImageFormat.CUF_SET_Width(w)": ("py.CUF_SET_Width(w)", ns),
        }, SDK_NUMBER)
        show(f"Setter on the emulated camera ({SDK_NUMBER} calls per repeat)", put, "us", 1e6)
        ratios(put, *put)
        assert grp.CUF_GET_Width() == w
    finally:
        api.close()

    fake = FakeCamera()
    fgrp = Tavrocam.CLASS_Tavrocam.ImageFormatControl(fake)
    fns = {"grp": fgrp, "cam": fake, "py": PyImageFormat(fake), "w": 1024}
    fget = measure({
        "module   CUF_GET_Width()": ("grp.CUF_GET_Width()", fns),
        "direct   cam.Width.GetValue()": ("cam.Width.GetValue()", fns),
        "inline   grp._cam.Width.GetValue()": ("grp._cam.Width.GetValue()", fns),
        "python   PyImageFormat.CUF_GET_Width()": ("py.CUF_GET_Width()", fns),
    }, FAKE_NUMBER)
    show(f"Getter on a fake camera of plain Python objects ({FAKE_NUMBER} calls per repeat)",
         fget, "ns", 1e9)
    ratios(fget, *fget)
    m, i = fget["module   CUF_GET_Width()"], fget["inline   grp._cam.Width.GetValue()"]
    print(f"  wrapper overhead over the inline chain: {(m - i) * 1e9:+.1f} ns/call")

    fset = measure({
        "module   CUF_SET_Width(w)": ("grp.CUF_SET_Width(w)", fns),
        "direct   cam.Width.SetValue(w)": ("cam.Width.SetValue(w)", fns),
        "inline   grp._cam.Width.SetValue(w)": ("grp._cam.Width.SetValue(w)", fns),
        "python   PyImageFormat.CUF_SET_Width(w)": ("py.CUF_SET_Width(w)", fns),
    }, FAKE_NUMBER)
    show(f"Setter on a fake camera of plain Python objects ({FAKE_NUMBER} calls per repeat)",
         fset, "ns", 1e9)
    ratios(fset, *fset)
    return 0


if __name__ == "__main__":
    sys.exit(main())
