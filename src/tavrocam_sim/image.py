"""What the simulated acA2040-55uc sees, and how its settings make pixels of it.

The scene is fixed: a grey background that brightens from left to right (and a
little from top to bottom) with a 6 x 4 chart of colour patches on it, placed
off-centre so that mirroring shows. It is described in sensor coordinates
(2064 x 1544) as linear reflectances; the sensor sees each channel through the
default illumination (``device.SCENE_NEUTRAL_RGB``), so the default balance
ratios make its neutral patches grey.

A pixel's value, as a fraction of full scale, is

    reflectance * illumination * SCENE_SCALE * BalanceRatio[channel]
        * ExposureTime / 10 ms * 10 ** (Gain / 20) * 2 ** DigitalShift
        + BlackLevel / 255 + noise

clipped to full scale and rounded. The part up to BalanceRatio (the "unit
plane", laid out as the pixel format lays out its pixels, ROI cut and mirrored)
is made once per ROI, format and balance; frames are cached per complete
settings and noise pattern (NOISE_FRAMES of them), for the last two settings,
so a free-running camera with unchanged settings only hands out cached data.

With numpy everything is vectorised. Without it the same arithmetic runs in
pure Python, pixel by pixel, and gives the same images (within one count of
rounding): correct but slow (a few seconds a frame at the full sensor).
"""

from __future__ import annotations

import collections
import math
import random
import struct
from typing import NamedTuple

from . import model
from .device import SCENE_NEUTRAL_RGB

try:
    import numpy
except ImportError:  # the pure-Python path
    numpy = None

W, H = model.SENSOR_WIDTH, model.SENSOR_HEIGHT

# --- the scene (assumed)
# Background reflectance: BG_BASE + BG_X * x / (W - 1) + BG_Y * y / (H - 1).
BG_BASE, BG_X, BG_Y = 0.08, 0.62, 0.12
# The chart: PATCH x PATCH pixels, GAP apart, its top-left corner at CHART_XY.
CHART_XY, PATCH, GAP, COLUMNS = (260, 220), 200, 24, 6
# The 24 patches (sRGB, 8 bit) of a colour checker, row by row; the last row
# is neutral, white to black.
PATCHES_SRGB = (
    (115, 82, 68), (194, 150, 130), (98, 122, 157), (87, 108, 67), (133, 128, 177),
    (103, 189, 170), (214, 126, 44), (80, 91, 166), (193, 90, 99), (94, 60, 108),
    (157, 188, 64), (224, 163, 46), (56, 61, 150), (70, 148, 73), (175, 54, 60),
    (231, 199, 31), (187, 86, 149), (8, 133, 161), (243, 243, 242), (200, 200, 200),
    (160, 160, 160), (122, 122, 121), (85, 85, 85), (52, 52, 52))
# Sensor signal (fraction of full scale) of a reflectance of 1 in the green
# channel at 10 ms and 0 dB: the default image's mean is then about 0.36 of
# full scale.
SCENE_SCALE = 0.88
# Noise: Gaussian, NOISE_SIGMA of full scale, from a fixed table of
# NOISE_TABLE values; frame n (the camera's frame counter) gets slot n % NOISE_FRAMES.
NOISE_SIGMA = 1.0 / 255
NOISE_TABLE = 65521
NOISE_FRAMES = 4
NOISE_SEED = 2040
FACTOR_STEPS = 1024
# Luma and chroma of YCbCr422_8: ITU-R BT.601, full range.
YCBCR = ((0.299, 0.587, 0.114), (-0.168736, -0.331264, 0.5), (0.5, -0.418688, -0.081312))
LUMA = YCBCR[0]
# A brightness (auto functions) is the mean over pairs of rows and of columns
# SAMPLE_STEP apart (fewer for a small ROI).
SAMPLE_STEP = 16 if numpy is not None else 32


def _linear(value):
    value /= 255.0
    return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4


PATCHES = tuple(tuple(_linear(c) for c in rgb) for rgb in PATCHES_SRGB)


def patch_boxes():
    """(x0, y0, x1, y1, (r, g, b)) of each patch, in sensor coordinates."""
    boxes = []
    for index, rgb in enumerate(PATCHES):
        row, column = divmod(index, COLUMNS)
        x0 = CHART_XY[0] + column * (PATCH + GAP)
        y0 = CHART_XY[1] + row * (PATCH + GAP)
        boxes.append((x0, y0, x0 + PATCH, y0 + PATCH, rgb))
    return tuple(boxes)


BOXES = patch_boxes()


class Settings(NamedTuple):
    """What the pixels of one frame depend on, read from the registers."""
    width: int
    height: int
    offset_x: int
    offset_y: int
    reverse_x: bool
    reverse_y: bool
    pixel_format: str
    factor: float           # exposure * gain * digital shift, 1 at 10 ms and 0 dB
    black: float            # BlackLevel as a fraction of full scale
    ratios: tuple           # BalanceRatio red, green, blue
    test_image: str

    @property
    def layout(self):
        """The part the unit plane depends on."""
        return (self.width, self.height, self.offset_x, self.offset_y, self.reverse_x,
                self.reverse_y, _family(self.pixel_format), self.ratios)


def settings(regs) -> Settings:
    """The current settings of a device's registers (``device.Registers``)."""
    factor = (regs.get_float("ExposureTime") / 10000.0 * 10 ** (regs.get_float("Gain") / 20)
              * 2 ** regs.get_int("DigitalShift"))
    # In steps of 1/FACTOR_STEPS octave: the nudges of a settled Continuous
    # auto function then leave the frames (and the cache) unchanged.
    factor = 2 ** (round(math.log2(max(factor, 1e-9)) * FACTOR_STEPS) / FACTOR_STEPS)
    return Settings(
        regs.get_int("Width"), regs.get_int("Height"), regs.get_int("OffsetX"),
        regs.get_int("OffsetY"), bool(regs.get_int("ReverseX")), bool(regs.get_int("ReverseY")),
        regs.get_entry("PixelFormat"), factor, regs.get_float("BlackLevel") / 255.0,
        tuple(regs.get_float("BalanceRatio", index) for index in range(3)),
        regs.get_entry("TestImageSelector"))


def _family(pixel_format):
    """How the unit plane is laid out: 'bayer', 'mono', 'rgb', 'bgr' (YCbCr: 'rgb')."""
    if pixel_format.startswith("Bayer"):
        return "bayer"
    return {"Mono8": "mono", "BGR8": "bgr"}.get(pixel_format, "rgb")


def bits(pixel_format) -> int:
    """The significant bits of a pixel: 12 or 8."""
    return 12 if "12" in pixel_format else 8


def image_size(s: Settings) -> int:
    """Bytes of image data (as PayloadSize counts them, without chunks)."""
    return s.width * s.height * ((model.PFNC[s.pixel_format] >> 16) & 0xFF) // 8


# --------------------------------------------------------------- the unit plane
def _channel_factors(ratios):
    return tuple(SCENE_NEUTRAL_RGB[c] * SCENE_SCALE * ratios[c] for c in range(3))


def _unit_numpy(layout):
    width, height, x0, y0, rx, ry, family, ratios = layout
    xs = numpy.arange(x0, x0 + width, dtype=numpy.float32) * numpy.float32(BG_X / (W - 1))
    ys = numpy.arange(y0, y0 + height, dtype=numpy.float32) * numpy.float32(BG_Y / (H - 1))
    grey = ys[:, None] + (xs[None, :] + numpy.float32(BG_BASE))
    rgb = numpy.repeat(grey[:, :, None], 3, axis=2)
    for bx0, by0, bx1, by1, colour in BOXES:
        cx0, cx1 = max(bx0, x0) - x0, min(bx1, x0 + width) - x0
        cy0, cy1 = max(by0, y0) - y0, min(by1, y0 + height) - y0
        if cx0 < cx1 and cy0 < cy1:
            rgb[cy0:cy1, cx0:cx1] = colour
    rgb *= numpy.array(_channel_factors(ratios), dtype=numpy.float32)
    if family == "bayer":
        # The sensor's own filter is RG from its top-left pixel; the offsets are even.
        plane = numpy.empty((height, width), numpy.float32)
        plane[0::2, 0::2] = rgb[0::2, 0::2, 0]
        plane[0::2, 1::2] = rgb[0::2, 1::2, 1]
        plane[1::2, 0::2] = rgb[1::2, 0::2, 1]
        plane[1::2, 1::2] = rgb[1::2, 1::2, 2]
    elif family == "mono":
        plane = rgb @ numpy.array(LUMA, dtype=numpy.float32)
    elif family == "bgr":
        plane = rgb[:, :, ::-1]
    else:
        plane = rgb
    if ry:
        plane = plane[::-1]
    if rx:
        plane = plane[:, ::-1]
    return numpy.ascontiguousarray(plane, dtype=numpy.float32)


def _unit_pure(layout, rows=None, columns=None):
    """The unit plane as a flat list, for the given rows/columns of the
    (mirrored) image (all by default)."""
    width, height, x0, y0, rx, ry, family, ratios = layout
    rows = range(height) if rows is None else rows
    columns = range(width) if columns is None else columns
    factors = _channel_factors(ratios)
    sensor_x = [x0 + (width - 1 - i if rx else i) for i in columns]
    ramp = [BG_BASE + BG_X * x / (W - 1) for x in sensor_x]
    out = []
    for j in rows:
        y = y0 + (height - 1 - j if ry else j)
        lift = BG_Y * y / (H - 1)
        boxes = [box for box in BOXES if box[1] <= y < box[3]]
        for x, base in zip(sensor_x, ramp):
            rgb = None
            for bx0, _, bx1, _, colour in boxes:
                if bx0 <= x < bx1:
                    rgb = colour
                    break
            if rgb is None:
                grey = lift + base
                rgb = (grey, grey, grey)
            if family == "bayer":
                channel = (x & 1) + (y & 1)  # R at (even, even), B at (odd, odd)
                out.append(rgb[channel] * factors[channel])
            else:
                r, g, b = (rgb[c] * factors[c] for c in range(3))
                if family == "mono":
                    out.append(LUMA[0] * r + LUMA[1] * g + LUMA[2] * b)
                elif family == "bgr":
                    out += (b, g, r)
                else:
                    out += (r, g, b)
    return out


_UNITS: dict = {}


def unit_plane(layout):
    """The cached unit plane of a layout (numpy array, or flat list without numpy)."""
    plane = _UNITS.get(layout)
    if plane is None:
        if len(_UNITS) >= 4:
            _UNITS.pop(next(iter(_UNITS)))
        plane = _unit_numpy(layout) if numpy is not None else _unit_pure(layout)
        _UNITS[layout] = plane
    return plane


# --------------------------------------------------------------- brightness
_SAMPLES: dict = {}


def _sample(layout):
    """Unit values (of luma for the colour formats) at a sparse grid of pixel
    pairs of the ROI, for the brightness."""
    found = _SAMPLES.get(layout)
    if found is not None:
        return found
    width, height, family = layout[0], layout[1], layout[6]
    step = max(2, min(SAMPLE_STEP, width // 32, height // 32))  # small ROIs: more samples
    rows = sorted({*range(0, height, step), *range(1, height, step)})
    columns = sorted({*range(0, width, step), *range(1, width, step)})
    if numpy is not None:
        plane = unit_plane(layout)
        values = plane[rows][:, columns]
        if values.ndim == 3:
            values = values.reshape(-1, 3)
    else:
        values = _unit_pure(layout, rows, columns)
        if family in ("rgb", "bgr"):
            values = [tuple(values[i:i + 3]) for i in range(0, len(values), 3)]
    if family == "bgr":
        values = values[:, ::-1] if numpy is not None else [v[::-1] for v in values]
    if len(_SAMPLES) >= 8:
        _SAMPLES.pop(next(iter(_SAMPLES)))
    _SAMPLES[layout] = values
    return values


def mean_level(s: Settings) -> float:
    """The mean of the image's pixel values as a fraction of full scale (the
    brightness the auto functions compare with their target): of the raw values
    for Bayer formats, of the luma for the others."""
    if s.test_image != "Off":
        return 0.5
    mean = _MEANS.get(s)
    if mean is None:
        if len(_MEANS) >= 64:
            _MEANS.clear()
        mean = _MEANS[s] = _mean_level(s)
    return mean


_MEANS: dict = {}


def _mean_level(s: Settings) -> float:
    values = _sample(s.layout)
    family = _family(s.pixel_format)
    if numpy is not None:
        scaled = numpy.clip(values * numpy.float32(s.factor) + numpy.float32(s.black), 0, 1)
        if family in ("rgb", "bgr"):
            scaled = scaled @ numpy.array(LUMA, dtype=numpy.float32)
        return float(scaled.mean())
    k, b = s.factor, s.black
    if family in ("rgb", "bgr"):
        total = sum(sum(w * min(max(v * k + b, 0.0), 1.0) for w, v in zip(LUMA, rgb))
                    for rgb in values)
    else:
        total = sum(min(max(v * k + b, 0.0), 1.0) for v in values)
    return total / len(values)


# --------------------------------------------------------------- noise
_NOISE_VALUES: list = []
_NOISE_ARRAYS: dict = {}


def _noise_table():
    if not _NOISE_VALUES:
        rng = random.Random(NOISE_SEED)
        _NOISE_VALUES.extend(rng.gauss(0.0, 1.0) for _ in range(NOISE_TABLE))
    return _NOISE_VALUES


def _noise_offset(slot):
    return slot * 7919 % NOISE_TABLE


def _noise_numpy(count, slot, full):
    """Noise in counts of a full scale ``full``, plus 0.5 (the rounding)."""
    key = (count, full)
    tiled = _NOISE_ARRAYS.get(key)
    if tiled is None:
        table = numpy.array(_noise_table(), dtype=numpy.float32)
        tiled = numpy.resize(table, count + NOISE_TABLE)
        tiled *= numpy.float32(NOISE_SIGMA * full)
        tiled += numpy.float32(0.5)
        _NOISE_ARRAYS.clear()
        _NOISE_ARRAYS[key] = tiled
    offset = _noise_offset(slot)
    return tiled[offset:offset + count]


def _noise_pure(count, slot):
    table = _noise_table()
    offset = _noise_offset(slot)
    reps = (offset + count) // NOISE_TABLE + 1
    return (table * reps)[offset:offset + count]


# --------------------------------------------------------------- frames
def _pack12(values):
    """PFNC 12p (lsb first): two pixels in three bytes."""
    if numpy is not None:
        values = values.reshape(-1)
        first, second = values[0::2], values[1::2]
        out = numpy.empty((first.size, 3), numpy.uint8)
        out[:, 0] = first & 0xFF
        out[:, 1] = (first >> 8) | ((second & 0x0F) << 4)
        out[:, 2] = second >> 4
        return out.tobytes()
    out = bytearray()
    for i in range(0, len(values), 2):
        a, b = values[i], values[i + 1]
        out += bytes((a & 0xFF, (a >> 8) | ((b & 0x0F) << 4), b >> 4))
    return bytes(out)


def unpack12(data: bytes, count: int):
    """The pixel values of 12p data (numpy uint16 array, or a list)."""
    if numpy is not None:
        raw = numpy.frombuffer(data, numpy.uint8, count // 2 * 3).reshape(-1, 3)
        raw = raw.astype(numpy.uint16)
        out = numpy.empty((raw.shape[0], 2), numpy.uint16)
        out[:, 0] = raw[:, 0] | ((raw[:, 1] & 0x0F) << 8)
        out[:, 1] = (raw[:, 1] >> 4) | (raw[:, 2] << 4)
        return out.reshape(-1)
    out = []
    for i in range(0, count // 2 * 3, 3):
        b0, b1, b2 = data[i], data[i + 1], data[i + 2]
        out += (b0 | ((b1 & 0x0F) << 8), (b1 >> 4) | (b2 << 4))
    return out


def _encode(values, pixel_format):
    """Integer pixel values (in the format's layout) as the format's bytes."""
    if pixel_format.endswith("12p"):
        return _pack12(values)
    if numpy is not None:
        return values.astype("<u2" if bits(pixel_format) == 12 else numpy.uint8).tobytes()
    if bits(pixel_format) == 12:
        return struct.pack(f"<{len(values)}H", *values)
    return bytes(values)


def _ycbcr(rgb, width, height):
    """Clipped RGB (floats, 0..255) as YCbCr422_8 bytes: Y0 Cb Y1 Cr."""
    (yr, yg, yb), (ur, ug, ub), (vr, vg, vb) = YCBCR
    if numpy is not None:
        # rgb is offset by 0.5 here (clipped to 0.5 .. 255.5): the luma keeps
        # it (the weights add up to 1), the chroma loses it (they add up to 0).
        out = numpy.empty((height, width // 2, 4), numpy.float32)
        # (Three-dimensional operands: numpy's own loops, not a threaded BLAS.)
        out[..., 0::2] = (rgb @ numpy.array(YCBCR[0], numpy.float32)).reshape(
            height, width // 2, 2)
        pairs = rgb.reshape(height, width // 2, 6)  # two pixels: the chroma of their mean
        for slot, weights in ((1, YCBCR[1]), (3, YCBCR[2])):
            chroma = pairs @ (numpy.array(weights * 2, numpy.float32) * numpy.float32(0.5))
            chroma += numpy.float32(128.5)
            out[..., slot] = chroma
        numpy.clip(out, 0, 255, out=out)
        return out.astype(numpy.uint8).tobytes()
    out = bytearray()
    for i in range(0, len(rgb), 6):
        r0, g0, b0, r1, g1, b1 = rgb[i:i + 6]
        mr, mg, mb = (r0 + r1) * 0.5, (g0 + g1) * 0.5, (b0 + b1) * 0.5
        for value in (yr * r0 + yg * g0 + yb * b0, ur * mr + ug * mg + ub * mb + 128,
                      yr * r1 + yg * g1 + yb * b1, vr * mr + vg * mg + vb * mb + 128):
            out.append(int(min(max(value + 0.5, 0.0), 255.0)))
    return bytes(out)


_WORK: list = []


def _work(plane):
    """A float32 buffer shaped like ``plane``, reused from frame to frame."""
    if not _WORK or _WORK[0].shape != plane.shape:
        _WORK[:] = [numpy.empty_like(plane)]
    return _WORK[0]


def _scene_frame(s: Settings, slot: int) -> bytes:
    full = (1 << bits(s.pixel_format)) - 1
    plane = unit_plane(s.layout)
    ycbcr = s.pixel_format == "YCbCr422_8"
    scale, offset = s.factor * full, s.black * full
    if numpy is not None:
        values = _work(plane)
        numpy.multiply(plane, numpy.float32(scale), out=values)
        values += _noise_numpy(values.size, slot, full).reshape(values.shape)
        if offset:
            values += numpy.float32(offset)
        if ycbcr:
            numpy.clip(values, 0.5, full + 0.5, out=values)
            return _ycbcr(values, s.width, s.height)
        numpy.clip(values, 0, full, out=values)
        if s.pixel_format.endswith("12p"):
            return _pack12(values.astype(numpy.uint16))
        return values.astype("<u2" if full > 255 else numpy.uint8).tobytes()
    noise = _noise_pure(len(plane), slot)
    sigma = NOISE_SIGMA * full
    if ycbcr:
        rgb = [min(max(u * scale + offset + e * sigma, 0.0), full) for u, e in zip(plane, noise)]
        return _ycbcr(rgb, s.width, s.height)
    offset += 0.5
    values = [int(min(max(u * scale + offset + e * sigma, 0.0), full))
              for u, e in zip(plane, noise)]
    return _encode(values, s.pixel_format)


# Test images (assumed patterns; not affected by exposure, gain, balance or
# noise; in image coordinates): value v of each pixel, in all three channels
# of the colour formats (YCbCr: Cb = Cr = 128).
TEST_IMAGES = {
    "Testimage1": "diagonal grey ramp (x + y) mod 256, static",
    "Testimage2": "diagonal grey ramp (x + y + frame) mod 256, moving",
    "Testimage3": "diagonal 12-bit ramp (x + y + frame) mod 4096, moving",
    "Testimage4": "diagonal 12-bit ramp (x + y) mod 4096, static",
    "Testimage5": "checkerboard of 32 x 32 squares, black and full scale",
    "Testimage6": "eight vertical bars, black to full scale",
}


def _test_value(name, x, y, number, width):
    """The test image's value at (x, y), on the 12-bit scale."""
    if name == "Testimage1":
        return ((x + y) % 256) << 4
    if name == "Testimage2":
        return ((x + y + number) % 256) << 4
    if name == "Testimage3":
        return (x + y + number) % 4096
    if name == "Testimage4":
        return (x + y) % 4096
    if name == "Testimage5":
        return 4095 if (x // 32 + y // 32) % 2 else 0
    return (x * 8 // width) * 4095 // 7


def _test_frame(s: Settings, number: int) -> bytes:
    name, width, height = s.test_image, s.width, s.height
    shift = 0 if bits(s.pixel_format) == 12 else 4
    family = _family(s.pixel_format)
    if numpy is not None:
        x = numpy.arange(width, dtype=numpy.int64)[None, :]
        y = numpy.arange(height, dtype=numpy.int64)[:, None]
        if name == "Testimage5":
            v = numpy.where((x // 32 + y // 32) % 2 == 1, 4095, 0)
        elif name == "Testimage6":
            v = numpy.broadcast_to((x * 8 // width) * 4095 // 7, (height, width))
        else:
            step = number if name in ("Testimage2", "Testimage3") else 0
            modulo = 256 if name in ("Testimage1", "Testimage2") else 4096
            v = (x + y + step) % modulo
            if modulo == 256:
                v = v << 4
        v = (numpy.asarray(v) >> shift).astype(numpy.uint16)
        if s.pixel_format == "YCbCr422_8":
            out = numpy.full((height, width, 2), 128, numpy.uint8)
            out[..., 0] = v
            return out.tobytes()
        if family in ("rgb", "bgr"):
            v = numpy.repeat(v[:, :, None], 3, axis=2)
        return _encode(v, s.pixel_format)
    values = []
    channels = 3 if family in ("rgb", "bgr") else 1
    for y in range(height):
        for x in range(width):
            v = _test_value(name, x, y, number, width) >> shift
            if s.pixel_format == "YCbCr422_8":
                values += (v, 128)
            else:
                values += (v,) * channels
    if s.pixel_format == "YCbCr422_8":
        return bytes(values)
    return _encode(values, s.pixel_format)


_FRAMES: collections.OrderedDict = collections.OrderedDict()


def frame(s: Settings, number: int) -> bytes:
    """The image data of frame ``number`` (the camera's frame counter) at settings ``s``."""
    if s.test_image != "Off":
        static = s.test_image not in ("Testimage2", "Testimage3")
        key = (s, -1 if static else number)
        maker = _test_frame
        argument = number
    else:
        key = (s, number % NOISE_FRAMES)
        maker = _scene_frame
        argument = number % NOISE_FRAMES
    data = _cached(key)
    if data is None:
        data = _cache(key, maker(s, argument))
    return data


def _cached(key):
    value = _FRAMES.get(key)
    if value is not None:
        _FRAMES.move_to_end(key)
    return value


def _cache(key, value):
    """Keep the frames of the last two settings (a settled Continuous auto
    function steps between two)."""
    _FRAMES[key] = value
    while len(_FRAMES) > 2 * NOISE_FRAMES:
        _FRAMES.popitem(last=False)
    return value


def frame_values(s: Settings, number: int):
    """The pixel values of ``frame(s, number)`` (numpy; cached for 12p, whose
    unpacking costs more than the frame)."""
    key = ("values", s, number % NOISE_FRAMES if s.test_image == "Off" else number)
    values = _cached(key)
    if values is None:
        values = _cache(key, unpack12(frame(s, number), s.width * s.height))
    return values


def pixel_values(data: bytes, pixel_format: str, count: int):
    """The pixel values of image data as integers (numpy array or list), one
    per sample (three per pixel for RGB8/BGR8, two for YCbCr422_8)."""
    if pixel_format.endswith("12p"):
        return unpack12(data, count)
    if bits(pixel_format) == 12:
        if numpy is not None:
            return numpy.frombuffer(data, "<u2")
        return list(struct.unpack(f"<{len(data) // 2}H", data))
    if numpy is not None:
        return numpy.frombuffer(data, numpy.uint8)
    return list(data)

