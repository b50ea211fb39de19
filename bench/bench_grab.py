"""Grabbing from the simulated acA2040-55uc: frames per second and CPU time per frame.

    PYTHONPATH=src python bench/bench_grab.py [--seconds S] [--all-formats]

For BayerRG8 and RGB8 at the full sensor (2064 x 1544) and at 640 x 480, a
free-running camera is grabbed one by one for S seconds (default 3), each
result read as the user would (``Array`` with numpy, ``GetBuffer()``
without). Two runs per case, each after the first frames have filled the
simulator's cache: "steady" (settings unchanged, so cached frames are handed
out) and "changing" (Gain changes before every frame, so every frame
is made anew: the cost while an auto function is still moving, or when the
host changes exposure or gain all the time). Printed: ResultingFrameRate, the
frames per second reached, the CPU time per frame (process time: the
simulator and the reading) and the share of one core. ``--all-formats`` adds
every pixel format at the full sensor. Without numpy a new frame at the full
sensor takes seconds; a run then stops after two frames.
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


def run(cam, seconds, changing):
    read = (lambda r: r.Array) if image.numpy is not None else (lambda r: r.GetBuffer())
    cam.StartGrabbing()  # the first frames make the unit plane and the pool: not counted
    slots = set()
    while len(slots) < image.NOISE_FRAMES:
        with cam.RetrieveResult(60000) as result:
            read(result)
            slots.add(result.BlockID % image.NOISE_FRAMES)
    cam.StopGrabbing()
    cam.StartGrabbing()
    try:
        frames = 0
        wall, cpu = time.perf_counter(), time.process_time()
        while True:
            if changing:
                # 0.05 dB steps: more than the simulator's 1/1024 octave, and the
                # frame rate does not depend on the gain
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
    print(f"{'format':<12}{'size':>12}  {'settings':<9}{'Resulting':>10}{'fps':>8}"
          f"{'CPU ms/frame':>14}{'core':>7}")
    for pixel_format, width, height in cases:
        configure(cam, pixel_format, width, height)
        rate = cam.ResultingFrameRate.Value
        for changing in (False, True):
            fps, ms, share = run(cam, args.seconds, changing)
            print(f"{pixel_format:<12}{f'{width}x{height}':>12}  "
                  f"{'changing' if changing else 'steady':<9}{rate:>10.1f}{fps:>8.1f}"
                  f"{ms:>14.2f}{share:>7.0%}", flush=True)
    cam.Close()


if __name__ == "__main__":
    main()
