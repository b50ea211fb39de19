"""The documentation's pictures, made by the simulated acA2040-55uc itself.

    python docs/scripts/make_images.py [DIR]

writes the PNGs into DIR (default: build/docs-images). `make docs` does not
need this script run by hand: the docs hook (docs/hooks/generated.py) calls
``make_images()`` at every build, so the pictures always show what the
simulator makes. Needs the package installed (with pypylon; `make docs` installs
the checkout into its venv) and numpy.
"""

from __future__ import annotations

import struct
import sys
import zlib
from pathlib import Path

try:  # the pictures need numpy; their list (PICTURES) does not
    import numpy as np
except ImportError:
    np = None

# The pictures: file name -> (what it shows, pixel format, test image).
SCENE = {
    "frame-rgb8.png": ("RGB8, the scene's colour at every pixel", "RGB8", "Off"),
    "frame-bayerrg8.png": ("BayerRG8 made RGB by 2 x 2 binning", "BayerRG8", "Off"),
    "frame-bayerrg8-raw.png": ("BayerRG8 as the sensor delivers it, a corner of the orange patch, 4 x",
                               "BayerRG8", "Off"),
    "frame-mono8.png": ("Mono8, the luma", "Mono8", "Off"),
    "frame-bayerrg12p.png": ("BayerRG12p (12 bit, top 8 bits shown), binned", "BayerRG12p", "Off"),
}
TEST_IMAGES = {f"testimage{n}.png": (f"Testimage{n}", "RGB8", f"Testimage{n}") for n in range(1, 7)}
# The scenes and sensor page: a picture of a program's own through the camera,
# and the photon-transfer curve measured on it.
SENSOR = {
    "picture.png": ("A picture, 1920 x 1080, as the program hands it to the camera", None, None),
    "picture-frame.png": ("The picture through the camera: RGB8 at 10 ms and 0 dB, white "
                          "balanced once", "RGB8", "Off"),
    "picture-crop.png": ("A part of it at 1:1, shown 2 x", "RGB8", "Off"),
    "picture-dim.png": ("The same part at 1 ms and 20 dB: the photon noise of a tenth of "
                        "the light", "RGB8", "Off"),
    "photon-transfer.svg": ("The photon-transfer curve of Uniform(0.025) at 545 nm, "
                            "green sites of BayerRG12", "BayerRG12", "Off"),
}
PICTURES = {**SCENE, **TEST_IMAGES, **SENSOR}
SHRINK = 4  # 2048 x 1536 shown as 512 x 384


def png(pixels: np.ndarray) -> bytes:
    """An 8-bit PNG of a (height, width) grey or (height, width, 3) RGB array."""
    pixels = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = pixels.shape[:2]
    colour = 2 if pixels.ndim == 3 else 0
    rows = np.zeros((height, 1 + pixels[0].size), dtype=np.uint8)  # filter byte 0 per row
    rows[:, 1:] = pixels.reshape(height, -1)

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows.tobytes(), 9)) + chunk(b"IEND", b""))


def bin_bayer(raw: np.ndarray) -> np.ndarray:
    """RGB at half size from an RG-phase Bayer mosaic: each 2 x 2 cell one pixel."""
    raw = raw.astype(np.float32)
    red, blue = raw[0::2, 0::2], raw[1::2, 1::2]
    green = (raw[0::2, 1::2] + raw[1::2, 0::2]) / 2
    return np.stack([red, green, blue], axis=-1)


def shrink(image: np.ndarray, factor: int) -> np.ndarray:
    """Each factor x factor block as its mean."""
    height, width = image.shape[0] // factor * factor, image.shape[1] // factor * factor
    image = image[:height, :width].astype(np.float32)
    blocks = image.reshape(height // factor, factor, width // factor, factor, *image.shape[2:])
    return blocks.mean(axis=(1, 3))


def to_8bit(image: np.ndarray, bits: int) -> np.ndarray:
    return np.clip(np.rint(image / (1 << (bits - 8))), 0, 255).astype(np.uint8)


def picture(name: str, array: np.ndarray, pixel_format: str) -> np.ndarray:
    bits = 12 if pixel_format.endswith(("12", "12p")) else 8
    if name == "frame-bayerrg8-raw.png":
        # The top-left corner of the chart's orange patch (row 2, column 6): sensor
        # (260 + 5 x 224, 220 + 224), in the default ROI at offset (8, 4).
        top, left = 220 + 224 - 4, 260 + 5 * 224 - 8
        crop = array[top - 24:top + 24, left - 16:left + 48]
        return np.repeat(np.repeat(to_8bit(crop, bits), 4, axis=0), 4, axis=1)
    if pixel_format.startswith("Bayer"):
        return to_8bit(shrink(bin_bayer(array), SHRINK // 2), bits)
    if name.startswith("testimage"):
        return to_8bit(array[::SHRINK, ::SHRINK], bits)  # exact values, no blur
    return to_8bit(shrink(array, SHRINK), bits)


def srgb(linear: np.ndarray) -> np.ndarray:
    """Linear light (0..1) sRGB-encoded, 0..255."""
    linear = np.clip(linear, 0.0, 1.0)
    encoded = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)
    return np.rint(encoded * 255)


def tray() -> np.ndarray:
    """A user's picture, drawn here: parts on a tray, 1920 x 1080, linear RGB
    (float32). Wider than the sensor: the camera sees its centre, cropped."""
    height, width = 1080, 1920
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    falloff = 1.0 - 0.35 * (((x - 900) / width) ** 2 + ((y - 500) / height) ** 2)
    image = np.empty((height, width, 3), np.float32)
    image[...] = np.array([0.30, 0.28, 0.24], np.float32)
    image[(x // 60 + y // 60) % 2 == 0] *= 0.9  # the tray's checks
    parts = [(560, 330, 120, (0.75, 0.55, 0.12)), (980, 300, 95, (0.05, 0.25, 0.65)),
             (1350, 420, 150, (0.6, 0.6, 0.6)), (760, 760, 110, (0.55, 0.05, 0.04)),
             (1180, 760, 80, (0.08, 0.45, 0.12))]
    for cx, cy, radius, colour in parts:
        r2 = (x - cx) ** 2 + (y - cy) ** 2
        image[r2 < radius ** 2] = colour
        image[r2 < (radius * 0.35) ** 2] = (0.02, 0.02, 0.02)  # a washer's hole
    # A resistor: a body with colour bands.
    body = (abs(y - 560) < 38) & (abs(x - 1000) < 170)
    image[body] = (0.55, 0.45, 0.30)
    for offset, colour in ((-110, (0.5, 0.02, 0.02)), (-50, (0.02, 0.02, 0.02)),
                           (10, (0.7, 0.3, 0.02)), (110, (0.6, 0.45, 0.05))):
        image[body & (abs(x - 1000 - offset) < 14)] = colour
    # A Siemens star: fine detail for the demosaic.
    cx, cy = 1480, 800
    angle = np.arctan2(y - cy, x - cx)
    star = (((x - cx) ** 2 + (y - cy) ** 2) < 140 ** 2)
    image[star] = np.where((np.sin(36 * angle[star]) > 0)[:, None], 0.85, 0.03)
    return np.ascontiguousarray(image * falloff[..., None])


def photon_transfer(camera, scenes, device, irradiance=0.025, steps=24):
    """EMVA 1288's measurement on the green sites of a 128 x 128 BayerRG12 ROI:
    (exposure in µs, mean above dark in DN, temporal variance in DN²) for
    exposures from 1 ms to beyond saturation, and the dark variance."""
    camera.PixelFormat.Value = "BayerRG12"
    camera.BlackLevel.Value = 64.0  # the dark noise above zero, not clipped
    camera.BalanceRatioSelector.Value = "Green"
    camera.BalanceRatio.Value = 1.0  # the green sites' raw values unscaled
    camera.Width.Value = camera.Height.Value = 128
    camera.OffsetX.Value, camera.OffsetY.Value = 960, 704
    green = (np.indices((128, 128)).sum(axis=0) & 1) == 1

    def pair(exposure):
        camera.ExposureTime.Value = exposure
        camera.StartGrabbingMax(2)
        images = []
        while camera.IsGrabbing():
            with camera.RetrieveResult(5000) as result:
                images.append(result.Array.astype(np.float64)[green])
        return (images[0].mean() + images[1].mean()) / 2, np.var(images[0] - images[1]) / 2

    device.scene = scenes.Uniform(0.0)
    dark_mean, dark_var = pair(1000.0)
    device.scene = scenes.Uniform(irradiance)
    points = [(e, *pair(e)) for e in np.linspace(1000.0, 30000.0, steps)]
    return [(e, mean - dark_mean, var - dark_var) for e, mean, var in points], dark_var


def ptc_svg(points, gain: float) -> bytes:
    """The photon-transfer curve as an SVG plot: variance against mean, the
    fitted line of slope K over the linear part."""
    width, height, left, bottom, top, right = 640, 400, 70, 50, 20, 20
    mean_max = max(p[1] for p in points) * 1.05
    var_max = max(p[2] for p in points) * 1.15
    peak = max(range(len(points)), key=lambda i: points[i][2])
    linear = [p for p in points if p[1] < 0.7 * points[peak][1]]
    slope = float(np.polyfit([p[1] for p in linear], [p[2] for p in linear], 1)[0])

    def xy(mean, var):
        return (left + (width - left - right) * mean / mean_max,
                height - bottom - (height - top - bottom) * var / var_max)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<path d="M{left},{top} V{height - bottom} H{width - right}" '
           f'stroke="black" fill="none"/>']
    for tick in range(0, int(mean_max) + 1, 1000):
        x, _ = xy(tick, 0)
        out.append(f'<text x="{x:.1f}" y="{height - bottom + 16}" '
                   f'text-anchor="middle">{tick}</text>')
    for tick in range(0, int(var_max) + 1, 200):
        _, y = xy(0, tick)
        out.append(f'<text x="{left - 6}" y="{y + 4:.1f}" text-anchor="end">{tick}</text>')
    out.append(f'<text x="{(left + width - right) / 2}" y="{height - 12}" text-anchor="middle">'
               f'mean above dark (DN)</text>')
    out.append(f'<text transform="translate(16,{(top + height - bottom) / 2}) rotate(-90)" '
               f'text-anchor="middle">temporal variance (DN²)</text>')
    x0, y0 = xy(0, 0)
    x1, y1 = xy(points[peak][1], slope * points[peak][1])
    out.append(f'<line x1="{x0:.1f}" y1="{y0:.1f}" x2="{x1:.1f}" y2="{y1:.1f}" stroke="#1565c0"/>')
    for _, mean, var in points:
        x, y = xy(mean, var)
        out.append(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3.5" fill="#e65100"/>')
    out.append(f'<text x="{left + 14}" y="{top + 16}">slope K = {slope:.4f} DN/e⁻ '
               f'(the model: {gain:.4f})</text>')
    out.append("</svg>")
    return "\n".join(out).encode()


def sensor_pictures(camera, device) -> dict[str, bytes]:
    """The scenes and sensor page's pictures."""
    from tavrocam_sim import scenes

    picture = tray()
    made = {"picture.png": png(srgb(shrink(picture, SHRINK)))}
    device.scene = scenes.Picture(picture)
    camera.PixelFormat.Value = "RGB8"
    camera.TestImageSelector.Value = "Off"
    camera.BalanceWhiteAuto.Value = "Once"  # a picture's grey is not the chart's
    while camera.BalanceWhiteAuto.Value != "Off":
        camera.GrabOne(5000).Release()
    for name, exposure, gain in (("picture-frame.png", 10000.0, 0.0),
                                 ("picture-dim.png", 1000.0, 20.0)):
        camera.ExposureTime.Value, camera.Gain.Value = exposure, gain
        with camera.GrabOne(5000) as result:
            frame = np.asarray(result.Array)
        if name == "picture-frame.png":
            made[name] = png(to_8bit(shrink(frame, SHRINK), 8))
            name = "picture-crop.png"
        crop = frame[1000:1192, 1200:1456]  # the green washer's edge and the tray
        made[name] = png(np.repeat(np.repeat(crop, 2, axis=0), 2, axis=1))
    camera.Gain.Value = 0.0
    points, _ = photon_transfer(camera, scenes, device)
    made["photon-transfer.svg"] = ptc_svg(points, device.sensor.system_gain)
    return made


def make_images() -> dict[str, bytes]:
    """{file name: PNG bytes} for every picture, from one simulated camera."""
    import tavrocam_sim

    sim = tavrocam_sim.Simulation()
    pylon = sim.pylon
    camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    try:
        made = {}
        for name, (_, pixel_format, test_image) in {**SCENE, **TEST_IMAGES}.items():
            camera.PixelFormat.Value = pixel_format
            camera.TestImageSelector.Value = test_image
            result = camera.GrabOne(5000)
            try:
                if not result.GrabSucceeded():
                    raise RuntimeError(f"{name}: the grab failed: {result.ErrorDescription}")
                made[name] = png(picture(name, np.asarray(result.Array), pixel_format))
            finally:
                result.Release()
        made.update(sensor_pictures(camera, sim.cameras[0]))
        return made
    finally:
        camera.Close()


def main(argv: list[str]) -> int:
    out = Path(argv[1] if len(argv) > 1 else "build/docs-images")
    out.mkdir(parents=True, exist_ok=True)
    for name, data in make_images().items():
        (out / name).write_bytes(data)
        print(f"{out / name}: {PICTURES[name][0]} ({len(data) // 1024} KiB)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
