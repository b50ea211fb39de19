"""The simulated acA2040-55uc's pixel formats as bytes: families, bit depths,
12p packing, and the per-thread work buffers the frames are made in.

Functions that can use numpy take it as their ``np`` argument (None: pure
Python, the same bytes).
"""

from __future__ import annotations

import struct
import sys
import threading

from . import model

_LOCAL = threading.local()


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


def buffer(np, name, shape, dtype):
    """A work array of the calling thread, reused from frame to frame."""
    buffers = _LOCAL.__dict__.setdefault("buffers", {})
    found = buffers.get(name)
    if found is None or found.shape != shape or found.dtype != dtype:
        found = buffers[name] = np.empty(shape, dtype)
    return found


def pack12(values, np):
    """PFNC 12p (lsb first): two pixels in three bytes."""
    if np is not None and not isinstance(values, list):
        if sys.byteorder == "little" and values.size % 2 == 0 \
                and values.flags.c_contiguous and values.dtype == np.uint16:
            return _pack12_words(values, np)
        first, second = values[0::2], values[1::2]
        out = buffer(np, "packed", (first.size, 3), np.uint8)
        work = buffer(np, "pack", first.shape, np.uint16)
        np.copyto(out[:, 0], first, casting="unsafe")
        np.bitwise_and(second, 0x0F, out=work)
        np.left_shift(work, 4, out=work)
        np.bitwise_or(work, first >> 8, out=work)
        np.copyto(out[:, 1], work, casting="unsafe")
        np.right_shift(second, 4, out=work)
        np.copyto(out[:, 2], work, casting="unsafe")
        return out.tobytes()
    out = bytearray()
    for i in range(0, len(values), 2):
        a, b = values[i], values[i + 1]
        out += bytes((a & 0xFF, (a >> 8) | ((b & 0x0F) << 4), b >> 4))
    return bytes(out)


def _pack12_words(values, np):
    """pack12 for a contiguous uint16 array: each pair as a 32-bit word
    a | b << 12 | (the next pair's first byte) << 24, stored 3 bytes apart
    (overlapping words agree on the byte they share; one byte spare at the end)."""
    pairs = values.size // 2
    words = values.view(np.uint32)
    low = buffer(np, "pack-low", (pairs,), np.uint32)
    high = buffer(np, "pack-high", (pairs,), np.uint32)
    np.right_shift(words, 4, out=high)
    np.bitwise_and(high, 0xFFF000, out=high)
    np.bitwise_and(words, 0xFFF, out=low)
    np.bitwise_or(low, high, out=low)
    np.left_shift(words[1:], 24, out=high[:-1])
    np.bitwise_or(low[:-1], high[:-1], out=low[:-1])
    packed = buffer(np, "packed-words", (pairs * 3 + 1,), np.uint8)
    np.ndarray((pairs,), np.uint32, buffer=packed, strides=(3,))[...] = low
    return packed[:-1].tobytes()


def unpack12(data: bytes, count: int, np):
    """The pixel values of 12p data (numpy uint16 array, or a list)."""
    if np is not None:
        raw = np.frombuffer(data, np.uint8, count // 2 * 3).reshape(-1, 3)
        raw = raw.astype(np.uint16)
        out = np.empty((raw.shape[0], 2), np.uint16)
        out[:, 0] = raw[:, 0] | ((raw[:, 1] & 0x0F) << 8)
        out[:, 1] = (raw[:, 1] >> 4) | (raw[:, 2] << 4)
        return out.reshape(-1)
    out = []
    for i in range(0, count // 2 * 3, 3):
        b0, b1, b2 = data[i], data[i + 1], data[i + 2]
        out += (b0 | ((b1 & 0x0F) << 8), (b1 >> 4) | (b2 << 4))
    return out


def encode(values, pixel_format):
    """Pixel values (a list: ints, RGB triples or YCbCr Y | C << 8) as the format's bytes."""
    if pixel_format.endswith("12p"):
        return pack12(values, None)
    if pixel_format == "YCbCr422_8" or bits(pixel_format) == 12:
        return struct.pack(f"<{len(values)}H", *values)
    if values and isinstance(values[0], tuple):
        return bytes(v for rgb in values for v in rgb)
    return bytes(values)


def pixel_values(data: bytes, pixel_format: str, count: int, np):
    """The pixel values of image data as integers (numpy array or list), one
    per sample (three per pixel for RGB8/BGR8, two for YCbCr422_8)."""
    if pixel_format.endswith("12p"):
        return unpack12(data, count, np)
    if bits(pixel_format) == 12:
        if np is not None:
            return np.frombuffer(data, "<u2")
        return list(struct.unpack(f"<{len(data) // 2}H", data))
    if np is not None:
        return np.frombuffer(data, np.uint8)
    return list(data)
