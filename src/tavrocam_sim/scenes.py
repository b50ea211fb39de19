"""What a simulated acA2040-55uc looks at: its scene, set per camera as
``sim.cameras[i].scene``.

A scene is light at the sensor. Each frame it resolves (``light_at``) to a
``Light``: an image of linear red, green and blue irradiance (or one channel
for all three), the irradiance ``white`` in W/m² that linear 1.0 stands for,
and the effective wavelength of each filter colour's photon count. The
camera's sensor (``tavrocam_sim.sensor``) turns it into electrons; the image
fills the sensor keeping its aspect (centred, cropped).

- ``Chart()``: the default, a grey background brightening from left to right
  (and a little from top to bottom) with a 6 x 4 chart of colour patches,
  placed off-centre so that mirroring shows.
- ``Uniform(irradiance, wavelength=545.0)``: a flat monochromatic field, the
  light of an EMVA 1288 measurement.
- ``Picture(source, white=None)``: a numpy array (H x W grey or H x W x 3 RGB;
  uint8 is sRGB-encoded, uint16 and float are linear) or the path of an image
  file (read through Pillow, the ``images`` extra).
- any callable ``scene(t)`` returning such an array or a scene, ``t`` being
  the exposure's start in seconds on the camera's clock.
- ``from_path(path)``: an image file, or a folder whose images play in name
  order, one per frame, looping.
"""

from __future__ import annotations

import array
import os
import sys
from typing import Any, NamedTuple

from . import model, sensor

W, H = model.SENSOR_WIDTH, model.SENSOR_HEIGHT
DTYPES = ("u8", "u16", "f32")
DEFAULT_EXPOSURE_S = 0.010  # ExposureTime's default, 10 ms
# A picture's white by default reaches this fraction of full scale in green at
# the default exposure and 0 dB.
PICTURE_WHITE_FILL = 0.80


class Light(NamedTuple):
    """A scene at one moment, as the sensor receives it.

    ``data``: a C-contiguous buffer (bytes, array.array or a numpy array) of
    ``height`` x ``width`` x ``channels`` samples, row by row; ``channels`` is 1
    (the same light on every filter colour) or 3 (red, green, blue);
    ``dtype``: "u8" (sRGB-encoded 0..255), "u16" (linear 0..65535) or "f32"
    (linear, 1.0 being white); ``white``: the irradiance in W/m² at the
    sensor of linear 1.0; ``wavelengths``: the effective wavelength in nm
    for the photon count of the red, green and blue filter sites."""
    data: Any
    height: int
    width: int
    channels: int
    dtype: str
    white: float
    wavelengths: tuple


class Scene:
    """The base of the scenes: ``light(t, frame)`` gives its Light; a
    ``still`` scene's is always the same (the camera asks it once)."""

    __slots__ = ()
    still = False

    def light(self, t: float = 0.0, frame: int = 0) -> Light:  # pragma: no cover
        raise NotImplementedError


class Uniform(Scene):
    """A flat field of monochromatic light: ``irradiance`` W/m² at the
    sensor, of ``wavelength`` nm."""

    __slots__ = ("irradiance", "wavelength", "_light")
    still = True
    irradiance: float
    wavelength: float
    _light: Light

    def __init__(self, irradiance: float, wavelength: float = 545.0) -> None:
        irradiance = _number("irradiance", irradiance, "W/m²")
        wavelength = _number("wavelength", wavelength, "nm")
        if irradiance < 0:
            raise ValueError(f"irradiance must be at least 0 W/m², not {irradiance!r}")
        if not 200.0 <= wavelength <= 1200.0:
            raise ValueError(f"wavelength must be 200 to 1200 nm, not {wavelength!r}")
        object.__setattr__(self, "irradiance", irradiance)
        object.__setattr__(self, "wavelength", wavelength)
        object.__setattr__(self, "_light", Light(
            array.array("f", [1.0]), 1, 1, 1, "f32", irradiance, (wavelength,) * 3))

    def __setattr__(self, name, value):
        raise AttributeError(f"a Uniform scene's {name!r} is read-only")

    def __repr__(self) -> str:
        return f"Uniform({self.irradiance!r}, wavelength={self.wavelength!r})"

    def __eq__(self, other):
        return (isinstance(other, Uniform) and other.irradiance == self.irradiance
                and other.wavelength == self.wavelength)

    def __hash__(self):
        return hash((Uniform, self.irradiance, self.wavelength))

    def light(self, t: float = 0.0, frame: int = 0) -> Light:
        return self._light


# --------------------------------------------------------------- the chart
# Background reflectance: BG_BASE + BG_X * x / (W - 1) + BG_Y * y / (H - 1).
BG_BASE, BG_X, BG_Y = 0.08, 0.62, 0.12
# The chart: PATCH x PATCH pixels, GAP apart, its top-left corner at CHART_XY
# (sensor pixels; all multiples of CHART_STEP, the chart's light is drawn at
# one CHART_STEP-th of the sensor's size).
CHART_XY, PATCH, GAP, COLUMNS = (260, 220), 200, 24, 6
CHART_STEP = 4
# The 24 patches (sRGB, 8 bit) of a colour checker, row by row; the last row
# is neutral, white to black.
PATCHES_SRGB = (
    (115, 82, 68), (194, 150, 130), (98, 122, 157), (87, 108, 67), (133, 128, 177),
    (103, 189, 170), (214, 126, 44), (80, 91, 166), (193, 90, 99), (94, 60, 108),
    (157, 188, 64), (224, 163, 46), (56, 61, 150), (70, 148, 73), (175, 54, 60),
    (231, 199, 31), (187, 86, 149), (8, 133, 161), (243, 243, 242), (200, 200, 200),
    (160, 160, 160), (122, 122, 121), (85, 85, 85), (52, 52, 52))
# A reflectance of 1 gives this fraction of full scale in green at 10 ms and
# 0 dB: the default image's mean is then about 0.36 of full scale.
CHART_FILL = 0.88
# The colour of the chart's neutral patches as the sensor sees it under the
# chart's illumination (assumed; the camera's white balance presets are made
# for it): red and blue electrons relative to green.
CHART_NEUTRAL = model.SCENE_NEUTRAL_RGB


def srgb_to_linear(value: float) -> float:
    """An sRGB-encoded fraction (0..1) as linear light."""
    return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4


PATCHES = tuple(tuple(srgb_to_linear(c / 255.0) for c in rgb) for rgb in PATCHES_SRGB)


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
_CHART: list = []


def _chart_light() -> Light:
    """The chart's light, drawn once per process at a quarter of the sensor's
    size (3 channels, f32)."""
    if _CHART:
        return _CHART[0]
    step = CHART_STEP
    width, height = W // step, H // step
    wavelengths = sensor.WAVELENGTHS
    per_unit = [sensor.quantum_efficiency(w, c) * w
                for w, c in zip(wavelengths, sensor.COLOURS)]
    # Linear light per channel so that a neutral reflectance gives CHART_NEUTRAL.
    tint = [n * per_unit[1] / p for n, p in zip(CHART_NEUTRAL, per_unit)]
    white = sensor.irradiance_for(CHART_FILL * sensor.SATURATION_CAPACITY,
                                  DEFAULT_EXPOSURE_S, wavelengths[1], "green")
    # Sample at the centre of each step x step block.
    xs = [i * step + (step - 1) / 2.0 for i in range(width)]
    ramp = [BG_BASE + BG_X * x / (W - 1) for x in xs]
    data = array.array("f")
    for j in range(height):
        y = j * step + (step - 1) / 2.0
        lift = BG_Y * y / (H - 1)
        row = [0.0] * (3 * width)
        for i, base in enumerate(ramp):
            grey = base + lift
            row[3 * i] = grey * tint[0]
            row[3 * i + 1] = grey * tint[1]
            row[3 * i + 2] = grey * tint[2]
        for x0, y0, x1, y1, rgb in BOXES:
            if y0 <= j * step < y1:
                colour = [rgb[c] * tint[c] for c in range(3)]
                row[3 * (x0 // step):3 * (x1 // step)] = colour * ((x1 - x0) // step)
        data.extend(row)
    light = Light(data, height, width, 3, "f32", white, tuple(wavelengths))
    _CHART.append(light)
    return light


class Chart(Scene):
    """The default scene: a grey ramp with a 24-patch colour chart, off-centre."""

    __slots__ = ()
    still = True

    def __repr__(self) -> str:
        return "Chart()"

    def __eq__(self, other):
        return isinstance(other, Chart)

    def __hash__(self):
        return hash(Chart)

    def light(self, t: float = 0.0, frame: int = 0) -> Light:
        return _chart_light()


# --------------------------------------------------------------- pictures
IMAGE_FORMATS = ("PNG", "TIFF", "JPEG", "BMP")
IMAGE_SUFFIXES = (".png", ".tif", ".tiff", ".jpg", ".jpeg", ".bmp")
ACCEPTED = ("a numpy array of H x W (grey) or H x W x 3 (red, green, blue) of uint8 "
            "(sRGB-encoded), uint16 or float (linear), or the path of a PNG, TIFF, "
            "JPEG or BMP file")


def default_white() -> float:
    """The irradiance (W/m²) a picture's white stands for by default: linear
    1.0 then fills 80 % of full scale in green at 10 ms and 0 dB."""
    return sensor.irradiance_for(PICTURE_WHITE_FILL * sensor.SATURATION_CAPACITY,
                                 DEFAULT_EXPOSURE_S, sensor.WAVELENGTHS[1], "green")


def _pillow():
    try:
        from PIL import Image
    except ImportError:
        raise ModuleNotFoundError(
            "reading image files needs Pillow: pip install 'tavrocam[images]' "
            "(or pass the picture as a numpy array)") from None
    return Image


def _read_file(path: str):
    """(data, height, width, channels, dtype) of an image file, through Pillow."""
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such image file: {path!r} (a picture's path names a "
                                f"PNG, TIFF, JPEG or BMP file)")
    if os.path.isdir(path):
        raise ValueError(f"{path!r} is a folder: a Picture takes {ACCEPTED} "
                         f"(tavrocam_sim.scenes.from_path plays a folder)")
    Image = _pillow()
    try:
        with Image.open(path, formats=IMAGE_FORMATS) as image:
            # Pillow reads 16-bit colour at 8 bits a channel: its values are
            # still linear, not sRGB.
            deep = any(";16" in str(tile[-1]) for tile in image.tile)
            image.load()
            data, height, width, channels, dtype = _from_pillow(image)
            if deep and dtype == "u8":
                data, dtype = array.array("H", (v * 257 for v in data)), "u16"
            return data, height, width, channels, dtype
    except OSError as error:  # not an image, truncated, unreadable
        if isinstance(error, (FileNotFoundError, PermissionError)):
            raise
        raise ValueError(f"cannot read {path!r} as a PNG, TIFF, JPEG or BMP image: "
                         f"{error}") from None


def _from_pillow(image):
    width, height = image.size
    mode = image.mode
    if mode in ("I;16", "I;16L", "I;16B", "I;16N"):
        data = array.array("H", image.tobytes("raw", "I;16"))
        if sys.byteorder == "big":
            data.byteswap()
        return data, height, width, 1, "u16"
    if mode == "I":
        values = array.array("i", image.tobytes("raw", "I"))
        return array.array("H", (min(max(v, 0), 65535) for v in values)), height, width, 1, "u16"
    if mode == "F":
        values = array.array("f", image.tobytes("raw", "F"))
        return _checked_floats(values), height, width, 1, "f32"
    if mode == "L":
        return image.tobytes(), height, width, 1, "u8"
    if mode not in ("RGB",):
        image = image.convert("RGB")
    return image.tobytes(), height, width, 3, "u8"


def _checked_floats(values):
    for v in values:
        if not v >= 0.0 or v == float("inf"):
            raise ValueError(f"a picture's linear light must be finite and at least 0, "
                             f"not {v!r}")
    return values


def _from_array(np, source):
    """(data, height, width, channels, dtype) of a numpy array."""
    if source.ndim == 2:
        height, width, channels = source.shape[0], source.shape[1], 1
    elif source.ndim == 3 and source.shape[2] in (1, 3):
        height, width, channels = source.shape
    else:
        raise ValueError(f"a picture's array must be H x W or H x W x 3, not of shape "
                         f"{source.shape}")
    if height < 1 or width < 1:
        raise ValueError(f"a picture's array must hold at least one pixel, not of shape "
                         f"{source.shape}")
    kind = source.dtype
    if kind.kind == "u" and kind.itemsize == 1:
        dtype, target = "u8", np.uint8
    elif kind.kind == "u" and kind.itemsize == 2:  # either byte order
        dtype, target = "u16", np.uint16
    elif kind.kind == "f":
        dtype, target = "f32", np.float32
        if not bool(np.isfinite(source).all()) or bool((source < 0).any()):
            raise ValueError("a picture's float values (linear light) must be finite "
                             "and at least 0")
    else:
        raise TypeError(f"a picture's array must be uint8 (sRGB), uint16 or float "
                        f"(linear), not {kind}")
    with np.errstate(over="ignore"):
        data = np.array(source, dtype=target, order="C", copy=True)
    if dtype == "f32" and not bool(np.isfinite(data).all()):
        raise ValueError("a picture's float values (linear light) must be within float32's "
                         "range (below 3.4e38)")
    data.flags.writeable = False
    return data, height, width, channels, dtype


class Picture(Scene):
    """A picture as light: its linear red, green and blue are the irradiance
    at the sites under the red, green and blue filters, ``white`` W/m² being
    linear 1.0 (by default white fills about 80 % of full scale in green at
    the default exposure and 0 dB). ``source``: a numpy array (H x W or
    H x W x 3; uint8 sRGB-encoded, uint16 and float linear) or the path of a
    PNG, TIFF, JPEG or BMP file (8 or 16 bit grey, 8 bit colour; needs Pillow).
    """

    __slots__ = ("source", "white", "_light")
    still = True
    source: str
    white: float
    _light: Light

    def __init__(self, source, white: float | None = None) -> None:
        if white is None:
            white = default_white()
        else:
            white = _number("white", white, "W/m²")
            if white <= 0:
                raise ValueError(f"white must be more than 0 W/m², not {white!r}")
        np = sys.modules.get("numpy")
        if np is not None and isinstance(source, np.ndarray):
            data, height, width, channels, dtype = _from_array(np, source)
            shown = f"<array {height}x{width}x{channels} {source.dtype}>"
        elif isinstance(source, (str, os.PathLike)):
            shown = os.fspath(source)
            if not isinstance(shown, str):
                raise TypeError(f"a picture's path must be text, not {type(shown).__name__}")
            data, height, width, channels, dtype = _read_file(shown)
        else:
            raise TypeError(f"a Picture takes {ACCEPTED}, not {type(source).__name__}")
        object.__setattr__(self, "source", shown)
        object.__setattr__(self, "white", white)
        object.__setattr__(self, "_light", Light(
            data, height, width, channels, dtype, white, sensor.WAVELENGTHS))

    def __setattr__(self, name, value):
        raise AttributeError(f"a Picture's {name!r} is read-only")

    def __repr__(self) -> str:
        return f"Picture({self.source!r}, white={self.white!r})"

    @property
    def size(self) -> tuple:
        """(width, height) of the picture."""
        return self._light.width, self._light.height

    def light(self, t: float = 0.0, frame: int = 0) -> Light:
        return self._light


class Folder(Scene):
    """The images of a folder (PNG, TIFF, JPEG, BMP) in name order, one per
    frame, looping: frame n shows image n modulo their number."""

    __slots__ = ("path", "files", "white", "_last")
    path: str
    files: tuple
    white: float
    _last: tuple

    def __init__(self, path, white: float | None = None) -> None:
        path = os.fspath(path)
        if not os.path.isdir(path):
            raise FileNotFoundError(f"no such folder: {path!r} (a folder of PNG, TIFF, JPEG "
                                    f"or BMP images)")
        files = tuple(os.path.join(path, name) for name in sorted(os.listdir(path))
                      if name.lower().endswith(IMAGE_SUFFIXES)
                      and os.path.isfile(os.path.join(path, name)))
        if not files:
            raise ValueError(f"the folder {path!r} holds no PNG, TIFF, JPEG or BMP "
                             f"image ({', '.join(IMAGE_SUFFIXES)})")
        first = Picture(files[0], white)
        object.__setattr__(self, "path", path)
        object.__setattr__(self, "files", files)
        object.__setattr__(self, "white", first.white)
        object.__setattr__(self, "_last", (0, first))

    def __setattr__(self, name, value):
        raise AttributeError(f"a Folder's {name!r} is read-only")

    def __repr__(self) -> str:
        return f"Folder({self.path!r}, {len(self.files)} images)"

    def light(self, t: float = 0.0, frame: int = 0) -> Light:
        index = frame % len(self.files)
        last = self._last  # one read: other cameras may replace it meanwhile
        if last[0] != index:
            last = (index, Picture(self.files[index], self.white))
            object.__setattr__(self, "_last", last)
        return last[1].light(t, frame)


def from_path(path) -> Scene:
    """The scene of a path: an image file's Picture, or a folder's images
    played in name order, one per frame, looping."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"a scene's path must be text or a path, not {type(path).__name__}")
    path = os.fspath(path)
    if os.path.isdir(path):
        return Folder(path)
    return Picture(path)


# --------------------------------------------------------------- any scene
def _number(name: str, value, unit: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of {unit}, not {type(value).__name__}")
    value = float(value)
    if value != value or value in (float("inf"), float("-inf")):
        raise ValueError(f"{name} must be a finite number of {unit}, not {value!r}")
    return value


def light_at(scene, t: float = 0.0, frame: int = 0) -> Light:
    """The Light of ``scene`` (a Scene or a callable of t) for the exposure that
    starts at ``t`` seconds on the camera's clock, its ``frame``-th since
    power-up. A callable's exceptions, and TypeError/ValueError for what it
    returns, pass to the caller (they fail that frame only)."""
    if isinstance(scene, Scene):
        return scene.light(t, frame)
    shown = scene(t)
    if isinstance(shown, Scene):
        return shown.light(t, frame)
    np = sys.modules.get("numpy")
    if np is not None and isinstance(shown, np.ndarray):
        return Picture(shown).light(t, frame)
    raise TypeError(f"a scene callable must return a numpy array or a scene "
                    f"(Chart, Uniform, Picture), not {type(shown).__name__}")


def check(scene) -> Any:
    """``scene`` as a camera may take it: a Scene or a callable scene(t);
    otherwise TypeError saying what a scene may be. A numpy array or a path is
    made a Picture (or, for a folder, a Folder)."""
    if isinstance(scene, Scene):
        return scene
    np = sys.modules.get("numpy")
    if np is not None and isinstance(scene, np.ndarray):
        return Picture(scene)
    if isinstance(scene, (str, os.PathLike)):
        return from_path(scene)
    if callable(scene) and not isinstance(scene, type):
        return scene
    raise TypeError(f"a scene must be tavrocam_sim.scenes.Chart(), Uniform(irradiance, "
                    f"wavelength), Picture(source, white), a path, or a callable scene(t) "
                    f"returning a numpy array or a scene; not {type(scene).__name__}")


__all__ = ["Light", "Scene", "Chart", "Uniform", "Picture", "Folder", "from_path",
           "light_at", "check", "default_white"]
