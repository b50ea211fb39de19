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
PICTURES = {**SCENE, **TEST_IMAGES}
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


def make_images() -> dict[str, bytes]:
    """{file name: PNG bytes} for every picture, from one simulated camera."""
    import tavrocam_sim

    sim = tavrocam_sim.Simulation()
    pylon = sim.pylon
    camera = pylon.InstantCamera(pylon.TlFactory.GetInstance().CreateFirstDevice())
    camera.Open()
    try:
        made = {}
        for name, (_, pixel_format, test_image) in PICTURES.items():
            camera.PixelFormat.Value = pixel_format
            camera.TestImageSelector.Value = test_image
            result = camera.GrabOne(5000)
            try:
                if not result.GrabSucceeded():
                    raise RuntimeError(f"{name}: the grab failed: {result.ErrorDescription}")
                made[name] = png(picture(name, np.asarray(result.Array), pixel_format))
            finally:
                result.Release()
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
