"""The images of the simulated acA2040-55uc: its settings, its frames.

``settings(regs)`` reads what a frame's pixels depend on from a device's
registers; ``frame(settings, number)`` makes the image data of the camera's
frame ``number``. The scene (``tavrocam_sim.scene``) gives every pixel a code,
noise moves it (a fixed pattern per frame slot, NOISE_FRAMES of them), and one
table per settings (``tavrocam_sim.pixels``: exposure, gain, black level,
balance, colour matrix, LUT, gammas, digital shift) turns codes into the
format's values, so a frame is one look-up per pixel. Test images
(``tavrocam_sim.testimages``) replace the scene when TestImageSelector is not
Off, and Testimage2 does whenever the camera is over temperature.

A frame's bytes depend only on its settings and number: work buffers are per
thread, caches are behind one lock and hold only read-only values. With numpy
the look-ups are vectorised; without it the same integer arithmetic runs in
pure Python and gives the same bytes (a few seconds a frame at the full sensor).
"""

from __future__ import annotations

import collections
import math
import threading
from typing import NamedTuple

from . import formats, model, pixels, scene, testimages

try:
    import numpy
except ImportError:  # the pure-Python path
    numpy = None

NOISE_FRAMES = scene.NOISE_FRAMES
# Exposure times gain in steps of 1/FACTOR_STEPS octave: the nudges of a
# settled Continuous auto function then leave the frames (and the cache) unchanged.
FACTOR_STEPS = 1024
# A brightness (auto functions) is the mean over pairs of rows and of columns
# SAMPLE_STEP apart (fewer for a small ROI).
SAMPLE_STEP = 16
COLOUR = ("rgb", "bgr", "ycbcr")


class Settings(NamedTuple):
    """What the pixels of one frame depend on, read from the registers."""
    width: int
    height: int
    offset_x: int
    offset_y: int
    reverse_x: bool
    reverse_y: bool
    pixel_format: str
    factor: float           # exposure * gain, 1 at 10 ms and 0 dB
    black: float            # BlackLevel, in counts of the pixel format
    ratios: tuple           # BalanceRatio red, green, blue
    test_image: str
    gamma: float = 1.0
    digital_shift: int = 0
    lut: tuple | None = None   # LUTValue of each LUTIndex when LUTEnable is on
    preset: str = "Off"     # LightSourcePreset (the colour formats only)
    over_temperature: bool = False  # the camera then sends Testimage2

    @property
    def layout(self):
        """The part the scene's codes depend on."""
        return (self.width, self.height, self.offset_x, self.offset_y, self.reverse_x,
                self.reverse_y, _family(self.pixel_format))

    @property
    def shown(self) -> str:
        """The test image the camera sends, or "Off" for the scene."""
        return "Testimage2" if self.over_temperature else self.test_image


def settings(regs, over_temperature=False) -> Settings:
    """The current settings of a device's registers (``device.Registers``);
    ``over_temperature``: the camera is in its over-temperature mode."""
    factor = regs.get_float("ExposureTime") / 10000.0 * 10 ** (regs.get_float("Gain") / 20)
    factor = 2 ** (round(math.log2(max(factor, 1e-9)) * FACTOR_STEPS) / FACTOR_STEPS)
    pixel_format = regs.get_entry("PixelFormat")
    twelve = bits(pixel_format) == 12
    black = min(max(regs.get_float("BlackLevel"), 0.0),
                model.BLACK_LEVEL_MAX_12 if twelve else model.BLACK_LEVEL_MAX_8)
    lut = None
    if regs.get_int("LUTEnable") and "LUTValue" in model.BY_NAME:
        every = getattr(regs, "get_ints", None)  # the registers' own: one read
        lut = every("LUTValue") if every is not None else \
            tuple(regs.get_int("LUTValue", i) for i in range(model.LUT_POINTS))
    preset = regs.get_entry("LightSourcePreset") if _family(pixel_format) in COLOUR else "Off"
    return Settings(
        regs.get_int("Width"), regs.get_int("Height"), regs.get_int("OffsetX"),
        regs.get_int("OffsetY"), bool(regs.get_int("ReverseX")), bool(regs.get_int("ReverseY")),
        pixel_format, factor, black,
        tuple(regs.get_float("BalanceRatio", index) for index in range(3)),
        regs.get_entry("TestImageSelector"), regs.get_float("Gamma"),
        regs.get_int("DigitalShift"), lut, preset, bool(over_temperature))


bits = formats.bits
_family = formats.family


def image_size(s: Settings) -> int:
    """Bytes of image data (as PayloadSize counts them, without chunks)."""
    return formats.payload_bytes(s.pixel_format, s.width, s.height)


def unpack12(data: bytes, count: int):
    """The pixel values of 12p data (numpy uint16 array, or a list)."""
    return formats.unpack12(data, count, numpy)


def pixel_values(data: bytes, pixel_format: str, count: int):
    """The pixel values of image data as integers (numpy array or list), one
    per sample (three per pixel for RGB8/BGR8, two for YCbCr422_8)."""
    return formats.pixel_values(data, pixel_format, count, numpy)


# --------------------------------------------------------------- caches
_LOCK = threading.Lock()
_CACHES: dict = collections.defaultdict(collections.OrderedDict)
_LIMITS = {"codes": 4, "noise": 2, "table": 16, "processing": 16, "curve": 4, "test": 16,
           "diagonal": 2, "frame": 2 * NOISE_FRAMES, "values": 2 * NOISE_FRAMES,
           "mean": 64, "sample": 8, "counts": 8, "channels": 64}


def _cached(kind, key, make):
    """The cached value of ``make()`` under ``key``; made outside the lock (two
    threads may both make it: the values are equal and never written)."""
    with _LOCK:
        cache = _CACHES[kind]
        value = cache.get(key)
        if value is not None:
            cache.move_to_end(key)
            return value
    return _store(kind, key, make())


def _store(kind, key, value):
    with _LOCK:
        cache = _CACHES[kind]
        cache[key] = value
        while len(cache) > _LIMITS[kind]:
            cache.popitem(last=False)
    return value


def clear_caches():
    """Forget every cached frame, table and plane (of every thread)."""
    with _LOCK:
        _CACHES.clear()


def _readonly(array):
    array.flags.writeable = False
    return array


# --------------------------------------------------------------- tables
def _curve(s):
    if s.lut is None:
        return None
    return _cached("curve", s.lut, lambda: pixels.lut_curve(s.lut))


def _processing(s, np):
    srgb = s.preset != "Off" and _family(s.pixel_format) in COLOUR
    key = (s.lut, srgb, s.gamma, s.digital_shift, bits(s.pixel_format), np is None)

    def make():
        table = pixels.processing(_curve(s), key[1], s.gamma, s.digital_shift, key[4])
        return table if np is None else _readonly(np.array(table, np.intp))
    return _cached("processing", key, make)


def _output_dtype(np, s):
    return np.uint16 if bits(s.pixel_format) == 12 or s.pixel_format == "YCbCr422_8" \
        else np.uint8


def _scene_table(s, np):
    """Output value of each code at settings ``s`` (numpy array, or a
    ``pixels.PureTable``)."""
    family = _family(s.pixel_format)
    key = (s.pixel_format, s.factor, s.black, s.ratios, s.gamma, s.digital_shift, s.lut,
           s.preset, np is None)
    black = s.black * (1 if bits(s.pixel_format) == 12 else 16) + 0.5
    amplitudes = pixels.amplitudes(family, s.factor, s.ratios, s.preset)
    if np is None:
        return _cached("table", key, lambda: pixels.PureTable(
            family, amplitudes, black, _processing(s, None)))
    return _cached("table", key, lambda: _readonly(pixels.table_numpy(
        np, family, amplitudes, black, _processing(s, np), _output_dtype(np, s))))


# --------------------------------------------------------------- frames
def _codes(s, np):
    key = (s.layout, np is None)
    if np is None:
        return _cached("codes", key, lambda: scene.codes_pure(s.layout))
    return _cached("codes", key, lambda: _readonly(scene.codes_numpy(np, s.layout)))


def _noise(np, count, scale):
    """The noise table tiled to ``count`` + NOISE_TABLE values, times ``scale``."""
    def make():
        table = np.array(scene.noise_values(), np.int32) * scale
        return _readonly(np.resize(table, count + scene.NOISE_TABLE))
    return _cached("noise", (count, scale), make)


def _scene_frame(s: Settings, slot: int) -> bytes:
    np = numpy
    count = s.width * s.height
    table = _scene_table(s, np)
    codes = _codes(s, np)
    offset = scene.noise_offset(slot)
    scale = 2 if s.pixel_format == "YCbCr422_8" else 1
    if np is None:
        noise = _cached("noise", "pure", lambda: tuple(scene.noise_values()))
        noise = (noise * ((offset + count) // scene.NOISE_TABLE + 1))[offset:offset + count]
        values = [table[code + scale * n] for code, n in zip(codes, noise)]
        return formats.encode(values, s.pixel_format)
    index = formats.buffer(np, "index", (count,), np.intp)
    np.add(codes, _noise(np, count, scale)[offset:offset + count], out=index)
    return _lookup(np, table, index, s, slot)


def _lookup(np, table, index, s, number):
    """``table[index]`` as the format's bytes (12p: its values kept for
    ``frame_values``)."""
    pixel_format = s.pixel_format
    if table.ndim == 1:
        out = formats.buffer(np, "out", index.shape, table.dtype)
        np.take(table, index, out=out)
    else:  # RGB triples: as 3-byte items (numpy copies them faster than rows)
        out = formats.buffer(np, "out3", index.shape + (3,), table.dtype)
        np.take(table.view("V3").reshape(-1), index, out=out.view("V3").reshape(-1))
    if pixel_format.endswith("12p"):
        _store("values", _values_key(s, number), _readonly(out.copy()))
        return formats.pack12(out, np)
    return out.tobytes()


def _test_frame(s: Settings, number: int) -> bytes:
    name, np = s.shown, numpy
    curve = _curve(s) if name in testimages.THROUGH_LUT else None
    key = (name, s.pixel_format, curve is not None and s.lut, np is None)

    def make():
        table = testimages.table(name, s.pixel_format, curve)
        if np is None:
            return table
        dtype = _output_dtype(np, s)
        return _readonly(np.array(table, np.uint8 if isinstance(table[0], tuple) else dtype))
    table = _cached("test", key, make)
    if np is None:
        index = testimages.index_pure(name, s.pixel_format, s.width, s.height, number)
        values = [table[i] for i in index]
        return formats.encode(values, s.pixel_format)
    base = _cached("diagonal", (s.width, s.height),
                   lambda: testimages.diagonal(np, s.width, s.height))
    index = formats.buffer(np, "index", (s.width * s.height,), np.intp)
    testimages.index_numpy(np, name, s.pixel_format, s.width, s.height, number, base, index)
    return _lookup(np, table, index, s, number)


def frame(s: Settings, number: int) -> bytes:
    """The image data of frame ``number`` (the camera's frame counter) at settings ``s``."""
    name = s.shown
    if name != "Off":
        key = (s, number if name in testimages.MOVING else -1, numpy is None)
        return _cached("frame", key, lambda: _test_frame(s, number))
    slot = number % NOISE_FRAMES
    return _cached("frame", (s, slot, numpy is None), lambda: _scene_frame(s, slot))


def frame_values(s: Settings, number: int):
    """The pixel values of ``frame(s, number)`` (cached for 12p, whose
    unpacking costs more than the frame)."""
    key = _values_key(s, number)

    def make():
        data = frame(s, number)  # a new 12p frame keeps its values
        with _LOCK:
            found = _CACHES["values"].get(key)
        return found if found is not None else _readonly_values(
            unpack12(data, s.width * s.height))
    return _cached("values", key, make)


def _values_key(s, number):
    return (s, number % NOISE_FRAMES if s.shown == "Off" else number, numpy is None)


def _readonly_values(values):
    return _readonly(values) if numpy is not None else values


# --------------------------------------------------------------- what the auto functions see
def _sample_codes(s, np):
    """Noise-free codes at a sparse grid of pixel pairs of the ROI."""
    width, height = s.width, s.height
    step = max(2, min(SAMPLE_STEP, width // 32, height // 32))  # small ROIs: more samples
    rows = sorted({*range(0, height, step), *range(1, height, step)})
    columns = sorted({*range(0, width, step), *range(1, width, step)})
    key = (s.layout, np is None)
    if np is None:
        return _cached("sample", key, lambda: scene.codes_pure(s.layout, rows, columns))
    return _cached("sample", key, lambda: _readonly(
        _codes(s, np).reshape(height, width)[rows][:, columns].reshape(-1).astype(np.intp)))


def mean_level(s: Settings) -> float:
    """The mean of the image's pixel values as a fraction of full scale (the
    brightness the auto functions compare with their target): of the raw values
    for Bayer formats, of the luma for the others."""
    if s.shown != "Off":
        return 0.5
    return _cached("mean", (s, numpy is None), lambda: _mean_level(s, numpy))


def _mean_level(s, np):
    family = _family(s.pixel_format)
    table = _scene_table(s, np)
    codes = _sample_codes(s, np)
    full = (1 << bits(s.pixel_format)) - 1
    weights = pixels.Y_WEIGHTS
    if np is not None:
        values = np.take(table, codes, axis=0).astype(np.int64)
        if family == "ycbcr":
            values &= 0xFF
        elif family in ("rgb", "bgr"):
            values = values @ np.array(weights[::-1] if family == "bgr" else weights)
        total, count = int(values.sum()), len(codes)
    else:
        values = [table[code] for code in codes]
        if family == "ycbcr":
            values = [v & 0xFF for v in values]
        elif family in ("rgb", "bgr"):
            values = [sum(w * c for w, c in zip(weights, rgb[::-1] if family == "bgr" else rgb))
                      for rgb in values]
        total, count = sum(values), len(values)
    if family in ("rgb", "bgr"):
        total /= 256
    return total / count / full


def channel_means(s: Settings):
    """The red, green and blue averages (fractions of full scale) the white
    balance sees: the balanced raw channels before the colour matrix, over the
    ROI, whatever the pixel format (a test image: equal). Cached: an auto
    function asks every frame."""
    if s.shown != "Off":
        return (0.5, 0.5, 0.5)
    key = (s.layout, s.factor, s.black, s.ratios, bits(s.pixel_format), numpy is None)
    return _cached("channels", key, lambda: _channel_means(s))


def _code_counts(s):
    """(code, how often) of the noise-free sample codes of ``s``'s ROI."""
    def make():
        codes = _sample_codes(s, numpy)
        if numpy is not None:
            found, times = numpy.unique(codes, return_counts=True)
            pairs = zip(found.tolist(), times.tolist())
        else:
            pairs = collections.Counter(codes).items()
        merged = collections.Counter()
        for code, times in pairs:
            merged[code // 2 if _family(s.pixel_format) == "ycbcr" else code] += times
        return tuple(merged.items()), len(codes)
    return _cached("counts", (s.layout, numpy is None), make)


def _channel_means(s):
    counts, total_count = _code_counts(s)
    amplitudes = pixels.amplitudes("bayer", s.factor, s.ratios, "Off")
    regions = len(scene.REGIONS)
    black = s.black * (1 if bits(s.pixel_format) == 12 else 16) + 0.5
    if numpy is not None:  # the same float operations as pixels.raw, on arrays
        np = numpy
        codes, times = (np.array(column, np.int64) for column in zip(*counts))
        keys, levels = np.divmod(codes, scene.LEVELS)
        shifted = (levels - pixels.LEVEL_ZERO).astype(np.float64)
        sums = []
        for channel in range(3):
            table = np.array([amplitudes[channel * regions + r][0] for r in range(regions)])
            values = np.floor(shifted * table[keys % regions] + black)
            values = np.clip(values, 0, pixels.FULL12).astype(np.int64)
            sums.append(int((values * times).sum()))
    else:
        sums = [0, 0, 0]
        for code, times in counts:
            key, level = divmod(code, scene.LEVELS)
            for channel in range(3):
                a = amplitudes[channel * regions + key % regions][0]
                sums[channel] += pixels.raw(level, a, black) * times
    return tuple(total / total_count / pixels.FULL12 for total in sums)


def grey_world_step(ratios, means):
    """One step of Balance White Auto (grey world): red and blue ratios moved
    so that their channels' averages match green's; green unchanged."""
    top = model.BY_NAME["BalanceRatio"].max
    red, green, blue = ratios
    mean_red, mean_green, mean_blue = means
    if mean_red > 0:
        red = min(max(red * mean_green / mean_red, 0.0), top)
    if mean_blue > 0:
        blue = min(max(blue * mean_green / mean_blue, 0.0), top)
    return (red, green, blue)
