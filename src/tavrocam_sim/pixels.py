"""The simulated acA2040-55uc's digital processing, as tables.

The sensor (the compiled core) makes a 12-bit raw value of each sample; for
the RGB, BGR and YCbCr formats the light-source preset's colour matrix mixes
the three balanced channels first. The digital processing then runs on the
12-bit value, in this order (assumed): the
luminance LUT (when enabled), the preset's sRGB gamma (RGB/BGR/YCbCr with a
preset other than Off), ``Gamma``, ``DigitalShift`` (a left shift that
saturates at full scale) and the cut to the format's bits (the top 8 of 12
for the 8-bit formats). ``processing`` is that chain as a table over the 4096
raw values, which the core looks up.
"""

from __future__ import annotations

from . import model

FULL12 = 4095
# Integer BT.601 (full range) for YCbCr422_8 and the Mono8 of a colour test
# image: weights in 1/256.
Y_WEIGHTS = (77, 150, 29)
CB_WEIGHTS = (-43, -85, 128)
CR_WEIGHTS = (128, -107, -21)
LUMA = (0.299, 0.587, 0.114)


def family(pixel_format):
    """'bayer', 'mono', 'rgb', 'bgr' or 'ycbcr'."""
    if pixel_format.startswith("Bayer"):
        return "bayer"
    return {"Mono8": "mono", "RGB8": "rgb", "BGR8": "bgr", "YCbCr422_8": "ycbcr"}[pixel_format]


def bits(pixel_format) -> int:
    """The significant bits of a pixel: 12 or 8."""
    return 12 if "12" in pixel_format else 8


def lut_curve(points):
    """The LUT's 4096 outputs from its points (LUTValue at LUTIndex 0, 8, ...,
    4088): linear interpolation between them, the last segment's slope beyond
    the last point, clipped to 0..4095."""
    step = model.LUT_STEP
    last = len(points) - 1
    curve = []
    for value in range(FULL12 + 1):
        index = min(value // step, last - 1)
        low, high = points[index], points[index + 1]
        out = low + ((high - low) * (value - index * step) + step // 2) // step
        curve.append(min(max(out, 0), FULL12))
    return tuple(curve)


def srgb(x):
    """The sRGB transfer curve (gamma about 0.4) of a fraction of full scale."""
    return 12.92 * x if x <= 0.0031308 else 1.055 * x ** (1 / 2.4) - 0.055


def processing(curve, srgb_gamma, gamma, shift, out_bits):
    """The digital processing as a tuple of 4096 output values (see the module
    docstring); ``curve`` is ``lut_curve``'s result or None."""
    table = []
    for value in range(FULL12 + 1):
        if curve is not None:
            value = curve[value]
        if srgb_gamma or gamma != 1.0:
            x = value / FULL12
            if srgb_gamma:
                x = srgb(x)
            if gamma != 1.0:
                x = x ** gamma
            value = min(max(int(x * FULL12 + 0.5), 0), FULL12)
        value = min(value << shift, FULL12)
        table.append(value if out_bits == 12 else value >> 4)
    return tuple(table)


def ycbcr(rgb, parity):
    """Y and the pixel's chroma sample (Cb on even columns, Cr on odd) of an
    8-bit RGB triple, packed as Y | C << 8."""
    weights = CR_WEIGHTS if parity else CB_WEIGHTS
    y = (sum(w * v for w, v in zip(Y_WEIGHTS, rgb)) + 128) >> 8
    c = ((sum(w * v for w, v in zip(weights, rgb)) + 128) >> 8) + 128
    return min(max(y, 0), 255) | min(max(c, 0), 255) << 8


def luma8(rgb):
    """The integer luma of an 8-bit RGB triple."""
    return min((sum(w * v for w, v in zip(Y_WEIGHTS, rgb)) + 128) >> 8, 255)
