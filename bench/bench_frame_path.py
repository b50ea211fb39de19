"""The simulator's code one frame passes, from the device's clock to
``result.Array``: the distinct tavrocam_sim modules with calls and the
Python calls, counted by profiling one grab (a frame already due)."""

from __future__ import annotations

import cProfile
import pstats
import time

import tavrocam_sim


def profile_one_frame():
    sim = tavrocam_sim.Simulation(1)
    pylon = sim.pylon
    camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    camera.StartGrabbing()
    period = 1 / camera.ResultingFrameRate.Value
    ready = camera.GetGrabResultWaitObject()
    for _ in range(3):  # caches and buffers warm
        camera.RetrieveResult(1000).Array
    while ready.Wait(0):  # the frames made meanwhile taken: the profiled one is made in it
        camera.RetrieveResult(1000).Array
    device = sim.cameras[0]
    made = device.frames
    # The next frame due, the one after not yet.
    time.sleep(max(0.0, device.acquisition.next_due() - time.monotonic()) + period / 2)
    profiler = cProfile.Profile()
    profiler.enable()
    camera.RetrieveResult(1000).Array
    profiler.disable()
    made = device.frames - made
    camera.Close()
    if made != 1:
        raise SystemExit(f"{made} frames in the profile, not 1: run again on an idle machine")
    stats = pstats.Stats(profiler).stats
    modules, calls = set(), 0
    for (path, _, name), (_, primitive, *_rest) in stats.items():
        if path != "~":
            calls += primitive
        if "tavrocam_sim" in path:
            modules.add(path.rsplit("/", 1)[-1])
    return sorted(modules), calls


if __name__ == "__main__":
    modules, calls = profile_one_frame()
    print(f"{calls} Python calls, {len(modules)} tavrocam_sim modules: {', '.join(modules)}")
