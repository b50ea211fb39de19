"""The simulated acA2040-55uc measured as EMVA 1288 measures a camera, by the
standard's reference implementation (the ``emva1288`` package).

    make bench-emva            # makes .venv-emva: emva1288 1.0.2, numpy < 2, this checkout
    .venv-emva/bin/python bench/bench_emva.py [--frames L] [--steps N]

emva1288 1.0.2 needs numpy older than 2, so CPython 3.12 or older, in a venv
of its own; it is never part of the test suite. The camera looks at
``Uniform`` light at 545 nm; BayerRG12 with a black level of 64 DN, the green
sites of one phase (every other row and column) of a 512 x 512 ROI as the
measured image. Temporal: a dark and a bright pair of frames at N exposures
from 1 ms to beyond saturation. Spatial: L dark and L bright frames at half
saturation. Printed: what the reference implementation measures next to the
sensor model's own values (``sim.cameras[0].sensor``), and the time it took.
"""

from __future__ import annotations

import argparse
import logging
import sys
import time

import numpy as np

try:
    from emva1288 import process
    from emva1288.process.routines import get_int_imgs
except ImportError:
    sys.exit("bench_emva: needs the emva1288 package (1.0.2, with numpy < 2): "
             "run `make bench-emva`")

import tavrocam_sim  # noqa: E402
from tavrocam_sim import scenes, sensor as sensor_model  # noqa: E402

IRRADIANCE, WAVELENGTH = 0.025, 545.0  # W/m², nm
SIDE, BLACK = 512, 64.0


def grab(camera, count):
    """``count`` frames' green sites (rows 0, 2, ...; columns 1, 3, ...) as uint16 arrays."""
    camera.StartGrabbingMax(count)
    images = []
    while camera.IsGrabbing():
        with camera.RetrieveResult(5000) as result:
            if not result.GrabSucceeded():
                raise RuntimeError(result.GetErrorDescription())
            images.append(np.array(result.Array[0::2, 1::2], dtype=np.uint16))
    return images


def measure(frames: int, steps: int):
    sim = tavrocam_sim.Simulation()
    device = sim.cameras[0]
    camera = sim.pylon.InstantCamera(sim.pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    camera.PixelFormat.Value = "BayerRG12"
    camera.BlackLevel.Value = BLACK
    camera.Width.Value = camera.Height.Value = SIDE
    camera.OffsetX.Value, camera.OffsetY.Value = 776, 516
    dark, bright = scenes.Uniform(0.0), scenes.Uniform(IRRADIANCE, WAVELENGTH)

    def images(scene, exposure_us, count):
        device.scene = scene
        camera.ExposureTime.Value = exposure_us
        return grab(camera, count)

    def photons(exposure_us):
        return sensor_model.photons(IRRADIANCE, exposure_us * 1e-6, WAVELENGTH)

    def totals(frames):
        """The temporal test keeps the sums of the sum and pvar images."""
        made = get_int_imgs(frames)
        return {"sum": np.sum(made["sum"]), "pvar": np.sum(made["pvar"]), "dmean": made["dmean"]}

    temporal = {}
    for exposure in np.linspace(1000.0, 30000.0, steps):
        ns = float(exposure * 1000)
        temporal[ns] = {0.0: totals(images(dark, exposure, 2)),
                        photons(exposure): totals(images(bright, exposure, 2))}
    half = 10000.0
    spatial = {half * 1000: {0.0: get_int_imgs(images(dark, half, frames)),
                             photons(half): get_int_imgs(images(bright, half, frames))}}
    camera.Close()
    side = SIDE // 2
    data = {"width": side, "height": side, "temporal": temporal, "spatial": spatial}
    return device.sensor, process.Data1288(data).data


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=16, help="frames for the spatial test (L)")
    parser.add_argument("--steps", type=int, default=40, help="exposure steps (temporal test)")
    args = parser.parse_args(argv)
    start = time.perf_counter()
    model, data = measure(args.frames, args.steps)
    taken = time.perf_counter() - start
    results = process.Results1288(data, pixel_area=model.pixel_area, loglevel=logging.WARNING)
    prnu = results.PRNU1288 / 100.0  # in %
    rows = [
        ("system gain K (DN/e-)", results.K, model.system_gain),
        ("quantum efficiency, green, 545 nm", results.QE / 100.0,
         model.quantum_efficiency(WAVELENGTH, "green")),
        ("temporal dark noise (e-)", results.sigma_d, model.dark_noise),
        ("saturation capacity (e-)", results.u_e_sat, model.saturation_capacity),
        ("dark current, from the mean (e-/s)", results.u_I_mean, model.dark_current),
        ("DSNU (e-)", results.DSNU1288, model.dsnu),
        ("PRNU (fraction)", prnu, model.prnu),
    ]
    from emva1288 import __version__

    print(f"{'emva1288 ' + __version__:<40}"
          f"{'measured':>12}{'model':>12}{'ratio':>8}")
    for what, measured, expected in rows:
        ratio = measured / expected if expected else float("nan")
        print(f"{what:<40}{measured:>12.4g}{expected:>12.4g}{ratio:>8.3f}")
    adc = (sensor_model.FULL_SCALE - BLACK) / model.system_gain
    print(f"(at a black level of {BLACK:g} DN the ADC's range ends at {adc:,.0f} e-, before the "
          f"full well; the standard takes the saturation at the variance's peak, below that)")
    print(f"SNRmax {results.SNR_max_dB():.1f} dB, dynamic range {results.DR_dB():.1f} dB; "
          f"{args.steps} steps, L = {args.frames}, {taken:.1f} s of grabbing")
    return 0


if __name__ == "__main__":
    sys.exit(main())
