"""How the simulated acA2040-55uc turns light into pixel values: its analog
stage and its digital processing, as integer tables.

The analog stage (exposure, gain, black level, balance ratios) makes a 12-bit
raw value of each sample. For the RGB, BGR and YCbCr formats the light-source
preset's colour matrix mixes the three balanced channels first. The digital
processing then runs on the 12-bit value, in this order (assumed): the
luminance LUT (when enabled), the preset's sRGB gamma (RGB/BGR/YCbCr with a
preset other than Off), ``Gamma``, ``DigitalShift`` (a left shift that
saturates at full scale) and the cut to the format's bits (the top 8 of 12
for the 8-bit formats). ``processing`` is that chain as a table over the 4096
raw values; ``amplitudes`` gives each scene key's raw value per level.

Everything here is computed in Python integers or in the same float
operations numpy uses, so the tables are identical with and without numpy.
"""

from __future__ import annotations

import math

from . import model
from .scene import LEVEL_SCALE, LEVEL_ZERO, LEVELS, REGIONS, SCENE_SCALE

FULL12 = 4095
# Integer BT.601 (full range) for YCbCr422_8 and the Mono8 of a colour test
# image: weights in 1/256.
Y_WEIGHTS = (77, 150, 29)
CB_WEIGHTS = (-43, -85, 128)
CR_WEIGHTS = (128, -107, -21)
LUMA = (0.299, 0.587, 0.114)


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


def colour_matrix(preset, ratios):
    """The matrix from the sensor's (unbalanced) channels to the output's:
    the preset's colour transformation times the balance ratios."""
    matrix = model.COLOR_MATRICES[preset]
    return tuple(tuple(matrix[c][k] * ratios[k] for k in range(3)) for c in range(3))


def amplitudes(family, factor, ratios, preset):
    """Raw counts (12 bit) per level above LEVEL_ZERO for each key, as a list
    of per-channel tuples (one channel for Bayer and Mono8, three otherwise)."""
    scale = factor * FULL12 / LEVEL_SCALE
    seen = model.SCENE_NEUTRAL_RGB
    out = []
    if family == "bayer":
        for site in range(3):
            for region in REGIONS:
                out.append((region[site] * seen[site] * SCENE_SCALE * ratios[site] * scale,))
        return out
    matrix = colour_matrix(preset if family != "mono" else "Off", ratios)
    for region in REGIONS:
        light = [region[k] * seen[k] * SCENE_SCALE for k in range(3)]
        mixed = tuple(sum(matrix[c][k] * light[k] for k in range(3)) * scale for c in range(3))
        if family == "mono":
            mixed = (LUMA[0] * mixed[0] + LUMA[1] * mixed[1] + LUMA[2] * mixed[2],)
        out.append(mixed)
    return out


def raw(level, amplitude, black):
    """The raw 12-bit value of a level for one amplitude (pure Python; the
    numpy path does the same operations on arrays)."""
    value = math.floor(float(level - LEVEL_ZERO) * amplitude + black)
    return min(max(value, 0), FULL12)


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


# --------------------------------------------------------------- the scene's tables
def table_numpy(np, family, amplitudes, black, process, dtype):
    """The output value of every code (see tavrocam_sim.scene): an array of
    ``dtype`` (RGB/BGR: rows of three uint8; YCbCr: Y | C << 8, two a code,
    even and odd column); ``process``: ``processing`` as an intp array."""
    levels = np.arange(LEVELS, dtype=np.float64) - LEVEL_ZERO
    a = np.array(amplitudes, np.float64)  # keys x channels
    values = np.floor(a[:, None, :] * levels[None, :, None] + black)
    np.clip(values, 0, FULL12, out=values)
    values = process[values.astype(np.intp)]  # keys x levels x channels
    if family in ("bayer", "mono"):
        return values.reshape(-1).astype(dtype)
    rgb = values.reshape(-1, 3)
    if family == "bgr":
        rgb = rgb[:, ::-1]
    if family != "ycbcr":
        return np.ascontiguousarray(rgb, dtype=np.uint8)
    y = np.clip((rgb @ np.array(Y_WEIGHTS) + 128) >> 8, 0, 255)
    out = np.empty((rgb.shape[0], 2), np.intp)
    for parity, weights in enumerate((CB_WEIGHTS, CR_WEIGHTS)):
        c = ((rgb @ np.array(weights) + 128) >> 8) + 128
        out[:, parity] = y | np.clip(c, 0, 255) << 8
    return out.reshape(-1).astype(dtype)


class PureTable:
    """The scene's table without numpy: each code's value made when first used
    (threads sharing one may both make a value: it is the same, and a dict
    stores it atomically)."""

    def __init__(self, family, amplitudes, black, process):
        self.family, self.amplitudes, self.black, self.process = family, amplitudes, black, process
        self.values: dict = {}

    def __getitem__(self, code):
        value = self.values.get(code)
        if value is None:
            value = self.values[code] = self._make(code)
        return value

    def _make(self, code):
        parity = 0
        if self.family == "ycbcr":
            code, parity = divmod(code, 2)
        key, level = divmod(code, LEVELS)
        out = tuple(self.process[raw(level, a, self.black)] for a in self.amplitudes[key])
        if self.family in ("bayer", "mono"):
            return out[0]
        if self.family == "bgr":
            return out[::-1]
        if self.family == "ycbcr":
            return ycbcr(out, parity)
        return out
