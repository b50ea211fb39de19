"""What the simulated acA2040-55uc looks at, as codes that index the pixel tables.

The scene is fixed: a grey background that brightens from left to right (and a
little from top to bottom) with a 6 x 4 chart of colour patches on it, placed
off-centre so that mirroring shows. It is described in sensor coordinates
(2064 x 1544).

Each pixel of an ROI gets a *code*: ``key * LEVELS + level``. The key names
what the pixel shows (the background or one of the 24 patches, and for the
Bayer formats the colour of the sensor's filter over it); the level is the
scene's brightness there (the background's reflectance, 1 on a patch) on a
fixed integer scale, ``level = LEVEL_ZERO + round(brightness * LEVEL_SCALE)``.
Noise moves the level (one value a pixel, from a fixed table) before the
camera's settings turn it into a pixel value, so a frame is one table look-up
per pixel (``tavrocam_sim.pixels`` makes the tables). Integer codes give the
same pixels with and without numpy.
"""

from __future__ import annotations

import random

from . import model

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
# The level scale: brightness b is level LEVEL_ZERO + round(b * LEVEL_SCALE),
# in LEVELS levels (room for noise below 0 and above 1).
LEVELS, LEVEL_ZERO, LEVEL_SCALE = 4096, 512, 2560
# Noise: Gaussian, NOISE_SIGMA of the brightness scale, from a fixed table of
# NOISE_TABLE values; frame n (the camera's frame counter) gets slot n % NOISE_FRAMES.
NOISE_SIGMA = 1.0 / 255
NOISE_TABLE = 65521
NOISE_FRAMES = 4
NOISE_SEED = 2040
NOISE_LIMIT = 400  # levels; keeps every noisy level inside its key's range


def _linear(value):
    value /= 255.0
    return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4


PATCHES = tuple(tuple(_linear(c) for c in rgb) for rgb in PATCHES_SRGB)
# Reflectance of each region (background first, then the patches).
REGIONS = ((1.0, 1.0, 1.0),) + PATCHES


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
PATCH_LEVEL = LEVEL_ZERO + LEVEL_SCALE


def keys(family):
    """How many keys a family's codes use: regions, times 3 filter colours for Bayer."""
    return len(REGIONS) * (3 if family == "bayer" else 1)


def _site(x, y):
    """The filter colour (0 red, 1 green, 2 blue) over sensor pixel (x, y):
    the sensor's own filter is RG from its top-left pixel."""
    return (x & 1) + (y & 1)


# --------------------------------------------------------------- codes
def codes_numpy(np, layout):
    """The codes of an ROI in image order (mirrored), flat int32, read-only.
    ``layout``: (width, height, x0, y0, reverse_x, reverse_y, family); the
    YCbCr family's codes are doubled plus the column's parity."""
    width, height, x0, y0, rx, ry, family = layout
    xs = np.arange(x0, x0 + width)
    ys = np.arange(y0, y0 + height)
    grey = (BG_BASE + BG_X * xs.astype(np.float64) / (W - 1))[None, :] \
        + (BG_Y * ys.astype(np.float64) / (H - 1))[:, None]
    level = np.floor(grey * LEVEL_SCALE + 0.5).astype(np.int32) + LEVEL_ZERO
    region = np.zeros((height, width), np.int32)
    for index, (bx0, by0, bx1, by1, _) in enumerate(BOXES):
        cx0, cx1 = max(bx0, x0) - x0, min(bx1, x0 + width) - x0
        cy0, cy1 = max(by0, y0) - y0, min(by1, y0 + height) - y0
        if cx0 < cx1 and cy0 < cy1:
            region[cy0:cy1, cx0:cx1] = index + 1
            level[cy0:cy1, cx0:cx1] = PATCH_LEVEL
    if family == "bayer":
        region += ((xs & 1)[None, :] + (ys & 1)[:, None]).astype(np.int32) * len(REGIONS)
    code = region * LEVELS + level
    if ry:
        code = code[::-1]
    if rx:
        code = code[:, ::-1]
    if family == "ycbcr":
        code = code * 2 + (np.arange(width, dtype=np.int32) & 1)[None, :]
    code = np.ascontiguousarray(code, dtype=np.int32).reshape(-1)
    code.flags.writeable = False
    return code


def codes_pure(layout, rows=None, columns=None):
    """The same codes as a list, for the given rows/columns of the image."""
    width, height, x0, y0, rx, ry, family = layout
    rows = range(height) if rows is None else rows
    columns = range(width) if columns is None else columns
    sensor_x = [x0 + (width - 1 - i if rx else i) for i in columns]
    ramp = [BG_BASE + BG_X * float(x) / (W - 1) for x in sensor_x]
    bayer, ycbcr = family == "bayer", family == "ycbcr"
    out = []
    for j in rows:
        y = y0 + (height - 1 - j if ry else j)
        lift = BG_Y * float(y) / (H - 1)
        boxes = [(box[0], box[2], index + 1) for index, box in enumerate(BOXES)
                 if box[1] <= y < box[3]]
        for i, x, base in zip(columns, sensor_x, ramp):
            region, level = 0, None
            for bx0, bx1, number in boxes:
                if bx0 <= x < bx1:
                    region, level = number, PATCH_LEVEL
                    break
            if level is None:
                level = int((base + lift) * LEVEL_SCALE + 0.5) + LEVEL_ZERO
            if bayer:
                region += _site(x, y) * len(REGIONS)
            code = region * LEVELS + level
            out.append(code * 2 + (i & 1) if ycbcr else code)
    return out


# --------------------------------------------------------------- noise
def noise_values():
    """The noise table, in levels (a new list)."""
    rng = random.Random(NOISE_SEED)
    scale = NOISE_SIGMA * LEVEL_SCALE
    return [max(-NOISE_LIMIT, min(NOISE_LIMIT, round(rng.gauss(0.0, 1.0) * scale)))
            for _ in range(NOISE_TABLE)]


def noise_offset(slot):
    """Where frame slot ``slot`` starts in the noise table."""
    return slot * 7919 % NOISE_TABLE
