"""ROI arithmetic: a rectangle drawn on the image, as the camera takes it.

Pure functions over plain numbers, so the server and its tests share them.
The camera's limits come from its nodes (``limits_of``).
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Limits:
    """What the camera allows: the sensor's size (``WidthMax`` with the
    offsets at 0), the smallest size and the increments of each node."""

    sensor_width: int
    sensor_height: int
    min_width: int
    min_height: int
    width_inc: int
    height_inc: int
    offset_x_inc: int
    offset_y_inc: int


@dataclass(frozen=True)
class Roi:
    offset_x: int
    offset_y: int
    width: int
    height: int


def _down(value: int, inc: int) -> int:
    return value - value % inc


def fit(x: float, y: float, width: float, height: float, limits: Limits) -> Roi:
    """The ROI the camera accepts nearest to the rectangle at (x, y) of this
    size, in sensor pixels: sizes rounded down to their increment, at least
    the smallest size; offsets rounded down to theirs and moved in so the ROI
    stays on the sensor. A rectangle drawn from right to left (a negative
    width or height) is the same rectangle."""
    for name, value in (("x", x), ("y", y), ("width", width), ("height", height)):
        if not isinstance(value, (int, float)) or isinstance(value, bool) or value != value \
                or value in (float("inf"), float("-inf")):
            raise ValueError(f"ROI {name} must be a finite number, not {value!r}")
    if width < 0:
        x, width = x + width, -width
    if height < 0:
        y, height = y + height, -height
    offset_x, width_ = _axis(x, width, limits.sensor_width, limits.min_width,
                             limits.width_inc, limits.offset_x_inc)
    offset_y, height_ = _axis(y, height, limits.sensor_height, limits.min_height,
                              limits.height_inc, limits.offset_y_inc)
    return Roi(offset_x, offset_y, width_, height_)


def _axis(start: float, size: float, sensor: int, smallest: int, size_inc: int,
          offset_inc: int) -> tuple[int, int]:
    # The smallest size the camera takes that is a multiple of the increment.
    least = -(-smallest // size_inc) * size_inc
    most = _down(sensor, size_inc)
    length = min(max(_down(int(size), size_inc), least), most)
    offset = _down(max(int(start), 0), offset_inc)
    if offset + length > sensor:
        offset = _down(sensor - length, offset_inc)
    return offset, length


def full(limits: Limits) -> Roi:
    """The whole sensor, as the camera takes it."""
    return fit(0, 0, limits.sensor_width, limits.sensor_height, limits)
