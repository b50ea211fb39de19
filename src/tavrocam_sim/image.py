"""The images of the simulated acA2040-55uc: its settings, its frames.

``settings(regs)`` reads what a frame's pixels depend on from a device's
registers; ``frame(settings, number, light, seed)`` makes the image data of
the camera's frame ``number``: the scene's light (``tavrocam_sim.scenes``)
through the sensor's model (``tavrocam_sim.sensor``) and the camera's digital
chain, in the compiled core ``_tavrocam_sensor`` (its documentation states
what it takes). Python works out the plain numbers of a frame here: the
electrons of each filter colour per unit of light, the gains, the black
level, the colour matrix and the digital processing as a table
(``tavrocam_sim.pixels``). Test images (``tavrocam_sim.testimages``) replace
the scene when TestImageSelector is not Off, and Testimage2 does whenever the
camera is over temperature.

A frame's bytes are a function of the camera's seed (its serial number), the
frame's number since power-up, its settings and the light: nothing is cached
but a few small tables.
"""

from __future__ import annotations

import array
import hashlib
import sys
import threading
from typing import NamedTuple

import _tavrocam_sensor as core

from . import model, pixels, scenes, sensor, testimages
from .registers import Fields

try:
    import numpy
except ImportError:  # numpy is only for the users' Array
    numpy = None

# A brightness (auto functions) is the mean over pairs of rows and of columns
# SAMPLE_STEP apart (fewer for a small ROI).
SAMPLE_STEP = 16
COLOUR = ("rgb", "bgr", "ycbcr")
SENSOR_FIGURES = (sensor.DARK_NOISE, sensor.SATURATION_CAPACITY, sensor.DSNU, sensor.PRNU)


class Settings(NamedTuple):
    """What the pixels of one frame depend on, read from the registers."""
    width: int
    height: int
    offset_x: int
    offset_y: int
    reverse_x: bool
    reverse_y: bool
    pixel_format: str
    exposure: float         # s: ExposureTime, or the trigger's width plus C4
    gain: float             # dB
    black: float            # BlackLevel, in counts of the pixel format
    ratios: tuple           # BalanceRatio red, green, blue
    test_image: str
    gamma: float = 1.0
    digital_shift: int = 0
    lut: tuple | None = None   # LUTValue of each LUTIndex when LUTEnable is on
    preset: str = "Off"     # LightSourcePreset (the colour formats only)
    over_temperature: bool = False  # the camera then sends Testimage2
    temperature: float = 25.0       # °C: the dark current follows it

    @property
    def shown(self) -> str:
        """The test image the camera sends, or "Off" for the scene."""
        return "Testimage2" if self.over_temperature else self.test_image


_SETTINGS = Fields(
    width="Width", height="Height", offset_x="OffsetX", offset_y="OffsetY", reverse_x="ReverseX",
    reverse_y="ReverseY", pixel_format="PixelFormat", exposure="ExposureTime", gain="Gain",
    black="BlackLevel", red=("BalanceRatio", 0), green=("BalanceRatio", 1),
    blue=("BalanceRatio", 2), test_image="TestImageSelector", gamma="Gamma",
    digital_shift="DigitalShift", lut="LUTEnable", preset="LightSourcePreset")
_LUT = Fields(**{f"index{i}": ("LUTValue", i) for i in range(model.LUT_POINTS)})


def settings(regs, over_temperature=False, temperature=25.0) -> Settings:
    """The current settings of a device's registers (``registers.Registers``,
    or a frame's ``Overlay``), read at once; ``over_temperature``: the
    camera is in its over-temperature mode."""
    v = _SETTINGS.read(regs)
    pixel_format = v.pixel_format
    black = min(max(v.black, 0.0),
                model.BLACK_LEVEL_MAX_12 if _BITS[pixel_format] == 12 else model.BLACK_LEVEL_MAX_8)
    return Settings(v.width, v.height, v.offset_x, v.offset_y, bool(v.reverse_x),
                    bool(v.reverse_y), pixel_format, v.exposure / 1e6, v.gain, black,
                    (v.red, v.green, v.blue), v.test_image, v.gamma, v.digital_shift,
                    tuple(_LUT.read(regs)) if v.lut else None,
                    v.preset if _FAMILY[pixel_format] in COLOUR else "Off",
                    bool(over_temperature), float(temperature))


_BITS = {name: pixels.bits(name) for name in model.PFNC}
_FAMILY = {name: pixels.family(name) for name in model.PFNC}


def bits(pixel_format) -> int:
    """The significant bits of a pixel: 12 or 8."""
    return _BITS[pixel_format]


def image_size(s: Settings) -> int:
    """Bytes of image data (as PayloadSize counts them, without chunks)."""
    return s.width * s.height * ((model.PFNC[s.pixel_format] >> 16) & 0xFF) // 8


def seed_of(serial: str) -> int:
    """The camera's seed: its fixed patterns and noise follow it."""
    return int.from_bytes(hashlib.blake2b(serial.encode(), digest_size=8).digest(), "little")


def unpack12(data, count: int):
    """The pixel values of 12p data (a numpy uint16 array, or an array.array)."""
    values = core.unpack12(data, count)
    return numpy.frombuffer(values, numpy.uint16) if numpy is not None \
        else array.array("H", values)


def pixel_values(data, pixel_format: str, count: int):
    """The pixel values of image data as integers (numpy array or array.array),
    one per sample (three per pixel for RGB8/BGR8, two for YCbCr422_8)."""
    if pixel_format.endswith("12p"):
        return unpack12(data, count)
    if _BITS[pixel_format] == 12:  # little-endian words
        if numpy is not None:
            return numpy.frombuffer(data, "<u2")
        values = array.array("H", bytes(data))
        if sys.byteorder != "little":
            values.byteswap()
        return values
    return numpy.frombuffer(data, numpy.uint8) if numpy is not None \
        else array.array("B", bytes(data))


# --------------------------------------------------------------- small tables
_LOCK = threading.Lock()
_TABLES: dict = {}
_TABLE_LIMIT = 32


def _cached(key, make):
    """A small table made once (two threads may both make it: equal values)."""
    with _LOCK:
        found = _TABLES.get(key)
    if found is not None:
        return found
    value = make()
    with _LOCK:
        if len(_TABLES) >= _TABLE_LIMIT:
            _TABLES.pop(next(iter(_TABLES)))
        _TABLES[key] = value
    return value


def clear_caches():
    """Forget the tables made so far and the free frame buffers."""
    with _LOCK:
        _TABLES.clear()
        _FREE.clear()


def _curve(s):
    if s.lut is None:
        return None
    return _cached(("curve", s.lut), lambda: pixels.lut_curve(s.lut))


def _process(s):
    """The digital processing as 4096 uint16 values, or None for the plain cut."""
    srgb = s.preset != "Off" and _FAMILY[s.pixel_format] in COLOUR
    if s.lut is None and not srgb and s.gamma == 1.0 and s.digital_shift == 0:
        return None
    key = ("process", s.lut, srgb, s.gamma, s.digital_shift, _BITS[s.pixel_format])
    return _cached(key, lambda: array.array("H", pixels.processing(
        _curve(s), srgb, s.gamma, s.digital_shift, key[5])))


def _chain(s):
    """(DN per electron of a red, green, blue site, black, matrix, process)."""
    dn = sensor.SYSTEM_GAIN * 10 ** (s.gain / 20)
    black = s.black * (1 if _BITS[s.pixel_format] == 12 else 16)
    matrix = None
    if s.preset != "Off" and _FAMILY[s.pixel_format] in COLOUR:
        matrix = tuple(v for row in model.COLOR_MATRICES[s.preset] for v in row)
    return (dn * s.ratios[0], dn * s.ratios[1], dn * s.ratios[2], black, matrix, _process(s))


_SENSOR: dict = {}
ELECTRONS_LIMIT = 1e9  # the most the core takes per unit of light


def _sensor(s, light):
    """The sensor's numbers for a frame of ``light`` at settings ``s`` (the
    last few kept: a steady camera asks for the same every frame)."""
    key = (light.white, light.wavelengths, s.exposure, s.temperature)
    found = _SENSOR.get(key)
    if found is None:
        # Light far beyond the full well saturates, as on the camera: a
        # billion electrons per unit of light is already 10^5 full wells.
        electrons = [min(e, ELECTRONS_LIMIT) for e in sensor.electrons_per_unit(light, s.exposure)]
        dark = min(sensor.dark_current(s.temperature) * s.exposure, ELECTRONS_LIMIT)
        found = (*electrons, dark, *SENSOR_FIGURES)
        if len(_SENSOR) >= _TABLE_LIMIT:
            _SENSOR.clear()
        _SENSOR[key] = found
    return found


# --------------------------------------------------------------- frames
def frame(s: Settings, number: int, light=None, seed: int = 0, out=None):
    """The image data of frame ``number`` (the camera's frame count since
    power-up) at settings ``s`` of ``light`` (a scenes.Light; None: the
    chart's) for a camera of ``seed``: bytes, or written into ``out`` (a
    ``frame_buffer``) and None. A light the core refuses raises TypeError or
    ValueError."""
    if s.shown != "Off":
        data = _test_frame(s, number)
        if out is None:
            return data
        out[:] = data
        return None
    if light is None:
        light = scenes.Chart().light()
    roi = (s.width, s.height, s.offset_x, s.offset_y, s.reverse_x, s.reverse_y)
    return core.render(light, roi, s.pixel_format, _sensor(s, light), _chain(s), seed, number,
                       out)


# --------------------------------------------------------------- frame buffers
# Buffers of frames no result holds any more, by size: a new frame written
# into one finds its pages mapped (a new buffer of a full frame costs the
# kernel a fault a page). A few per size, for a few sizes.
_FREE: dict = {}
_FREE_PER_SIZE, _FREE_SIZES = 4, 8


def frame_buffer(size: int) -> bytearray:
    """A writable buffer of ``size`` bytes for a frame's image data."""
    with _LOCK:
        free = _FREE.get(size)
        if free:
            return free.pop()
    return bytearray(size)


def give_back(buffer: bytearray) -> None:
    """``buffer`` (from ``frame_buffer``) is no longer read: a later frame may take it."""
    with _LOCK:
        free = _FREE.get(len(buffer))
        if free is None:
            if len(_FREE) >= _FREE_SIZES:
                _FREE.pop(next(iter(_FREE)))
            free = _FREE[len(buffer)] = []
        if len(free) < _FREE_PER_SIZE:
            free.append(buffer)


def _test_frame(s: Settings, number: int) -> bytes:
    name, pixel_format = s.shown, s.pixel_format
    curve = _curve(s) if name in testimages.THROUGH_LUT else None
    key = ("test", name, pixel_format, curve is not None and s.lut)
    table, entry = _cached(key, lambda: testimages.table_bytes(name, pixel_format, curve))
    return core.test_image(table, entry, s.width, s.height,
                           number if name in testimages.MOVING else 0, testimages.modulo(name),
                           testimages.red_site(name, pixel_format),
                           _FAMILY[pixel_format] == "ycbcr", pixel_format.endswith("12p"))


# --------------------------------------------------------------- what the auto functions see
def _step(s):
    return max(2, min(SAMPLE_STEP, s.width // 32, s.height // 32))  # small ROIs: more samples


def _measure(s, light):
    """The mean noise-free raw values (12 bit) of the red, green and blue
    sites over the ROI of ``s``."""
    area = (s.offset_x, s.offset_y, s.width, s.height)
    return core.measure(light, area, _sensor(s, light), _chain(s), _step(s))


def _processed(s, value):
    process = _process(s)
    index = min(max(int(value + 0.5), 0), pixels.FULL12)
    if process is not None:
        return process[index]
    return index if _BITS[s.pixel_format] == 12 else index >> 4


def mean_level(s: Settings, light=None) -> float:
    """The mean of the image's pixel values as a fraction of full scale (the
    brightness the auto functions compare with their target), without noise:
    of the raw values for Bayer formats, of the luma for the others."""
    if s.shown != "Off":
        return 0.5
    if light is None:
        light = scenes.Chart().light()
    red, green, blue = _measure(s, light)
    family = _FAMILY[s.pixel_format]
    if family == "bayer":
        full = (1 << _BITS[s.pixel_format]) - 1
        return (_processed(s, red) + 2 * _processed(s, green) + _processed(s, blue)) / 4 / full
    if family == "mono":
        return _processed(s, sum(w * v for w, v in zip(pixels.LUMA, (red, green, blue)))) / 255
    black = s.black * 16
    rgb = [v - black for v in (red, green, blue)]
    matrix = model.COLOR_MATRICES[s.preset]
    mixed = [_processed(s, sum(m * v for m, v in zip(row, rgb)) + black) for row in matrix]
    return sum(w * v for w, v in zip(pixels.LUMA, mixed)) / 255


def channel_means(s: Settings, light=None):
    """The red, green and blue averages (fractions of full scale) the white
    balance sees: the balanced raw channels before the colour matrix, over the
    ROI of ``s``, whatever the pixel format (a test image: equal)."""
    if s.shown != "Off":
        return (0.5, 0.5, 0.5)
    if light is None:
        light = scenes.Chart().light()
    return tuple(v / pixels.FULL12 for v in _measure(s, light))


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


__all__ = ["Settings", "settings", "frame", "mean_level", "channel_means", "grey_world_step",
           "image_size", "seed_of", "unpack12", "pixel_values", "frame_buffer", "give_back"]
