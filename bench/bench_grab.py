"""Grabbing from the simulated acA2040-55uc: frames per second and CPU time per frame.

    PYTHONPATH=src python bench/bench_grab.py [--seconds S] [--all-formats] [--synthesis-only]
                                              [--emulator] [--six] [--dark]

Two measurements per case, each "steady" (settings unchanged) and "changing"
(the gain changes before every frame). Every frame is new either way (its
noise), so both measure the frame's making.

- synthesis: ``tavrocam_sim.image.frame`` of the chart called directly, once
  per frame number, for S seconds; printed: CPU time per frame and the share
  of one core it takes at the format's ResultingFrameRate.
- grab: a free-running camera grabbed one by one through the simulated SDK
  for S seconds, each result read as the user would (``Array`` with numpy,
  ``GetBuffer()`` without); printed: the frames per second reached, the CPU
  time per frame (process time: the camera's clock, the simulator and the
  reading) and the share of one core.

Cases: BayerRG8 and RGB8 at the full sensor (2064 x 1544) and at 640 x 480;
``--all-formats`` adds every other pixel format at the full sensor.
``--emulator``: side by side in this one run, pylon's emulated camera
(PYLON_CAMEMU) and the simulated one, about 1 MP Mono8 (1024 x 1040), one by
one, reading ``Array``, the gain changing every frame: CPU time per frame of
each and their ratio. ``--six``: six simulated cameras at six different ROIs,
each grabbed in its own thread for S seconds (BayerRG8, about 0.3 MP each):
the frames per second each reaches against its ResultingFrameRate.
``--dark``: synthesis only, BayerRG8 and BayerRG12 at the full sensor, of
``Uniform(0)``, of uniform light giving 1, 5, 10 and 20 green electrons, and
of the chart (dark and dim frames draw Poisson's distribution exactly).
"""

from __future__ import annotations

import argparse
import os
import threading
import time

os.environ.setdefault("PYLON_CAMEMU", "1")  # pylon's emulated camera, for --emulator

import tavrocam_sim  # noqa: E402
from tavrocam_sim import image, model, scenes  # noqa: E402


def configure(cam, pixel_format, width, height):
    cam.OffsetX.Value = 0
    cam.OffsetY.Value = 0
    cam.Width.Value = width
    cam.Height.Value = height
    cam.OffsetX.Value = (model.SENSOR_WIDTH - width) // 2 // 4 * 4
    cam.OffsetY.Value = (model.SENSOR_HEIGHT - height) // 2 // 2 * 2
    cam.PixelFormat.Value = pixel_format


def synthesis(device, seconds, changing, scene=None):
    """CPU ms per frame of image.frame of the scene (the chart by default) at
    the device's settings."""
    settings = image.settings(device.registers)
    light = (scene or scenes.Chart()).light()
    frames, seed = 0, image.seed_of(device.serial)
    wall, cpu = time.perf_counter(), time.process_time()
    while True:
        s = settings
        if changing:
            s = settings._replace(gain=0.05 * (frames % 100 + 1))
        image.frame(s, frames, light, seed)
        frames += 1
        if time.perf_counter() - wall >= seconds:
            break
    return (time.process_time() - cpu) / frames * 1000


def grab(cam, seconds, changing):
    read = (lambda r: r.Array) if image.numpy is not None else (lambda r: r.GetBuffer())
    cam.StartGrabbing()
    try:
        frames = 0
        wall, cpu = time.perf_counter(), time.process_time()
        while True:
            if changing:
                cam.Gain.Value = 0.05 * (frames % 100 + 1)
            with cam.RetrieveResult(60000) as result:
                read(result)
            frames += 1
            elapsed = time.perf_counter() - wall
            if elapsed >= seconds:
                break
        cpu = time.process_time() - cpu
    finally:
        cam.StopGrabbing()
        cam.Gain.Value = 0.0
    return frames / elapsed, cpu / frames * 1000, cpu / elapsed


def emulator_side_by_side(sim_pylon, seconds):
    """CPU ms per frame on pylon's emulated camera and on the simulated one:
    about 1 MP Mono8, one by one, reading Array, the gain changing each frame."""
    from pypylon import pylon  # the real SDK: its emulated camera

    def run(cam, gain_node, gains):
        cam.Open()
        cam.PixelFormat.Value = "Mono8"
        cam.Width.Value, cam.Height.Value = 1024, 1040
        cam.StartGrabbing(pylon.GrabStrategy_OneByOne)
        try:
            frames = 0
            wall, cpu = time.perf_counter(), time.process_time()
            while time.perf_counter() - wall < seconds:
                getattr(cam, gain_node).Value = gains[frames % len(gains)]
                with cam.RetrieveResult(5000) as result:
                    result.Array
                frames += 1
            cpu = time.process_time() - cpu
            elapsed = time.perf_counter() - wall
        finally:
            cam.StopGrabbing()
            cam.Close()
        return frames / elapsed, cpu / frames * 1000

    emulated = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    first = emulated.GetDeviceInfo().GetModelName()
    results = {"emulated (" + first + ")": run(emulated, "GainRaw",
                                               [192 + k for k in range(100)])}
    simulated = sim_pylon.InstantCamera(sim_pylon.TlFactory.GetInstance().CreateFirstDevice())
    results["simulated"] = run(simulated, "Gain", [0.05 * (k + 1) for k in range(100)])
    print(f"{'camera':<24}{'fps':>8}{'ms/frame':>10}")
    for name, (fps, ms) in results.items():
        print(f"{name:<24}{fps:>8.1f}{ms:>10.2f}")
    (_, emu_ms), (_, sim_ms) = results.values()
    print(f"simulated / emulated CPU a frame: {sim_ms / emu_ms:.2f}")


# Six ROIs of slightly different sizes (the case that made the old image caches thrash).
SIX_ROIS = ((640, 480), (656, 480), (672, 496), (704, 512), (736, 528), (768, 544))


def six_cameras(sim_pylon, seconds):
    """Six cameras at six ROIs (BayerRG8), each grabbed in its own thread."""
    factory = sim_pylon.TlFactory.GetInstance()
    cams = []
    for device_info, (width, height) in zip(factory.EnumerateDevices(), SIX_ROIS):
        cam = sim_pylon.InstantCamera(factory.CreateDevice(device_info))
        cam.Open()
        configure(cam, "BayerRG8", width, height)
        cams.append(cam)
    counts = [0] * len(cams)
    read = (lambda r: r.Array) if image.numpy is not None else (lambda r: r.GetBuffer())

    def run(index, cam):
        cam.StartGrabbing()
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            with cam.RetrieveResult(5000) as result:
                read(result)
            counts[index] += 1
        cam.StopGrabbing()
    cpu = time.process_time()
    threads = [threading.Thread(target=run, args=item) for item in enumerate(cams)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    cpu = time.process_time() - cpu
    print(f"{'ROI':>10}{'Resulting':>10}{'fps':>8}")
    for cam, count in zip(cams, counts):
        print(f"{f'{cam.Width.Value}x{cam.Height.Value}':>10}"
              f"{cam.ResultingFrameRate.Value:>10.1f}{count / seconds:>8.1f}")
        cam.Close()
    print(f"CPU: {cpu / seconds:.0%} of one core")


def dark_scenes(sim, cam, seconds):
    """Synthesis of dark and dim full-sensor frames against the chart's."""
    settings = image.settings(sim.cameras[0].registers)
    cases = [("Uniform(0)", scenes.Uniform(0.0))]
    cases += [(f"{e} e-", scenes.Uniform(tavrocam_sim.sensor.irradiance_for(e, settings.exposure, 545.0, "green")))
              for e in (1, 5, 10, 20)]
    cases.append(("chart", scenes.Chart()))
    print(f"{'format':<12}{'scene':<12}{'synth ms':>10}")
    for pixel_format in ("BayerRG8", "BayerRG12"):
        configure(cam, pixel_format, model.SENSOR_WIDTH, model.SENSOR_HEIGHT)
        for name, scene in cases:
            ms = synthesis(sim.cameras[0], seconds, False, scene)
            print(f"{pixel_format:<12}{name:<12}{ms:>10.2f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--all-formats", action="store_true")
    parser.add_argument("--synthesis-only", action="store_true",
                        help="time image.frame only, not grabbing through the SDK")
    parser.add_argument("--emulator", action="store_true",
                        help="side by side with pylon's emulated camera (1 MP Mono8)")
    parser.add_argument("--six", action="store_true",
                        help="six cameras at six ROIs, each in its own thread")
    parser.add_argument("--dark", action="store_true",
                        help="synthesis of dark and dim uniform scenes and the chart, full sensor")
    args = parser.parse_args()
    sim = tavrocam_sim.Simulation(6 if args.six else 1)
    print(f"the core's loops: {image.core.simd()} (of {', '.join(image.core.SIMD_PATHS)}; TAVROCAM_SIMD picks one)")
    pylon = sim.pylon
    if args.emulator:
        emulator_side_by_side(pylon, args.seconds)
        return
    if args.six:
        six_cameras(pylon, args.seconds)
        return
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    cam.Open()
    if args.dark:
        dark_scenes(sim, cam, args.seconds)
        cam.Close()
        return
    cases = [(f, w, h) for f in ("BayerRG8", "RGB8")
             for w, h in ((model.SENSOR_WIDTH, model.SENSOR_HEIGHT), (640, 480))]
    if args.all_formats:
        cases += [(f, model.SENSOR_WIDTH, model.SENSOR_HEIGHT) for f in model.PFNC
                  if model.bayer_phase(f) in (None, 0) and f not in ("BayerRG8", "RGB8")]
    print(f"numpy: {image.numpy.__version__ if image.numpy is not None else 'not installed'}")
    print(f"{'format':<12}{'size':>10}  {'settings':<9}{'Resulting':>10}"
          f"{'synth ms':>10}{'core':>6}  {'grab fps':>9}{'ms/frame':>9}{'core':>6}")
    for pixel_format, width, height in cases:
        configure(cam, pixel_format, width, height)
        rate = cam.ResultingFrameRate.Value
        for changing in (False, True):
            ms = synthesis(sim.cameras[0], args.seconds, changing)
            line = (f"{pixel_format:<12}{f'{width}x{height}':>10}  "
                    f"{'changing' if changing else 'steady':<9}{rate:>10.1f}"
                    f"{ms:>10.2f}{ms * rate / 1000:>6.0%}")
            if not args.synthesis_only:
                fps, grab_ms, share = grab(cam, args.seconds, changing)
                line += f"  {fps:>9.1f}{grab_ms:>9.2f}{share:>6.0%}"
            print(line, flush=True)
    cam.Close()


if __name__ == "__main__":
    main()
