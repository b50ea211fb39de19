"""The simulated acA2040-55uc against pylon's emulated camera, in one run.

    .venv/bin/python bench/bench_sim.py

Per call (best of several interleaved repeats), on each camera: a node read
and a node write made directly (``cam.Width.GetValue()``, ``SetValue``) and
through the module (``CUF_GET_Width``, ``CUF_SET_Width``, ``CUF_GET_Gain``,
``CUF_SET_ExposureTime``, ``CUF_GET_BalanceRatioAll`` where the emulator has
the node), and the ratio simulated / emulated. Then the time to import
``tavrocam_sim`` in a fresh interpreter (with and without pypylon already
imported) and to make a simulation and open its camera. Last, on each camera
in software-trigger mode: how long a RetrieveResult waiting in another thread
takes to return after StopGrabbing (median and worst of 20).
"""

import os
import statistics
import subprocess
import sys
import threading
import time
import timeit

os.environ.setdefault("PYLON_CAMEMU", "1")

import Tavrocam  # noqa: E402
import tavrocam_sim  # noqa: E402

REPEATS = 5
NUMBER = 5_000

CASES = {
    "cam.Width.GetValue()": "cam.Width.GetValue()",
    "cam.Width.SetValue(w)": "cam.Width.SetValue(w)",
    "cam.ExposureTime.GetValue()": "cam.ExposureTime.GetValue()",
    "cam.PixelFormat.GetValue()": "cam.PixelFormat.GetValue()",
    "ImageFormat.CUF_GET_Width()": "api.ImageFormat.CUF_GET_Width()",
    "ImageFormat.CUF_SET_Width(w)": "api.ImageFormat.CUF_SET_Width(w)",
    "Analog.CUF_GET_Gain()": "api.Analog.CUF_GET_Gain()",
    "Acquisition.CUF_SET_ExposureTime(5000)": "api.Acquisition.CUF_SET_ExposureTime(5000)",
}


def connect(pylon):
    Tavrocam.pylon = pylon
    api = Tavrocam.CLASS_Tavrocam()
    if not hasattr(api, "cam") or not api.cam.IsOpen():
        raise SystemExit("no camera: run with PYLON_CAMEMU=1")
    return api


def measure(namespaces):
    """{case: {camera: seconds per call}}, the best of interleaved repeats."""
    best = {case: dict.fromkeys(namespaces, float("inf")) for case in CASES}
    timers = {(case, name): timeit.Timer(stmt, globals=ns)
              for case, stmt in CASES.items() for name, ns in namespaces.items()}
    for _ in range(REPEATS):
        for (case, name), timer in timers.items():
            best[case][name] = min(best[case][name], timer.timeit(NUMBER) / NUMBER)
    return best


def fresh(code):
    """Seconds the snippet reports, in a new interpreter."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)


def wake_up(pylon, stops=20):
    """(median, worst) seconds from StopGrabbing to the waiting thread's return."""
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    cam.Open()
    cam.TriggerSelector.Value = "FrameStart"
    cam.TriggerMode.Value = "On"
    cam.TriggerSource.Value = "Software"
    seen = []
    for _ in range(stops):
        cam.StartGrabbing()
        returned = {}

        def wait():
            cam.RetrieveResult(pylon.waitForever, pylon.TimeoutHandling_ThrowException)
            returned["at"] = time.perf_counter()
        thread = threading.Thread(target=wait)
        thread.start()
        time.sleep(0.02)
        start = time.perf_counter()
        cam.StopGrabbing()
        thread.join()
        seen.append(returned["at"] - start)
    cam.Close()
    return statistics.median(seen), max(seen)


def main():
    real = Tavrocam.pylon
    apis = {"emulated": connect(real), "simulated": connect(tavrocam_sim.Simulation().pylon)}
    try:
        namespaces = {name: {"api": api, "cam": api.cam, "w": 1024}
                      for name, api in apis.items()}
        best = measure(namespaces)
    finally:
        for api in apis.values():
            api.close()
        Tavrocam.pylon = real
    print(f"Python {sys.version.split()[0]}, {REPEATS} repeats of {NUMBER} calls, best per call")
    width = max(map(len, CASES))
    print(f"  {'call':<{width}}  {'emulated':>10}  {'simulated':>10}  ratio")
    for case, times in best.items():
        print(f"  {case:<{width}}  {times['emulated'] * 1e6:7.2f} us  "
              f"{times['simulated'] * 1e6:7.2f} us  {times['simulated'] / times['emulated']:.2f}")
    timer = "import time; t = time.perf_counter(); {}; print(time.perf_counter() - t)"
    runs = 5
    cold = min(fresh(timer.format("import tavrocam_sim")) for _ in range(runs))
    warm = min(fresh("import pypylon.pylon; " + timer.format("import tavrocam_sim"))
               for _ in range(runs))
    opened = min(fresh("import tavrocam_sim, pypylon.pylon; " + timer.format(
        "p = tavrocam_sim.Simulation().pylon; tl = p.TlFactory.GetInstance(); "
        "c = p.InstantCamera(tl.CreateDevice(tl.EnumerateDevices()[0])); c.Open()"))
        for _ in range(runs))
    print(f"\nimport tavrocam_sim, fresh interpreter:        {cold * 1e3:6.1f} ms")
    print(f"import tavrocam_sim, pypylon already imported: {warm * 1e3:6.1f} ms")
    print(f"Simulation() and opening its camera:           {opened * 1e3:6.1f} ms")
    print()
    for name, pylon in (("emulated", real), ("simulated", tavrocam_sim.Simulation().pylon)):
        median, worst = wake_up(pylon)
        print(f"StopGrabbing to the waiter's return, {name + ':':<10} median "
              f"{median * 1e3:.2f} ms, worst {worst * 1e3:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
