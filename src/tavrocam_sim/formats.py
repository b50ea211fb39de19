"""The simulated acA2040-55uc's pixel formats as bytes: families, bit depths,
sizes and the values of image data (12p unpacked by the compiled core).

Functions that can use numpy take it as their ``np`` argument (None: an
array.array of the same values).
"""

from __future__ import annotations

import array
import sys

import _tavrocam_sensor as core

from . import model


def family(pixel_format):
    """'bayer', 'mono', 'rgb', 'bgr' or 'ycbcr'."""
    if pixel_format.startswith("Bayer"):
        return "bayer"
    return {"Mono8": "mono", "RGB8": "rgb", "BGR8": "bgr", "YCbCr422_8": "ycbcr"}[pixel_format]


def bits(pixel_format) -> int:
    """The significant bits of a pixel: 12 or 8."""
    return 12 if "12" in pixel_format else 8


def payload_bytes(pixel_format, width, height) -> int:
    """Bytes of image data of a width x height image."""
    return width * height * ((model.PFNC[pixel_format] >> 16) & 0xFF) // 8


def _words(data, np):
    """Native uint16 values of ``data`` (little-endian ones on any host)."""
    if np is not None:
        return np.frombuffer(data, "<u2")
    values = array.array("H", bytes(data))
    if sys.byteorder != "little":
        values.byteswap()
    return values


def unpack12(data, count: int, np):
    """The pixel values of 12p data (numpy uint16 array, or an array.array)."""
    values = core.unpack12(data, count)
    return np.frombuffer(values, np.uint16) if np is not None else array.array("H", values)


def pixel_values(data, pixel_format: str, count: int, np):
    """The pixel values of image data as integers (numpy array or array.array),
    one per sample (three per pixel for RGB8/BGR8, two for YCbCr422_8)."""
    if pixel_format.endswith("12p"):
        return unpack12(data, count, np)
    if bits(pixel_format) == 12:
        return _words(data, np)
    if np is not None:
        return np.frombuffer(data, np.uint8)
    return array.array("B", bytes(data))
