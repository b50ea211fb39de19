"""Memory check: calls the methods on their success and failure paths many
times and prints how much the process grew. Not a test.

    .venv/bin/python bench/leak_check.py [iterations]   (default 1,000,000)
"""

import contextlib
import gc
import io
import os
import sys
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import standin  # noqa: E402
import Tavrocam  # noqa: E402
from bench_callgrind import FakeNode  # noqa: E402

T = Tavrocam.CLASS_Tavrocam


class Broken:
    def GetValue(self):
        raise RuntimeError("refused")

    SetValue = GetMin = GetMax = lambda self, *a: Broken.GetValue(self)


class Cam:
    pass


good = Cam()
for name, value in [("Width", 1000), ("OffsetX", 0), ("ExposureTime", 5000.0),
                    ("BalanceRatioSelector", "Red"), ("BalanceRatio", 1.0)]:
    setattr(good, name, FakeNode(value, 19.0, 1e7))
good.LightDeviceSelector = Broken()
bad = Cam()
for name in ("Width", "ExposureTime", "BalanceRatioSelector"):
    setattr(bad, name, Broken())

fmt, fmt_bad = T.ImageFormatControl(good), T.ImageFormatControl(bad)
acq, acq_bad = T.AcquisitionControl(good), T.AcquisitionControl(bad)
ana, ana_bad = T.AnalogControl(good), T.AnalogControl(bad)
light = T.BaslerLightControl(good)
world = standin.SDK(cameras=1)
empty = standin.SDK(cameras=0)


def one_round(i):
    fmt.CUF_GET_Width()
    fmt.CUF_SET_Width(i)
    fmt.CUF_SET_Width(val=i)
    try:
        fmt_bad.CUF_GET_Width()
    except RuntimeError:
        pass
    try:
        fmt.CUF_SET_Width()
    except TypeError:
        pass
    fmt.CUF_SET_CenterX()
    acq.CUF_SET_ExposureTime(100.0)
    acq_bad.CUF_SET_ExposureTime(1)
    ana.CUF_GET_BalanceRatioAll()
    ana.CUF_GET_BalanceRatio(selector="Green")
    ana_bad.CUF_SET_BalanceRatio("Red", 1.0)
    light.CUF_SET_LightDeviceSelector("Device1")
    T.AnalogControl(good)


def constructions(n):
    for sdk in (world, empty):
        Tavrocam.pylon = sdk.pylon
        for _ in range(n):
            api = T()
            api.close()
            # the stand-in keeps a log and every camera it made; drop them
            sdk._rec.clear()
            sdk.made.clear()
            sdk.devices.clear()


def run(n):
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):
        for i in range(n):
            one_round(i)
            if i % 4096 == 0:
                sink.seek(0)
                sink.truncate()
        constructions(max(1, n // 100))


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    run(10_000)
    gc.collect()
    tracemalloc.start()
    rss0 = rss_kib()
    run(n)
    gc.collect()
    current, _ = tracemalloc.get_traced_memory()
    if os.environ.get("LEAK_TOP"):
        for stat in tracemalloc.take_snapshot().statistics("lineno")[:8]:
            print(stat)
    rss1 = rss_kib()
    print(f"{n} rounds of 14 calls (+{2 * max(1, n // 100)} constructions and closes)")
    print(f"RSS before {rss0} KiB, after {rss1} KiB, growth {rss1 - rss0} KiB")
    print(f"Python allocations still held after the run: {current} bytes")


if __name__ == "__main__":
    main()
