"""Grabbing from the simulated acA2040-55uc: frames per second and CPU time per frame.

    PYTHONPATH=src python bench/bench_grab.py [--seconds S] [--all-formats] [--synthesis-only]

Two measurements per case, each "steady" (settings unchanged, so the
simulator hands out frames it has made before) and "changing" (the gain
changes before every frame, so every frame is made anew: the cost while an
auto function is still moving, or when a program sweeps the exposure).

- synthesis: ``tavrocam_sim.image.frame`` called directly, once per frame
  number, for S seconds; printed: CPU time per frame and the share of one
  core it takes at the format's ResultingFrameRate (the budget: at most half
  a core while changing).
- grab: a free-running camera grabbed one by one through the simulated SDK
  for S seconds, each result read as the user would (``Array`` with numpy,
  ``GetBuffer()`` without); printed: the frames per second reached, the CPU
  time per frame (process time: the camera's clock, the simulator and the
  reading) and the share of one core.

Cases: BayerRG8 and RGB8 at the full sensor (2064 x 1544) and at 640 x 480;
``--all-formats`` adds every other pixel format at the full sensor. Without
numpy a new frame at the full sensor takes seconds; a case then stops after
two frames.
"""

from __future__ import annotations

import argparse
import time

import tavrocam_sim
from tavrocam_sim import image, model


def configure(cam, pixel_format, width, height):
    cam.OffsetX.Value = 0
    cam.OffsetY.Value = 0
    cam.Width.Value = width
    cam.Height.Value = height
    cam.OffsetX.Value = (model.SENSOR_WIDTH - width) // 2 // 4 * 4
    cam.OffsetY.Value = (model.SENSOR_HEIGHT - height) // 2 // 2 * 2
    cam.PixelFormat.Value = pixel_format


def settings_of(cam):
    """The image settings of the camera's current node values."""
    ratios = []
    for colour in ("Red", "Green", "Blue"):
        cam.BalanceRatioSelector.Value = colour
        ratios.append(cam.BalanceRatio.Value)
    factor = cam.ExposureTime.Value / 10000.0 * 10 ** (cam.Gain.Value / 20)
    return image.Settings(
        cam.Width.Value, cam.Height.Value, cam.OffsetX.Value, cam.OffsetY.Value,
        cam.ReverseX.Value, cam.ReverseY.Value, cam.PixelFormat.Value, factor,
        cam.BlackLevel.Value, tuple(ratios), cam.TestImageSelector.Value, cam.Gamma.Value,
        cam.DigitalShift.Value, None,
        cam.LightSourcePreset.Value if cam.PixelFormat.Value in ("RGB8", "BGR8", "YCbCr422_8")
        else "Off")


def synthesis(settings, seconds, changing):
    """CPU ms per frame of image.frame (the frames' cache filled first)."""
    for number in range(image.NOISE_FRAMES):
        image.frame(settings, number)
    frames, number = 0, image.NOISE_FRAMES
    wall, cpu = time.perf_counter(), time.process_time()
    while True:
        s = settings
        if changing:  # 0.05 dB steps: more than the simulator's 1/1024 octave
            s = settings._replace(factor=settings.factor * 10 ** (0.05 * (frames % 100 + 1) / 20))
        image.frame(s, number)
        frames += 1
        number += 1
        if time.perf_counter() - wall >= seconds or (image.numpy is None and frames >= 2):
            break
    return (time.process_time() - cpu) / frames * 1000


def grab(cam, seconds, changing):
    read = (lambda r: r.Array) if image.numpy is not None else (lambda r: r.GetBuffer())
    cam.StartGrabbing()  # the first frames fill the simulator's caches: not counted
    for _ in range(image.NOISE_FRAMES + 1):
        with cam.RetrieveResult(60000) as result:
            read(result)
    cam.StopGrabbing()
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
            if elapsed >= seconds or (image.numpy is None and frames >= 2):
                break
        cpu = time.process_time() - cpu
    finally:
        cam.StopGrabbing()
        cam.Gain.Value = 0.0
    return frames / elapsed, cpu / frames * 1000, cpu / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--all-formats", action="store_true")
    parser.add_argument("--synthesis-only", action="store_true",
                        help="time image.frame only, not grabbing through the SDK")
    args = parser.parse_args()
    sim = tavrocam_sim.Simulation()
    pylon = sim.pylon
    cam = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    cam.Open()
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
        settings = settings_of(cam)
        for changing in (False, True):
            ms = synthesis(settings, args.seconds, changing)
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
